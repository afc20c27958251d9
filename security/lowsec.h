// Low security mode and the physical presence test.
#pragma once

#include <cstdint>

inline constexpr const char* LOWSEC_MARKER_PATH = "/tmp/lowsec";

bool lowsec_active();
int lowsec_marker_set(std::uint8_t on);
int physical_presence_test();

// The blink count of one attempt: uniform over 1..11, from the system's random source. 0 when the
// source cannot be read (the message says why); the test must not go on then.
int presence_blink_count();
