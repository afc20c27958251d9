// Entry point on the real board: the Linux back end, then the boot sequence, which never returns.
#include <cstring>

#include "boot/boot_sequence.h"
#include "image/boot_trial.h"
#include "platform/console_io.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    static platform::LinuxPlatform linux_backend;
    platform::set_os(linux_backend);
    // The application, once healthy, confirms its trial boot with the same program.
    if (argc >= 2 && std::strcmp(argv[1], "confirm") == 0) {
        if (argc == 2) return boot_trial_confirm();
        err_printf("usage: bootmgr confirm (no arguments)\n");
        return TRIAL_CONFIRM_USAGE;
    }
    boot_main();
}
