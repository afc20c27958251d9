// The real board's back end: every call is the plain system call it stands for.
#pragma once

#include "platform/platform.h"

namespace platform {

class LinuxPlatform final : public Platform {
  public:
    int open(const char* path, int flags, mode_t mode = 0666) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    ssize_t write(int fd, const void* buf, size_t count) override;
    ssize_t pread(int fd, void* buf, size_t count, off_t offset) override;
    ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    int socket(int domain, int type, int protocol) override;
    int tcgetattr(int fd, struct termios* settings) override;
    int tcsetattr(int fd, int action, const struct termios* settings) override;

    std::FILE* fopen(const char* path, const char* mode) override;
    int stat(const char* path, struct stat* st) override;
    int remove(const char* path) override;
    int fsync(int fd) override;
    int rename(const char* from, const char* to) override;

    int system(const char* command) override;
    int execv(const char* path, char* const argv[]) override;
    int setenv(const char* name, const char* value, int overwrite) override;
    [[noreturn]] void exit(int status) override;

    void sleep_ms(unsigned milliseconds) override;
    std::uint64_t monotonic_ms() override;

    int install_signal_handler(int signal, void (*handler)(int), int flags) override;
    ssize_t random_bytes(void* buf, size_t count) override;
};

}  // namespace platform
