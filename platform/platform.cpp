#include "platform/platform.h"

#include <cstdlib>

namespace platform {

namespace {
Platform* current = nullptr;
}

Platform& os() {
    if (current == nullptr) {
        // A missing back end is a programming error of the entry point; there is nobody to report
        // it to but the raw standard error.
        static const char msg[] = "platform: no back end installed\n";
        std::fwrite(msg, 1, sizeof msg - 1, stderr);
        std::abort();
    }
    return *current;
}

void set_os(Platform& backend) {
    current = &backend;
}

}  // namespace platform
