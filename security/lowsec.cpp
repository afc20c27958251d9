#include "security/lowsec.h"

#include <sys/stat.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "board/i2c_devices.h"
#include "board/reboot.h"
#include "boot/boot_settings.h"
#include "boot/console.h"
#include "platform/console_io.h"
#include "platform/platform.h"

namespace {

constexpr int PRESENCE_ATTEMPTS = 3;
// Every attempt shows at least this many two-second ticks, so the length of the display does not
// give the blink count away.
constexpr int TICKS_PER_ATTEMPT = 11;
constexpr std::uint8_t LED_FIELD_MASK = 0xCF;  // clears bits 5..4, the main-board LED field
constexpr std::uint8_t LED_FIELD_REST = 0x10;  // field 01: resting state; field 00: blink
constexpr unsigned SECOND_MS = 1000;
constexpr char MARKER_CONTENT[] = "tolvrine\n";

bool break_seen() {
    return boot_settings.break_flag != 0;
}

void sleep_seconds(unsigned seconds) {
    platform::os().sleep_ms(seconds * SECOND_MS);
}

// One key, echoed as the operator typed it; 0 means no key (NUL or an interrupted read).
unsigned ask_key() {
    const unsigned key = console_get_key();
    out_printf("%c\n", static_cast<int>(key));
    return key;
}

// The number of blinks: the digit sum of the BCD seconds of the clock, at least 1.
int blink_count() {
    // A failed transfer leaves the buffer as it was; 0xFF is no seconds value the clock can hold
    // (even with its status bit set), so it tells a failed read apart.
    constexpr std::uint8_t NO_READING = 0xFF;
    std::array<std::uint8_t, RTC_TIME_LEN> rtc{};
    rtc.fill(NO_READING);
    rtc_read_time(rtc.data());
    std::uint8_t seconds = rtc[0];
    if (seconds == NO_READING) {
        // Without the clock, the seconds of the running system stand in, so the count stays
        // unpredictable to someone who cannot see the board.
        const auto s = static_cast<unsigned>(platform::os().monotonic_ms() / SECOND_MS % 60);
        seconds = static_cast<std::uint8_t>((s / 10) << 4 | (s % 10));
    }
    const int n = (seconds >> 4) + (seconds & 0x0F);
    return n == 0 ? 1 : n;
}

int disable_question() {
    out_printf("Switch is in low security mode. Confirm disabling Y/n? ");
    const unsigned key = ask_key();
    if (key == 0) {
        return 0;
    }
    if (std::toupper(static_cast<int>(key)) != 'N') {
        lowsec_marker_set(0);
    }
    return 1;
}

}  // namespace

bool lowsec_active() {
    if (boot_settings.lowsec_authorised != 0) {
        out_puts("NOTE: Uboot low security mode override enabled");
        return static_cast<std::uint8_t>(boot_settings.lowsec_authorised) != 0;
    }
    struct stat st {};
    return platform::os().stat(LOWSEC_MARKER_PATH, &st) == 0;
}

int lowsec_marker_set(std::uint8_t on) {
    if (on == 0) {
        if (platform::os().remove(LOWSEC_MARKER_PATH) != 0 && errno != ENOENT) {
            out_printf("ERROR removing file %s: %d\n", LOWSEC_MARKER_PATH, errno);
            return -1;
        }
        return 0;
    }
    std::FILE* file = platform::os().fopen(LOWSEC_MARKER_PATH, "wb");
    if (file == nullptr) {
        out_printf("ERROR creating file %s\n", LOWSEC_MARKER_PATH);
        return -1;
    }
    const std::size_t length = sizeof MARKER_CONTENT - 1;
    const bool written = std::fwrite(MARKER_CONTENT, 1, length, file) == length;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        out_printf("ERROR creating file %s\n", LOWSEC_MARKER_PATH);
        return -1;
    }
    return 0;
}

int physical_presence_test() {
    if (lowsec_active()) {
        return disable_question();
    }
    out_printf(
        "WARNING: the following test is used to determine physical presence and if completed will "
        "put the switch in low security mode.\nDo you wish to continue y/N? ");
    const unsigned answer = ask_key();
    if (answer == 0 || std::toupper(static_cast<int>(answer)) != 'Y') {
        return 0;
    }

    std::uint8_t led = 0;
    led_read_register(LED_PRESENCE_REGISTER, &led);
    const auto resting = static_cast<std::uint8_t>((led & LED_FIELD_MASK) | LED_FIELD_REST);
    const auto blink = static_cast<std::uint8_t>(led & LED_FIELD_MASK);

    for (int attempt = 1; attempt <= PRESENCE_ATTEMPTS; ++attempt) {
        led_write_register(LED_PRESENCE_REGISTER, resting);
        out_printf("Hit a key to start the test. The MB LED will blink a number of times.");
        ask_key();

        const int n = blink_count();
        for (int i = 0; i < n; ++i) {
            if (break_seen()) {
                return 0;
            }
            out_printf(".");
            led_write_register(LED_PRESENCE_REGISTER, blink);
            sleep_seconds(1);
            led_write_register(LED_PRESENCE_REGISTER, resting);
            sleep_seconds(1);
        }
        for (int i = n; i < TICKS_PER_ATTEMPT; ++i) {
            if (break_seen()) {
                return 0;
            }
            out_printf(".");
            sleep_seconds(2);
        }

        out_printf("\nHow many times did the LED blink? ");
        std::array<char, 8> line{};
        console_read_line(line.data(), line.size());
        if (break_seen()) {
            return 0;
        }
        if (std::strtol(line.data(), nullptr, 10) == n) {
            // The mode is only announced once its marker really exists.
            if (lowsec_marker_set(1) != 0) {
                return 0;
            }
            out_puts("Correct. Physical presence established and low security mode enabled");
            return 1;
        }
        out_printf("Incorrect. Try again (attempt %d of %d)\n", attempt, PRESENCE_ATTEMPTS);
    }
    out_puts("Maximum number of test failed. Board is resetting");
    sleep_seconds(1);
    reboot_system();
}
