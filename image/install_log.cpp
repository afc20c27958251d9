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
    const RtcFields f = rtc_fields(t);
    out_printf(
        "Updating install log. File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%x\n",
        file, source, f.hour, f.minute, f.second, f.day, f.month, f.year);
    char entry[512];  // file names are at most 255 bytes
    const int n = std::snprintf(entry, sizeof entry, kEntry, file, source, f.hour, f.minute,
                                f.second, f.day, f.month, f.year);
    state_file_append(INSTALL_LOG_PATH, std::span(reinterpret_cast<const std::uint8_t*>(entry),
                                                  static_cast<std::size_t>(std::clamp(n, 0, 511))));
    return 1;
}
