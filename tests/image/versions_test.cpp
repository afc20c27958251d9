#include "image/versions.h"

#include <gtest/gtest.h>

#include "flash/flash.h"
#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

// Rows: fixed header parts placed in flash (OFFSET=MAGIC/ID, space-separated), whether the
// geometry query fails, and the whole display.
TEST(ShowInstalledVersions, Table) {
    for (auto& row : read_table("tests/image/data/versions.tsv")) {
        SCOPED_TRACE(row["name"]);
        TestBoard b;
        mtd_fd = mtd_open();
        for (const auto& placed : split(row["flash"], ' ')) {
            const auto at = placed.find('='), slash = placed.find('/');
            std::vector<std::uint8_t> record(16, 0);
            be::store32(record.data() + 4, 100);
            be::store32(record.data() + 8, std::stoul(placed.substr(at + 1, slash), nullptr, 0));
            be::store32(record.data() + 12, std::stoul(placed.substr(slash + 1), nullptr, 0));
            b->flash_write(std::stoul(placed.substr(0, at), nullptr, 0), record);
        }
        if (row["geometry"] == "fails") b->inject({sim::FaultKind::flash_info});
        b.clear_output();
        EXPECT_EQ(show_installed_versions(), 0);
        EXPECT_EQ(b.out(), unescape(row["shown"]));
    }
}

}  // namespace
