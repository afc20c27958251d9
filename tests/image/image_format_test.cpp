#include "image/image_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// The CRC exactly as the format defines it, one bit at a time: the reference the table-driven
// code must agree with on every length and alignment.
std::uint32_t crc_bitwise(const std::uint8_t* data, std::size_t length, std::uint32_t crc) {
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((crc ^ byte) & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            byte >>= 1;
        }
    }
    return crc;
}

std::uint32_t crc_of(const std::string& text) {
    return image_crc32(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                       IMG_CRC_SEED);
}

struct CheckValue {
    std::string text;
    std::uint32_t jamcrc;
    std::uint32_t zlib;  // the common CRC-32 of the same bytes
};

TEST(ImageCrc32, CheckValuesAreJamcrcAndTheComplementOfZlib) {
    const CheckValue rows[] = {
        {"", 0xFFFFFFFFu, 0x00000000u},
        {"123456789", 0x340BC6D9u, 0xCBF43926u},
        {"a", 0x174841BCu, 0xE8B7BE43u},
        {"The quick brown fox jumps over the lazy dog", 0xBEB05CC6u, 0x414FA339u},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(crc_of(row.text), row.jamcrc) << '"' << row.text << '"';
        EXPECT_EQ(crc_of(row.text), ~row.zlib) << '"' << row.text << '"';
    }
}

TEST(ImageCrc32, AgreesWithBitwiseRuleOnEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(600);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (std::size_t start = 0; start < 17; ++start) {
        for (std::size_t length = 0; start + length <= 300; ++length) {
            ASSERT_EQ(image_crc32(data.data() + start, length, IMG_CRC_SEED),
                      crc_bitwise(data.data() + start, length, IMG_CRC_SEED))
                << "start " << start << " length " << length;
        }
    }
}

TEST(ImageCrc32, ContinuesFromAnyRegisterValue) {
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const std::uint32_t whole = image_crc32(data.data(), data.size(), IMG_CRC_SEED);
    for (std::size_t split : {0u, 1u, 15u, 16u, 17u, 333u, 999u, 1000u}) {
        const std::uint32_t head = image_crc32(data.data(), split, IMG_CRC_SEED);
        EXPECT_EQ(image_crc32(data.data() + split, data.size() - split, head), whole) << split;
    }
    EXPECT_EQ(image_crc32(data.data(), 100, 0x12345678u),
              crc_bitwise(data.data(), 100, 0x12345678u));
}

struct HeaderBytes {
    std::uint32_t crc = 0xCAFEBABEu;
    std::uint32_t len = 0;
    std::uint32_t magic = IMG_KIND_APPLICATION;
    std::uint32_t id = 0x01020304u;
    std::uint32_t word16 = 0;
    std::uint16_t h18 = 0;
    std::uint16_t h22 = 0;

    std::array<std::uint8_t, IMG_PROBE_LEN> bytes() const {
        std::array<std::uint8_t, IMG_PROBE_LEN> b{};
        auto put32 = [&](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
        };
        put32(0, crc);
        put32(4, len);
        put32(8, magic);
        put32(12, id);
        put32(16, word16);
        if (word16 != IMG_HDR3_MAGIC) {
            b[18] = static_cast<std::uint8_t>(h18 >> 8);
            b[19] = static_cast<std::uint8_t>(h18);
        }
        b[22] = static_cast<std::uint8_t>(h22 >> 8);
        b[23] = static_cast<std::uint8_t>(h22);
        return b;
    }
};

struct DecodeCase {
    const char* name;
    HeaderBytes in;
    int version;
    std::uint32_t header_len;
    std::uint32_t payload_len;
    std::uint64_t image_len;
    bool consistent;
};

