// The LED controller: 16 registers at I2C address 0x60 on bus 1, kept in led.bin. Bits 5..4 of
// register 5 drive the main-board LED that the physical presence test blinks; every change of
// that register is reported to the board (which shows it), and a change from lit to dark counts
// as one blink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "sim/sim_i2c_bus.h"

namespace sim {

inline constexpr std::size_t kLedRegisters = 16;
inline constexpr std::uint8_t kLedAddr7 = 0x60;

class SimLed final : public I2cDevice {
  public:
    SimLed() : I2cDevice(1, false) {}

    static bool create(const std::filesystem::path& dir, std::string* error);
    bool open(const std::filesystem::path& dir, std::string* error) {
        return state_.map(dir / "led.bin", kLedRegisters, error);
    }

    std::uint8_t reg(std::size_t n) const { return n < kLedRegisters ? state_.data()[n] : 0; }
    void set_reg(std::size_t n, std::uint8_t value) {
        if (n < kLedRegisters) state_.data()[n] = value;
    }
    unsigned blinks() const { return blinks_; }
    void reset_blinks() { blinks_ = 0; }
    // Called with the old and new value of the LED register and the blink count.
    void on_led_change(std::function<void(std::uint8_t, std::uint8_t, unsigned)> hook) {
        hook_ = std::move(hook);
    }

  private:
    void changed(std::size_t reg, std::uint8_t before, std::uint8_t after) override;

    unsigned blinks_ = 0;
    std::function<void(std::uint8_t, std::uint8_t, unsigned)> hook_;
};

}  // namespace sim
