#include "image/versions.h"

#include <gtest/gtest.h>

#include "flash/flash.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(ShowInstalledVersions, "tests/image/data/versions.tsv") {
    TestBoard b;
    mtd_fd = mtd_open();
    for (const auto& placed : split(row["flash"], ' ')) {
        const auto at = placed.find('=');
        b->flash_write(std::stoul(placed.substr(0, at), nullptr, 0),
                       image_of(placed.substr(at + 1)).bytes);
    }
    if (row.choice("geometry", {"", "fails"}) == "fails") b->inject({sim::FaultKind::flash_info});
    b.clear_output();
    EXPECT_EQ(show_installed_versions(), 0);
    EXPECT_EQ(b.out(), unescape(row["shown"]));
}

}  // namespace
