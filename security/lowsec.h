// Low security mode and the physical presence test.
#pragma once

#include <cstdint>

inline constexpr const char* LOWSEC_MARKER_PATH = "/tmp/lowsec";

bool lowsec_active();
int lowsec_marker_set(std::uint8_t on);
int physical_presence_test();
