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
#include "security/presence_guard.h"

namespace {

// Every attempt shows this many ticks of the same length, blink or not, so neither the number of
// dots nor the time between them gives the blink count away: only the LED does.
constexpr int TICKS_PER_ATTEMPT = 11;
constexpr std::uint64_t TICK_MS = 2000;
constexpr std::uint64_t BLINK_MS = 1000;       // of a tick, the LED's time in the blink state
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

// Sleeps until the board's clock reads deadline. Work done since the last deadline (LED writes
// with their settle time, console output) shortens the sleep instead of lengthening the tick.
void sleep_until(std::uint64_t deadline) {
    const std::uint64_t now = platform::os().monotonic_ms();
    if (now < deadline) platform::os().sleep_ms(static_cast<unsigned>(deadline - now));
}

// One key, echoed as the operator typed it; 0 means no key (NUL or an interrupted read).
unsigned ask_key() {
    const unsigned key = console_get_key();
    out_printf("%c\n", static_cast<int>(key));
    return key;
}

}  // namespace

int presence_blink_count() {
    // 253 = 23 * 11: a byte below it gives each count 1..11 from exactly 23 values; the three
    // bytes above are drawn again rather than folded in, which would favour the low counts.
    constexpr unsigned ACCEPTED_BELOW = 256 - 256 % TICKS_PER_ATTEMPT;
    // Even a source that answers only 253..255 ends the loop; the chance of that by luck is nil.
    for (int draw = 0; draw < 64; ++draw) {
        std::uint8_t byte = 0;
        if (platform::os().random_bytes(&byte, 1) != 1) {
            out_printf("ERROR reading the random source: %d\n", errno);
            return 0;
        }
        if (byte < ACCEPTED_BELOW) return 1 + byte % TICKS_PER_ATTEMPT;
    }
    out_printf("ERROR reading the random source: %d\n", EIO);
    return 0;
}

namespace {

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

// The end of a round whose last attempt did not pass, however the operator left it: the ledger
// already holds the failed round.
[[noreturn]] void reset_after_failed_round() {
    out_puts("Maximum number of test failed. Board is resetting");
    sleep_seconds(1);
    reboot_system();
}

int physical_presence_test() {
    if (lowsec_active()) {
        return disable_question();
    }
    // Before any question: a locked test says so, with its time left, and asks nothing.
    const int first = presence_next_attempt();
    if (first == 0) return 0;
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

    for (int attempt = first; attempt <= PRESENCE_ATTEMPTS; ++attempt) {
        const bool last = attempt == PRESENCE_ATTEMPTS;
        led_write_register(LED_PRESENCE_REGISTER, resting);
        out_printf("Hit a key to start the test. The MB LED will blink a number of times.");
        ask_key();
        // Leaving before the first blink costs nothing: nothing was shown yet.
        if (break_seen()) return 0;

        const int n = presence_blink_count();
        if (n == 0 || presence_spend_attempt(attempt) == 0) {
            return 0;
        }
        // The ticks keep to deadlines fixed from here on: a blink tick and a quiet one take the
        // same time, whatever the LED controller and the console cost.
        const std::uint64_t start = platform::os().monotonic_ms();
        for (int tick = 0; tick < TICKS_PER_ATTEMPT; ++tick) {
            if (break_seen()) {
                led_write_register(LED_PRESENCE_REGISTER, resting);
                if (last) reset_after_failed_round();
                return 0;
            }
            const std::uint64_t tick_start = start + static_cast<std::uint64_t>(tick) * TICK_MS;
            sleep_until(tick_start);
            out_printf(".");
            out_flush();
            if (tick < n) {
                led_write_register(LED_PRESENCE_REGISTER, blink);
                sleep_until(tick_start + BLINK_MS);
                led_write_register(LED_PRESENCE_REGISTER, resting);
            }
            sleep_until(tick_start + TICK_MS);
        }

        out_printf("\nHow many times did the LED blink? ");
        std::array<char, 8> line{};
        console_read_line(line.data(), line.size());
        if (break_seen()) {
            if (last) reset_after_failed_round();
            return 0;
        }
        if (std::strtol(line.data(), nullptr, 10) == n) {
            // The mode is only announced once its marker really exists.
            if (lowsec_marker_set(1) != 0) {
                return 0;
            }
            presence_passed();
            out_puts("Correct. Physical presence established and low security mode enabled");
            return 1;
        }
        out_printf("Incorrect. Try again (attempt %d of %d)\n", attempt, PRESENCE_ATTEMPTS);
    }
    reset_after_failed_round();
}
