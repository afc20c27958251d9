#include "sim/sim_board.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/board_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void* addr_arg(unsigned addr7) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(addr7));
}

// ---------------------------------------------------------------------------------------------

TEST(SimBoardFresh, StartsWithFactoryContents) {
    sim::CreateOptions options;
    options.serial = "AB1234567890";
    options.boot_slot = 2;
    options.boot_env = {"gdb=1", "diagnostics=rescue"};
    options.rtc = {0x30, 0x45, 0x13, 0x05, 0x24, 0x12, 0x25};
    TestBoard b(options);

    EXPECT_EQ(b->eeprom_read(13, 12), bytes_of("AB1234567890"));
    EXPECT_EQ(b->eeprom_read(0x100, 1), Bytes{2});
    EXPECT_EQ(b->eeprom_read(3332, 26), bytes_of(std::string("gdb=1\0diagnostics=rescue\0", 26)));
    EXPECT_EQ(b->eeprom_read(3332 + 26, 1254), Bytes(1254, 0));
    EXPECT_EQ(b->eeprom_read(0x108, 14), Bytes(14, 0xFF));
    EXPECT_EQ(b->rtc(), options.rtc);
    for (std::size_t at : {std::size_t{0}, std::size_t{0x1100000}, sim::kFlashSize - 4}) {
        EXPECT_EQ(b->flash_read(at, 4), Bytes(4, 0xFF)) << "flash offset " << at;
    }
}

