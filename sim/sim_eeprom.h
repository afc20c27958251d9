// The board EEPROM: 8 KiB at I2C address 0x54 on bus 1, 2-byte register offsets, kept in
// eeprom.bin. Its map (serial number, boot slot byte, install time stamps, boot environment copy)
// is the boot manager's own (board/i2c_devices.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_i2c_bus.h"

namespace sim {

inline constexpr std::size_t kEepromSize = 8 * 1024;
inline constexpr std::uint8_t kEepromAddr7 = 0x54;

class SimEeprom final : public I2cDevice {
  public:
    SimEeprom() : I2cDevice(2, true) {}

    // A factory-fresh EEPROM (0xFF) with the serial number, boot slot byte and environment.
    static bool create(const std::filesystem::path& dir, const std::string& serial,
                       std::uint8_t boot_slot, const std::vector<std::string>& boot_env,
                       std::string* error);
    bool open(const std::filesystem::path& dir, std::string* error) {
        return state_.map(dir / "eeprom.bin", kEepromSize, error);
    }

    std::vector<std::uint8_t> read_bytes(std::size_t offset, std::size_t length) const;
    void write_bytes(std::size_t offset, std::span<const std::uint8_t> bytes);
    // Stores "name=value" strings NUL-separated in the boot environment copy (zero-filled behind
    // them). False when they do not fit in its 1280 bytes; nothing is changed then.
    bool set_boot_env(const std::vector<std::string>& entries);
    // The "name=value" strings of the boot environment copy, in order.
    std::vector<std::string> boot_env() const;
};

}  // namespace sim
