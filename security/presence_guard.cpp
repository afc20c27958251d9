#include "security/presence_guard.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "board/i2c_devices.h"
#include "image/state_record.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"

namespace {

constexpr std::uint32_t kTag = 0x42505231u;  // "BPR1"
// The first lockout is short enough for an operator who misread the LED three times; each
// failed round after it waits four times longer, up to a day. A blind guesser (one answer in 11
// right) then needs more than a day of lockouts on average; the README gives the figure.
constexpr std::uint32_t kFirstLockout = 10 * 60;
constexpr std::uint32_t kGrowth = 4;
constexpr std::uint32_t kLongestLockout = 24 * 60 * 60;
// A lockout recorded while the clock could not be read starts when it can be.
constexpr std::uint32_t kStartUnknown = 0xFFFFFFFFu;

struct Ledger {
    std::uint32_t failed_rounds = 0;
    std::uint8_t attempts_spent = 0;  // of the current round
    bool locked = false;
    std::uint32_t lock_start = kStartUnknown;  // RTC seconds
    std::uint32_t lock_seconds = 0;
};

using Body = std::array<std::uint8_t, 14>;

Body encode(const Ledger& l) {
    Body b{};
    be::store32(b.data(), l.failed_rounds);
    b[4] = l.attempts_spent;
    b[5] = l.locked ? 1 : 0;
    be::store32(b.data() + 6, l.lock_start);
    be::store32(b.data() + 10, l.lock_seconds);
    return b;
}

Ledger decode(const Body& b) {
    return {be::load32(b.data()), b[4], b[5] != 0, be::load32(b.data() + 6),
            be::load32(b.data() + 10)};
}

bool store(const Ledger& l) {
    const Body body = encode(l);
    if (state_record_write(PRESENCE_RECORD_PATH, kTag, body) == 0) return true;
    out_printf(
        "ERROR: the physical presence test cannot record its attempts (err %d). Test "
        "refused\n",
        errno);
    return false;
}

// A record that is there but cannot be read was not written by this program: it counts as one
// failed round, so that destroying it gains nothing.
Ledger damaged_ledger() {
    return {1, 0, true, kStartUnknown, presence_lockout_seconds(1)};
}

// The ledger on the board; damaged is set when a record was there but could not be read.
Ledger load(bool& damaged) {
    Body body{};
    damaged = false;
    switch (state_record_read(PRESENCE_RECORD_PATH, kTag, body)) {
        case RecordRead::missing:
            return {};
        case RecordRead::damaged:
            damaged = true;
            return damaged_ledger();
        case RecordRead::ok:
            break;
    }
    const Ledger l = decode(body);
    damaged = !l.locked && l.attempts_spent >= PRESENCE_ATTEMPTS;
    return damaged ? damaged_ledger() : l;
}

std::uint32_t clock_seconds(std::uint64_t now) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(now, kStartUnknown - 1));
}

void say_locked(std::uint32_t left) {
    out_printf("Physical presence test locked after failed attempts: %u h %02u min %02u s left\n",
               left / 3600, left / 60 % 60, left % 60);
}

}  // namespace

std::uint32_t presence_lockout_seconds(std::uint32_t failed_round) {
    std::uint64_t lockout = kFirstLockout;
    for (std::uint32_t k = 1; k < failed_round && lockout < kLongestLockout; ++k)
        lockout *= kGrowth;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(lockout, kLongestLockout));
}

int presence_next_attempt() {
    bool damaged = false;
    Ledger l = load(damaged);
    if (damaged) {
        out_puts(
            "WARNING: the physical presence record is unreadable; it counts as a failed round");
        if (!store(l)) return 0;
    }
    if (l.locked) {
        std::uint64_t now = 0;
        if (rtc_read_seconds(&now) == 0) {
            out_puts("ERROR reading the clock: the physical presence test stays locked");
            return 0;
        }
        const std::uint32_t now32 = clock_seconds(now);
        // A clock that went back cannot tell how long the board waited: the wait starts again
        // from now, never longer than this round's lockout and never cut short.
        if (l.lock_start == kStartUnknown || now32 < l.lock_start) {
            l.lock_start = now32;
            if (!store(l)) return 0;
        }
        const std::uint64_t end = std::uint64_t{l.lock_start} + l.lock_seconds;
        if (now32 < end) {
            say_locked(static_cast<std::uint32_t>(end - now32));
            return 0;
        }
        return 1;
    }
    if (l.attempts_spent > 0)
        out_printf("Physical presence test: attempt %d of %d (the attempts before it are spent)\n",
                   l.attempts_spent + 1, PRESENCE_ATTEMPTS);
    return l.attempts_spent + 1;
}

int presence_spend_attempt(int attempt) {
    bool damaged = false;
    Ledger l = load(damaged);
    if (l.locked) l = {l.failed_rounds, 0, false, kStartUnknown, 0};  // its lockout is over
    l.attempts_spent = static_cast<std::uint8_t>(std::clamp(attempt, 1, PRESENCE_ATTEMPTS));
    if (attempt >= PRESENCE_ATTEMPTS) {
        // Whatever ends this attempt but a right answer (a wrong one, a break, a power cut)
        // finds the round already failed and its lockout running.
        ++l.failed_rounds;
        l.attempts_spent = 0;
        l.locked = true;
        std::uint64_t now = 0;
        l.lock_start = rtc_read_seconds(&now) != 0 ? clock_seconds(now) : kStartUnknown;
        l.lock_seconds = presence_lockout_seconds(l.failed_rounds);
    }
    return store(l) ? 1 : 0;
}

void presence_passed() {
    if (state_record_remove(PRESENCE_RECORD_PATH) != 0)
        out_printf("WARNING: the physical presence record could not be cleared (err %d)\n", errno);
}
