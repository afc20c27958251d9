// The NOR flash behind "/dev/mtd0": programming only clears bits, erases take whole blocks, the
// device ends where it ends, every operation is logged, the power can go in the middle.
#include "sim/sim_flash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "tests/support/board_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t E = sim::kFlashEraseSize;
constexpr auto kEnd = static_cast<off_t>(sim::kFlashSize);

TEST(SimFlash, ProgramsEraseBlocksAndBounds) {
    struct Row {
        const char* name;
        char op;  // 'w' pwrite of `data` over `before`, 'e' erase of `length`, 'r' pread
        off_t offset;
        std::uint32_t length;
        Bytes before, data;
        ssize_t result;
        Bytes after;  // the first bytes at offset afterwards
    };
    const Row rows[] = {
        {"program clears bits", 'w', E, 2, {0xF0, 0xFF}, {0x0F, 0x81}, 2, {0x00, 0x81}},
        {"program never sets bits", 'w', E, 1, {0x00}, {0xFF}, 1, {0x00}},
        {"write cut at the end", 'w', kEnd - 1, 2, {0xFF}, {0x00, 0x00}, 1, {0x00}},
        {"write past the end", 'w', kEnd, 1, {}, {0x00}, -1, {}},
        {"read past the end", 'r', kEnd, 4, {}, {}, 0, {}},
        {"erase a block", 'e', E, E, {0x00, 0x00}, {}, 0, {0xFF, 0xFF}},
        {"erase off a block start", 'e', E + 1, E, {0x00, 0x00}, {}, -1, {0x00}},
        {"erase of no length", 'e', E, 0, {0x00}, {}, -1, {0x00}},
        {"erase past the end", 'e', kEnd, E, {}, {}, -1, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestBoard b;
        auto& os = b.board();
        if (!row.before.empty()) b->flash_write(static_cast<std::size_t>(row.offset), row.before);
        const int fd = os.open("/dev/mtd0", O_RDWR);
        Bytes buf(row.length);
        erase_info_user e{static_cast<std::uint32_t>(row.offset), row.length};
        const long got = row.op == 'w'   ? os.pwrite(fd, row.data.data(), row.length, row.offset)
                         : row.op == 'r' ? os.pread(fd, buf.data(), row.length, row.offset)
                                         : os.ioctl(fd, MEMERASE, &e);
        EXPECT_EQ(got, row.result);
        EXPECT_EQ(b->flash_read(static_cast<std::size_t>(row.offset), row.after.size()), row.after);
        EXPECT_EQ(b->flash_log().size(), row.result >= 0 && row.op != 'r' ? 1u : 0u);
        os.close(fd);
    }
    TestBoard b;
    mtd_info_user info{};
    ASSERT_EQ(b->ioctl(b->open("/dev/mtd0", O_RDWR), MEMGETINFO, &info), 0);
    EXPECT_EQ(std::pair(info.size, info.erasesize), std::pair(std::uint32_t{sim::kFlashSize}, E));
    b->flash_write(0x3000000, bytes_of("RFS"));
    std::FILE* f = b->fopen("/dev/mtd-rfs", "rb");
    char head[4] = {};
    ASSERT_EQ(std::fread(head, 1, 3, f), 3u);
    std::fclose(f);
    EXPECT_STREQ(head, "RFS");
    EXPECT_EQ(b->rfs_reads(), 1u);
    EXPECT_EQ(b->fopen("/dev/mtd-rfs", "r+"), nullptr);
    EXPECT_EQ(errno, EROFS);
}

TEST(SimFlash, APowerCutLeavesTheOperationHalfDone) {
    // The body erases block 0 (operation 1), then writes 8 zero bytes at 0 (2) and at 0x100 (3).
    const std::pair<unsigned, std::vector<std::pair<std::size_t, std::uint8_t>>> rows[] = {
        {1, {{0, 0xFF}, {0xFFFF, 0xFF}, {0x10000, 0x11}}},
        {2, {{0, 0x00}, {3, 0x00}, {4, 0xFF}, {0x100, 0xFF}}},
        {3, {{0, 0x00}, {7, 0x00}, {0x103, 0x00}, {0x104, 0xFF}}},
    };
    for (const auto& [nth, cells] : rows) {
        TestBoard b;
        b->flash_write(0, Bytes(E, 0x11));
        b->inject({sim::FaultKind::power_cut, nth});
        const BoardRun r = b.run([] {
            auto& os = platform::os();
            const int fd = os.open("/dev/mtd0", O_RDWR);
            erase_info_user e{0, E};
            os.ioctl(fd, MEMERASE, &e);
            const Bytes zeros(8, 0);
            os.pwrite(fd, zeros.data(), 8, 0);
            os.pwrite(fd, zeros.data(), 8, 0x100);
        });
        EXPECT_EQ(r.status, sim::kExitPowerCut) << nth;
        for (const auto& [at, value] : cells) EXPECT_EQ(b->flash_read(at, 1)[0], value) << at;
    }
}

}  // namespace
