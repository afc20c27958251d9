// The project's version and the source revision a program was built from, for --version.
// Defined in a file the build writes (cmake/revision.cmake).
#pragma once

extern const char BOOTMGR_VERSION[];   // "MAJOR.MINOR.PATCH", from the top CMakeLists.txt
extern const char BOOTMGR_REVISION[];  // `git describe --always --dirty`, or "unknown"
