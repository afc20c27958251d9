// The board as the boot manager's platform: its console (scripted, or the terminal's input that
// ends), the fault plan over every unit, and the ends of a process on the board.
#include "sim/sim_board.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "tests/support/board_fixture.h"

namespace {

void note_break(int) {
    platform::os().write(1, "<break>", 7);
}

TEST(SimConsole, ScriptedKeysNothingAndBreaksThenTheEndOfInput) {
    TestBoard b;
    b->install_sigint_handler(note_break);
    b.input(sim::ConsoleScript("ab").nothing().interrupt().keys("c"));
    const std::tuple<ssize_t, int, char> rows[] = {
        {1, 0, 'a'}, {1, 0, 'b'}, {0, 0, 0}, {-1, EINTR, 0}, {1, 0, 'c'}, {0, 0, 0}};
    for (const auto& [result, error, key] : rows) {
        char c = 0;
        errno = 0;
        EXPECT_EQ(std::tuple(b->read(0, &c, 1), errno, c), std::tuple(result, error, key));
    }
    EXPECT_EQ(b.out(), "<break>");
    const std::string dir = b.dir();
    // A script that runs dry, and the terminal's input at its end: the run stops, no spinning.
    for (const bool terminal : {false, true}) {
        const BoardRun r = b.run([&dir, terminal] {
            sim::SimBoard raw(dir);
            if (terminal) ::dup2(::open("/dev/null", O_RDONLY), 0);
            char c;
            for (;;) (terminal ? raw : platform::os()).read(0, &c, 1);
        });
        EXPECT_EQ(r.status, sim::kExitInputExhausted);
    }
    EXPECT_EQ(b.events().back().text, "console input ended (end of file): the run stops");
}

TEST(SimConsole, TtyS0WithoutALineIsRefusedOnATerminal) {
    TestBoard b;
    const std::string dir = b.dir();
    const BoardRun r = b.run([&dir] {
        sim::SimBoard raw(dir);
        ::_exit(raw.open("/dev/ttyS0", O_RDWR) == -1 && errno == ENODEV ? 40 : 41);
    });
    EXPECT_EQ(r.status, 40);
    EXPECT_GE(b->open("/dev/ttyS0", O_RDWR), 0) << "a test's script stands for the line";
}

TEST(SimFaults, TheFaultPlanHitsItsOperation) {
    struct Row {
        const char* name;
        sim::Fault fault;
        std::function<long(sim::SimBoard&)> op;  // run twice
        std::pair<long, long> expected;
    };
    auto i2c = [](const char* bus, unsigned addr, bool read) {
        return [=](sim::SimBoard& os) -> long {
            const int fd = os.open(bus, O_RDWR);
            if (fd < 0) return -200;
            std::uint8_t buf[4] = {};
            if (os.ioctl(fd, sim::kI2cSlave, reinterpret_cast<void*>(std::uintptr_t{addr})) < 0)
                return -100;
            const long n = read ? os.read(fd, buf, 4) : os.write(fd, buf, 2);
            os.close(fd);
            return n;
        };
    };
    auto mtd = [](unsigned long request) {
        return [=](sim::SimBoard& os) -> long {
            const int fd = os.open("/dev/mtd0", O_RDWR);
            std::uint8_t buf[4] = {};
            erase_info_user e{0, sim::kFlashEraseSize};
            mtd_info_user info{};
            const long n = request == 'r'   ? os.pread(fd, buf, 4, 0)
                           : request == 'w' ? os.pwrite(fd, buf, 4, 0)
                                            : os.ioctl(fd, request, request == MEMERASE
                                                                        ? static_cast<void*>(&e)
                                                                        : &info);
            os.close(fd);
            return n;
        };
    };
    const Row rows[] = {
        {"bus 0 cannot be opened", {sim::FaultKind::i2c_open, 0, 0}, i2c("/dev/i2c-0", 0x54, 1),
         {-200, -200}},
        {"bus 1 opens then", {sim::FaultKind::i2c_open, 0, 0}, i2c("/dev/i2c-1", 0x54, 1), {4, 4}},
        {"select", {sim::FaultKind::i2c_select}, i2c("/dev/i2c-1", 0x54, 1), {-100, -100}},
        {"select of another device", {sim::FaultKind::i2c_select, 0, 0x68},
         i2c("/dev/i2c-1", 0x54, 1), {4, 4}},
        {"second read", {sim::FaultKind::i2c_read, 2}, i2c("/dev/i2c-1", 0x54, 1), {4, -1}},
        {"short read", {sim::FaultKind::i2c_short_read, 0, -1, 3}, i2c("/dev/i2c-1", 0x68, 1),
         {3, 3}},
        {"first write", {sim::FaultKind::i2c_write, 1}, i2c("/dev/i2c-1", 0x60, 0), {-1, 2}},
        {"flash read", {sim::FaultKind::flash_read, 1}, mtd('r'), {-1, 4}},
        {"flash write", {sim::FaultKind::flash_write, 2}, mtd('w'), {4, -1}},
        {"flash erase", {sim::FaultKind::flash_erase}, mtd(MEMERASE), {-1, -1}},
        {"flash info", {sim::FaultKind::flash_info, 1}, mtd(MEMGETINFO), {-1, 0}},
    };
    for (const auto& row : rows) {
        TestBoard b;
        b->inject(row.fault);
        const long first = row.op(b.board());
        EXPECT_EQ(std::pair(first, row.op(b.board())), row.expected) << row.name;
    }
    TestBoard b;
    b->inject({sim::FaultKind::create_path, 0, -1, 0, "/tmp/a", EACCES});
    b->inject({sim::FaultKind::shell, 1, -1, 0, "reboot"});
    EXPECT_EQ(b->fopen("/tmp/a", "wb"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(b->open("/tmp/a", O_WRONLY | O_CREAT), -1);
    EXPECT_EQ(std::pair(b->system("date"), b->system("reboot")), std::pair(0, -1));
    b->inject({sim::FaultKind::exec});
    char arg0[] = "/bin/backtrace";
    char* argv[] = {arg0, nullptr};
    EXPECT_EQ(b->execv(arg0, argv), -1);
}

TEST(SimProcess, EndingsHaveTheirStatusAndEvents) {
    struct Row {
        std::function<void()> body;
        int status;
        std::vector<std::string> notes;
    };
    const Row rows[] = {
        {[] {
             platform::os().system("reboot");
             platform::os().exit(0);
         },
         sim::kExitReboot,
         {"reboot requested", "reboot: the board restarts"}},
        {[] { platform::os().exit(4); }, 4, {}},
        {[] {
             platform::os().setenv("APP", "x", 1);
             char a0[] = "/bin/backtrace", a1[] = "-v";
             char* argv[] = {a0, a1, nullptr};
             platform::os().execv(a0, argv);
         },
         0,
         {"exec /bin/backtrace -v"}},
    };
    for (const auto& row : rows) {
        TestBoard b;
        const BoardRun r = b.run(row.body);
        EXPECT_EQ(std::tuple(r.exited, r.returned, r.status), std::tuple(true, false, row.status));
        EXPECT_EQ(r.texts("board"), row.notes);
    }
    TestBoard b;
    const BoardRun r = b.run(rows[2].body);
    EXPECT_EQ(r.texts("argv"), (std::vector<std::string>{"0 /bin/backtrace", "1 -v"}));
    EXPECT_EQ(r.texts("env"), std::vector<std::string>{"APP=x"});
    b->sleep_ms(1000);
    b->sleep_ms(100);
    EXPECT_EQ(b->monotonic_ms(), 1100u);
}

}  // namespace
