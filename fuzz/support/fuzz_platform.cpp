#include "fuzz/support/fuzz_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

void FuzzPlatform::set_console(std::span<const std::uint8_t> keys, std::uint8_t after_end) {
    keys_ = keys;
    next_ = 0;
    after_end_ = after_end;
}

void FuzzPlatform::clear_output() {
    out_.clear();
    err_.clear();
}

int FuzzPlatform::open(const char*, int, mode_t) {
    errno = ENOENT;
    return -1;
}

int FuzzPlatform::close(int) {
    return 0;
}

ssize_t FuzzPlatform::read(int fd, void* buf, size_t count) {
    if (fd != 0) {
        errno = EBADF;
        return -1;
    }
    if (count == 0) return 0;
    auto* byte = static_cast<std::uint8_t*>(buf);
    *byte = next_ < keys_.size() ? keys_[next_] : after_end_;
    ++next_;
    // A dialogue that never ends its line would loop here for ever; the fuzzer reports it as a
    // timeout, which is a finding.
    return 1;
}

ssize_t FuzzPlatform::write(int fd, const void* buf, size_t count) {
    const auto* text = static_cast<const char*>(buf);
    if (fd == 1) {
        out_.append(text, count);
    } else if (fd == 2) {
        err_.append(text, count);
    } else {
        errno = EBADF;
        return -1;
    }
    return static_cast<ssize_t>(count);
}

ssize_t FuzzPlatform::pread(int, void*, size_t, off_t) {
    errno = EBADF;
    return -1;
}

ssize_t FuzzPlatform::pwrite(int, const void*, size_t, off_t) {
    errno = EBADF;
    return -1;
}

int FuzzPlatform::ioctl(int, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

int FuzzPlatform::socket(int, int, int) {
    errno = EACCES;
    return -1;
}

int FuzzPlatform::tcgetattr(int fd, struct termios* settings) {
    if (fd != 0) {
        errno = ENOTTY;
        return -1;
    }
    *settings = settings_;
    return 0;
}

int FuzzPlatform::tcsetattr(int fd, int, const struct termios* settings) {
    if (fd != 0) {
        errno = ENOTTY;
        return -1;
    }
    settings_ = *settings;
    return 0;
}

std::FILE* FuzzPlatform::fopen(const char* path, const char* mode) {
    // The library seeds its generator at start-up; fixed bytes keep every run reproducible.
    if (std::strcmp(path, "/dev/urandom") == 0 && mode[0] == 'r') {
        static char seed[4096];
        std::memset(seed, 0x5A, sizeof seed);
        return ::fmemopen(seed, sizeof seed, "rb");
    }
    errno = ENOENT;
    return nullptr;
}

int FuzzPlatform::stat(const char*, struct stat*) {
    errno = ENOENT;
    return -1;
}

int FuzzPlatform::remove(const char*) {
    errno = ENOENT;
    return -1;
}

int FuzzPlatform::system(const char*) {
    return -1;
}

int FuzzPlatform::execv(const char*, char* const[]) {
    errno = EACCES;
    return -1;
}

int FuzzPlatform::setenv(const char*, const char*, int) {
    return 0;
}

// Code under fuzz never ends the process: doing so is a finding.
void FuzzPlatform::exit(int) {
    std::abort();
}

void FuzzPlatform::sleep_ms(unsigned milliseconds) {
    clock_ms_ += milliseconds;
}

std::uint64_t FuzzPlatform::monotonic_ms() {
    return clock_ms_;
}

int FuzzPlatform::install_sigint_handler(void (*)(int)) {
    return 0;
}

FuzzPlatform& platform() {
    static FuzzPlatform instance;
    static const bool installed = [] {
        platform::set_os(instance);
        return true;
    }();
    (void)installed;
    return instance;
}

}  // namespace fuzz
