#include "image/install_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "board/i2c_devices.h"
#include "image/state_record.h"
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
    char entry[512];  // file names are at most 255 bytes
    const int n = std::snprintf(entry, sizeof entry, kEntry, file, source, hours, minutes, seconds,
                                day, month, year);
    state_file_append(INSTALL_LOG_PATH, std::span(reinterpret_cast<const std::uint8_t*>(entry),
                                                  static_cast<std::size_t>(std::clamp(n, 0, 511))));
    return 1;
}
