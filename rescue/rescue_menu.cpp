#include "rescue/rescue_menu.h"

#include "board/reboot.h"
#include "boot/boot_settings.h"
#include "boot/console.h"
#include "image/versions.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "rescue/net_config.h"
#include "rescue/serial_download.h"
#include "rescue/tftp_download.h"
#include "security/lowsec.h"

namespace {

void show_menu() {
    out_printf("Please select one of the following options:\n");
    out_printf("\t%c) Configure networking and tftp download an image\n", 'T');
    out_printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    out_printf("\t%c) Physical presence (low security mode)\n", 'P');
    out_printf("\t%c) Reboot\n", 'R');
    out_printf("\t%c) Exit\n", 'E');
}

constexpr unsigned to_upper(unsigned key) {
    return (key >= 'a' && key <= 'z') ? key - 'a' + 'A' : key;
}

// The option key, with breaks and empty reads asked again at the prompt.
unsigned read_option() {
    for (;;) {
        out_printf("\nOption? : ");
        out_flush();
        const unsigned key = console_get_key();
        // An empty read has no character to show; the line end alone keeps the screen tidy.
        if (key == 0) {
            out_printf("\n");
        } else {
            out_printf("%c\n", static_cast<int>(key));
        }
        if (boot_settings.break_flag) {
            boot_settings.break_flag = 0;
            continue;
        }
        if (key == 0) continue;
        const unsigned upper = to_upper(key);
        switch (upper) {
            case 'T':
            case 'X':
            case 'U':
            case 'V':
            case 'R':
            case 'M':
            case 'P':
            case 'D':
            case 'E':
                return upper;
            default:
                out_printf("unknown option \"%c\". Please try again\n", static_cast<int>(upper));
        }
    }
}

}  // namespace

int rescue_menu() {
    out_puts("Entering Rescue Mode.");
    for (;;) {
        show_menu();
        const unsigned option = read_option();
        switch (option) {
            case 'E':
                return 1;
            case 'T':
                rescue_tftp_download();
                break;
            case 'X':
                rescue_serial_download();
                break;
            case 'P':
                physical_presence_test();
                break;
            case 'R':
                platform::os().sleep_ms(1000);
                reboot_system();
            case 'M':
                rescue_set_mac_address();
                break;
            case 'V':
                show_installed_versions();
                break;
            default:  // 'U' and 'D' are accepted but have no action of their own.
                out_printf("Unknown option %d. Quitting\n", static_cast<int>(option));
                break;
        }
        if (boot_settings.break_flag) boot_settings.break_flag = 0;
    }
}
