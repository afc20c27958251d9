#include "boot/boot_settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "board/i2c_devices.h"
#include "image/boot_trial.h"

BootSettings boot_settings;

namespace {

// The value of the first occurrence of key anywhere in the text, or nullptr.
const char* find_value(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at ? at + std::strlen(key) : nullptr;
}

bool begins_with(const char* value, const char* word) {
    return std::strncmp(value, word, std::strlen(word)) == 0;
}

template <typename Flag>
void parse_flag(const char* text, const char* key, const char* word, Flag& flag) {
    if (const char* value = find_value(text, key)) flag = begins_with(value, word) ? 1 : 0;
}

// "%d" semantics (leading white space, optional sign, digits), but a number that does not fit an
// int is refused instead of being undefined.
bool parse_port(const char* value, std::int32_t* port) {
    while (std::isspace(static_cast<unsigned char>(*value))) ++value;
    const char* digits = value + ((*value == '+' || *value == '-') ? 1 : 0);
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value, &end, 10);
    if (errno == ERANGE || n < INT_MIN || n > INT_MAX) return false;
    *port = static_cast<std::int32_t>(n);
    return true;
}

}  // namespace

int parse_boot_settings() {
    constexpr std::size_t window = EEPROM_BOOT_ENV_LEN;
    std::unique_ptr<char[]> text(new (std::nothrow) char[window + 1]);
    if (!text) return 0;
    // The EEPROM read as eeprom_read does it, but with its status: a failed or short read leaves
    // nothing to match, so every default stands rather than a half-read window deciding.
    std::memset(text.get(), 0, window + 1);
    if (i2c_read_registers(1, I2C_EEPROM_DEV8, EEPROM_BOOT_ENV_OFFSET, EEPROM_BOOT_ENV_LEN, 2,
                           reinterpret_cast<std::uint8_t*>(text.get())) == 0) {
        std::memset(text.get(), 0, window);
    }
    for (std::size_t i = 0; i < window; ++i) {
        if (text[i] == '\0') text[i] = ' ';
    }
    text[window] = '\0';

    BootSettings& s = boot_settings;
    parse_flag(text.get(), "gdb=", "on", s.gdb_enabled);
    parse_flag(text.get(), "gdbserver=", "on", s.gdbserver_enabled);
    if (s.gdbserver_enabled == 1) s.gdb_enabled = 1;
    if (const char* value = find_value(text.get(), "gdbport=")) parse_port(value, &s.gdb_port);
    parse_flag(text.get(), "shell=", "on", s.shell_enabled);
    parse_flag(text.get(), "memchk=", "on", s.memchk_enabled);
    parse_flag(text.get(), "diagnostics=", "rescue", s.rescue_requested);
    parse_flag(text.get(), "lowsec=", "authorised", s.lowsec_authorised);
    s.bootlimit = boot_trial_limit(text.get());
    return 1;
}
