#include "flash/flash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/board_fixture.h"

namespace {

constexpr std::uint32_t kBlock = sim::kFlashEraseSize;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}

class Flash : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(mtd_open(), 0);
        board.clear_output();
    }
    TestBoard board;
};

struct WriteCase {
    const char* name;
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t first_block;
    std::uint32_t blocks;
};

// Every byte of the touched blocks outside the range keeps its old value; the range gets the new
// data; exactly the touched blocks are erased.
TEST_F(Flash, RegionWriteRewritesWholeBlocksAndKeepsTheRest) {
    const WriteCase rows[] = {
        {"one byte mid-block", 3 * kBlock + 5000, 1, 3 * kBlock, 1},
        {"straddles two blocks", 5 * kBlock - 100, 300, 4 * kBlock, 2},
        {"whole blocks on a boundary", 8 * kBlock, 2 * kBlock, 8 * kBlock, 2},
        {"three blocks, ragged ends", 10 * kBlock + 1, 2 * kBlock, 10 * kBlock, 3},
        {"last block of the device", sim::kFlashSize - 10, 10, sim::kFlashSize - kBlock, 1},
    };
    for (const auto& row : rows) {
        const std::uint32_t span = row.blocks * kBlock;
        const auto before = pattern(span, 0x21);
        board->flash_write(row.first_block, before);
        board->clear_flash_log();
        const auto data = pattern(row.length, 0x9C);

        ASSERT_EQ(flash_region_write(data.data(), mtd_fd, row.offset, row.length, 0), 0)
            << row.name;

        auto expected = before;
        std::copy(data.begin(), data.end(), expected.begin() + (row.offset - row.first_block));
        EXPECT_EQ(board->flash_read(row.first_block, span), expected) << row.name;
        std::vector<std::uint32_t> erased;
        for (const auto& op : board->flash_log()) {
            if (op.op == 'e') {
                EXPECT_EQ(op.length, kBlock) << row.name;
                erased.push_back(op.offset);
            }
            if (op.op == 'w') {
                EXPECT_EQ(op.length, 1024u) << row.name;
            }
        }
        std::vector<std::uint32_t> want;
        for (std::uint32_t i = 0; i < row.blocks; ++i) want.push_back(row.first_block + i * kBlock);
        EXPECT_EQ(erased, want) << row.name;
        EXPECT_EQ(board->flash_writes(), row.blocks * (kBlock / 1024)) << row.name;
        EXPECT_EQ(board.out(), "") << row.name;
        board.clear_output();
    }
}

struct ProgressCase {
    std::uint32_t blocks;
    std::string text;
};

