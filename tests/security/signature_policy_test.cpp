#include "security/signature_policy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "flash/flash.h"
#include "security/keystore.h"
#include "security/lowsec.h"
#include "tests/support/security_fixture.h"

namespace {

const std::string V = " Image signature verified. ", R = " Image rejected. ";
const std::map<std::string, std::string> kTexts = {
    {"O", "NOTE: Uboot low security mode override enabled\n"},
    {"D", "\nNOTE - developer images operational. Checking developer keys....\n"},
    {"L", "\nNOTE - low security mode is operational. Checking developer keys....\n"},
    {"W",
     "\nWARNING: All checks failed but you are running developer images and are in low "
     "security mode\n"},
    {"U", " Image rejected as it has no signature\n"},
    {"UW",
     "\nWARNING: Image is unsigned but you are running developer images and are in low "
     "security mode\n"}};

Bytes signed_image(const std::string& signer, std::uint32_t kind = IMG_KIND_KERNEL) {
    const Bytes e =
        signer == "none" ? entry(1, {0xAB}) : entry(3, signature_body(test_signature(signer)));
    return v3_image(e, signed_payload(), kind);
}

// An installed root file system from before signatures: a version-2 header of the RFS kind.
Bytes old_rfs(std::uint32_t kind = IMG_KIND_RFS) {
    Bytes v2(64, 0);
    be::store32(v2.data() + 8, kind | IMG_EXT_HEADER);
    be::store16(v2.data() + 18, 20);
    return v2;
}

TEST(SignaturePolicy, AcceptanceMatrix) {
    for (const auto& row : read_table("tests/security/data/policy_matrix.tsv")) {
        for (const char answer : {'y', 'n'}) {
            SCOPED_TRACE(row["signer"] + " " + row["lowsec"] + " " + row["dev"] + " " + answer);
            SecurityBoard board({}, std::string(1, answer));
            ASSERT_EQ(imgsign_keys_present(), 1);  // the key files exist, as after start-up
            board.sim().flash_write(
                FLASH_RFS_OFFSET,
                row["dev"] == "yes" ? old_rfs() : signed_image("production", IMG_KIND_RFS));
            if (row["lowsec"] == "override") boot_settings.lowsec_authorised = 1;
            if (row["lowsec"] == "marker") {
                ASSERT_EQ(lowsec_marker_set(1), 0);
            }
            board.clear_events();
            const int expected = static_cast<int>(row.num(answer == 'y' ? "yes" : "no"));
            EXPECT_EQ(imgsign_verify_image(signed_image(row["signer"])), expected);
            std::string transcript = fill(row["transcript"], kTexts);
            if (row["prompt"] == "yes")
                transcript += std::string("Install image anyway? y/N? ") + answer + "\n";
            if (row["signer"] != "none") transcript += expected == 1 ? V : R;
            EXPECT_EQ(board.out(), transcript);
            EXPECT_EQ(board.opens(DEVELOPMENT_KEY_PATH) > 0, row["devkey"] == "yes");
            EXPECT_EQ(board.opens("/dev/mtd-rfs") > 0, row["rfs"] == "yes");
            EXPECT_EQ(board.sim().rfs_reads() != 0, row["rfs"] == "yes");
        }
    }
}

// Only a real root file system image from before signatures, or one the development key signed,
// makes developer images operational; an answer once reached is kept.
TEST(SignaturePolicy, DeveloperImagesState) {
    Bytes too_long = signed_image("development", IMG_KIND_RFS), v1_rfs(64, 0);
    be::store32(too_long.data() + 4, FLASH_RFS_ROOM);
    be::store32(v1_rfs.data() + 8, IMG_KIND_RFS);
    const std::string error =
        "ERROR reading /dev/mtd-rfs: image length 15728656 exceeds the region\n";
    const struct {
        const char* name;
        Bytes rfs;  // empty: the region stays erased
        int answer;
        bool dev_key_read;
        int opens_for_two_calls;  // 1 when the answer is kept
        std::string output;
    } rows[] = {
        {"erased region", {}, 0, false, 1, ""},
        {"version-1 root file system", v1_rfs, 1, false, 1, ""},
        {"version-2 kernel", old_rfs(IMG_KIND_KERNEL), 0, false, 1, ""},
        {"development-signed", signed_image("development", IMG_KIND_RFS), 1, true, 1, ""},
        {"production-signed", signed_image("production", IMG_KIND_RFS), 0, true, 1, ""},
        {"unsigned: not kept", signed_image("none", IMG_KIND_RFS), 0, false, 2, ""},
        {"length beyond the region", too_long, 0, false, 2, error + error},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SecurityBoard board;
        if (!row.rfs.empty()) board.sim().flash_write(FLASH_RFS_OFFSET, row.rfs);
        EXPECT_EQ(imgsign_developer_images(), row.answer);
        EXPECT_EQ(imgsign_developer_images(), row.answer);
        EXPECT_EQ(board.opens(DEVELOPMENT_KEY_PATH) > 0, row.dev_key_read);
        EXPECT_EQ(board.opens("/dev/mtd-rfs"), row.opens_for_two_calls);
        EXPECT_EQ(board.out(), row.output);
    }
}

// A unit whose key file cannot be re-created boots with the warning and accepts no image.
TEST(SignaturePolicy, MissingKeyAcceptsNothing) {
    SecurityBoard board({}, "yy");
    board.sim().inject(fault(sim::FaultKind::create_path, PRODUCTION_KEY_PATH));
    boot_settings.lowsec_authorised = 1;
    EXPECT_EQ(imgsign_keys_present(), 0);
    for (const char* signer : {"production", "development", "unknown"})
        EXPECT_EQ(imgsign_verify_image(signed_image(signer)), 0);
    EXPECT_EQ(board.out().find(V), std::string::npos);
    EXPECT_NE(board.out().find("ERROR - unable to find system key\n"), std::string::npos);
}

}  // namespace
