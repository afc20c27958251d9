#include "security/image_signature.h"

#include <gtest/gtest.h>

#include <string>

#include "flash/flash.h"
#include "security/builtin_keys.h"
#include "security/signature_policy.h"
#include "tests/support/security_fixture.h"

namespace {

const std::string V = " Image signature verified. ", R = " Image rejected. ",
                  U = " Image rejected as it has no signature\n";
const std::string DAMAGED = "WARNING: damaged header entry at offset ";

// The entry walk as the signature check reports it: images whose header entries or signature
// length cannot be trusted. Low security mode and developer images are off, so a missing
// signature is simply rejected. The check with one key agrees; an empty key verifies nothing.
TEST(ImageSignature, MalformedAndEdgeImages) {
    const Bytes prod = signature_body(test_signature("production"));
    const Bytes unknown = signature_body(test_signature("unknown")), payload = signed_payload();
    const Bytes good = v3_image(entry(3, prod), payload);
    const std::span key(reinterpret_cast<const std::uint8_t*>(builtin_production_key), 451);
    Bytes truncated = good, changed = good, payload_changed = good,
          past = v3_image(entry(3, prod), {});
    truncated.resize(truncated.size() - 10);
    changed[0] ^= 0xFF;  // CRC
    changed[13] = 9;     // version
    changed[20] = 0x55;  // bytes the header does not interpret
    payload_changed.back() ^= 1;
    be::store16(past.data() + 22, 0xFFF0);
    Bytes v1 = concat({Bytes(16, 0), prod, payload});
    be::store32(v1.data() + 4, static_cast<std::uint32_t>(v1.size() - 16));
    const std::string lengths = "ERROR: the image header's lengths do not fit the image\n";
    const struct {
        const char* name;
        Bytes image;
        int result;
        std::string transcript;
    } rows[] = {
        {"production-signed", good, 1, V},
        {"entry length 0 before the signature",
         v3_image(concat({entry(1, {}, 0), entry(3, prod)}), payload), 0,
         DAMAGED + "24, entries from there on ignored\n" + U},
        {"entry length 0 after the signature",
         v3_image(concat({entry(3, prod), entry(1, {}, 0)}), payload), 1,
         DAMAGED + "286, entries from there on ignored\n" + V},
        {"entry longer than the header", v3_image(entry(3, prod, 270), payload), 0,
         DAMAGED + "24, entries from there on ignored\n" + U},
        {"header length past the image", past, 0,
         DAMAGED + "286, entries from there on ignored\n" + lengths + R},
        {"signature entry without room for S", v3_image(entry(3, {}), payload), 0,
         DAMAGED + "24, entries from there on ignored\n" + U},
        {"S past the image",
         v3_image(entry(3, signature_body(test_signature("production"), 0xFFFF)), payload), 0,
         "WARNING: signature length 65535 runs past the end of the image\n" + R},
        {"S shorter than the signature",
         v3_image(entry(3, signature_body(test_signature("production"), 255)), payload), 0, R},
        {"two signature entries, the good one last",
         v3_image(concat({entry(3, unknown), entry(3, prod)}), payload), 1, V},
        {"two signature entries, the good one first",
         v3_image(concat({entry(3, prod), entry(3, unknown)}), payload), 0, R},
        {"unsigned", v3_image(entry(1, {1, 2, 3}), payload), 0, U},
        {"no HDR3", v1, 0, U},
        {"shorter than a header", Bytes(20, 0), 0, U},
        {"header changed after signing", changed, 1, V},
        {"payload changed after signing", payload_changed, 0, R},
        {"lengths longer than the buffer", truncated, 0, lengths + R},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SecurityBoard board;
        board.sim().flash_write(FLASH_RFS_OFFSET, v3_image(entry(3, prod), payload, IMG_KIND_RFS));
        // Exactly sized: a read past the image is one past the allocation (ASan).
        const Bytes exact(row.image);
        EXPECT_EQ(imgsign_verify_image(exact), row.result);
        EXPECT_EQ(board.out(), row.transcript);
        const ImageSignature found = imgsign_find_signature(exact);
        EXPECT_EQ(imgsign_check_with_key(found, key) == 0, row.result == 1);
        EXPECT_NE(imgsign_check_with_key(found, {}), 0);
    }
}

}  // namespace
