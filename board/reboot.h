// Restarting the board: the end of every road that cannot go on, whichever part of the boot
// manager it is in, so it sits below all of them.
#pragma once

// Leaves a second for the console to drain, asks the system to reboot and ends the process.
[[noreturn]] void reboot_system();
