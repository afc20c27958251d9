#include "sim/sim_rtc.h"

#include "board/i2c_devices.h"

#include <chrono>
#include <ctime>
#include <fstream>

namespace sim {

namespace {

std::int64_t host_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool SimRtc::create(const std::filesystem::path& dir, const std::array<std::uint8_t, kRtcSize>& bcd,
                    std::string* error) {
    if (!StateFile::create(dir / "rtc.bin", bcd, error)) return false;
    std::ofstream(dir / "rtc.host", std::ios::trunc) << host_ms() << "\n";
    return true;
}

bool SimRtc::open(const std::filesystem::path& dir, std::string* error) {
    stamp_path_ = dir / "rtc.host";
    return state_.map(dir / "rtc.bin", kRtcSize, error);
}

std::array<std::uint8_t, kRtcSize> SimRtc::time() const {
    std::array<std::uint8_t, kRtcSize> out{};
    for (std::size_t i = 0; i < kRtcSize; ++i) out[i] = state_.data()[i];
    return out;
}

void SimRtc::set_time(const std::array<std::uint8_t, kRtcSize>& bcd) {
    for (std::size_t i = 0; i < kRtcSize; ++i) state_.data()[i] = bcd[i];
    pending_ms_ = 0;
    save_stamp(host_ms());
}

void SimRtc::changed(std::size_t, std::uint8_t, std::uint8_t) {
    // Setting the clock through the bus starts it afresh from the value written.
    pending_ms_ = 0;
    save_stamp(host_ms());
}

void SimRtc::save_stamp(std::int64_t ms) const {
    if (!stamp_path_.empty()) std::ofstream(stamp_path_, std::ios::trunc) << ms << "\n";
}

void SimRtc::catch_up() {
    if (!running_) return;
    const std::int64_t now = host_ms();
    std::int64_t stamp = now;
    std::ifstream(stamp_path_) >> stamp;
    const std::int64_t elapsed = now - stamp;
    if (elapsed < 0) {
        save_stamp(now);  // the host clock went back: start counting from here
        return;
    }
    advance(elapsed / 1000);
    save_stamp(stamp + elapsed / 1000 * 1000);
}

void SimRtc::advance_ms(std::uint64_t ms) {
    if (!running_) return;
    pending_ms_ += ms;
    const auto seconds = static_cast<std::int64_t>(pending_ms_ / 1000);
    pending_ms_ %= 1000;
    if (seconds == 0) return;
    advance(seconds);
    save_stamp(host_ms() - static_cast<std::int64_t>(pending_ms_));
}

void SimRtc::advance(std::int64_t seconds) {
    if (seconds == 0) return;
    auto t = time();
    if (add_seconds(t, seconds)) {
        for (std::size_t i = 0; i < kRtcSize; ++i) state_.data()[i] = t[i];
    }
}

bool SimRtc::add_seconds(std::array<std::uint8_t, kRtcSize>& bcd, std::int64_t seconds) {
    std::uint64_t now = 0;
    if (!rtc_seconds(bcd.data(), &now)) return false;
    const auto then = static_cast<std::int64_t>(now) + seconds;
    if (then < 0) return false;
    std::array<std::uint8_t, kRtcSize> next{};
    rtc_time_of_seconds(static_cast<std::uint64_t>(then), next.data());
    // The oscillator's halt bit and the century bit are the device's, not the time's.
    next[0] = static_cast<std::uint8_t>((bcd[0] & 0x80) | next[0]);
    next[5] = static_cast<std::uint8_t>((bcd[5] & 0x80) | next[5]);
    bcd = next;
    return true;
}

}  // namespace sim
