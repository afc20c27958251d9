// The base of every fuzz target: one simulated board per process (the test fixture's), set up as
// start-up leaves it, and one way to read an input -- a mode byte, then the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "tests/support/board_fixture.h"

namespace fuzz {

// The board, made on first use: platform back end installed, I2C buses and flash open, the
// cryptographic library started.
TestBoard& board();
// Back to a fresh power-up before an input, so that any finding replays exactly: /tmp emptied,
// console output and the install log dropped, flash written since the last reset erased again,
// boot slot byte 1, no faults; `answers` are the console keys every dialogue gets.
void reset(const std::string& answers = {});

// A property the target holds its code to; a failed one is a finding.
inline void check(bool ok) {
    if (!ok) std::abort();
}

// Byte 0 chooses how a target sets up (a mode), the rest is the data.
struct Input {
    std::uint8_t mode = 0;
    std::span<const std::uint8_t> data;
};
inline Input split(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return {};
    return {bytes[0], {bytes + 1, size - 1}};
}

}  // namespace fuzz
