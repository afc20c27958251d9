#include "security/image_signature.h"

#include <gtest/gtest.h>

#include "flash/flash.h"
#include "security/builtin_keys.h"
#include "tests/support/security_fixture.h"

namespace {

// The entry walk as the signature check reports it: images whose header entries or signature
// length cannot be trusted. The check with one key agrees; an empty key verifies nothing.
TABLE_TEST(ImageSignature, "tests/security/data/image_signature.tsv") {
    const std::span key(reinterpret_cast<const std::uint8_t*>(builtin_production_key), 451);
    SecurityBoard board;
    board->flash_write(FLASH_RFS_OFFSET, image_of("rfs:sig=production").bytes);
    const SpecImage made = image_of(row["image"]);
    const Bytes image(made.bytes);  // exactly sized: a read past it is caught (ASan)
    EXPECT_EQ(imgsign_verify_image(image), row.num("result"));
    EXPECT_EQ(board.out(), fill(row["transcript"]));
    const ImageSignature found = imgsign_find_signature(image);
    EXPECT_EQ(imgsign_check_with_key(found, key) == 0, row["result"] == "1");
    EXPECT_NE(imgsign_check_with_key(found, {}), 0);
}

}  // namespace
