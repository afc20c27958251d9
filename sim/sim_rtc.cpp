#include "sim/sim_rtc.h"

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

int from_bcd(std::uint8_t b) {
    return (b >> 4) > 9 || (b & 0x0F) > 9 ? -1 : (b >> 4) * 10 + (b & 0x0F);
}

std::uint8_t to_bcd(int v) {
    return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
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
    std::tm t{};
    t.tm_sec = from_bcd(bcd[0] & 0x7F);
    t.tm_min = from_bcd(bcd[1] & 0x7F);
    t.tm_hour = from_bcd(bcd[2] & 0x3F);
    t.tm_mday = from_bcd(bcd[4] & 0x3F);
    const int month = from_bcd(bcd[5] & 0x1F);
    const int year = from_bcd(bcd[6]);
    if (t.tm_sec < 0 || t.tm_sec > 59 || t.tm_min < 0 || t.tm_min > 59 || t.tm_hour < 0 ||
        t.tm_hour > 23 || t.tm_mday < 1 || t.tm_mday > 31 || month < 1 || month > 12 || year < 0)
        return false;
    t.tm_mon = month - 1;
    t.tm_year = year + 100;
    const std::time_t then = ::timegm(&t) + static_cast<std::time_t>(seconds);
    std::tm n{};
    if (::gmtime_r(&then, &n) == nullptr) return false;
    bcd[0] = static_cast<std::uint8_t>((bcd[0] & 0x80) | to_bcd(n.tm_sec));
    bcd[1] = to_bcd(n.tm_min);
    bcd[2] = to_bcd(n.tm_hour);
    bcd[3] = to_bcd(n.tm_wday == 0 ? 7 : n.tm_wday);
    bcd[4] = to_bcd(n.tm_mday);
    bcd[5] = static_cast<std::uint8_t>((bcd[5] & 0x80) | to_bcd(n.tm_mon + 1));
    bcd[6] = to_bcd(n.tm_year % 100);
    return true;
}

}  // namespace sim