TEST(ImageHeaderDecode, VersionsLengthsAndConsistency) {
    constexpr std::uint32_t ext = IMG_KIND_APPLICATION | IMG_EXT_HEADER;
    const DecodeCase rows[] = {
        {"v1 plain", HeaderBytes{.len = 1000}, 1, 16, 1000, 1016, true},
        {"v1 empty payload", HeaderBytes{.len = 0}, 1, 16, 0, 16, true},
        {"v1 ignores 18 and 22", HeaderBytes{.len = 5, .h18 = 99, .h22 = 77}, 1, 16, 5, 21, true},
        {"v1 huge len stays 64-bit", HeaderBytes{.len = 0xFFFFFFFFu}, 1, 16, 0xFFFFFFFFu,
         0x10000000Full, true},
        {"v2 header length at 18", HeaderBytes{.len = 100, .magic = ext, .h18 = 64}, 2, 64, 100,
         164, true},
        {"v2 minimum 20", HeaderBytes{.len = 1, .magic = ext, .h18 = 20}, 2, 20, 1, 21, true},
        {"v2 below minimum", HeaderBytes{.len = 100, .magic = ext, .h18 = 19}, 2, 19, 100, 119,
         false},
        {"v2 zero header length", HeaderBytes{.len = 100, .magic = ext, .h18 = 0}, 2, 0, 100, 100,
         false},
        {"v3 entries", HeaderBytes{.len = 200, .word16 = IMG_HDR3_MAGIC, .h22 = 56}, 3, 56, 160,
         216, true},
        {"v3 no entries", HeaderBytes{.len = 50, .word16 = IMG_HDR3_MAGIC, .h22 = 24}, 3, 24, 42,
         66, true},
        {"v3 with ext flag",
         HeaderBytes{.len = 50, .magic = ext, .word16 = IMG_HDR3_MAGIC, .h22 = 24}, 3, 24, 42, 66,
         true},
        {"v3 empty payload", HeaderBytes{.len = 8, .word16 = IMG_HDR3_MAGIC, .h22 = 24}, 3, 24, 0,
         24, true},
        {"v3 negative payload", HeaderBytes{.len = 7, .word16 = IMG_HDR3_MAGIC, .h22 = 24}, 3, 24,
         0xFFFFFFFFu, 23, false},
        {"v3 header past the image", HeaderBytes{.len = 0, .word16 = IMG_HDR3_MAGIC, .h22 = 0xFFFF},
         3, 0xFFFF, 16u - 0xFFFFu, 16, false},
        {"v3 below minimum", HeaderBytes{.len = 100, .word16 = IMG_HDR3_MAGIC, .h22 = 23}, 3, 23,
         93, 116, false},
        {"v3 len near wrap", HeaderBytes{.len = 0xFFFFFFF8u, .word16 = IMG_HDR3_MAGIC, .h22 = 24},
         3, 24, 0xFFFFFFF0u, 0x100000008ull, true},
    };
    for (const auto& row : rows) {
        const auto b = row.in.bytes();
        const ImageHeader h = image_header_decode(b);
        EXPECT_EQ(h.crc, row.in.crc) << row.name;
        EXPECT_EQ(h.len, row.in.len) << row.name;
        EXPECT_EQ(h.magic, row.in.magic) << row.name;
        EXPECT_EQ(h.id, 0x01020304u) << row.name;
        EXPECT_EQ(h.header_version, row.version) << row.name;
        EXPECT_EQ(h.header_len, row.header_len) << row.name;
        EXPECT_EQ(h.payload_len, row.payload_len) << row.name;
        EXPECT_EQ(image_length(h), row.image_len) << row.name;
        EXPECT_EQ(image_header_consistent(h), row.consistent) << row.name;
    }
}

TEST(ImageKind, ClearsOnlyTheExtendedHeaderFlag) {
    const std::pair<std::uint32_t, std::uint32_t> rows[] = {
        {0x8173636Fu, IMG_KIND_APPLICATION},
        {IMG_KIND_QORB, IMG_KIND_QORB},
        {0xFFFFFFFFu, 0x7FFFFFFFu},
    };
    for (const auto& [magic, kind] : rows) EXPECT_EQ(image_kind(magic), kind) << std::hex << magic;
}

}  // namespace
