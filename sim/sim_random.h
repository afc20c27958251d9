// The simulated board's random source ("getrandom"). By default it draws from the host's own
// source, so a presence test on the simulator is as unpredictable as on the board. Seeded, it is a
// fixed generator, so that a run can be repeated; bytes put in front are delivered first and
// before anything else (tests choose the blink count that way).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace sim {

class SimRandom {
  public:
    void seed(std::uint64_t value) { state_ = value; }
    void put(std::span<const std::uint8_t> bytes) {
        queued_.insert(queued_.end(), bytes.begin(), bytes.end());
    }
    // From now on every read fails with this errno (0: reads work again).
    void fail_with(int error) { error_ = error; }
    std::size_t queued() const { return queued_.size(); }

    // getrandom(2) without flags: count bytes, or -1 with errno.
    ssize_t read(void* buf, size_t count);

  private:
    std::deque<std::uint8_t> queued_;
    std::optional<std::uint64_t> state_;  // splitmix64 once seeded
    int error_ = 0;
};

}  // namespace sim
