// `bootmgr-sim --install FILE`: the installer run directly on a board, without a rescue download.
#pragma once

#include <string>

#include "sim/sim_board.h"

namespace sim {

// Copies FILE to the board's "/tmp/image" and installs it as a rescue download would:
// image_install_package("/tmp/image", skip_same_version, slot) with the console of the process,
// then the install log entry when something was installed. Needs the board as the platform back
// end. Returns the process exit status: 0 installed, 1 nothing installed, 2 FILE unreadable.
// May not return: an application image booted straight from the download replaces the process.
int run_install_command(SimBoard& board, const std::string& file, int slot, bool skip_same_version);

}  // namespace sim
