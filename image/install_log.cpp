#include "image/install_log.h"

#include <cstdint>
#include <cstdio>

#include "board/i2c_devices.h"
#include "platform/console_io.h"
#include "platform/platform.h"

int install_log_append(const char* file, const char* source) {
    std::uint8_t t[RTC_TIME_LEN] = {};
    rtc_read_time(t);
    constexpr const char* kEntry = "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%x\n";
    const unsigned hours = t[2] & 0x3F, minutes = t[1] & 0x7F, seconds = t[0] & 0x7F;
    const unsigned day = t[4] & 0x3F, month = t[5] & 0x1F, year = t[6];
    out_printf(
        "Updating install log. File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%x\n",
        file, source, hours, minutes, seconds, day, month, year);
    if (std::FILE* log = platform::os().fopen(INSTALL_LOG_PATH, "a")) {
        std::fprintf(log, kEntry, file, source, hours, minutes, seconds, day, month, year);
        std::fclose(log);
    }
    return 1;
}
