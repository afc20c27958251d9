// `bootmgr-sim --install FILE`: a rescue download's installation on a board, without the download.
#pragma once

#include <string>
#include <vector>

#include "sim/sim_board.h"

namespace sim {

inline constexpr int kExitInstallFailed = 3;

// A power-up of the board (its /tmp emptied, the faults given armed) that runs the boot manager's
// own start-up -- SIGINT handler, buses, flash, library, boot settings, clock, key check -- then
// puts FILE where a download lands ("/tmp/image") and installs it as a rescue download does:
// image_install_package("/tmp/image", skip_same_version, slot) on the console of the process, and
// the install log entry when something was installed. Needs the board as the platform back end.
// Returns the process exit status: 0 installed, kExitInstallFailed nothing installed (or the
// package was voided), 2 FILE unreadable. Does not return when an application image is booted
// straight from the download (the process is replaced) or the board ends the run.
int run_install_command(SimBoard& board, const std::string& file, int slot, bool skip_same_version,
                        const std::vector<Fault>& faults);

}  // namespace sim
