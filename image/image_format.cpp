#include "image/image_format.h"

#include <algorithm>
#include <array>

#include "platform/byte_order.h"

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// The CRC runs as six interleaved lanes ("braids") of 8-byte words: word k of every 48-byte
// block belongs to lane k. Each lane's register is independent of the others inside the loop, so
// the table lookups of six words overlap instead of waiting on one another; the last block joins
// the lanes in order. Six lanes keep more lookups in flight than four, which is where a table CRC
// spends its time; more than six gained nothing measurable.
constexpr std::size_t kWord = 8;
constexpr std::size_t kLanes = 6;
constexpr std::size_t kBlock = kWord * kLanes;

using ByteTable = std::array<std::uint32_t, 256>;
using WordTables = std::array<ByteTable, kWord>;

constexpr ByteTable make_byte_table() {
    ByteTable t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[n] = c;
    }
    return t;
}

constexpr ByteTable byte_table = make_byte_table();

// tables[j][n]: the register effect of byte value n at position j of a word, carried over the
// rest of the word and `skip` further zero bytes.
constexpr WordTables make_word_tables(std::size_t skip) {
    WordTables t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = byte_table[n];
        for (std::size_t zeros = 0; zeros < kWord + skip; ++zeros) {
            if (zeros >= skip) t[kWord - 1 - (zeros - skip)][n] = c;
            c = (c >> 8) ^ byte_table[c & 0xFFu];
        }
    }
    return t;
}

// Within the loop a lane's word is carried past the other lanes' words of the next block; at the
// join it is carried over its own word only.
constexpr WordTables lane_tables = make_word_tables(kBlock - kWord);
constexpr WordTables join_tables = make_word_tables(0);

// Little-endian assembly from bytes: the reflected CRC consumes the first byte as the lowest, and
// building the word this way gives the same result on the big-endian board (on a little-endian
// host it is one plain load).
inline std::uint64_t load_le64(const std::uint8_t* p) {
    return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8) | (std::uint64_t{p[2]} << 16) |
           (std::uint64_t{p[3]} << 24) | (std::uint64_t{p[4]} << 32) | (std::uint64_t{p[5]} << 40) |
           (std::uint64_t{p[6]} << 48) | (std::uint64_t{p[7]} << 56);
}

inline std::uint32_t word_step(const WordTables& t, const std::uint8_t* data, std::uint32_t crc) {
    const std::uint64_t w = load_le64(data) ^ crc;
    const auto lo = static_cast<std::uint32_t>(w);
    const auto hi = static_cast<std::uint32_t>(w >> 32);
    return t[0][lo & 0xFF] ^ t[1][(lo >> 8) & 0xFF] ^ t[2][(lo >> 16) & 0xFF] ^ t[3][lo >> 24] ^
           t[4][hi & 0xFF] ^ t[5][(hi >> 8) & 0xFF] ^ t[6][(hi >> 16) & 0xFF] ^ t[7][hi >> 24];
}

constexpr std::uint32_t kMinHeaderLen[4] = {0, 16, 20, 24};

}  // namespace

ImageHeader image_header_decode(std::span<const std::uint8_t, IMG_PROBE_LEN> bytes) {
    const std::uint8_t* p = bytes.data();
    ImageHeader h = image_fixed_header_decode(bytes.first<IMG_FIXED_HEADER_LEN>());
    if (be::load32(p + 16) == IMG_HDR3_MAGIC) {
        h.header_version = 3;
        h.header_len = be::load16(p + 22);
        // May wrap for a hostile header; image_header_consistent tells.
        h.payload_len = h.len + 16u - h.header_len;
    } else if (h.magic & IMG_EXT_HEADER) {
        h.header_version = 2;
        h.header_len = be::load16(p + 18);
        h.payload_len = h.len;
    }
    return h;
}

ImageHeader image_fixed_header_decode(std::span<const std::uint8_t, IMG_FIXED_HEADER_LEN> bytes) {
    const std::uint8_t* p = bytes.data();
    ImageHeader h;
    h.crc = be::load32(p);
    h.len = be::load32(p + 4);
    h.magic = be::load32(p + 8);
    h.id = be::load32(p + 12);
    h.header_version = 1;
    h.header_len = IMG_FIXED_HEADER_LEN;
    h.payload_len = h.len;
    return h;
}

std::vector<std::uint8_t> image_header_encode(std::uint8_t header_version, std::uint32_t magic,
                                              std::uint32_t id, std::uint32_t payload_len,
                                              std::span<const std::uint8_t> entries,
                                              std::uint16_t v2_header_len) {
    std::size_t header_len = IMG_FIXED_HEADER_LEN;
    if (header_version == 2) header_len = std::max<std::size_t>(v2_header_len, kMinHeaderLen[2]);
    if (header_version == 3) header_len = kMinHeaderLen[3] + entries.size();
    std::vector<std::uint8_t> h(header_len, 0);
    const std::uint32_t len = header_version == 3
                                  ? static_cast<std::uint32_t>(header_len - 16 + payload_len)
                                  : payload_len;
    be::store32(h.data() + 4, len);
    be::store32(h.data() + 8, header_version == 2 ? magic | IMG_EXT_HEADER : magic);
    be::store32(h.data() + 12, id);
    if (header_version == 2) be::store16(h.data() + 18, static_cast<std::uint16_t>(header_len));
    if (header_version == 3) {
        be::store32(h.data() + 16, IMG_HDR3_MAGIC);
        be::store16(h.data() + 22, static_cast<std::uint16_t>(header_len));
        std::copy(entries.begin(), entries.end(), h.begin() + kMinHeaderLen[3]);
    }
    return h;
}