TEST(SimBoardFresh, RefusesBadOptions) {
    struct Row {
        const char* name;
        sim::CreateOptions options;
    };
    sim::CreateOptions long_serial;
    long_serial.serial = "1234567890123";
    sim::CreateOptions long_env;
    long_env.boot_env = {std::string(1280, 'x')};
    for (const Row& row : {Row{"serial", long_serial}, Row{"environment", long_env}}) {
        TestBoard scratch;
        std::string error;
        EXPECT_FALSE(sim::SimBoard::create(scratch.dir() / "other", row.options, &error))
            << row.name;
        EXPECT_FALSE(error.empty()) << row.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Flash

TEST(SimFlash, ProgrammingOnlyClearsBits) {
    struct Row {
        Bytes first, second, expected;
    };
    const Row rows[] = {
        {{0xA5}, {0xFF}, {0xA5}},
        {{0xF0}, {0x0F}, {0x00}},
        {{0xFF, 0x81}, {0x7E, 0xFF}, {0x7E, 0x81}},
        {{0x12, 0x34}, {0x12, 0x34}, {0x12, 0x34}},
    };
    TestBoard b;
    auto& os = b.board();
    const int fd = os.open("/dev/mtd0", O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    off_t at = 0x20000;
    for (const Row& row : rows) {
        ASSERT_EQ(os.pwrite(fd, row.first.data(), row.first.size(), at),
                  static_cast<ssize_t>(row.first.size()));
        ASSERT_EQ(os.pwrite(fd, row.second.data(), row.second.size(), at),
                  static_cast<ssize_t>(row.second.size()));
        Bytes got(row.expected.size());
        ASSERT_EQ(os.pread(fd, got.data(), got.size(), at), static_cast<ssize_t>(got.size()));
        EXPECT_EQ(got, row.expected) << "at 0x" << std::hex << at;
        at += 16;
    }
    os.close(fd);
}

TEST(SimFlash, EraseWorksOnWholeBlocksOnly) {
    constexpr std::uint32_t E = sim::kFlashEraseSize;
    struct Row {
        std::uint32_t start, length;
        int result;
    };
    const Row rows[] = {
        {E, E, 0},
        {0, 2 * E, 0},
        {static_cast<std::uint32_t>(sim::kFlashSize) - E, E, 0},
        {E + 1, E, -1},
        {E, E - 1, -1},
        {E, 0, -1},
        {static_cast<std::uint32_t>(sim::kFlashSize), E, -1},
    };
    for (const Row& row : rows) {
        TestBoard b;
        auto& os = b.board();
        const int fd = os.open("/dev/mtd0", O_RDWR);
        // Program the bytes around and inside the range to zero first.
        const std::uint32_t lo = row.start >= E ? row.start - E : 0;
        const Bytes zeros(16, 0);
        for (std::uint32_t p :
             {lo, row.start, row.start + row.length - 16, row.start + row.length}) {
            if (p + 16 <= sim::kFlashSize) b->flash_write(p, zeros);
        }
        erase_info_user e{row.start, row.length};
        errno = 0;
        EXPECT_EQ(os.ioctl(fd, MEMERASE, &e), row.result) << row.start << "+" << row.length;
        if (row.result == 0) {
            EXPECT_EQ(b->flash_read(row.start, 16), Bytes(16, 0xFF));
            EXPECT_EQ(b->flash_read(row.start + row.length - 16, 16), Bytes(16, 0xFF));
            if (row.start >= E) {
                EXPECT_EQ(b->flash_read(lo, 16), zeros) << "block before kept";
            }
            if (row.start + row.length < sim::kFlashSize) {
                EXPECT_EQ(b->flash_read(row.start + row.length, 16), zeros) << "block after kept";
            }
            EXPECT_EQ(b->flash_erases(), 1u);
        } else {
            EXPECT_EQ(errno, EINVAL);
            if (row.start < sim::kFlashSize) {
                EXPECT_EQ(b->flash_read(row.start, 16), zeros) << "nothing erased";
            }
        }
        os.close(fd);
    }
}

TEST(SimFlash, GeometryAndBounds) {
    TestBoard b;
    auto& os = b.board();
    const int fd = os.open("/dev/mtd0", O_RDWR);
    mtd_info_user info{};
    ASSERT_EQ(os.ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, sim::kFlashSize);
    EXPECT_EQ(info.erasesize, sim::kFlashEraseSize);
    EXPECT_EQ(info.type, MTD_NORFLASH);

    struct Row {
        off_t offset;
        std::size_t count;
        ssize_t read_result, write_result;
    };
    const off_t end = static_cast<off_t>(sim::kFlashSize);
    const Row rows[] = {
        {0, 64, 64, 64},
        {end - 10, 64, 10, 10},  // cut at the end of the device
        {end, 64, 0, -1},
        {-1, 4, -1, -1},
    };
    Bytes buf(64, 0x55);
    for (const Row& row : rows) {
        EXPECT_EQ(os.pread(fd, buf.data(), row.count, row.offset), row.read_result) << row.offset;
        EXPECT_EQ(os.pwrite(fd, buf.data(), row.count, row.offset), row.write_result) << row.offset;
    }
    os.close(fd);
}

TEST(SimFlash, LogsEveryOperation) {
    TestBoard b;
    auto& os = b.board();
    const int fd = os.open("/dev/mtd0", O_RDWR);
    Bytes buf(8);
    os.pread(fd, buf.data(), 8, 0x100);
    os.pwrite(fd, buf.data(), 8, 0x200);
    erase_info_user e{0x40000, 0x20000};
    os.ioctl(fd, MEMERASE, &e);
    ASSERT_EQ(b->flash_log().size(), 3u);
    const char ops[] = {'r', 'w', 'e'};
    const std::uint32_t offsets[] = {0x100, 0x200, 0x40000};
    const std::uint32_t lengths[] = {8, 8, 0x20000};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(b->flash_log()[i].op, ops[i]);
        EXPECT_EQ(b->flash_log()[i].offset, offsets[i]);
        EXPECT_EQ(b->flash_log()[i].length, lengths[i]);
    }
    EXPECT_EQ(b->flash_reads(), 1u);
    EXPECT_EQ(b->flash_writes(), 1u);
    EXPECT_EQ(b->flash_erases(), 1u);
}

TEST(SimFlash, RootFileSystemViewIsReadOnlyAndCounted) {
    TestBoard b;
    b->flash_write(0x3000000, bytes_of("RFSHEADER"));
    std::FILE* f = b->fopen("/dev/mtd-rfs", "rb");
    ASSERT_NE(f, nullptr);
    char head[10] = {};
    ASSERT_EQ(std::fread(head, 1, 9, f), 9u);
    EXPECT_STREQ(head, "RFSHEADER");
    std::fclose(f);
    EXPECT_GE(b->rfs_reads(), 1u);
    for (const char* mode : {"w", "r+", "a"}) {
        errno = 0;
        EXPECT_EQ(b->fopen("/dev/mtd-rfs", mode), nullptr) << mode;
        EXPECT_EQ(errno, EROFS) << mode;
    }
}

// ---------------------------------------------------------------------------------------------
// I2C

TEST(SimI2c, OffsetThenDataStoresAndOffsetThenReadFetches) {
    struct Row {
        const char* name;
        unsigned addr7;
        Bytes offset;  // the register offset as sent
        Bytes data;
    };
    const Row rows[] = {
        {"eeprom low", 0x54, {0x00, 0x0D}, bytes_of("SERIAL")},
        {"eeprom above 4 KiB", 0x54, {0x0D, 0x04}, bytes_of("gdb=1")},
        {"eeprom last bytes", 0x54, {0x1F, 0xFE}, {0x11, 0x22}},
        {"rtc", 0x68, {0x00}, {0x30, 0x59, 0x23}},
        {"led", 0x60, {0x05}, {0x10}},
    };
    for (const Row& row : rows) {
        TestBoard b;
        auto& os = b.board();
        const int fd = os.open("/dev/i2c-1", O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(os.ioctl(fd, sim::kI2cSlave, addr_arg(row.addr7)), 0) << row.name;
        Bytes message = row.offset;
        message.insert(message.end(), row.data.begin(), row.data.end());
        EXPECT_EQ(os.write(fd, message.data(), message.size()),
                  static_cast<ssize_t>(message.size()))
            << row.name;
        EXPECT_EQ(os.write(fd, row.offset.data(), row.offset.size()),
                  static_cast<ssize_t>(row.offset.size()));
        Bytes got(row.data.size());
        EXPECT_EQ(os.read(fd, got.data(), got.size()), static_cast<ssize_t>(got.size()))
            << row.name;
        EXPECT_EQ(got, row.data) << row.name;
        os.close(fd);
    }
    TestBoard b;
    auto& os = b.board();
    const int fd = os.open("/dev/i2c-1", O_RDWR);
    os.ioctl(fd, sim::kI2cSlave, addr_arg(0x54));
    const std::uint8_t off[] = {0x0D, 0x04, 'x'};
    os.write(fd, off, 3);
    EXPECT_EQ(b->eeprom_read(3332, 1), Bytes{'x'}) << "two-byte offset 0x0D04 is 3332";
}

TEST(SimI2c, MissingDevicesAndBusesFail) {
    struct Row {
        const char* path;
        unsigned addr7;
        int open_ok;
        int expected_errno;  // of the write
    };
    const Row rows[] = {
        {"/dev/i2c-0", 0x54, 1, ENXIO},  // bus 0 has no devices
        {"/dev/i2c-1", 0x50, 1, ENXIO},  // nobody at 0x50
        {"/dev/i2c-2", 0x54, 0, 0},
    };
    for (const Row& row : rows) {
        TestBoard b;
        auto& os = b.board();
        const int fd = os.open(row.path, O_RDWR);
        EXPECT_EQ(fd >= 0, row.open_ok == 1) << row.path;
        if (fd < 0) continue;
        EXPECT_EQ(os.ioctl(fd, sim::kI2cSlave, addr_arg(row.addr7)), 0);
        const std::uint8_t msg[] = {0, 0};
        errno = 0;
        EXPECT_EQ(os.write(fd, msg, 2), -1) << row.path;
        EXPECT_EQ(errno, row.expected_errno) << row.path;
        os.close(fd);
    }
}

TEST(SimI2c, LedRegisterFiveCountsBlinks) {
    struct Row {
        std::vector<std::uint8_t> writes;
        unsigned blinks;
    };
    const Row rows[] = {
        {{0x10, 0x00, 0x10, 0x00, 0x10}, 2},
        {{0x10, 0x10, 0x00, 0x00}, 1},  // a repeated value is no change
        {{0x20, 0x30, 0x00}, 1},
        {{0xC0, 0x00}, 0},  // bits outside 5..4 are not the LED
        {{0x10, 0x00, 0x10, 0x00, 0x10, 0x00, 0x10}, 3},
    };
    for (const Row& row : rows) {
        TestBoard b;
        auto& os = b.board();
        const int fd = os.open("/dev/i2c-1", O_RDWR);
        os.ioctl(fd, sim::kI2cSlave, addr_arg(0x60));
        for (std::uint8_t v : row.writes) {
            const std::uint8_t msg[] = {5, v};
            ASSERT_EQ(os.write(fd, msg, 2), 2);
        }
        EXPECT_EQ(b->led_blinks(), row.blinks);
        EXPECT_EQ(b->led_register(5), row.writes.back());
        os.close(fd);
    }
}

// ---------------------------------------------------------------------------------------------
// Paths and commands

TEST(SimPaths, SystemPathsMapIntoTheBoardRoot) {
    TestBoard b;
    const std::string root = (b.dir() / "root").string();
    struct Row {
        const char* path;
        std::string host;
    };
    const Row rows[] = {
        {"/tmp/zariximage.tar.gz", root + "/tmp/zariximage.tar.gz"},
        {"/tmp", root + "/tmp"},
        {"/user/production_key.pub.pem", root + "/user/production_key.pub.pem"},
        {"/dev/ttyS0", root + "/dev/ttyS0"},
        {"/tmp/./home", root + "/tmp/./home"},
        {"/etc/passwd", ""},
        {"/tmpx/a", ""},
        {"/tmp/../etc/passwd", ""},
        {"/user/..", ""},
        {"tmp/relative", ""},
        {"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(b->host_path(row.path), row.host) << row.path;

    errno = 0;
    EXPECT_EQ(b->fopen("/etc/passwd", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    struct stat st {};
    EXPECT_EQ(b->stat("/bin/sh", &st), -1);
    EXPECT_EQ(b->open("/etc/hostname", O_RDONLY), -1);
    EXPECT_EQ(b->remove("/etc/passwd"), -1);
}

TEST(SimPaths, CommandTextsAreMovedIntoTheRoot) {
    TestBoard b;
    const std::string r = (b.dir() / "root").string();
    struct Row {
        std::string command, expected;
    };
    const Row rows[] = {
        {"cd /tmp \ntar mxzf /tmp/zariximage.tar.gz \nrm /tmp/zariximage.tar.gz\n",
         "cd " + r + "/tmp \ntar mxzf " + r + "/tmp/zariximage.tar.gz \nrm " + r +
             "/tmp/zariximage.tar.gz\n"},
        {"mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip",
         "mv " + r + "/tmp/mpdiag.elf.strip " + r + "/tmp/home/bin/mp.elf.strip"},
        {"cp /user/a '/tmp/b'", "cp " + r + "/user/a '" + r + "/tmp/b'"},
        {"X=/tmp/y sh", "X=" + r + "/tmp/y sh"},
        {"echo hi >/dev/null 2>/dev/null", "echo hi >/dev/null 2>/dev/null"},
        {"cat /dev/ttyS0", "cat " + r + "/dev/ttyS0"},
        {"ls /tmpfile /usr/bin a/tmp/b", "ls /tmpfile /usr/bin a/tmp/b"},
        {"/tmp/home/bin/install.sh", r + "/tmp/home/bin/install.sh"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(b->rewrite_command(row.command), row.expected) << row.command;
}

TEST(SimCommands, RealCommandsRunInTheRootAndBoardCommandsAreRecorded) {
    struct Row {
        const char* command;
        int status;
        const char* creates;  // system path that must exist afterwards, or nullptr
        const char* out;
    };
    const Row rows[] = {
        {"mkdir -p /tmp/home/bin", 0, "/tmp/home/bin", ""},
        {"echo hello > /tmp/greeting", 0, "/tmp/greeting", ""},
        {"echo $BOARD_ROOT | grep -c /root$", 0, nullptr, "1\n"},
        {"date 122413452025.30\n", 0, nullptr, ""},
        {"ifconfig eth0 10.0.0.2 netmask 255.255.255.0", 0, nullptr, ""},
        {"/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n", 0, nullptr, ""},
        {"/bin/sh\n", 0, nullptr, ""},
        {"exit 3", 3 << 8, nullptr, ""},
    };
    for (const Row& row : rows) {
        TestBoard b;
        EXPECT_EQ(b->system(row.command), row.status) << row.command;
        if (row.creates != nullptr) {
            EXPECT_TRUE(b.exists(row.creates)) << row.command;
        }
        EXPECT_EQ(b.out(), row.out) << row.command;
        EXPECT_EQ(b.commands(), std::vector<std::string>{row.command});
    }
}

TEST(SimCommands, ShellSeesTheVariablesSetThroughSetenv) {
    TestBoard b;
    b->setenv("A", "1", 1);
    b->setenv("A", "2", 0);  // no overwrite: stays 1
    b->setenv("B", "", 1);
    EXPECT_EQ(b->system("echo \"$A[$B]\""), 0);
    EXPECT_EQ(b.out(), "1[]\n");
    EXPECT_EQ(b->setenv("C=D", "x", 1), -1);
}

TEST(SimCommands, AddedHandlersTakePrecedence) {
    TestBoard b;
    std::string seen;
    b->add_command("tftp", [&seen](sim::SimBoard&, std::string_view text) {
        seen = text;
        return 7;
    });
    EXPECT_EQ(b->system("tftp -g -r f -l /tmp/image 1.2.3.4\n"), 7);
    EXPECT_EQ(seen, "tftp -g -r f -l /tmp/image 1.2.3.4\n");
}

// ---------------------------------------------------------------------------------------------
// Process ends

TEST(SimProcess, EndingsHaveTheirStatusAndEvents) {
    struct Row {
        const char* name;
        std::function<void()> body;
        int status;
        std::vector<std::string> board_notes;
    };
    const Row rows[] = {
        {"reboot then exit",
         [] {
             platform::os().system("reboot");
             platform::os().exit(0);
         },
         sim::kExitReboot,
         {"reboot requested", "reboot: the board restarts"}},
        {"plain exit", [] { platform::os().exit(4); }, 4, {}},
        {"exec",
         [] {
             platform::os().setenv("APP", "x", 1);
             char arg0[] = "/bin/backtrace";
             char* argv[] = {arg0, nullptr};
             platform::os().execv("/bin/backtrace", argv);
         },
         0,
         {"exec /bin/backtrace"}},
        {"exec with arguments",
         [] {
             char a0[] = "/bin/sh", a1[] = "-c", a2[] = "run";
             char* argv[] = {a0, a1, a2, nullptr};
             platform::os().execv("/bin/sh", argv);
         },
         0,
         {"exec /bin/sh -c run"}},
    };
    for (const Row& row : rows) {
        TestBoard b;
        const BoardRun r = b.run(row.body);
        EXPECT_TRUE(r.exited) << row.name;
        EXPECT_FALSE(r.returned) << row.name;
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.texts("board"), row.board_notes) << row.name;
    }

    TestBoard b;
    const BoardRun r = b.run(rows[2].body);
    EXPECT_TRUE(r.exec_seen("/bin/backtrace"));
    EXPECT_EQ(r.texts("argv"), std::vector<std::string>{"0 /bin/backtrace"});
    EXPECT_EQ(r.texts("env"), std::vector<std::string>{"APP=x"});
    const BoardRun back = b.run([] {});
    EXPECT_TRUE(back.returned);
}

TEST(SimProcess, SleepsAreVirtualAndRecorded) {
    TestBoard b;
    b->sleep_ms(1000);
    b->sleep_ms(100);
    EXPECT_EQ(b->monotonic_ms(), 1100u);
    EXPECT_EQ(sim::event_texts(b.events(), "sleep"), (std::vector<std::string>{"1000", "100"}));
}

// ---------------------------------------------------------------------------------------------
// Console

void note_break(int) {
    platform::os().write(1, "<break>", 7);
}

TEST(SimConsole, ScriptDeliversKeysNothingAndBreaks) {
    TestBoard b;
    b->install_sigint_handler(note_break);
    b.input(sim::ConsoleScript("ab").nothing().interrupt().keys("c"));
    struct Row {
        ssize_t result;
        int err;
        char key;
    };
    const Row rows[] = {{1, 0, 'a'},    {1, 0, 'b'}, {0, 0, 0},
                        {-1, EINTR, 0}, {1, 0, 'c'}, {0, 0, 0}};
    for (const Row& row : rows) {
        char c = 0;
        errno = 0;
        EXPECT_EQ(b->read(0, &c, 1), row.result);
        EXPECT_EQ(errno, row.err);
        EXPECT_EQ(c, row.key);
    }
    b->write(2, "E", 1);
    EXPECT_EQ(b.out(), "<break>");
    EXPECT_EQ(b.err(), "E");
}

TEST(SimConsole, EndlessReadingOfAnEmptyScriptEndsTheRun) {
    TestBoard b;
    const BoardRun r = b.run([] {
        char c;
        for (;;) platform::os().read(0, &c, 1);
    });
    EXPECT_EQ(r.status, sim::kExitInputExhausted);
}

// ---------------------------------------------------------------------------------------------
// Faults

TEST(SimFaults, InjectedFailuresHitTheirOperation) {
    struct Row {
        const char* name;
        sim::Fault fault;
        // Performs the operation twice; returns the two results.
        std::function<std::pair<long, long>(sim::SimBoard&)> op;
        std::pair<long, long> expected;
    };
    auto i2c = [](unsigned addr, bool read) {
        return [addr, read](sim::SimBoard& os) {
            const int fd = os.open("/dev/i2c-1", O_RDWR);
            long r[2];
            for (long& x : r) {
                std::uint8_t buf[4] = {0, 0, 0, 0};
                const long sel = os.ioctl(fd, sim::kI2cSlave, addr_arg(addr));
                if (sel < 0) {
                    x = -100;
                    continue;
                }
                x = read ? os.read(fd, buf, 4) : os.write(fd, buf, 2);
            }
            os.close(fd);
            return std::pair<long, long>(r[0], r[1]);
        };
    };
    auto flash = [](int which) {
        return [which](sim::SimBoard& os) {
            const int fd = os.open("/dev/mtd0", O_RDWR);
            long r[2];
            for (long& x : r) {
                std::uint8_t buf[4] = {};
                erase_info_user e{0, 0x20000};
                mtd_info_user info{};
                switch (which) {
                    case 0:
                        x = os.pread(fd, buf, 4, 0);
                        break;
                    case 1:
                        x = os.pwrite(fd, buf, 4, 0);
                        break;
                    case 2:
                        x = os.ioctl(fd, MEMERASE, &e);
                        break;
                    default:
                        x = os.ioctl(fd, MEMGETINFO, &info);
                        break;
                }
            }
            os.close(fd);
            return std::pair<long, long>(r[0], r[1]);
        };
    };
    const Row rows[] = {
        {"select always", {sim::FaultKind::i2c_select}, i2c(0x54, true), {-100, -100}},
        {"select of another device",
         {sim::FaultKind::i2c_select, 0, 0x68},
         i2c(0x54, true),
         {4, 4}},
        {"second read", {sim::FaultKind::i2c_read, 2}, i2c(0x54, true), {4, -1}},
        {"short read", {sim::FaultKind::i2c_short_read, 0, -1, 3}, i2c(0x68, true), {3, 3}},
        {"first write", {sim::FaultKind::i2c_write, 1}, i2c(0x60, false), {-1, 2}},
        {"flash read", {sim::FaultKind::flash_read, 1}, flash(0), {-1, 4}},
        {"flash write", {sim::FaultKind::flash_write, 2}, flash(1), {4, -1}},
        {"flash erase", {sim::FaultKind::flash_erase}, flash(2), {-1, -1}},
        {"flash info", {sim::FaultKind::flash_info, 1}, flash(3), {-1, 0}},
    };
    for (const Row& row : rows) {
        TestBoard b;
        b->inject(row.fault);
        EXPECT_EQ(row.op(b.board()), row.expected) << row.name;
    }
}

TEST(SimFaults, PathCreationShellAndExecFailures) {
    TestBoard b;
    b->inject({sim::FaultKind::create_path, 0, -1, 0, "/tmp/zariximage.tar.gz", 13});
    b->inject({sim::FaultKind::shell, 1, -1, 0, "reboot"});
    errno = 0;
    EXPECT_EQ(b->fopen("/tmp/zariximage.tar.gz", "wb"), nullptr);
    EXPECT_EQ(errno, 13);
    EXPECT_EQ(b->open("/tmp/zariximage.tar.gz", O_WRONLY | O_CREAT | O_TRUNC), -1);
    std::FILE* other = b->fopen("/tmp/other", "w");
    EXPECT_NE(other, nullptr);
    if (other != nullptr) std::fclose(other);
    EXPECT_EQ(b->system("date 010100002025.00\n"), 0);
    EXPECT_EQ(b->system("reboot"), -1);
    EXPECT_FALSE(b->reboot_requested());
    b->inject({sim::FaultKind::exec});
    char arg0[] = "/bin/backtrace";
    char* argv[] = {arg0, nullptr};
    EXPECT_EQ(b->execv("/bin/backtrace", argv), -1);
}

TEST(SimFaults, PowerCutLeavesTheOperationHalfDone) {
    struct Row {
        const char* name;
        unsigned nth;
        Bytes at_0x000, at_0x100;  // first 4 bytes at 0 and at 0x100 after the run
    };
    // The body erases block 0 (operation 1), writes 8 x 0x00 at 0 (2), then at 0x100 (3).
    const Row rows[] = {
        {"during the erase", 1, {0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"during the first write", 2, {0x00, 0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"during the second write", 3, {0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}},
    };
    for (const Row& row : rows) {
        TestBoard b;
        b->flash_write(0, Bytes(0x20000, 0x11));
        b->inject({sim::FaultKind::power_cut, row.nth});
        const BoardRun r = b.run([] {
            auto& os = platform::os();
            const int fd = os.open("/dev/mtd0", O_RDWR);
            erase_info_user e{0, 0x20000};
            os.ioctl(fd, MEMERASE, &e);
            const Bytes zeros(8, 0);
            os.pwrite(fd, zeros.data(), 8, 0);
            os.pwrite(fd, zeros.data(), 8, 0x100);
        });
        EXPECT_EQ(r.status, sim::kExitPowerCut) << row.name;
        EXPECT_EQ(b->flash_read(0, 4), row.at_0x000) << row.name;
        EXPECT_EQ(b->flash_read(0x100, 4), row.at_0x100) << row.name;
        if (row.nth == 1) {
            // Half the block erased, the other half untouched.
            EXPECT_EQ(b->flash_read(0xFFFC, 4), Bytes(4, 0xFF));
            EXPECT_EQ(b->flash_read(0x10000, 4), Bytes(4, 0x11));
        } else {
            // Half of the 8 bytes of the cut write landed.
            const std::uint32_t at = row.nth == 2 ? 0 : 0x100;
            EXPECT_EQ(b->flash_read(at + 4, 4), Bytes(4, 0xFF)) << row.name;
        }
    }
}

}  // namespace
