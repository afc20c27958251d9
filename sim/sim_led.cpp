#include "sim/sim_led.h"

#include <vector>

#include "board/i2c_devices.h"

namespace sim {

bool SimLed::create(const std::filesystem::path& dir, std::string* error) {
    const std::vector<std::uint8_t> zeros(kLedRegisters, 0);
    return StateFile::create(dir / "led.bin", zeros, error);
}

void SimLed::changed(std::size_t reg, std::uint8_t before, std::uint8_t after) {
    if (reg != LED_PRESENCE_REGISTER) return;
    if ((before & 0x30) != 0 && (after & 0x30) == 0) ++blinks_;
    if (hook_) hook_(before, after, blinks_);
}

}  // namespace sim
