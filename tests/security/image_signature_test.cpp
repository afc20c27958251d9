#include "security/image_signature.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "security/builtin_keys.h"
#include "tests/security/security_board.h"
#include "tests/security/signatures.h"

namespace {

using namespace security_test;

TEST(ImageSignature, FindsWhatTheWalkAllows) {
    const auto sig = signature_body(production_signature);  // 258 bytes: entries of 262
    const std::vector<std::uint8_t> payload(40, 0x77);
    struct Row {
        const char* name;
        std::vector<std::uint8_t> image;
        bool version3;
        bool found;
        std::size_t damaged;
        std::size_t signature_offset;  // 0: no signature span
        std::size_t signature_length;
        bool signature_outside;
        std::size_t payload_offset;
        bool payload_outside;
    };
    auto long_buffer = v3_image(entry(3, sig), payload);
    long_buffer.resize(long_buffer.size() + 100, 0xEE);  // the next image of a package
    auto s_in_next_image =
        v3_image(entry(3, signature_body(production_signature, 258 + 40)), payload);
    s_in_next_image.resize(s_in_next_image.size() + 100, 0xEE);
    const Row rows[] = {
        {"one signature entry", v3_image(entry(3, sig), payload), true, true, 0, 30, 256, false,
         286, false},
        {"other entries stepped over",
         v3_image(concat({entry(7, {1, 2}), entry(3, sig), entry(9, {})}), payload), true, true, 0,
         36, 256, false, 296, false},
        {"no entries", v3_image({}, payload), true, false, 0, 0, 0, false, 24, false},
        {"length 0 ends the walk",
         v3_image(concat({entry(3, sig), entry(5, {}, 0), entry(3, sig)}), payload), true, true,
         286, 30, 256, false, 552, false},
        {"length 2 ends the walk", v3_image(entry(5, {}, 2), payload), true, false, 24, 0, 0, false,
         28, false},
        {"entry past the header", v3_image(concat({entry(3, sig, 300)}), payload), true, false, 24,
         0, 0, false, 286, false},
        {"entry head cut by the header", v3_image({1, 2}, payload), true, false, 24, 0, 0, false,
         26, false},
        {"S up to the payload end",
         v3_image(entry(3, signature_body(production_signature, 256 + 40)), payload), true, true, 0,
         30, 296, false, 286, false},
        {"S past the image", v3_image(entry(3, signature_body(production_signature, 297)), payload),
         true, true, 0, 0, 297, true, 286, false},
        {"buffer longer than the image", long_buffer, true, true, 0, 30, 256, false, 286, false},
        {"S into the bytes after the image", s_in_next_image, true, true, 0, 0, 298, true, 286,
         false},
        {"not HDR3", std::vector<std::uint8_t>(64, 0), false, false, 0, 0, 0, false, 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<std::uint8_t> image(row.image);
        const ImageSignature found = imgsign_find_signature(image);
        EXPECT_EQ(found.version3, row.version3);
        EXPECT_EQ(found.found, row.found);
        EXPECT_EQ(found.damaged_entry, row.damaged);
        if (row.found) {
            EXPECT_EQ(found.signature_length, row.signature_length);
        }
        EXPECT_EQ(found.signature_outside, row.signature_outside);
        if (row.signature_offset != 0) {
            EXPECT_EQ(found.signature.data() - image.data(),
                      static_cast<std::ptrdiff_t>(row.signature_offset));
            EXPECT_EQ(found.signature.size(), row.signature_length);
        } else {
            EXPECT_TRUE(found.signature.empty());
        }
        if (row.version3) {
            EXPECT_EQ(found.payload_outside, row.payload_outside);
            EXPECT_EQ(found.payload.data() - image.data(),
                      static_cast<std::ptrdiff_t>(row.payload_offset));
            EXPECT_EQ(found.payload.data() + found.payload.size(),
                      image.data() + be::load32(image.data() + 4) + 16);
        }
    }
}

TEST(ImageSignature, CheckWithKey) {
    Board board;  // the library's decoding tables
    const std::span<const std::uint8_t> production(
        reinterpret_cast<const std::uint8_t*>(builtin_production_key), 451);
    const std::span<const std::uint8_t> development(
        reinterpret_cast<const std::uint8_t*>(builtin_development_key), 451);
    struct Row {
        const char* name;
        std::vector<std::uint8_t> image;
        bool production_verifies;
        bool development_verifies;
    };
    const auto payload = signed_payload();
    auto other_payload = payload;
    other_payload[500] ^= 0x01;
    const Row rows[] = {
        {"production", v3_image(entry(3, signature_body(production_signature)), payload), true,
         false},
        {"development", v3_image(entry(3, signature_body(development_signature)), payload), false,
         true},
        {"unknown key", v3_image(entry(3, signature_body(unknown_signature)), payload), false,
         false},
        {"other payload", v3_image(entry(3, signature_body(production_signature)), other_payload),
         false, false},
        {"unsigned", v3_image(entry(1, {}), payload), false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ImageSignature found = imgsign_find_signature(row.image);
        EXPECT_EQ(imgsign_check_with_key(found, production) == 0, row.production_verifies);
        EXPECT_EQ(imgsign_check_with_key(found, development) == 0, row.development_verifies);
        EXPECT_NE(imgsign_check_with_key(found, {}), 0);  // an empty key verifies nothing
    }
}

}  // namespace
