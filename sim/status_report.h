// What an engineer needs to understand a simulated board, on one screen or, through the
// simulator's front end, as one JSON object for scripts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim_board.h"

namespace sim {

// One value of the report. `name` may hold dots ("production.usable"): JSON nests it. `text` is
// what the screen shows on the line of that name; an empty text keeps the value off the screen
// (a typed detail that the screen line already says in words), and `screen_only` keeps a line
// out of JSON (words that typed values already carry).
struct StatusValue {
    enum class Type : std::uint8_t { null, boolean, number, string, numbers, strings };
    std::string name;
    std::string text;
    Type type = Type::null;
    bool boolean = false;
    std::int64_t number = 0;
    std::string string;
    std::vector<std::int64_t> numbers;
    std::vector<std::string> strings;
    bool screen_only = false;
};

struct StatusSection {
    std::string name;
    std::vector<StatusValue> values;
};

// The serial number, the RTC, the boot environment with the settings the boot manager reads from
// it, the boot slot byte and the slot it makes the boot path start, each flash region with what
// it holds (kind, version, header version, CRC) and, per image slot, whether the boot path
// accepts it (by the boot path's own checks), both install time stamps, the LED registers, what
// the board's key store makes of each key file under this board's serial number, and the last
// lines of the install log. Reads the board's devices and files and changes nothing; whatever the
// board's own code prints while it is asked goes into the report, never onto the console. Needs
// the board as the platform back end.
std::vector<StatusSection> status_report(SimBoard& board);

// The report as the screen shows it.
void print_status_text(const std::vector<StatusSection>& report, std::FILE* to);

}  // namespace sim
