#include "tools/bootimg/board_check.h"

#include <gtest/gtest.h>

#include "crypto/imgsign.h"
#include "platform/linux_platform.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

// The installer's own cases (tests/image/data/install.tsv, which image/install_test.cpp runs on
// the board): for every package installed on a fresh board, in low security mode or not, without
// an operator, a fault or an earlier installation, verify must come to the board's result.
TEST(CheckPackage, AgreesWithTheInstallerOnItsOwnCases) {
    static platform::LinuxPlatform host;
    platform::set_os(host);
    CRYPTO_LIB_initialize();
    int compared = 0;
    for (auto& row : read_table("tests/image/data/install.tsv")) {
        const std::string setup = row["setup"];
        if (!row["input"].empty() || !row["faults"].empty() || row["skip"] != "0" ||
            !(setup.empty() || setup == "lowsec" || setup.starts_with("bootslot=")) ||
            row["rc"].empty())
            continue;
        SCOPED_TRACE(row["name"]);
        std::vector<std::uint8_t> package;
        std::uint8_t seed = 1;
        for (const auto& spec : split(row["package"], ' ')) {
            const auto image = image_of(spec, seed++).bytes;
            package.insert(package.end(), image.begin(), image.end());
        }
        bootimg::CheckSetup unit;
        unit.slot = std::stoi(row["slot"]);
        unit.lowsec = setup == "lowsec";
        const bootimg::PackageCheck check = bootimg::check_package(package, unit);
        ASSERT_EQ(check.setup_problem, "");
        EXPECT_EQ(check.all_installed(), row["rc"] == "1");
        // Why: the board's last word when the signature policy refused an image is a line of
        // the installer's console. (What comes before it differs: verify opens low security mode
        // through the boot environment, the installer's rows through the marker file.)
        for (const auto& image : check.images) {
            if (image.verdict != bootimg::Verdict::refused || image.reasons.empty() ||
                !image.reasons.front().starts_with("signature"))
                continue;
            const std::size_t last = image.board_says.rfind(" / ");
            const std::string verdict =
                last == std::string::npos ? image.board_says : image.board_says.substr(last + 3);
            EXPECT_TRUE(!verdict.empty() && row["out"].find(verdict) != std::string::npos)
                << image.board_says;
        }
        ++compared;
    }
    EXPECT_GT(compared, 30);
}

}  // namespace
