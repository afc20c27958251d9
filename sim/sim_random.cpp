#include "sim/sim_random.h"

#include <sys/random.h>

#include <cerrno>

namespace sim {

ssize_t SimRandom::read(void* buf, size_t count) {
    if (error_ != 0) {
        errno = error_;
        return -1;
    }
    auto* out = static_cast<std::uint8_t*>(buf);
    size_t done = 0;
    for (; done < count && !queued_.empty(); ++done) {
        out[done] = queued_.front();
        queued_.pop_front();
    }
    if (done < count && !state_) {
        while (done < count) {
            const ssize_t n = ::getrandom(out + done, count - done, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return -1;
            done += static_cast<size_t>(n);
        }
    }
    for (; done < count; ++done) {
        // splitmix64: small, and every seed gives a full-period stream.
        std::uint64_t z = (*state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[done] = static_cast<std::uint8_t>((z ^ (z >> 31)) >> 56);
    }
    return static_cast<ssize_t>(count);
}

}  // namespace sim
