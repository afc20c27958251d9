#include "rescue/serial_download.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "boot/boot_settings.h"
#include "image/install.h"
#include "image/install_log.h"
#include "platform/console_io.h"
#include "platform/platform.h"

struct termios saved_serial_settings {};

namespace {

constexpr const char* kSerialDevice = "/dev/ttyS0";
constexpr unsigned kReminderTicks = 11;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kLineFeed = 0x0A;
// With signals off on the line, Ctrl-C reaches us as this byte.
constexpr unsigned char kInterruptByte = 0x03;

// The terminal control calls in their ioctl form, so they go through the platform like every
// other device request.
void line_drain(int fd) {
    platform::os().ioctl(fd, TCSBRK, reinterpret_cast<void*>(1));
}
void line_flush(int fd) {
    platform::os().ioctl(fd, TCFLSH,
                         reinterpret_cast<void*>(static_cast<std::intptr_t>(TCIOFLUSH)));
}
void line_restart_output(int fd) {
    platform::os().ioctl(fd, TCXONC, reinterpret_cast<void*>(static_cast<std::intptr_t>(TCOON)));
}

struct termios download_settings(const struct termios& saved) {
    struct termios t = saved;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8;
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);
    return t;
}

enum class Wait { Key, Cancelled };

// Polls the non-blocking line once a second for `key`, dropping anything else, and repeats the
// reminder every eleven seconds. When `cancellable`, a break ends the wait.
Wait wait_for_key(int fd, unsigned char key, const char* reminder, bool cancellable) {
    unsigned ticks = 0;
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = platform::os().read(fd, &byte, 1);
        if (n == 1 && byte == key) return Wait::Key;
        if (cancellable && (boot_settings.break_flag || (n == 1 && byte == kInterruptByte))) {
            return Wait::Cancelled;
        }
        platform::os().sleep_ms(1000);
        if (++ticks == kReminderTicks) {
            out_printf("%s", reminder);
            ticks = 0;
        }
    }
}

bool download_present() {
    struct stat st {};
    return platform::os().stat(DOWNLOAD_IMAGE_PATH, &st) == 0;
}

}  // namespace

int serial_prepare_download() {
    const int fd = platform::os().open(kSerialDevice, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        err_printf("%s: %s\n", "Can't open serial port!", std::strerror(error));
        return -1;
    }
    out_puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    out_puts("       before initiating the download.");
    line_drain(fd);
    line_flush(fd);
    platform::os().tcgetattr(fd, &saved_serial_settings);
    const struct termios fast = download_settings(saved_serial_settings);
    platform::os().tcsetattr(fd, TCSADRAIN, &fast);
    line_restart_output(fd);
    const Wait w = wait_for_key(
        fd, kCarriageReturn,
        "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n",
        true);
    if (w == Wait::Cancelled) {
        // The operator's terminal already runs at the download speed: take it back through the
        // usual restore so that the menu is readable again.
        serial_restore_console(fd);
        platform::os().close(fd);
        return -1;
    }
    return fd;
}

void serial_restore_console(int fd) {
    out_puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    line_drain(fd);
    line_flush(fd);
    platform::os().tcsetattr(fd, TCSADRAIN, &saved_serial_settings);
    line_restart_output(fd);
    wait_for_key(fd, kLineFeed, "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n", false);
}

int rescue_serial_download() {
    out_puts("Running xmodem rescue.....");
    const int fd = serial_prepare_download();
    // No line, or the operator broke off: the receiver would wait on nothing.
    if (fd < 0) return 0;
    // A file left by an earlier download must not pass for this one.
    platform::os().remove(DOWNLOAD_IMAGE_PATH);
    const int status = platform::os().system("/usr/bin/rx /tmp/image");
    bool cut_short = false;
    if (status != 0 && download_present()) {
        // The receiver gave up part way: what arrived is not the package that was sent.
        platform::os().remove(DOWNLOAD_IMAGE_PATH);
        cut_short = true;
    }
    const bool received = download_present();
    serial_restore_console(fd);
    platform::os().close(fd);
    if (!received) {
        if (cut_short) out_puts("Xmodem download incomplete. Aborting");
        return 0;
    }
    const int result = image_install_package(DOWNLOAD_IMAGE_PATH, 0, 0);
    if (result != 0) install_log_append("image", "xmodem");
    return result;
}
