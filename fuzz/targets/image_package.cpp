// Image header decoding and the package walk over arbitrary bytes: every decoded header obeys the
// container's rules, and the fast CRC-32 agrees with the bit-by-bit definition for any length and
// alignment, also when the range is split.
#include "fuzz/support/fuzz_board.h"
#include "image/image_format.h"
#include "platform/byte_order.h"

using fuzz::check;

// The rules a decoded header keeps whatever its bytes: version 3 by its magic alone, else by the
// extension flag; the 64-bit image length never wraps; a consistent header fits its image.
static void check_header(const std::uint8_t* p, const ImageHeader& h) {
    const bool v3 = be::load32(p + 16) == IMG_HDR3_MAGIC;
    check(h.header_version == (v3 ? 3 : (h.magic & IMG_EXT_HEADER) != 0 ? 2 : 1));
    check(image_length(h) == std::uint64_t{h.len} + (v3 ? 16u : h.header_len));
    if (image_header_consistent(h))
        check(h.header_len >= 12u + 4u * h.header_version && image_length(h) >= h.header_len &&
              image_length(h) - h.header_len == h.payload_len);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size <= 8192) {
        const std::uint32_t whole = image_crc32(data, size, IMG_CRC_SEED);
        check(whole == jamcrc({data, size}));
        const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
        check(image_crc32(data + cut, size - cut, image_crc32(data, cut, IMG_CRC_SEED)) == whole);
    }
    check(image_crc32(data, 0, 0x12345678u) == 0x12345678u);
    // The walk as every reader does it: an image starts where the previous one ended, and the
    // package ends where fewer than 24 bytes remain or a header cannot describe an image.
    for (std::size_t offset = 0; size - offset >= IMG_PROBE_LEN;) {
        const std::uint8_t* p = data + offset;
        const ImageHeader h =
            image_header_decode(std::span<const std::uint8_t, IMG_PROBE_LEN>(p, IMG_PROBE_LEN));
        check_header(p, h);
        const std::uint64_t length = image_length(h);
        if (!image_header_consistent(h) || length > size - offset || length < IMG_FIXED_HEADER_LEN)
            break;
        (void)image_crc32(p + 4, static_cast<std::size_t>(length - 4), IMG_CRC_SEED);
        offset += static_cast<std::size_t>(length);
    }
    return 0;
}
