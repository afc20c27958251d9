#include "platform/linux_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {

int LinuxPlatform::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int LinuxPlatform::close(int fd) {
    return ::close(fd);
}
ssize_t LinuxPlatform::read(int fd, void* buf, size_t count) {
    return ::read(fd, buf, count);
}
ssize_t LinuxPlatform::write(int fd, const void* buf, size_t count) {
    return ::write(fd, buf, count);
}
ssize_t LinuxPlatform::pread(int fd, void* buf, size_t count, off_t offset) {
    return ::pread(fd, buf, count, offset);
}
ssize_t LinuxPlatform::pwrite(int fd, const void* buf, size_t count, off_t offset) {
    return ::pwrite(fd, buf, count, offset);
}
int LinuxPlatform::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
int LinuxPlatform::socket(int domain, int type, int protocol) {
    return ::socket(domain, type, protocol);
}
int LinuxPlatform::tcgetattr(int fd, struct termios* settings) {
    return ::tcgetattr(fd, settings);
}
int LinuxPlatform::tcsetattr(int fd, int action, const struct termios* settings) {
    return ::tcsetattr(fd, action, settings);
}

std::FILE* LinuxPlatform::fopen(const char* path, const char* mode) {
    return std::fopen(path, mode);
}
int LinuxPlatform::stat(const char* path, struct stat* st) {
    return ::stat(path, st);
}
int LinuxPlatform::remove(const char* path) {
    return std::remove(path);
}
int LinuxPlatform::fsync(int fd) {
    if (::fsync(fd) == 0) return 0;
    // An MTD character device has no fsync: its driver syncs (block2mtd's page cache, a flash
    // chip's pending writes) when a descriptor opened for writing is closed. Another descriptor
    // of the same device, closed at once, does that and leaves the caller's open.
    struct stat st {};
    if (errno != EINVAL || ::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int again = ::open(path, O_WRONLY | O_CLOEXEC);
    if (again < 0) return -1;
    return ::close(again);
}
int LinuxPlatform::rename(const char* from, const char* to) {
    return std::rename(from, to);
}

int LinuxPlatform::system(const char* command) {
    return std::system(command);
}
int LinuxPlatform::execv(const char* path, char* const argv[]) {
    return ::execv(path, argv);
}
int LinuxPlatform::setenv(const char* name, const char* value, int overwrite) {
    return ::setenv(name, value, overwrite);
}
void LinuxPlatform::exit(int status) {
    std::exit(status);
}

void LinuxPlatform::sleep_ms(unsigned milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal (the operator's break) must not shorten a blink or a pause.
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t LinuxPlatform::monotonic_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

int LinuxPlatform::install_signal_handler(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    return ::sigaction(signal, &action, nullptr);
}

ssize_t LinuxPlatform::random_bytes(void* buf, size_t count) {
    auto* at = static_cast<unsigned char*>(buf);
    size_t done = 0;
    // The kernel's pool; it blocks only until the pool is first seeded at boot. A break must not
    // leave the caller with fewer bytes than it asked for.
    while (done < count) {
        const ssize_t n = ::getrandom(at + done, count - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(count);
}

}  // namespace platform
