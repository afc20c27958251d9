// What keeps the physical presence test for eyes only: its attempts are counted on the board,
// across breaks and power-ups, and every failed round of attempts locks the test for a time
// measured on the real-time clock, growing with each failed round.
#pragma once

#include <cstdint>

inline constexpr const char* PRESENCE_RECORD_PATH = "/user/presence.rec";
inline constexpr int PRESENCE_ATTEMPTS = 3;

// The lockout that follows the given failed round (1 for the first), in seconds.
std::uint32_t presence_lockout_seconds(std::uint32_t failed_round);

// The attempt of the current round that the test may run next (1 to PRESENCE_ATTEMPTS), or 0
// when the test must not run now; the console then says why, with the time left of a lockout.
int presence_next_attempt();

// Spends the attempt before its first blink: a break, a reset or a power cut from here on
// cannot give it back. Spending the last attempt of a round already records the round as failed
// and its lockout as started. 1 when the record holds it; 0 (the console says why) when it could
// not be recorded, and the attempt must not run.
int presence_spend_attempt(int attempt);

// A passed test clears the count of failed rounds.
void presence_passed();
