// The install log: one line per installation, and one per return from a trial boot that was not
// confirmed, kept in "/user/install.log".
#pragma once

inline constexpr const char* INSTALL_LOG_PATH = "/user/install.log";

// Adds one entry from the RTC's time and echoes it on the console. 1.
int install_log_append(const char* file, const char* source);
