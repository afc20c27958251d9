// The one-screen status of a simulated board, as an engineer wants to see it.
#pragma once

#include <cstdio>

#include "sim/sim_board.h"

namespace sim {

// Prints each flash region with what it holds (kind, version, header version, CRC state), the
// boot slot byte, both install time stamps, the key files and the last lines of the install log.
// Reads the board directly; changes nothing. Returns 0.
int print_status_report(const SimBoard& board, std::FILE* to);

}  // namespace sim
