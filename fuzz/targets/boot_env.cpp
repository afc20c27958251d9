// The boot loader environment parser over any 1280-byte EEPROM window (shorter inputs are
// zero-filled, longer ones cut). Its settings are compared with a plain model of the parse: NULs
// become blanks, the first occurrence of each key counts wherever it stands, values are
// prefix-compared, and a port that "%d" reads is taken.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "fuzz/support/fuzz_board.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // No reset: the parse reads only this window, and a lighter round runs faster.
    std::vector<std::uint8_t> window(EEPROM_BOOT_ENV_LEN, 0);
    std::memcpy(window.data(), data, std::min(size, window.size()));
    fuzz::board()->eeprom_write(EEPROM_BOOT_ENV_OFFSET, window);
    boot_settings = BootSettings{};
    parse_boot_settings();

    std::string text(window.begin(), window.end());
    std::replace(text.begin(), text.end(), '\0', ' ');
    const auto flag = [&](std::string_view key, std::string_view word) -> unsigned {
        const auto at = text.find(key);
        return at != std::string::npos && text.compare(at + key.size(), word.size(), word) == 0;
    };
    const BootSettings& s = boot_settings;
    const bool gdbserver = flag("gdbserver=", "on");
    check(s.gdbserver_enabled == gdbserver && s.gdb_enabled == (gdbserver || flag("gdb=", "on")));
    check(s.rescue_requested == flag("diagnostics=", "rescue") &&
          s.lowsec_authorised == flag("lowsec=", "authorised"));
    check(s.shell_enabled == flag("shell=", "on") && s.memchk_enabled == flag("memchk=", "on"));
    check(s.second_attempt == 0 && s.break_flag == 0);

    // The port: what strtol reads (blanks, a sign, digits); beyond nine digits "%d" gives no
    // defined result.
    const auto at = text.find("gdbport=");
    const char* start = at == std::string::npos ? "" : text.c_str() + at + 8;
    char* end = nullptr;
    const long long port = std::strtoll(start, &end, 10);
    if (std::count_if(start, static_cast<const char*>(end), ::isdigit) <= 9)
        check(s.gdb_port == (end == start ? 1234 : port));
    return 0;
}
