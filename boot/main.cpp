// Entry point on the real board: the Linux back end, then the boot sequence, which never returns.
//
// Before anything touches a device, two things are settled. Its own command line: --help and
// --version answer and leave, any other argument is refused (as PID 1 the arguments are the
// kernel's leftover command-line words and are not looked at). And whether this is the board at
// all: the boot sequence sets the system clock from the EEPROM's RTC and ends in "reboot", which
// on a desktop or build host would set its clock from whatever it read and restart it. The board
// starts the boot manager as a session leader -- as init (PID 1) or through `setsid` from its
// init script -- on its own CPU; a program built for another CPU, or one started from a shell
// (where the shell leads the session), is not on the board and stops here.
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "boot/boot_sequence.h"
#include "boot/version.h"
#include "image/boot_trial.h"
#include "platform/console_io.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNotTheBoard = 3;

#if defined(__powerpc__) && !defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kBoardCpu = true;
#else
constexpr bool kBoardCpu = false;
#endif

constexpr const char* kUsage =
    "usage: bootmgr [--help | --version | confirm]\n"
    "The boot manager of the switch control board: started by the board's init, it sets the\n"
    "clock from the real-time clock, boots the application from flash image slot 1 or 2 (or\n"
    "opens the rescue menu) and reboots the board when nothing boots.\n"
    "It runs only on the board: built for its CPU (32-bit big-endian PowerPC) and started as\n"
    "a session leader (as init, or by `setsid` from an init script). Started any other way,\n"
    "for example from a shell on a desktop, it stops with exit status 3 before it touches a\n"
    "device, the clock or the reboot. The simulated board is bootmgr-sim.\n"
    "`bootmgr confirm`, run by the application once it is healthy, confirms its trial boot\n"
    "(see the README for its exit statuses); it touches nothing but the trial record.\n"
    "Exit status: 0 --help or --version; 2 an unknown argument; 3 not on the board.\n";

}  // namespace

int main(int argc, char** argv) {
    static platform::LinuxPlatform linux_backend;
    platform::set_os(linux_backend);
    // The application, once healthy, confirms its trial boot with the same program.
    if (argc >= 2 && std::strcmp(argv[1], "confirm") == 0) {
        if (argc == 2) return boot_trial_confirm();
        err_printf("usage: bootmgr confirm (no arguments)\n");
        return TRIAL_CONFIRM_USAGE;
    }
    if (::getpid() != 1 && argc > 1) {
        const std::string_view arg = argv[1];
        if (arg == "--version") {
            out_printf("bootmgr %s (source revision %s)\n", BOOTMGR_VERSION, BOOTMGR_REVISION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            out_printf("%s", kUsage);
            return 0;
        }
        err_printf("bootmgr: unknown argument '%s'\n%s", argv[1], kUsage);
        return kExitUsage;
    }
    if (!kBoardCpu || ::getsid(0) != ::getpid()) {
        err_printf(
            "bootmgr: this is not the board (%s); nothing was changed: no clock set, no reboot. "
            "See bootmgr --help; the simulated board is bootmgr-sim\n",
            !kBoardCpu ? "built for another CPU than its 32-bit big-endian PowerPC"
                       : "not started by its init as a session leader");
        return kExitNotTheBoard;
    }
    boot_main();
}
