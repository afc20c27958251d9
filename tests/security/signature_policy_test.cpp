#include "security/signature_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash.h"
#include "security/keystore.h"
#include "security/lowsec.h"
#include "tests/security/security_board.h"
#include "tests/security/signatures.h"

namespace {

using namespace security_test;

enum class Signer { production, development, unknown, none };
enum class LowSec { off, marker, override };

const std::string V = " Image signature verified. ";
const std::string R = " Image rejected. ";
const std::string U = " Image rejected as it has no signature\n";
const std::string O = "NOTE: Uboot low security mode override enabled\n";
const std::string D = "\nNOTE - developer images operational. Checking developer keys....\n";
const std::string L = "\nNOTE - low security mode is operational. Checking developer keys....\n";
const std::string W =
    "\nWARNING: All checks failed but you are running developer images and are in low security "
    "mode\n";
const std::string UW =
    "\nWARNING: Image is unsigned but you are running developer images and are in low security "
    "mode\n";
const std::string PROMPT = "Install image anyway? y/N? ";

std::vector<std::uint8_t> signature_entry(Signer signer) {
    switch (signer) {
        case Signer::production:
            return entry(3, signature_body(production_signature));
        case Signer::development:
            return entry(3, signature_body(development_signature));
        case Signer::unknown:
            return entry(3, signature_body(unknown_signature));
        case Signer::none:
            return entry(1, {0xAB, 0xCD});
    }
    return {};
}

std::vector<std::uint8_t> signed_image(Signer signer, std::uint32_t kind = IMG_KIND_KERNEL) {
    return v3_image(signature_entry(signer), signed_payload(), kind);
}

// The installed root file system: an old header makes developer images operational; a
// production-signed one does not (the development key does not verify it).
void install_rfs(Board& board, bool developer_images) {
    if (developer_images) {
        std::vector<std::uint8_t> v2(64, 0);
        be::store32(v2.data() + 8, IMG_KIND_RFS | IMG_EXT_HEADER);
        be::store16(v2.data() + 18, 20);
        board.sim().flash_write(FLASH_RFS_OFFSET, v2);
    } else {
        board.sim().flash_write(FLASH_RFS_OFFSET, signed_image(Signer::production, IMG_KIND_RFS));
    }
}

void set_lowsec(Board& board, LowSec mode) {
    if (mode == LowSec::override) boot_settings.lowsec_authorised = 1;
    if (mode == LowSec::marker) board.write(LOWSEC_MARKER_PATH, "tolvrine\n");
}

TEST(SignaturePolicy, AcceptanceMatrix) {
    struct Row {
        Signer signer;
        LowSec lowsec;
        bool dev;
        std::string before_prompt;  // transcript up to the prompt, or all of it without a verdict
        bool prompt;
        int result_yes;
        int result_no;
        bool dev_key_read;
        bool rfs_read;
    };
    using S = Signer;
    using M = LowSec;
    const Row rows[] = {
        {S::production, M::off, false, "", false, 1, 1, false, false},
        {S::production, M::off, true, "", false, 1, 1, false, false},
        {S::production, M::marker, false, "", false, 1, 1, false, false},
        {S::production, M::marker, true, "", false, 1, 1, false, false},
        {S::production, M::override, false, O, false, 1, 1, false, false},
        {S::production, M::override, true, O, false, 1, 1, false, false},

        {S::development, M::off, false, "", false, 0, 0, true, true},
        {S::development, M::off, true, D, false, 1, 1, true, true},
        {S::development, M::marker, false, L, false, 1, 1, true, true},
        {S::development, M::marker, true, D, false, 1, 1, true, true},
        {S::development, M::override, false, O + L, false, 1, 1, true, true},
        {S::development, M::override, true, O + D, false, 1, 1, true, true},

        {S::unknown, M::off, false, "", false, 0, 0, true, true},
        {S::unknown, M::off, true, D, false, 0, 0, true, true},
        {S::unknown, M::marker, false, L, false, 0, 0, true, true},
        {S::unknown, M::marker, true, D + W, true, 1, 0, true, true},
        {S::unknown, M::override, false, O + L, false, 0, 0, true, true},
        {S::unknown, M::override, true, O + D + W, true, 1, 0, true, true},

        {S::none, M::off, false, U, false, 0, 0, true, true},
        {S::none, M::off, true, U, false, 0, 0, false, true},
        {S::none, M::marker, false, U, false, 0, 0, true, true},
        {S::none, M::marker, true, UW, true, 1, 0, false, true},
        {S::none, M::override, false, O + O + U, false, 0, 0, true, true},
        {S::none, M::override, true, O + O + UW, true, 1, 0, false, true},
    };
    for (const auto& row : rows) {
        for (const char answer : {'y', 'n'}) {
            SCOPED_TRACE(testing::Message()
                         << "signer " << static_cast<int>(row.signer) << ", low security "
                         << static_cast<int>(row.lowsec) << ", developer images " << row.dev
                         << ", answer " << answer);
            Board board({}, std::string(1, answer));
            ASSERT_EQ(imgsign_keys_present(), 1);  // the key files exist, as after start-up
            install_rfs(board, row.dev);
            set_lowsec(board, row.lowsec);
            board.sim().clear_flash_log();
            const auto events_before = board.sim().events().size();

            const int expected = answer == 'y' ? row.result_yes : row.result_no;
            EXPECT_EQ(imgsign_verify_image(signed_image(row.signer)), expected);

            std::string transcript = row.before_prompt;
            if (row.prompt) transcript += PROMPT + answer + "\n";
            if (row.signer != Signer::none) transcript += expected == 1 ? V : R;
            EXPECT_EQ(board.out(), transcript);

            const auto events = board.sim().events();
            const std::vector<sim::Event> during(events.begin() + events_before, events.end());
            bool dev_key = false;
            bool rfs = false;
            for (const auto& text : sim::event_texts(during, "fopen")) {
                dev_key = dev_key || text.starts_with(DEVELOPMENT_KEY_PATH);
                rfs = rfs || text.starts_with("/dev/mtd-rfs");
            }
            EXPECT_EQ(dev_key, row.dev_key_read);
            EXPECT_EQ(rfs, row.rfs_read);
            EXPECT_EQ(board.sim().rfs_reads() != 0, row.rfs_read);
        }
    }
}

// Images whose header entries or signature length cannot be trusted. Low security mode and
// developer images are off, so a missing signature is simply rejected.
TEST(SignaturePolicy, MalformedAndEdgeImages) {
    const auto prod = signature_body(production_signature);
    const auto unknown = signature_body(unknown_signature);
    const auto payload = signed_payload();
    const std::string damaged24 =
        "WARNING: damaged header entry at offset 24, entries from there on ignored\n";
    struct Row {
        const char* name;
        std::vector<std::uint8_t> image;
        int result;
        std::string transcript;
    };
    auto truncated = v3_image(entry(3, prod), payload);
    truncated.resize(truncated.size() - 10);
    auto changed = v3_image(entry(3, prod), payload);
    changed[0] ^= 0xFF;  // CRC
    changed[13] = 9;     // version
    changed[20] = 0x55;  // bytes the header does not interpret
    std::vector<std::uint8_t> v1 = concat({std::vector<std::uint8_t>(16, 0), prod, payload});
    be::store32(v1.data() + 4, static_cast<std::uint32_t>(v1.size() - 16));
    const auto short_image = std::vector<std::uint8_t>(20, 0);
    auto header_past_image = v3_image(entry(3, prod), {});
    be::store16(header_past_image.data() + 22, 0xFFF0);
    const Row rows[] = {
        {"production-signed", v3_image(entry(3, prod), payload), 1, V},
        {"entry length 0 before the signature",
         v3_image(concat({entry(1, {}, 0), entry(3, prod)}), payload), 0, damaged24 + U},
        {"entry length 0 after the signature",
         v3_image(concat({entry(3, prod), entry(1, {}, 0)}), payload), 1,
         "WARNING: damaged header entry at offset 286, entries from there on ignored\n" + V},
        {"entry longer than the header", v3_image(entry(3, prod, 270), payload), 0, damaged24 + U},
        {"entry longer than the image", v3_image(entry(3, prod, 0xFFFF), payload), 0,
         damaged24 + U},
        {"header length past the image", header_past_image, 0,
         "WARNING: damaged header entry at offset 286, entries from there on ignored\n"
         "ERROR: the image header's lengths do not fit the image\n" +
             R},
        {"signature entry without room for S", v3_image(entry(3, {}), payload), 0, damaged24 + U},
        {"S past the image",
         v3_image(entry(3, signature_body(production_signature, 0xFFFF)), payload), 0,
         "WARNING: signature length 65535 runs past the end of the image\n" + R},
        {"S shorter than the signature",
         v3_image(entry(3, signature_body(production_signature, 255)), payload), 0, R},
        {"S of 0", v3_image(entry(3, signature_body(std::vector<std::uint8_t>{}, 0)), payload), 0,
         R},
        {"two signature entries, the good one last",
         v3_image(concat({entry(3, unknown), entry(3, prod)}), payload), 1, V},
        {"two signature entries, the good one first",
         v3_image(concat({entry(3, prod), entry(3, unknown)}), payload), 0, R},
        {"unsigned", v3_image(entry(1, {1, 2, 3}), payload), 0, U},
        {"no HDR3", v1, 0, U},
        {"shorter than a header", short_image, 0, U},
        {"header changed after signing", changed, 1, V},
        {"payload changed after signing",
         [&] {
             auto image = v3_image(entry(3, prod), payload);
             image.back() ^= 1;
             return image;
         }(),
         0, R},
        {"lengths longer than the buffer", truncated, 0,
         "ERROR: the image header's lengths do not fit the image\n" + R},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board;
        install_rfs(board, false);
        // An exactly sized copy: a read past the image is a read past the allocation (ASan).
        const std::vector<std::uint8_t> exact(row.image.begin(), row.image.end());
        EXPECT_EQ(imgsign_verify_image(exact), row.result);
        EXPECT_EQ(board.out(), row.transcript);
    }
}

TEST(SignaturePolicy, DeveloperImagesState) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> rfs;  // empty: the region stays erased
        int answer;
        bool dev_key_read;
        int opens_for_two_calls;  // 1 when the answer is cached
        std::string output;
    };
    std::vector<std::uint8_t> too_long = signed_image(Signer::development, IMG_KIND_RFS);
    be::store32(too_long.data() + 4, FLASH_RFS_ROOM);
    const Row rows[] = {
        {"erased region: old header", {}, 1, false, 1, ""},
        {"development-signed", signed_image(Signer::development, IMG_KIND_RFS), 1, true, 1, ""},
        {"production-signed", signed_image(Signer::production, IMG_KIND_RFS), 0, true, 1, ""},
        {"unsigned: not cached", signed_image(Signer::none, IMG_KIND_RFS), 0, false, 2, ""},
        {"length beyond the region", too_long, 0, false, 2,
         "ERROR reading /dev/mtd-rfs: image length 15728656 exceeds the region\n"
         "ERROR reading /dev/mtd-rfs: image length 15728656 exceeds the region\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board;
        if (!row.rfs.empty()) board.sim().flash_write(FLASH_RFS_OFFSET, row.rfs);
        EXPECT_EQ(imgsign_developer_images(), row.answer);
        EXPECT_EQ(imgsign_developer_images(), row.answer);
        EXPECT_EQ(board.opened(DEVELOPMENT_KEY_PATH), row.dev_key_read);
        int opens = 0;
        for (const auto& text : sim::event_texts(board.sim().events(), "fopen"))
            opens += text.starts_with("/dev/mtd-rfs") ? 1 : 0;
        EXPECT_EQ(opens, row.opens_for_two_calls);
        EXPECT_EQ(board.out(), row.output);
    }
}

// A unit whose key file cannot be re-created boots with the warning and accepts no image.
TEST(SignaturePolicy, MissingKeyAcceptsNothing) {
    Board board({}, "yy");
    board.sim().inject(security_test::fail_creating(PRODUCTION_KEY_PATH));
    boot_settings.lowsec_authorised = 1;
    EXPECT_EQ(imgsign_keys_present(), 0);
    for (const Signer signer : {Signer::production, Signer::development, Signer::unknown}) {
        EXPECT_EQ(imgsign_verify_image(signed_image(signer)), 0);
    }
    const std::string out = board.out();
    EXPECT_EQ(out.find(V), std::string::npos);
    EXPECT_NE(out.find("ERROR - unable to find system key\n"), std::string::npos);
}

}  // namespace
