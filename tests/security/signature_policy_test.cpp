#include "security/signature_policy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "flash/flash.h"
#include "security/keystore.h"
#include "security/lowsec.h"
#include "tests/support/security_fixture.h"

namespace {

// An image of the test payload signed by `signer` ("none": an unsigned one).
Bytes signed_image(const std::string& signer, const std::string& kind = "kernel") {
    return image_of(kind + (signer == "none" ? ":e=1" : ":sig=" + signer)).bytes;
}

TABLE_TEST(SignaturePolicyMatrix, "tests/security/data/policy_matrix.tsv") {
    const auto yes = [&](const char* column) { return row.choice(column, {"yes", "no"}) == "yes"; };
    const std::string lowsec = row.choice("lowsec", {"off", "marker", "override"});
    const bool dev = yes("dev"), prompt = yes("prompt"), devkey = yes("devkey"), rfs = yes("rfs");
    for (const char answer : {'y', 'n'}) {
        SCOPED_TRACE(std::string("answer ") + answer);
        SecurityBoard board({}, std::string(1, answer));
        ASSERT_EQ(imgsign_keys_present(), 1);  // the key files exist, as after start-up
        board->flash_write(FLASH_RFS_OFFSET,
                           image_of(dev ? "rfs:v2:n=0" : "rfs:sig=production").bytes);
        if (lowsec == "override") boot_settings.lowsec_authorised = 1;
        if (lowsec == "marker") {
            ASSERT_EQ(lowsec_marker_set(1), 0);
        }
        board.clear_events();
        const int expected = static_cast<int>(row.num(answer == 'y' ? "yes" : "no"));
        EXPECT_EQ(imgsign_verify_image(signed_image(row["signer"])), expected);
        std::string transcript = fill(row["transcript"]);
        if (prompt) transcript += std::string("Install image anyway? y/N? ") + answer + "\n";
        if (row["signer"] != "none") transcript += texts().at(expected == 1 ? "V" : "R");
        EXPECT_EQ(board.out(), transcript);
        EXPECT_EQ(board.opens(DEVELOPMENT_KEY_PATH) > 0, devkey);
        EXPECT_EQ(board.opens("/dev/mtd-rfs") > 0, rfs);
        EXPECT_EQ(board->rfs_reads() != 0, rfs);
    }
}

// Only a real root file system image from before signatures, or one the development key signed,
// makes developer images operational; an answer once reached is kept.
TABLE_TEST(DeveloperImages, "tests/security/data/developer_images.tsv") {
    SecurityBoard board;
    if (!row["rfs"].empty()) board->flash_write(FLASH_RFS_OFFSET, image_of(row["rfs"]).bytes);
    EXPECT_EQ(imgsign_developer_images(), row.num("answer"));
    EXPECT_EQ(imgsign_developer_images(), row.num("answer"));
    EXPECT_EQ(board.opens(DEVELOPMENT_KEY_PATH) > 0, row.choice("devkey", {"yes", "no"}) == "yes");
    EXPECT_EQ(board.opens("/dev/mtd-rfs"), row.num("opens"));
    EXPECT_EQ(board.out(), row["output"]);
}

// A unit whose key file cannot be re-created boots with the warning and accepts no image.
TEST(SignaturePolicy, MissingKeyAcceptsNothing) {
    SecurityBoard board({}, "yy");
    board->inject(faults_of(std::string("create:") + PRODUCTION_KEY_PATH)[0]);
    boot_settings.lowsec_authorised = 1;
    EXPECT_EQ(imgsign_keys_present(), 0);
    for (const char* signer : {"production", "development", "unknown"})
        EXPECT_EQ(imgsign_verify_image(signed_image(signer)), 0);
    EXPECT_EQ(board.out().find(texts().at("V")), std::string::npos);
    EXPECT_NE(board.out().find("ERROR - unable to find system key\n"), std::string::npos);
}

}  // namespace
