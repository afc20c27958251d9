#include "sim/sim_eeprom.h"

#include <algorithm>
#include <cstring>

#include "board/i2c_devices.h"

namespace sim {

namespace {

constexpr std::size_t kEnvOffset = EEPROM_BOOT_ENV_OFFSET;
constexpr std::size_t kEnvSize = EEPROM_BOOT_ENV_LEN;

// Lays "name=value" strings NUL-separated into the window (zero-filled behind them). False, with
// the window untouched, when they do not fit.
bool encode_boot_env(std::uint8_t* window, const std::vector<std::string>& entries) {
    std::size_t total = 0;
    for (const auto& e : entries) total += e.size() + 1;
    if (total > kEnvSize) return false;
    std::memset(window, 0, kEnvSize);
    std::size_t at = 0;
    for (const auto& e : entries) {
        std::copy(e.begin(), e.end(), window + at);  // the NUL after it is the zero fill
        at += e.size() + 1;
    }
    return true;
}

}  // namespace

bool SimEeprom::create(const std::filesystem::path& dir, const std::string& serial,
                       std::uint8_t boot_slot, const std::vector<std::string>& boot_env,
                       std::string* error) {
    std::vector<std::uint8_t> eeprom(kEepromSize, 0xFF);
    if (serial.size() > EEPROM_SERIAL_LEN) {
        *error = "serial number longer than " + std::to_string(EEPROM_SERIAL_LEN) +
                 " characters: " + serial;
        return false;
    }
    std::fill_n(eeprom.begin() + EEPROM_SERIAL_OFFSET, EEPROM_SERIAL_LEN, 0);
    std::copy(serial.begin(), serial.end(), eeprom.begin() + EEPROM_SERIAL_OFFSET);
    eeprom[EEPROM_BOOT_SLOT_OFFSET] = boot_slot;
    if (!encode_boot_env(eeprom.data() + kEnvOffset, boot_env)) {
        *error = "boot environment does not fit in its " + std::to_string(EEPROM_BOOT_ENV_LEN) +
                 " bytes";
        return false;
    }
    return StateFile::create(dir / "eeprom.bin", eeprom, error);
}

std::vector<std::uint8_t> SimEeprom::read_bytes(std::size_t offset, std::size_t length) const {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < length && offset + i < kEepromSize; ++i)
        out.push_back(state_.data()[offset + i]);
    return out;
}

void SimEeprom::write_bytes(std::size_t offset, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size() && offset + i < kEepromSize; ++i)
        state_.data()[offset + i] = bytes[i];
}

bool SimEeprom::set_boot_env(const std::vector<std::string>& entries) {
    return encode_boot_env(state_.data() + kEnvOffset, entries);
}

std::vector<std::string> SimEeprom::boot_env() const {
    std::vector<std::string> entries;
    const auto* window = reinterpret_cast<const char*>(state_.data() + kEnvOffset);
    std::size_t at = 0;
    while (at < kEnvSize) {
        const std::size_t len = strnlen(window + at, kEnvSize - at);
        if (len == 0) break;
        entries.emplace_back(window + at, len);
        at += len + 1;
    }
    return entries;
}

}  // namespace sim
