// The one narrow interface between the boot manager and the operating system.
//
// Every device, terminal, socket, file, shell command, exec, sleep and clock the boot manager
// touches goes through a Platform. Two back ends exist: LinuxPlatform (the real board, plain
// system calls) and the simulated board in sim/, which keeps its EEPROM, flash and other state in
// a board directory and maps the system's absolute paths ("/tmp", "/user", "/dev/...") into it.
//
// Paths handed to this interface are always the system's own absolute paths, exactly as the boot
// manager names them; translating them is the back end's business.
//
// The calls mirror the POSIX calls they stand for (same arguments, same results, errno set on
// failure) so that the boot manager reads like the system it is.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace platform {

class Platform {
  public:
    virtual ~Platform() = default;

    // Descriptors: files, devices ("/dev/i2c-N", "/dev/mtd0", "/dev/ttyS0"), sockets, and the
    // console on descriptors 0 (input), 1 (standard output) and 2 (standard error).
    virtual int open(const char* path, int flags, mode_t mode = 0666) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void* buf, size_t count) = 0;
    virtual ssize_t write(int fd, const void* buf, size_t count) = 0;
    virtual ssize_t pread(int fd, void* buf, size_t count, off_t offset) = 0;
    virtual ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual int socket(int domain, int type, int protocol) = 0;
    virtual int tcgetattr(int fd, struct termios* settings) = 0;
    virtual int tcsetattr(int fd, int action, const struct termios* settings) = 0;

    // Files through the standard file functions.
    virtual std::FILE* fopen(const char* path, const char* mode) = 0;
    virtual int stat(const char* path, struct stat* st) = 0;
    virtual int remove(const char* path) = 0;
    // What makes a write durable and whole: fsync(2) of a descriptor (a file, a directory or the
    // flash device) and rename(2), which replaces a file in one step.
    virtual int fsync(int fd) = 0;
    virtual int rename(const char* from, const char* to) = 0;

    // Processes. system() runs a command text with the shell and returns the shell's status, or
    // -1 when the shell could not be started. execv() replaces the process and returns -1 only
    // on failure. exit() ends the process.
    virtual int system(const char* command) = 0;
    virtual int execv(const char* path, char* const argv[]) = 0;
    virtual int setenv(const char* name, const char* value, int overwrite) = 0;
    [[noreturn]] virtual void exit(int status) = 0;

    // Time. Sleeps may be virtual on the simulated board; the clock then advances by them.
    virtual void sleep_ms(unsigned milliseconds) = 0;
    virtual std::uint64_t monotonic_ms() = 0;

    // A caught signal, as sigaction() with an empty mask and these flags: 0 for SIGINT, so that
    // a blocking read it interrupts fails; SA_RESTART for a signal that must go unnoticed, so
    // that the read goes on waiting. Unlike an ignored signal, a caught one is back at its
    // default in every program the process starts.
    virtual int install_signal_handler(int signal, void (*handler)(int), int flags) = 0;

    // The system's random source, as getrandom(2) without flags: fills buf with count bytes and
    // returns count, or -1 with errno set. A back end without a random source refuses.
    virtual ssize_t random_bytes(void* buf, size_t count) {
        (void)buf;
        (void)count;
        errno = ENOSYS;
        return -1;
    }
};

// The back end in use. Set once by the entry point before anything else runs.
Platform& os();
void set_os(Platform& backend);

}  // namespace platform
