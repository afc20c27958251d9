// The board as the boot manager's platform: its console (scripted, or the terminal's input that
// ends), the exec record and the fault plan over every unit. (Reboot: the end-to-end power-up
// roads.)
#include "sim/sim_board.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <sstream>

#include "platform/console_io.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

void note_break(int) {
    platform::os().write(1, "<break>", 7);
}

TEST(SimConsole, ScriptedKeysNothingAndBreaksThenTheEndOfInput) {
    TestBoard b;
    b->install_signal_handler(SIGINT, note_break, 0);
    b.input(sim::ConsoleScript("ab").nothing().interrupt().keys("c"));
    const std::tuple<ssize_t, int, char> rows[] = {{1, 0, 'a'},    {1, 0, 'b'}, {0, 0, 0},
                                                   {-1, EINTR, 0}, {1, 0, 'c'}, {0, 0, 0}};
    for (const auto& [result, error, key] : rows) {
        char c = 0;
        errno = 0;
        EXPECT_EQ(std::tuple(b->read(0, &c, 1), errno, c), std::tuple(result, error, key));
    }
    out_printf("%600s|", "");  // longer than the formatter's stack buffer: written whole
    EXPECT_EQ(b.out(), "<break>" + std::string(600, ' ') + "|");
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
    // ttyS0 without a line: a test's script stands for it, a terminal cannot.
    const BoardRun r = b.run([&dir] {
        sim::SimBoard raw(dir);
        ::_exit(raw.open("/dev/ttyS0", O_RDWR) == -1 && errno == ENODEV ? 40 : 41);
    });
    EXPECT_EQ(r.status, 40);
    EXPECT_GE(b->open("/dev/ttyS0", O_RDWR), 0);
    // The exec that ends a run names the program and its arguments.
    char a0[] = "gdbserver", a1[] = ":1234", *argv[] = {a0, a1, nullptr};
    const BoardRun e = b.run([&] { b->execv("/bin/gdbserver", argv); });
    EXPECT_EQ(e.texts("board").back(), "exec /bin/gdbserver :1234");
}

// An operation of a fault row, as the boot manager makes it; -200: the bus did not open, -100:
// the device select failed.
long operation(sim::SimBoard& os, const std::string& what) {
    std::istringstream words(what);
    std::string op, bus, addr;
    words >> op >> bus >> addr;
    std::uint8_t buf[4] = {};
    if (op.starts_with("i2c")) {
        const int fd = os.open(bus.c_str(), O_RDWR);
        if (fd < 0) return -200;
        const auto a = static_cast<std::uintptr_t>(std::stoul(addr, nullptr, 16));
        if (os.ioctl(fd, sim::kI2cSlave, reinterpret_cast<void*>(a)) < 0) return -100;
        const long n = op == "i2c-read" ? os.read(fd, buf, 4) : os.write(fd, buf, 2);
        os.close(fd);
        return n;
    }
    if (op == "create") {
        const int fd = os.open(bus.c_str(), O_WRONLY | O_CREAT, 0644);
        return fd < 0 ? -1 : os.close(fd);
    }
    if (op == "shell") return os.system(bus.c_str());
    if (op == "exec") {
        char arg0[] = "/bin/backtrace";
        char* argv[] = {arg0, nullptr};
        return os.execv(arg0, argv);
    }
    const int fd = os.open("/dev/mtd0", O_RDWR);
    erase_info_user e{0, sim::kFlashEraseSize};
    mtd_info_user info{};
    const long n = op == "mtd-read"    ? os.pread(fd, buf, 4, 0)
                   : op == "mtd-write" ? os.pwrite(fd, buf, 4, 0)
                   : op == "mtd-erase" ? os.ioctl(fd, MEMERASE, &e)
                                       : os.ioctl(fd, MEMGETINFO, &info);
    os.close(fd);
    return n;
}

TABLE_TEST(SimFaults, "tests/sim/data/fault.tsv") {
    TestBoard b;
    for (const auto& fault : faults_of(row["fault"])) b->inject(fault);
    const long long first = operation(b.board(), row["operation"]);
    const long long second = operation(b.board(), row["operation"]);
    EXPECT_EQ(std::pair(first, second), std::pair(row.num("first"), row.num("second")));
}

}  // namespace
