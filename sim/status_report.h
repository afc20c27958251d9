// What an engineer needs to understand a simulated board, on one screen or as JSON for scripts.
#pragma once

#include <cstdio>

#include "sim/sim_board.h"

namespace sim {

// Shows the serial number, the RTC, the boot environment with the settings the boot manager reads
// from it, the boot slot byte and the slot it makes the boot path start, each flash region with
// what it holds (kind, version, header version, CRC) and, per image slot, whether the boot path
// accepts it (by the boot path's own checks), both install time stamps, the LED registers,
// whether each key file decrypts to a key under this board's serial number, and the last lines of
// the install log. Reads the board's devices and files directly and changes nothing. `json`
// gives the same as one JSON object. Needs the board as the platform back end. Returns 0.
int print_status_report(SimBoard& board, std::FILE* to, bool json);

}  // namespace sim
