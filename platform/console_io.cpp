#include "platform/console_io.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

int write_all(int fd, const char* text, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = platform::os().write(fd, text + done, length - done);
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int>(length);
}

int vwrite(int fd, const char* format, std::va_list args) {
    char small[512];
    std::va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return n;
    if (static_cast<std::size_t>(n) < sizeof small) return write_all(fd, small, n);
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    return write_all(fd, big.data(), static_cast<std::size_t>(n));
}

}  // namespace

int out_vprintf(const char* format, std::va_list args) {
    return vwrite(1, format, args);
}

int out_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = vwrite(1, format, args);
    va_end(args);
    return n;
}

int err_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = vwrite(2, format, args);
    va_end(args);
    return n;
}

int out_puts(const char* text) {
    const std::size_t length = std::strlen(text);
    if (write_all(1, text, length) < 0 || write_all(1, "\n", 1) < 0) return EOF;
    return 1;
}

ProgressDisplay::ProgressDisplay(bool shown, const char* field, bool every_step)
    : shown_(shown), every_step_(every_step) {
    if (shown_) out_printf("%s", field);
}

void ProgressDisplay::step(unsigned percent) {
    if (!shown_ || (!every_step_ && static_cast<int>(percent) == last_)) return;
    out_printf("\b\b\b\b%3.3d%c", static_cast<int>(percent), '%');
    last_ = static_cast<int>(percent);
}

void ProgressDisplay::finish() {
    if (shown_) out_printf("\b\b\b\b100%c\n", '%');
}
