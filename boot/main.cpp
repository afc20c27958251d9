// Entry point on the real board: the Linux back end, then the boot sequence, which never returns.
#include "boot/boot_sequence.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"

int main() {
    static platform::LinuxPlatform linux_backend;
    platform::set_os(linux_backend);
    boot_main();
}
