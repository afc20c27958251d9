#include "image/boot_trial.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "board/boot_slot.h"
#include "board/i2c_devices.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "image/install_log.h"
#include "image/installed.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"

namespace {

constexpr std::uint32_t kTag = 0x42545231u;  // "BTR1"
// state, slot, previous boot slot, boots (32-bit)
using Body = std::array<std::uint8_t, 7>;

Body encode(const TrialRecord& r) {
    Body b{};
    b[0] = static_cast<std::uint8_t>(r.state);
    b[1] = r.slot;
    b[2] = r.previous;
    be::store32(b.data() + 3, r.boots);
    return b;
}

bool store(const TrialRecord& r) {
    const Body body = encode(r);
    return state_record_write(TRIAL_RECORD_PATH, kTag, body) == 0;
}

int other_slot(int slot) {
    return slot == 1 ? 2 : 1;
}

// The return goes into the install log beside the installations, stamped the same way.
void log_return(int from, int to, std::uint32_t boots) {
    std::uint8_t t[RTC_TIME_LEN] = {};
    rtc_read_time(t);
    const RtcFields f = rtc_fields(t);
    char line[160];
    const int n =
        std::snprintf(line, sizeof line,
                      "Image%d not confirmed after %u trial boots: returned to image%d at "
                      "%2.2x:%2.2x:%2.2x on %x-%x-20%x\n",
                      from, boots, to, f.hour, f.minute, f.second, f.day, f.month, f.year);
    const auto text = std::span(reinterpret_cast<const std::uint8_t*>(line),
                                static_cast<std::size_t>(std::clamp(n, 0, 159)));
    if (state_file_append(INSTALL_LOG_PATH, text) != FileWrite::ok)
        out_printf("WARNING: the install log cannot be written (err %d)\n", errno);
}

}  // namespace

std::uint32_t boot_trial_limit(const char* env_text) {
    const char* at = std::strstr(env_text, "bootlimit=");
    if (at == nullptr) return 0;
    const char* value = at + std::strlen("bootlimit=");
    std::uint32_t limit = 0;
    const char* p = value;
    for (; std::isdigit(static_cast<unsigned char>(*p)) && limit <= TRIAL_MAX_BOOTS; ++p)
        limit = limit * 10 + static_cast<std::uint32_t>(*p - '0');
    // The value ends where its variable does: "bootlimit=3x" is no number of boots.
    const bool whole = p != value && (*p == '\0' || *p == ' ');
    return whole && limit <= TRIAL_MAX_BOOTS ? limit : TRIAL_LIMIT_BAD;
}

RecordRead boot_trial_read(TrialRecord* record) {
    Body b{};
    const RecordRead read = state_record_read(TRIAL_RECORD_PATH, kTag, b);
    if (read != RecordRead::ok) return read;
    const bool known = b[0] >= static_cast<std::uint8_t>(TrialState::on_trial) &&
                       b[0] <= static_cast<std::uint8_t>(TrialState::returned);
    if (!known || (b[1] != 1 && b[1] != 2) || b[2] > 2) return RecordRead::damaged;
    *record = {static_cast<TrialState>(b[0]), b[1], b[2], be::load32(b.data() + 3)};
    return RecordRead::ok;
}

void boot_trial_begin(int slot, std::uint32_t limit) {
    if (limit == 0 || limit == TRIAL_LIMIT_BAD || (slot != 1 && slot != 2)) return;
    const TrialRecord r{TrialState::on_trial, static_cast<std::uint8_t>(slot),
                        static_cast<std::uint8_t>(choose_boot_slot()), 0};
    if (store(r)) {
        out_printf("Image%d boots on trial: the application must confirm it within %u boots\n",
                   slot, limit);
        return;
    }
    out_printf(
        "WARNING: the trial boot of image%d cannot be recorded (err %d); it boots "
        "without a trial\n",
        slot, errno);
    // A record of an earlier trial of this slot must not count against the new image.
    state_record_remove(TRIAL_RECORD_PATH);
}

