#include "image/image_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TEST(ImageCrc32, CheckValuesAndTheBitwiseRule) {
    // JAMCRC, the complement of the zlib CRC-32 (0xCBF43926 for the digits).
    const std::string digits = "123456789";
    EXPECT_EQ(image_crc32(reinterpret_cast<const std::uint8_t*>(digits.data()), 9, IMG_CRC_SEED),
              0x340BC6D9u);
    EXPECT_EQ(image_crc32(nullptr, 0, IMG_CRC_SEED), 0xFFFFFFFFu);
    const auto data = pattern_bytes(700, 7);
    for (std::size_t start = 0; start < 9; ++start)
        for (std::size_t length = 0; start + length <= 700; length += 1 + length / 40)
            for (std::uint32_t seed : {IMG_CRC_SEED, 0x12345678u})
                ASSERT_EQ(image_crc32(data.data() + start, length, seed),
                          jamcrc(std::span(data).subspan(start, length), seed))
                    << "start " << start << " length " << length;
}

// Rows: the 24 bytes an image starts with, and what the decoding makes of them.
TABLE_TEST(ImageHeaderDecode, "tests/image/data/headers.tsv") {
    const auto raw = hex_bytes(row["bytes"]);
    ASSERT_EQ(raw.size(), IMG_PROBE_LEN);
    const ImageHeader h = image_header_decode(std::span(raw).first<IMG_PROBE_LEN>());
    const auto word = [&](std::size_t at) { return be::load32(raw.data() + at); };
    EXPECT_EQ(std::vector<std::uint64_t>({h.crc, h.len, h.magic, h.id}),
              std::vector<std::uint64_t>({word(0), word(4), word(8), word(12)}));
    EXPECT_EQ(
        std::vector<std::uint64_t>({h.header_version, h.header_len, h.payload_len, image_length(h),
                                    image_header_consistent(h)}),
        std::vector<std::uint64_t>(
            {std::stoull(row["version"]), std::stoull(row["header_len"], nullptr, 0),
             std::stoull(row["payload_len"], nullptr, 0), std::stoull(row["image_len"], nullptr, 0),
             row.choice("consistent", {"yes", "no"}) == "yes"}));
}

// A package in memory that counts the bytes the walk reads.
class CountingSource final : public PackageSource {
  public:
    explicit CountingSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        read += out.size();
        return true;
    }
    std::uint64_t read = 0;

  private:
    std::vector<std::uint8_t> bytes_;
};

TABLE_TEST(ImagePackageWalk, "tests/image/data/package_walk.tsv") {
    std::vector<std::uint8_t> bytes;
    for (const auto& spec : split(row["package"], ' ')) {
        const auto image = image_of(spec).bytes;
        bytes.insert(bytes.end(), image.begin(), image.end());
    }
    CountingSource source(bytes);
    std::string walk;
    std::size_t skips = 0;
    const auto flush = [&] {
        if (skips > 0) walk += (skips == 1 ? "skip" : "skip*" + std::to_string(skips)) + " ";
        skips = 0;
    };
    for (std::uint64_t at = 0;;) {
        const PackageItem item = image_package_next(source, at);
        if (item.step == PackageStep::skip) {
            ++skips;
            at += item.length;
            continue;
        }
        flush();
        walk += item.step == PackageStep::end ? "end" : "image";
        break;
    }
    EXPECT_EQ(walk, row["walk"]);
    EXPECT_LE(source.read, static_cast<std::uint64_t>(row.num("reads")) * bytes.size());
}

// The tools' encoder against the fixture's own writer, kept apart from it on purpose: two
// writers that agree byte for byte, each read back by the one decoder.
TEST(ImageHeaderEncode, AgreesWithAnIndependentWriter) {
    const auto payload = pattern_bytes(300, 3);
    const HeaderEntry entry{7, {1, 2, 3, 4, 5}};
    for (const int version : {1, 2, 3}) {
        for (const bool with_entry : {false, true}) {
            if (with_entry && version != 3) continue;
            SCOPED_TRACE(std::to_string(version) + (with_entry ? " with an entry" : ""));
            const auto want =
                make_image(IMG_KIND_KERNEL, "1.2.3.4", payload, version,
                           with_entry ? std::vector{entry} : std::vector<HeaderEntry>{});
            std::vector<std::uint8_t> entries;
            if (with_entry) entries = {0, 7, 0, 9, 1, 2, 3, 4, 5};
            auto got = image_header_encode(static_cast<std::uint8_t>(version), IMG_KIND_KERNEL,
                                           0x01020304u, static_cast<std::uint32_t>(payload.size()),
                                           entries);
            got.insert(got.end(), payload.begin(), payload.end());
            image_seal(got);
            EXPECT_EQ(got, want);
            const ImageHeader h = image_header_decode(std::span(got).first<IMG_PROBE_LEN>());
            EXPECT_EQ(image_length(h), got.size());
            EXPECT_EQ(h.payload_len, payload.size());
        }
    }
}

}  // namespace
