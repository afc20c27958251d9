#include "sim/sim_i2c_bus.h"

namespace sim {

ssize_t I2cDevice::write(std::span<const std::uint8_t> message) {
    const auto count = static_cast<ssize_t>(message.size());
    if (message.size() < static_cast<std::size_t>(offset_width_)) return count;
    std::size_t ptr = message[0];
    if (offset_width_ == 2) ptr = (ptr << 8) | message[1];
    if (wrap_) ptr %= state_.size();
    const auto data = message.subspan(static_cast<std::size_t>(offset_width_));
    log_.push_back({'w', static_cast<std::uint16_t>(ptr), static_cast<std::uint32_t>(data.size())});
    for (const std::uint8_t byte : data) {
        if (ptr < state_.size()) {
            const std::uint8_t before = state_.data()[ptr];
            state_.data()[ptr] = byte;
            if (before != byte) changed(ptr, before, byte);
        }
        ++ptr;
        if (wrap_) ptr %= state_.size();
    }
    pointer_ = ptr;
    return count;
}

ssize_t I2cDevice::read(std::span<std::uint8_t> out) {
    before_read();
    log_.push_back(
        {'r', static_cast<std::uint16_t>(pointer_), static_cast<std::uint32_t>(out.size())});
    for (std::uint8_t& byte : out) {
        byte = pointer_ < state_.size() ? state_.data()[pointer_] : 0;
        ++pointer_;
        if (wrap_) pointer_ %= state_.size();
    }
    return static_cast<ssize_t>(out.size());
}

}  // namespace sim
