#include "rescue/serial_download.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "platform/platform.h"
#include "sim/sim_serial.h"
#include "tests/support/board_fixture.h"

namespace {

using testing::HasSubstr;
using testing::Not;

constexpr const char* kInstallStart = "Extracting images ... Do *NOT* power cycle the switch.";
constexpr const char* kStartReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
constexpr const char* kBackReminder = "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";
constexpr const char* kCutShort = "Xmodem download incomplete. Aborting\n";

// `before`, then `reads` reads that find nothing (a second each).
sim::ConsoleScript silence(int reads, std::string_view before = {}) {
    sim::ConsoleScript s;
    if (!before.empty()) s.keys(before);
    for (int i = 0; i < reads; ++i) s.nothing();
    return s;
}

// What the stand-in receiver does: write a file or not, and its exit code.
struct Receive {
    bool writes;
    int code;
};

struct SerialCase {
    const char* name;
    sim::ConsoleScript input;
    std::optional<Receive> receive;  // nullopt: the receiver must not run
    bool stale_before;
    bool installed;
    bool cut_short;
    int start_reminders;
    int back_reminders;
};

TEST(SerialDownload, Table) {
    const std::vector<SerialCase> table{
        {"enter, file, enter", "\r\n", Receive{true, 0}, false, true, false, 0, 0},
        {"other keys dropped first", "ab\r\n", Receive{true, 0}, false, true, false, 0, 0},
        {"reminder after eleven seconds", silence(11).keys("\r\n"), Receive{true, 0}, false, true,
         false, 1, 0},
        {"reminder every eleven seconds", silence(23).keys("\r\n"), Receive{true, 0}, false, true,
         false, 2, 0},
        {"reminder on the way back", silence(11, "\r").keys("\n"), Receive{true, 0}, false, true,
         false, 0, 1},
        {"carriage return does not end the way back", "\r\r\n", Receive{true, 0}, false, true,
         false, 0, 0},
        {"nothing received", "\r\n", Receive{false, 0}, false, false, false, 0, 0},
        {"cut short", "\r\n", Receive{true, 1}, false, false, true, 0, 0},
        {"failed without a file", "\r\n", Receive{false, 1}, false, false, false, 0, 0},
        {"stale file is not a download", "\r\n", Receive{false, 0}, true, false, false, 0, 0},
        {"break while waiting", sim::ConsoleScript("a").interrupt().keys("\n"), std::nullopt, false,
         false, false, 0, 0},
        {"ctrl-c byte while waiting", "\x03\n", std::nullopt, false, false, false, 0, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TestBoard b;
        sim::SimSerial serial(b.board());
        install_interrupt_handler();
        boot_settings.break_flag = 0;
        int runs = 0;
        serial.set_receiver([&](const std::string& target) {
            ++runs;
            EXPECT_EQ(target, b.host_path("/tmp/image"));
            EXPECT_FALSE(b.exists("/tmp/image")) << "an earlier file is removed first";
            if (row.receive->writes) b.write_file("/tmp/image", "not a package");
            return row.receive->code;
        });
        if (row.stale_before) b.write_file("/tmp/image", "an earlier download");
        b.input(row.input);
        EXPECT_EQ(rescue_serial_download(), 0) << "nothing here is a valid package";
        const std::string out = b.out();
        EXPECT_EQ(runs, row.receive ? 1 : 0);
        EXPECT_EQ(out.rfind("Running xmodem rescue.....\n"
                            "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                            "       before initiating the download.\n",
                            0),
                  0u);
        EXPECT_EQ(
            count_of(out, "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"),
            1);
        EXPECT_EQ(out.find(kInstallStart) != std::string::npos, row.installed);
        EXPECT_EQ(out.find(kCutShort) != std::string::npos, row.cut_short);
        EXPECT_EQ(count_of(out, kStartReminder), row.start_reminders);
        EXPECT_EQ(count_of(out, kBackReminder), row.back_reminders);
        if (!row.installed) {
            EXPECT_FALSE(b.exists("/tmp/image"));
        }
        const auto speeds = b.board().events();
        const auto serial_events = sim::event_texts(speeds, "serial");
        ASSERT_EQ(serial_events.size(), 2u) << "download settings, then the saved ones";
        EXPECT_EQ(serial_events[0], "speed 115200");
        EXPECT_NE(serial_events[1], "speed 115200");
        boot_settings.break_flag = 0;
    }
}

TEST(SerialDownload, LineRunsRawAtTheDownloadSpeedWhileTheReceiverRuns) {
    TestBoard b;
    sim::SimSerial serial(b.board());
    boot_settings.break_flag = 0;
    struct termios seen {};
    serial.set_receiver([&](const std::string&) {
        const int fd = platform::os().open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
        platform::os().tcgetattr(fd, &seen);
        platform::os().close(fd);
        return 0;
    });
    b.input("\r\n");
    rescue_serial_download();
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&seen), static_cast<speed_t>(B115200));
    EXPECT_EQ(seen.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(seen.c_oflag, 0u);
    EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(seen.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(seen.c_lflag & (ICANON | ISIG | ECHO | ECHOE), 0u);
    EXPECT_EQ(seen.c_cflag & CREAD, saved_serial_settings.c_cflag & CREAD) << "others kept";
}

TEST(SerialDownload, MissingLineRunsNoReceiverAndWaitsForNothing) {
    TestBoard b;
    sim::SimSerial serial(b.board());
    serial.set_device((b.dir() / "no-such-tty").string());
    int runs = 0;
    serial.set_receiver([&](const std::string&) { return ++runs, 0; });
    b.input("");
    EXPECT_EQ(rescue_serial_download(), 0);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(b.err(), "Can't open serial port!: No such file or directory\n");
    EXPECT_THAT(b.out(), Not(HasSubstr("baud rate")));
}

}  // namespace
