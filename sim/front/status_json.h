// `bootmgr-sim --status --json`: the status report as one JSON object, always valid, with typed
// values (numbers, booleans, arrays, null for what is absent). The README lists its fields.
#pragma once

#include <cstdio>
#include <vector>

#include "sim/status_report.h"

namespace sim {

void print_status_json(const std::vector<StatusSection>& report, std::FILE* to);

}  // namespace sim