int boot_trial_slot(int chosen, std::uint32_t limit) {
    if (limit == 0) return chosen;
    if (limit == TRIAL_LIMIT_BAD) {
        out_printf("WARNING: bootlimit= wants a number of boots from 1 to %u; no trial boots\n",
                   TRIAL_MAX_BOOTS);
        return chosen;
    }
    TrialRecord r;
    switch (boot_trial_read(&r)) {
        case RecordRead::missing:
            return chosen;
        case RecordRead::damaged:
            out_printf(
                "WARNING: the trial boot record %s cannot be read; image%d boots as the "
                "boot slot says\n",
                TRIAL_RECORD_PATH, chosen);
            return chosen;
        case RecordRead::ok:
            break;
    }
    if (r.slot != chosen || r.state == TrialState::confirmed) return chosen;
    const int other = other_slot(chosen);
    if (r.state == TrialState::returned) {
        // The record got there but the boot slot byte did not (a power cut or a failed EEPROM
        // write between them): finish the return.
        err_printf("Image%d was not confirmed on trial, booting image%d.\n", chosen, other);
        eeprom_write_boot_slot(static_cast<std::uint8_t>(other));
        return other;
    }
    if (r.boots < limit) {
        ++r.boots;
        if (!store(r)) {
            out_printf(
                "WARNING: the trial boot record %s cannot be written (err %d); image%d "
                "boots uncounted\n",
                TRIAL_RECORD_PATH, errno, chosen);
            return chosen;
        }
        out_printf("Image%d boots on trial: boot %u of %u before it must be confirmed\n", chosen,
                   r.boots, limit);
        return chosen;
    }
    if (!image_slot_holds_bootable(other)) {
        err_printf(
            "Image%d was not confirmed after %u trial boots, but image%d holds no image "
            "to return to: booting image%d.\n",
            chosen, r.boots, other, chosen);
        return chosen;
    }
    err_printf("Image%d was not confirmed after %u trial boots, returning to image%d.\n", chosen,
               r.boots, other);
    // The record first: a power cut before the boot slot byte is written then finishes the
    // return at the next power-up instead of counting on.
    r.state = TrialState::returned;
    if (!store(r))
        out_printf("WARNING: the trial boot record %s cannot be written (err %d)\n",
                   TRIAL_RECORD_PATH, errno);
    eeprom_write_boot_slot(static_cast<std::uint8_t>(other));
    log_return(chosen, other, r.boots);
    return other;
}

int boot_trial_confirm() {
    TrialRecord r;
    switch (boot_trial_read(&r)) {
        case RecordRead::missing:
            out_puts("bootmgr confirm: no image is on trial");
            return TRIAL_CONFIRM_OK;
        case RecordRead::damaged:
            err_printf(
                "bootmgr confirm: the trial boot record %s cannot be read; nothing "
                "confirmed\n",
                TRIAL_RECORD_PATH);
            return TRIAL_CONFIRM_RECORD;
        case RecordRead::ok:
            break;
    }
    if (r.state == TrialState::confirmed) {
        out_printf("bootmgr confirm: image%d is confirmed already\n", r.slot);
        return TRIAL_CONFIRM_OK;
    }
    if (r.state == TrialState::returned) {
        err_printf(
            "bootmgr confirm: image%d was not confirmed in time and the board returned to "
            "image%d; nothing confirmed\n",
            r.slot, other_slot(r.slot));
        return TRIAL_CONFIRM_RETURNED;
    }
    r.state = TrialState::confirmed;
    if (!store(r)) {
        err_printf(
            "bootmgr confirm: the trial boot record %s cannot be written (err %d); image%d "
            "stays on trial\n",
            TRIAL_RECORD_PATH, errno, r.slot);
        return TRIAL_CONFIRM_RECORD;
    }
    out_printf("bootmgr confirm: image%d confirmed after %u trial boots\n", r.slot, r.boots);
    return TRIAL_CONFIRM_OK;
}
