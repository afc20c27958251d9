// A platform back end for fuzz targets that need no board: console input from the fuzz input,
// output captured in memory, every other resource refused. Targets that need a board use the
// simulated board instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"

namespace fuzz {

class FuzzPlatform : public platform::Platform {
  public:
    // Console input: the bytes to deliver one read at a time; once they are used up, every read
    // delivers `after_end` so that a dialogue that waits for Enter always ends.
    void set_console(std::span<const std::uint8_t> keys, std::uint8_t after_end);
    std::size_t keys_used() const { return next_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    void clear_output();

    int open(const char* path, int flags, mode_t mode) override;
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
    int system(const char* command) override;
    int execv(const char* path, char* const argv[]) override;
    int setenv(const char* name, const char* value, int overwrite) override;
    [[noreturn]] void exit(int status) override;
    void sleep_ms(unsigned milliseconds) override;
    std::uint64_t monotonic_ms() override;
    int install_sigint_handler(void (*handler)(int)) override;

  private:
    std::span<const std::uint8_t> keys_;
    std::size_t next_ = 0;
    std::uint8_t after_end_ = '\r';
    std::string out_;
    std::string err_;
    std::uint64_t clock_ms_ = 0;
    struct termios settings_ {};
};

// The one instance, installed as the platform back end on first use.
FuzzPlatform& platform();

}  // namespace fuzz
