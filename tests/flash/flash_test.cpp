#include "flash/flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kBlock = sim::kFlashEraseSize;

// Each row runs one region operation on a board whose blocks around the range hold a pattern,
// then checks the result, the console, which blocks were erased (whole, in order) and the bytes:
// the range and nothing else changed by a write, the touched blocks cleared by an erase.
TABLE_TEST(FlashRegionOperation, "tests/flash/data/flash.tsv") {
    const std::map<std::string, std::int64_t> names{{"B", kBlock}, {"END", sim::kFlashSize}};
    TestBoard board;
    mtd_fd = mtd_open();
    const auto n = [&](const char* column) { return number_of(row[column], names); };
    const auto offset = static_cast<std::uint32_t>(n("offset"));
    const auto length = static_cast<std::uint32_t>(n("length"));
    const std::int64_t first = n("first"), done = n("done");
    const std::int64_t lo = std::max<std::int64_t>(0, first - kBlock);
    const std::int64_t hi =
        std::min<std::int64_t>(sim::kFlashSize, first + (n("count") + 1) * kBlock);
    Bytes expected = pattern_bytes(hi - lo, 0x21);
    board->flash_write(lo, expected);
    board->clear_flash_log();
    for (const auto& fault : faults_of(row["fault"])) board->inject(fault);
    board.clear_output();
    const Bytes data = pattern_bytes(length, 0x9C);
    Bytes buffer(length, 0xEE);
    const std::string op = row.choice("op", {"write", "erase", "read"});
    const int rc = op == "write"   ? flash_region_write(data.data(), mtd_fd, offset, length,
                                                        row.choice("progress", {"0", "1"}) == "1")
                   : op == "erase" ? flash_region_erase(mtd_fd, offset, length)
                                   : flash_region_read(buffer.data(), mtd_fd, offset, length);
    EXPECT_EQ(rc, n("rc"));
    EXPECT_EQ(board.out(), unescape(row["out"]));
    board->clear_faults();
    std::vector<std::int64_t> erased, want;
    for (const auto& f : board->flash_log()) {
        if (f.op == 'e') erased.push_back(f.offset);
        EXPECT_EQ(f.length, f.op == 'e' ? kBlock : f.op == 'w' ? 1024u : f.length);
    }
    for (std::int64_t i = 0; i < n("erases"); ++i) want.push_back(first + i * kBlock);
    EXPECT_EQ(erased, want);
    if (op == "read") {
        EXPECT_EQ(buffer, rc == 0 ? Bytes(expected.begin() + (offset - lo),
                                          expected.begin() + (offset - lo + length))
                                  : Bytes(length, 0xEE));
        return;
    }
    // A failed write leaves its failing block undefined; the blocks before it are done.
    const std::int64_t check_to = rc == 0 ? hi : first + done * kBlock;
    const std::int64_t placed = std::clamp<std::int64_t>(check_to - offset, 0, length);
    if (op == "write") std::copy_n(data.begin(), placed, expected.begin() + (offset - lo));
    if (op == "erase") std::fill_n(expected.begin() + (first - lo), done * kBlock, 0xFF);
    EXPECT_EQ(board->flash_read(lo, check_to - lo),
              Bytes(expected.begin(), expected.begin() + (check_to - lo)));
    FlashGeometry g;
    ASSERT_EQ(mtd_get_info(mtd_fd, &g), 1);
    EXPECT_EQ(std::vector<std::uint32_t>({g.blocks, g.erase_size, g.erase_shift, g.size}),
              std::vector<std::uint32_t>({sim::kFlashSize / kBlock, kBlock, 17u, sim::kFlashSize}));
}

}  // namespace
