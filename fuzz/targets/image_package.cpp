// Image header decoding and the package walk over arbitrary bytes.
//
// Beyond "does not crash", every decoded header must obey the container's rules (version choice,
// lengths by version, no wrap of the 64-bit image length), and the fast CRC-32 must agree with the
// bit-by-bit definition for any length and alignment, including when the range is split.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "image/image_format.h"
#include "platform/byte_order.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::uint32_t reference_crc(const std::uint8_t* data, std::size_t length, std::uint32_t crc) {
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((crc ^ byte) & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            byte = static_cast<std::uint8_t>(byte >> 1);
        }
    }
    return crc;
}

void check_header(const std::uint8_t* p, const ImageHeader& h) {
    const std::uint32_t len = be::load32(p + 4);
    const std::uint32_t magic = be::load32(p + 8);
    check(h.crc == be::load32(p) && h.len == len && h.magic == magic && h.id == be::load32(p + 12));
    if (be::load32(p + 16) == IMG_HDR3_MAGIC) {
        check(h.header_version == 3 && h.header_len == be::load16(p + 22));
        check(h.payload_len == static_cast<std::uint32_t>(len + 16u - h.header_len));
        check(image_length(h) == std::uint64_t{len} + 16u);
    } else {
        check(h.header_version == ((magic & IMG_EXT_HEADER) != 0 ? 2 : 1));
        check(h.header_len == (h.header_version == 2 ? be::load16(p + 18) : 16u));
        check(h.payload_len == len && image_length(h) == std::uint64_t{h.header_len} + len);
    }
    if (image_header_consistent(h)) {
        const std::uint32_t minimum = h.header_version == 1   ? 16u
                                      : h.header_version == 2 ? 20u
                                                              : 24u;
        check(h.header_len >= minimum && image_length(h) >= h.header_len);
        check(image_length(h) - h.header_len == h.payload_len);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The CRC first, over the whole input and split at a point the input chooses.
    if (size <= 8192) {
        const std::uint32_t whole = image_crc32(data, size, IMG_CRC_SEED);
        check(whole == reference_crc(data, size, IMG_CRC_SEED));
        const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
        check(image_crc32(data + cut, size - cut, image_crc32(data, cut, IMG_CRC_SEED)) == whole);
    }
    check(image_crc32(data, 0, 0x12345678u) == 0x12345678u);

    // The walk as every reader does it: an image starts where the previous one ended, and the
    // package ends where fewer than 24 bytes remain or a header cannot describe an image.
    std::size_t offset = 0;
    while (size - offset >= IMG_PROBE_LEN) {
        const std::uint8_t* p = data + offset;
        const ImageHeader h =
            image_header_decode(std::span<const std::uint8_t, IMG_PROBE_LEN>(p, IMG_PROBE_LEN));
        check_header(p, h);
        if (!image_header_consistent(h)) break;
        const std::uint64_t length = image_length(h);
        if (length > size - offset || length < IMG_FIXED_HEADER_LEN) break;
        (void)image_crc32(p + 4, static_cast<std::size_t>(length - 4), IMG_CRC_SEED);
        offset += static_cast<std::size_t>(length);
    }
    return 0;
}
