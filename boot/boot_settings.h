// The process-wide record of boot settings and run-time flags.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

struct BootSettings {
    std::uint32_t gdb_enabled = 0;
    std::uint32_t gdbserver_enabled = 0;
    std::uint32_t rescue_requested = 0;
    std::uint8_t shell_enabled = 0;
    std::uint8_t memchk_enabled = 0;
    std::int32_t gdb_port = 1234;
    std::uint32_t lowsec_authorised = 0;
    std::uint8_t second_attempt = 0;
    // Trial boots of a newly installed application ("bootlimit="), 0 for none.
    std::uint32_t bootlimit = 0;
    // Set asynchronously by the SIGINT handler: read from memory at every test.
    volatile std::uint8_t break_flag = 0;
};

// The one instance; Parts read and write its fields by name.
extern BootSettings boot_settings;

// Fills the environment-derived fields from the boot loader environment copy in the EEPROM.
int parse_boot_settings();

// The names of the boot loader environment entries that parse_boot_settings reads; the boot
// loader's own entries share the environment, so tools only warn about other names.
inline constexpr std::array<std::string_view, 8> BOOT_ENV_KEYS = {
    "gdb", "gdbserver", "gdbport", "shell", "memchk", "diagnostics", "lowsec", "bootlimit"};

constexpr bool boot_env_key_known(std::string_view name) {
    return std::find(BOOT_ENV_KEYS.begin(), BOOT_ENV_KEYS.end(), name) != BOOT_ENV_KEYS.end();
}