void image_seal(std::span<std::uint8_t> image) {
    be::store32(image.data(), image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED));
}

std::uint64_t image_length(const ImageHeader& header) {
    if (header.header_version == 3) return std::uint64_t{header.len} + IMG_FIXED_HEADER_LEN;
    return std::uint64_t{header.header_len} + header.payload_len;
}

bool image_header_consistent(const ImageHeader& header) {
    if (header.header_version < 1 || header.header_version > 3) return false;
    if (header.header_len < kMinHeaderLen[header.header_version]) return false;
    if (header.header_version == 3 &&
        std::uint64_t{header.len} + IMG_FIXED_HEADER_LEN < header.header_len) {
        return false;
    }
    return true;
}

bool image_slot_bootable(const ImageHeader& header, std::uint64_t room) {
    const bool bootable_kind =
        header.magic == IMG_KIND_APPLICATION || header.magic == IMG_KIND_DIAGS;
    const std::uint64_t length = image_length(header);
    return bootable_kind && image_header_consistent(header) && length >= 4 && length <= room;
}

bool image_bootloader_record_present(std::span<const std::uint8_t> payload) {
    return payload.size() >= IMG_BOOTLOADER_RECORD_OFFSET + IMG_FIXED_HEADER_LEN &&
           image_kind(be::load32(payload.data() + IMG_BOOTLOADER_RECORD_OFFSET + 8)) ==
               IMG_KIND_BOOTLOADER;
}

std::uint32_t image_crc32(const std::uint8_t* data, std::size_t length, std::uint32_t seed) {
    std::uint32_t crc = seed;
    const std::size_t blocks = length / kBlock;
    if (blocks > 1) {
        std::array<std::uint32_t, kLanes> lane{};
        lane[0] = seed;
        for (std::size_t b = 1; b < blocks; ++b, data += kBlock) {
#pragma GCC unroll 8
            for (std::size_t k = 0; k < kLanes; ++k)
                lane[k] = word_step(lane_tables, data + k * kWord, lane[k]);
        }
        crc = 0;
#pragma GCC unroll 8
        for (std::size_t k = 0; k < kLanes; ++k)
            crc = word_step(join_tables, data + k * kWord, lane[k] ^ crc);
        data += kBlock;
        length -= blocks * kBlock;
    }
    while (length-- > 0) crc = (crc >> 8) ^ byte_table[(crc ^ *data++) & 0xFFu];
    return crc;
}

struct PackageWalkMemo {
    // Whether the package from offset to its end is one byte value repeated (erased flash, zero
    // or XMODEM padding); probe holds its first bytes.
    static bool rest_is_fill(PackageSource& source, std::uint64_t offset, std::uint64_t left,
                             std::span<const std::uint8_t> probe) {
        const std::uint8_t fill = probe[0];
        auto same = [fill](std::uint8_t b) { return b == fill; };
        if (!std::all_of(probe.begin(), probe.end(), same)) return false;
        const std::uint64_t end = offset + left;
        if (source.run_byte_ == fill && source.run_from_ <= offset && offset < source.run_to_)
            return source.run_to_ == end;
        std::uint64_t done = offset + probe.size();
        std::array<std::uint8_t, 1024> piece{};
        while (done < end) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - done));
            const std::span<std::uint8_t> part(piece.data(), n);
            if (!source.read_at(done, part)) return false;
            const auto other = std::find_if_not(part.begin(), part.end(), same);
            done += static_cast<std::uint64_t>(other - part.begin());
            if (other != part.end()) break;
        }
        source.run_from_ = offset;
        source.run_to_ = done;
        source.run_byte_ = fill;
        return done == end;
    }
};

PackageItem image_package_next(PackageSource& source, std::uint64_t offset) {
    PackageItem item;
    item.offset = offset;
    const std::uint64_t size = source.size();
    item.left = offset < size ? size - offset : 0;
    item.length = item.left;
    std::array<std::uint8_t, IMG_PROBE_LEN> probe{};
    if (item.left < IMG_PROBE_LEN || !source.read_at(offset, probe)) return item;
    item.header = image_header_decode(probe);
    const bool consistent = image_header_consistent(item.header);
    const std::uint64_t length = image_length(item.header);
    if (image_kind_installed(image_kind(item.header.magic))) {
        item.step = !consistent          ? PackageStep::inconsistent
                    : length > item.left ? PackageStep::cut_short
                                         : PackageStep::image;
        item.length = length;
        return item;
    }
    // A kind the installer steps over: an image that ends inside the package is stepped over;
    // one that runs past it, or a fill of one byte value, is the end of the package.
    if (!consistent || length > item.left ||
        PackageWalkMemo::rest_is_fill(source, offset, item.left, probe))
        return item;
    item.step = PackageStep::skip;
    item.length = length;
    return item;
}
