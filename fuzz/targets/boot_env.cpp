// The boot loader environment parser over any 1280-byte EEPROM window.
//
// The input is the window (shorter inputs are zero-filled, longer ones cut). The settings it
// gives are compared with a plain model of the parse: NULs become blanks, the first occurrence of
// each key counts wherever it stands, values are prefix-compared, and a port that "%d" reads is
// taken.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "fuzz/support/fuzz_board.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Expected {
    std::uint32_t gdb = 0, gdbserver = 0, rescue = 0, lowsec = 0;
    std::uint8_t shell = 0, memchk = 0;
    bool port_known = true;
    std::int32_t port = 1234;
};

Expected model(const std::string& text) {
    Expected e;
    auto flag = [&](const char* key, const char* word, auto& field) {
        const auto at = text.find(key);
        if (at != std::string::npos)
            field = text.compare(at + std::string(key).size(), std::string(word).size(), word) == 0;
    };
    flag("gdb=", "on", e.gdb);
    flag("gdbserver=", "on", e.gdbserver);
    if (e.gdbserver == 1) e.gdb = 1;
    flag("shell=", "on", e.shell);
    flag("memchk=", "on", e.memchk);
    flag("diagnostics=", "rescue", e.rescue);
    flag("lowsec=", "authorised", e.lowsec);

    const auto at = text.find("gdbport=");
    if (at != std::string::npos) {
        std::size_t i = at + 8;
        while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        std::size_t digits = 0;
        long long value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 12) {
            value = value * 10 + (text[i++] - '0');
            ++digits;
        }
        if (digits > 9) {
            e.port_known = false;  // beyond an int the "%d" result is not defined
        } else if (digits > 0) {
            e.port = static_cast<std::int32_t>(negative ? -value : value);
        }
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& fb = fuzz::FuzzBoard::get();
    // No reset: the parse reads only this window, and a lighter round runs faster.
    std::vector<std::uint8_t> window(EEPROM_BOOT_ENV_LEN, 0);
    for (std::size_t i = 0; i < size && i < window.size(); ++i) window[i] = data[i];
    fb.board().eeprom_write(EEPROM_BOOT_ENV_OFFSET, window);

    boot_settings = BootSettings{};
    parse_boot_settings();

    std::string text(window.begin(), window.end());
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    const Expected e = model(text);
    const BootSettings& s = boot_settings;
    check(s.gdb_enabled == e.gdb && s.gdbserver_enabled == e.gdbserver);
    check(s.rescue_requested == e.rescue && s.lowsec_authorised == e.lowsec);
    check(s.shell_enabled == e.shell && s.memchk_enabled == e.memchk);
    if (e.port_known) check(s.gdb_port == e.port);
    check(s.second_attempt == 0 && s.break_flag == 0);
    return 0;
}
