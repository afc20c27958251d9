#include "image/image_format.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/table.h"

namespace {

// The CRC exactly as the format defines it, one bit at a time: the reference the table-driven
// code must agree with on every length, alignment and starting register.
std::uint32_t crc_bitwise(const std::uint8_t* data, std::size_t length, std::uint32_t crc) {
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit, byte >>= 1)
            crc = ((crc ^ byte) & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

TEST(ImageCrc32, CheckValuesAndTheBitwiseRule) {
    // JAMCRC, the complement of the zlib CRC-32 (0xCBF43926 for the digits).
    const std::string digits = "123456789";
    EXPECT_EQ(image_crc32(reinterpret_cast<const std::uint8_t*>(digits.data()), 9, IMG_CRC_SEED),
              0x340BC6D9u);
    EXPECT_EQ(image_crc32(nullptr, 0, IMG_CRC_SEED), 0xFFFFFFFFu);
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(700);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (std::size_t start = 0; start < 9; ++start)
        for (std::size_t length = 0; start + length <= 700; length += 1 + length / 40)
            for (std::uint32_t seed : {IMG_CRC_SEED, 0x12345678u})
                ASSERT_EQ(image_crc32(data.data() + start, length, seed),
                          crc_bitwise(data.data() + start, length, seed))
                    << "start " << start << " length " << length;
}

// Rows: the 24 bytes an image starts with, and what the decoding makes of them.
TEST(ImageHeaderDecode, VersionsLengthsAndConsistency) {
    for (auto& row : read_table("tests/image/data/headers.tsv")) {
        SCOPED_TRACE(row["name"]);
        std::array<std::uint8_t, IMG_PROBE_LEN> bytes{};
        std::string hex;
        for (char c : row["bytes"])
            if (c != ' ') hex += c;
        ASSERT_EQ(hex.size(), 48u);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        const ImageHeader h = image_header_decode(bytes);
        EXPECT_EQ(std::vector<std::uint64_t>({h.crc, h.len, h.magic, h.id}),
                  std::vector<std::uint64_t>({std::stoul(hex.substr(0, 8), nullptr, 16),
                                              std::stoul(hex.substr(8, 8), nullptr, 16),
                                              std::stoul(hex.substr(16, 8), nullptr, 16),
                                              std::stoul(hex.substr(24, 8), nullptr, 16)}));
        EXPECT_EQ(std::vector<std::uint64_t>({h.header_version, h.header_len, h.payload_len,
                                              image_length(h), image_header_consistent(h)}),
                  std::vector<std::uint64_t>(
                      {std::stoull(row["version"]), std::stoull(row["header_len"], nullptr, 0),
                       std::stoull(row["payload_len"], nullptr, 0),
                       std::stoull(row["image_len"], nullptr, 0), row["consistent"] == "yes"}));
    }
}

}  // namespace
