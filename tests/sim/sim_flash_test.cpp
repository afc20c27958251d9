// The NOR flash behind "/dev/mtd0" (rows of tests/sim/data/flash.tsv): programming only clears
// bits, erases take whole blocks, the device ends where it ends, every change is logged. (A power
// cut in the middle of one: the end-to-end install roads and the power-loss test.)
#include "sim/sim_flash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

constexpr std::uint32_t E = sim::kFlashEraseSize;

std::uint32_t place(const std::string& text) {  // "E+1", "END-1", a number
    return static_cast<std::uint32_t>(number_of(text, {{"E", E}, {"END", sim::kFlashSize}}));
}

TABLE_TEST(SimFlash, "tests/sim/data/flash.tsv") {
    TestBoard b;
    auto& os = b.board();
    const std::uint32_t at = place(row["offset"]), length = place(row["length"]);
    b->flash_write(at, hex_bytes(row["before"]));
    const int fd = os.open("/dev/mtd0", O_RDWR);
    std::vector<std::uint8_t> data = hex_bytes(row["data"]);
    data.resize(length);
    erase_info_user e{at, length};
    const std::string op = row.choice("op", {"w", "r", "e"});
    const long got = op == "w"   ? os.pwrite(fd, data.data(), length, at)
                     : op == "r" ? os.pread(fd, data.data(), length, at)
                                 : os.ioctl(fd, MEMERASE, &e);
    EXPECT_EQ(got, row.num("result"));
    const auto after = hex_bytes(row["after"]);
    EXPECT_EQ(b->flash_read(at, after.size()), after);
    EXPECT_EQ(b->flash_log().size(), got >= 0 && op != "r" ? 1u : 0u);
}

TEST(SimFlash, GeometryAndTheReadOnlyRootFileSystemView) {
    TestBoard b;
    mtd_info_user info{};
    ASSERT_EQ(b->ioctl(b->open("/dev/mtd0", O_RDWR), MEMGETINFO, &info), 0);
    EXPECT_EQ(std::pair(info.size, info.erasesize), std::pair(std::uint32_t{sim::kFlashSize}, E));
    b->flash_write(0x3000000, bytes_of("RFS"));
    std::FILE* f = b->fopen("/dev/mtd-rfs", "rb");
    char head[4] = {};
    ASSERT_EQ(std::fread(head, 1, 3, f), 3u);
    std::fclose(f);
    EXPECT_EQ(std::string(head) + std::to_string(b->rfs_reads()), "RFS1");
    EXPECT_EQ(b->fopen("/dev/mtd-rfs", "r+"), nullptr);
    EXPECT_EQ(errno, EROFS);
}

}  // namespace