TEST_F(Flash, ProgressCountsFinishedBlocksInAFiveBlankField) {
    const ProgressCase rows[] = {
        {1, "     \b\b\b\b000%\b\b\b\b100%\n"},
        {3, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n"},
        {4, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
    };
    for (const auto& row : rows) {
        const auto data = pattern(row.blocks * kBlock, 1);
        board.clear_output();
        ASSERT_EQ(flash_region_write(data.data(), mtd_fd, FLASH_SLOT2_OFFSET, data.size(), 1), 0);
        EXPECT_EQ(board.out(), row.text) << row.blocks;
        EXPECT_EQ(board->flash_read(FLASH_SLOT2_OFFSET, data.size()), data);
    }
}

struct FailureCase {
    const char* name;
    sim::Fault fault;
    std::uint8_t progress;
    std::string out;
    unsigned blocks_changed;  // blocks holding the new data afterwards
};

TEST_F(Flash, WriteStopsAtTheFailingStepWithItsMessage) {
    using sim::FaultKind;
    const FailureCase rows[] = {
        {"geometry", sim::Fault{FaultKind::flash_info}, 1, "Could not get MTD device info \n", 0},
        {"read of block 1", sim::Fault{FaultKind::flash_read, 1}, 0,
         "Flash Write mtd read failed.\n\n", 0},
        {"read of block 2", sim::Fault{FaultKind::flash_read, 2}, 1,
         "     \b\b\b\b000%Flash Write mtd read failed.\n\n", 1},
        {"erase of block 2", sim::Fault{FaultKind::flash_erase, 2}, 0,
         "Flash Write mtd erase failed.\n\n", 1},
        {"write in block 1", sim::Fault{FaultKind::flash_write, 7}, 0,
         "Flash Write mtd write failed.\n\n", 0},
        {"write in block 3", sim::Fault{FaultKind::flash_write, 257}, 1,
         "     \b\b\b\b000%\b\b\b\b033%Flash Write mtd write failed.\n\n", 2},
    };
    for (const auto& row : rows) {
        board->flash_erase_all();
        board->clear_faults();
        board->inject(row.fault);
        board.clear_output();
        const auto data = pattern(3 * kBlock, 0x40);
        EXPECT_EQ(flash_region_write(data.data(), mtd_fd, 0, data.size(), row.progress), -1)
            << row.name;
        EXPECT_EQ(board.out(), row.out) << row.name;
        board->clear_faults();
        for (unsigned b = 0; b < row.blocks_changed; ++b) {
            const auto want = std::vector<std::uint8_t>(data.begin() + b * kBlock,
                                                        data.begin() + (b + 1) * kBlock);
            EXPECT_EQ(board->flash_read(b * kBlock, kBlock), want) << row.name << " block " << b;
        }
    }
}

TEST_F(Flash, ReadReturnsTheBytesAndLeavesTheBufferOnGeometryFailure) {
    const auto data = pattern(5000, 7);
    board->flash_write(FLASH_KERNEL_OFFSET + 3, data);
    std::vector<std::uint8_t> buf(data.size(), 0xEE);
    ASSERT_EQ(flash_region_read(buf.data(), mtd_fd, FLASH_KERNEL_OFFSET + 3, buf.size()), 0);
    EXPECT_EQ(buf, data);

    board->inject({sim::FaultKind::flash_info});
    std::vector<std::uint8_t> untouched(16, 0xEE);
    EXPECT_EQ(flash_region_read(untouched.data(), mtd_fd, 0, untouched.size()), -1);
    EXPECT_EQ(untouched, std::vector<std::uint8_t>(16, 0xEE));
    EXPECT_EQ(board.out(), "Could not get MTD device info \n");
    EXPECT_EQ(board->flash_reads(), 1u);  // only the first read; the refused one never reached it
}

TEST_F(Flash, EraseClearsEveryTouchedBlockAndReportsTheFirstFailure) {
    board->flash_write(2 * kBlock, pattern(3 * kBlock, 3));
    ASSERT_EQ(flash_region_erase(mtd_fd, 2 * kBlock + 10, kBlock), 0);
    EXPECT_EQ(board->flash_read(2 * kBlock, 2 * kBlock),
              std::vector<std::uint8_t>(2 * kBlock, 0xFF));
    const auto all = pattern(3 * kBlock, 3);
    EXPECT_EQ(board->flash_read(4 * kBlock, kBlock),
              std::vector<std::uint8_t>(all.begin() + 2 * kBlock, all.end()));  // untouched

    board->inject({sim::FaultKind::flash_erase, 2});
    EXPECT_EQ(flash_region_erase(mtd_fd, 0, 3 * kBlock), -1);
    EXPECT_EQ(board.out(), "Flash Erase mtd erase failed.\n");
}

// Ranges the device cannot hold are refused before any block is touched.
TEST_F(Flash, RangesPastTheDeviceAreRefusedUntouched) {
    struct Row {
        std::uint32_t offset;
        std::uint32_t length;
    };
    const Row rows[] = {{sim::kFlashSize - 10, 11}, {sim::kFlashSize, 1}, {0xFFFFFF00u, 0x200}};
    std::vector<std::uint8_t> buf(0x200, 0x5A);
    for (const auto& row : rows) {
        board->clear_flash_log();
        EXPECT_EQ(flash_region_write(buf.data(), mtd_fd, row.offset, row.length, 0), -1);
        EXPECT_EQ(flash_region_erase(mtd_fd, row.offset, row.length), -1);
        EXPECT_EQ(flash_region_read(buf.data(), mtd_fd, row.offset, row.length), -1);
        EXPECT_TRUE(board->flash_log().empty()) << std::hex << row.offset;
    }
    // An empty write is a no-op, not a walk over the whole device.
    board->clear_flash_log();
    EXPECT_EQ(flash_region_write(buf.data(), mtd_fd, 0, 0, 0), 0);
    EXPECT_TRUE(board->flash_log().empty());
}

TEST_F(Flash, GeometryComesFromTheDevice) {
    FlashGeometry g;
    ASSERT_EQ(mtd_get_info(mtd_fd, &g), 1);
    EXPECT_EQ(g.size, sim::kFlashSize);
    EXPECT_EQ(g.erase_size, kBlock);
    EXPECT_EQ(g.erase_shift, 17u);
    EXPECT_EQ(g.blocks, sim::kFlashSize / kBlock);
}

}  // namespace
