#include "board/reboot.h"

#include <cstdlib>

#include "platform/console_io.h"
#include "platform/platform.h"

void reboot_system() {
    auto& os = platform::os();
    os.sleep_ms(1000);
    if (os.system("reboot") < 0) err_printf("System reboot failed, please power-cycle.\n");
    os.exit(0);
    std::abort();  // a back end whose exit() came back has nowhere sane to return to
}
