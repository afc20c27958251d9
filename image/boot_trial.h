// Trial boots. With the boot environment key "bootlimit=N", an application image written into a
// slot boots on trial: every power-up that boots it counts, and once N boots have passed without
// the application confirming that it is healthy, the board goes back to the other slot. The
// count lives in the boot manager's own record under "/user"; the EEPROM keeps only the boot
// slot byte that the boot loader shares.
#pragma once

#include <cstdint>

#include "image/state_record.h"

inline constexpr const char* TRIAL_RECORD_PATH = "/user/trial.rec";

enum class TrialState : std::uint8_t {
    on_trial = 1,   // `slot` boots on trial, `boots` times so far
    confirmed = 2,  // the application in `slot` confirmed it is healthy
    returned = 3,   // `slot` was not confirmed in time; the board went back to the other slot
};

struct TrialRecord {
    TrialState state = TrialState::on_trial;
    std::uint8_t slot = 0;      // the slot on trial (1 or 2)
    std::uint8_t previous = 0;  // the boot slot when the trial began (shown, never obeyed)
    std::uint32_t boots = 0;    // trial boots counted so far
};

// Exit statuses of `bootmgr confirm`.
inline constexpr int TRIAL_CONFIRM_OK = 0;        // confirmed now, or nothing was on trial
inline constexpr int TRIAL_CONFIRM_RECORD = 1;    // the record cannot be read or written
inline constexpr int TRIAL_CONFIRM_USAGE = 2;     // bad arguments
inline constexpr int TRIAL_CONFIRM_RETURNED = 3;  // the trial already ended in a return

// The value of "bootlimit=" in the boot environment text (its first occurrence, as every key is
// found): the number of trial boots, 0 when the key is absent or 0, TRIAL_LIMIT_BAD when its
// value is no whole number up to TRIAL_MAX_BOOTS. A bad value starts no trial; the boot path
// says so.
inline constexpr std::uint32_t TRIAL_MAX_BOOTS = 1000;
inline constexpr std::uint32_t TRIAL_LIMIT_BAD = 0xFFFFFFFFu;
std::uint32_t boot_trial_limit(const char* env_text);

RecordRead boot_trial_read(TrialRecord* record);

// The installer, after an application image was written into slot and before the boot slot
// byte names it. With limit 0 nothing happens: no record is read or written.
void boot_trial_begin(int slot, std::uint32_t limit);

// The boot path: the slot to boot first, given the slot that the boot slot byte chose. Counts a
// trial boot of chosen, or returns the board to the other slot once the count passes limit.
// With limit 0 it returns chosen and touches nothing.
int boot_trial_slot(int chosen, std::uint32_t limit);

// `bootmgr confirm`: the application in the slot on trial is healthy. Touches nothing but the
// record; returns one of the TRIAL_CONFIRM_ statuses.
int boot_trial_confirm();
