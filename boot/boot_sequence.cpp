#include "boot/boot_sequence.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <span>

#include "board/boot_slot.h"
#include "board/i2c_devices.h"
#include "board/reboot.h"
#include "boot/boot_settings.h"
#include "boot/launch.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/image_format.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "rescue/net_config.h"
#include "rescue/rescue_menu.h"
#include "security/keystore.h"

namespace {

void on_sigint(int) {
    boot_settings.break_flag = 1;
}

// Keys at the console that would end (Ctrl-\) or stop (Ctrl-Z, and the background reads and
// writes of job control) the boot manager, which must stay in charge of the board. Caught
// rather than ignored: an ignored signal would stay ignored in the shell commands and the
// application it starts, a caught one is back at its default there. Restarted: a console read
// goes on waiting as if nothing came.
constexpr std::array kUnnoticedSignals{SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

void on_unnoticed_signal(int) {}

int other_slot(int slot) {
    return slot == 1 ? 2 : 1;
}

// The end of a boot attempt that cannot go on: the operator may look around in a shell first.
[[noreturn]] void final_failure() {
    if (boot_settings.shell_enabled) platform::os().system("/bin/sh\n");
    reboot_system();
}

// Owns the application archive for one slot attempt.
class Archive {
  public:
    Archive() : fd_(platform::os().open(APPLICATION_ARCHIVE, O_WRONLY | O_CREAT | O_TRUNC, 0644)) {}
    ~Archive() { close(); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    bool is_open() const { return fd_ >= 0; }
    bool write(const std::uint8_t* data, std::uint32_t length) {
        std::uint32_t done = 0;
        while (done < length) {
            const ssize_t n = platform::os().write(fd_, data + done, length - done);
            if (n <= 0) return false;
            done += static_cast<std::uint32_t>(n);
        }
        return true;
    }
    void close() {
        if (fd_ >= 0) platform::os().close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// The RTC keeps BCD, so each byte printed as two hex digits gives two decimal digits.
void set_clock_from_rtc() {
    std::uint8_t t[RTC_TIME_LEN] = {};
    // Without a clock reading there is nothing sensible to set; the system clock keeps its time.
    if (rtc_read_time(t) == 0) return;
    const RtcFields f = rtc_fields(t);
    char command[64];
    std::snprintf(command, sizeof command, "date %2.2x%2.2x%2.2x%2.2x20%2.2x.%2.2x\n", f.month,
                  f.day, f.hour, f.minute, f.year, f.second);
    platform::os().system(command);
}

}  // namespace

int install_interrupt_handler() {
    auto& os = platform::os();
    int result = os.install_signal_handler(SIGINT, on_sigint, 0);
    for (const int signal : kUnnoticedSignals) {
        if (os.install_signal_handler(signal, on_unnoticed_signal, SA_RESTART) != 0) result = -1;
    }
    return result;
}

int boot_header_accepted(const ImageHeader& header, std::uint32_t room) {
    // Lengths are untrusted: an image that cannot be laid out, or would run past its slot, is no
    // image at all, and nothing is sized from it.
    return image_slot_bootable(header, room) ? 1 : 0;
}

int image_crc_mismatch(const std::uint8_t* data, std::uint32_t length, std::uint32_t stored) {
    return image_crc32(data, length, IMG_CRC_SEED) != stored ? 1 : 0;
}

int boot_image_slot(int slot) {
    if (slot != 1 && slot != 2) return 0;
    const FlashRegionInfo& region = flash_region(flash_slot_region(slot));
    const std::uint32_t offset = region.offset;
    const std::uint32_t room = region.room;
    const int other = other_slot(slot);

    Archive archive;
    if (!archive.is_open()) {
        err_printf("Failed to open application image output file.\n");
        final_failure();
    }

    // A header that cannot be read stays all zero and is refused below like any other bad header.
    std::uint8_t probe[IMG_PROBE_LEN] = {};
    if (flash_region_read(probe, mtd_fd, offset, IMG_PROBE_LEN) != 0) {
        std::fill(std::begin(probe), std::end(probe), std::uint8_t{0});
    }
    const ImageHeader header =
        image_header_decode(std::span<const std::uint8_t, IMG_PROBE_LEN>(probe));

    if (boot_header_accepted(header, room) == 0) {
        if (boot_settings.second_attempt) {
            err_printf("No valid application image found. Trying rescue image\n");
            archive.close();
            final_failure();
        }
        archive.close();
        err_printf("Image has invalid header 0x%x. (0x%x)\n", header.magic, IMG_KIND_DIAGS);
        err_printf("Image%d has invalid header... trying Image%d.\n", slot, other);
        return 0;
    }

    const auto image_len = static_cast<std::uint32_t>(image_length(header));
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[image_len]);
    // An image that cannot be held or read back is as unusable as one with a wrong CRC.
    const bool bad = !image || flash_region_read(image.get(), mtd_fd, offset, image_len) != 0 ||
                     image_crc_mismatch(image.get() + 4, image_len - 4, header.crc);
    if (bad) {
        image.reset();
        if (boot_settings.second_attempt) {
            err_printf("Both image1 and image2 failed.\n");
            archive.close();
            final_failure();
        }
        err_printf("Image%d CRC failed, trying Image%d now.\n", slot, other);
        return 0;
    }

    const bool written = archive.write(image.get() + header.header_len, header.payload_len);
    image.reset();
    archive.close();
    if (!written) {
        // /tmp is shared by both slots, so the other slot would meet the same wall.
        err_printf("Failed to write application image output file.\n");
        final_failure();
    }

    if (boot_settings.gdb_enabled && !boot_settings.gdbserver_enabled) extract_gdb(slot);
    launch_application(header.magic == IMG_KIND_DIAGS ? 1 : 0);
}

void boot_start_up() {
    install_interrupt_handler();
    i2c_open_buses();
    mtd_open();
    CRYPTO_LIB_initialize();
    parse_boot_settings();
    set_clock_from_rtc();
    if (imgsign_keys_present() == 0)
        out_puts("WARNING - problem with security keys. No keys found");
}

void boot_main() {
    boot_start_up();
    if (boot_settings.rescue_requested) rescue_menu();

    const int slot = boot_trial_slot(choose_boot_slot(), boot_settings.bootlimit);
    if (boot_settings.gdbserver_enabled) net_setup(1);

    out_printf("Booting image '%d'\n", slot);
    boot_image_slot(slot);

    const int other = other_slot(slot);
    out_printf("Booting image '%d'\n", other);
    boot_settings.second_attempt = 1;
    boot_image_slot(other);

    reboot_system();
}
