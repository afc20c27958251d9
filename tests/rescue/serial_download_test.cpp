#include "rescue/serial_download.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "platform/platform.h"
#include "sim/sim_serial.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

// The line as the receiver finds it: raw 8N1 at 115200 bps, everything else as it was.
void expect_download_settings() {
    const int fd = platform::os().open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios seen {};
    platform::os().tcgetattr(fd, &seen);
    platform::os().close(fd);
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&seen), static_cast<speed_t>(B115200));
    EXPECT_EQ(seen.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(seen.c_oflag, 0u);
    EXPECT_EQ(seen.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(seen.c_lflag & (ICANON | ISIG | ECHO | ECHOE), 0u);
    EXPECT_EQ(seen.c_cflag & CREAD, saved_serial_settings.c_cflag & CREAD);
}

TABLE_TEST(SerialDownload, "tests/rescue/data/serial_download.tsv") {
    TestBoard b;
    sim::SimSerial serial(b.board());
    install_interrupt_handler();
    boot_settings.break_flag = 0;
    const auto receiver = row.list("receiver", ' ');  // [writes a file, exit code] or none
    int runs = 0;
    serial.set_receiver([&](const std::string& target) {
        ++runs;
        EXPECT_EQ(target, b.host_path("/tmp/image"));
        EXPECT_FALSE(b.exists("/tmp/image")) << "an earlier file is removed first";
        expect_download_settings();
        if (receiver.at(0) == "file") b.write_file("/tmp/image", "not a package");
        return std::stoi(receiver.at(1));
    });
    const std::string board = row.choice("board", {"", "stale", "notty"});
    if (board == "stale") b.write_file("/tmp/image", "an earlier download");
    if (board == "notty") serial.set_device((b.dir() / "no-such-tty").string());
    b.input(console_script(row["input"]));
    EXPECT_EQ(rescue_serial_download(), 0) << "nothing here is a valid package";
    EXPECT_EQ(runs, receiver.empty() ? 0 : 1);
    EXPECT_EQ(sim::event_texts(b.events(), "serial"), row.list("line"));
    EXPECT_EQ(b.exists("/tmp/image"), row.num("left") == 1);
    EXPECT_EQ(b->virtual_ms(), static_cast<std::uint64_t>(row.num("ms")));
    EXPECT_EQ(b.err(), row["err"]);
    EXPECT_EQ(b.out(), row["out"]);
    boot_settings.break_flag = 0;
}

}  // namespace
