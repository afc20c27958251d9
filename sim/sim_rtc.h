// The real-time clock: 7 BCD registers (seconds, minutes, hours, weekday, day, month, year) at I2C
// address 0x68 on bus 1, kept in rtc.bin. The clock runs: during a power-up it advances with the
// board's clock (virtual sleeps included), and between power-ups with host time, which rtc.host
// keeps track of (the host time, in milliseconds, at which rtc.bin showed its value). Setting the
// clock (--rtc, or a write through the bus) starts it from the new value. A held clock (tests
// that compare time stamps) stands still.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "sim/sim_i2c_bus.h"

namespace sim {

inline constexpr std::size_t kRtcSize = 7;
inline constexpr std::uint8_t kRtcAddr7 = 0x68;

class SimRtc final : public I2cDevice {
  public:
    SimRtc() : I2cDevice(1, false) {}

    static bool create(const std::filesystem::path& dir,
                       const std::array<std::uint8_t, kRtcSize>& bcd, std::string* error);
    bool open(const std::filesystem::path& dir, std::string* error);

    std::array<std::uint8_t, kRtcSize> time() const;
    void set_time(const std::array<std::uint8_t, kRtcSize>& bcd);

    void set_running(bool on) { running_ = on; }
    bool running() const { return running_; }
    // The clock catches up with the host time that passed since it was last brought up to date
    // (at a power-up, and before the board is looked at); a new power-up starts counting afresh.
    void catch_up();
    void power_up() {
        pending_ms_ = 0;
        catch_up();
    }
    // The board's clock advanced by this much during the power-up.
    void advance_ms(std::uint64_t ms);

    // Adds seconds to a BCD time (keeping the status bits of seconds and month); false, with the
    // time unchanged, when it does not hold a valid date.
    static bool add_seconds(std::array<std::uint8_t, kRtcSize>& bcd, std::int64_t seconds);

  private:
    void changed(std::size_t reg, std::uint8_t before, std::uint8_t after) override;
    void advance(std::int64_t seconds);
    void save_stamp(std::int64_t host_ms) const;

    std::filesystem::path stamp_path_;
    bool running_ = true;
    std::uint64_t pending_ms_ = 0;  // board time not yet a whole second
};

}  // namespace sim
