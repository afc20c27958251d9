// Turns the application archive into a running application OS.
#pragma once

inline constexpr const char* APPLICATION_ARCHIVE = "/tmp/zariximage.tar.gz";

[[noreturn]] void launch_application(int is_diagnostics);
int extract_gdb(int slot);
