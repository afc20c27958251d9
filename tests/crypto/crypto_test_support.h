// The cryptographic library's tests share a platform back end that forwards files to the host
// and captures standard output, and the readers of their fixtures.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "crypto/imgsign.h"
#include "crypto/status.h"
#include "platform/platform.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

using Bytes = std::vector<std::uint8_t>;
using namespace crypto_status;

// The library's statuses by the names of crypto/status.h, as the data files write them.
inline const std::map<std::string, std::int32_t>& statuses() {
#define CRYPTO_STATUS_NAMED(name, value) {#name, value},
    static const std::map<std::string, std::int32_t> all{CRYPTO_STATUSES(CRYPTO_STATUS_NAMED)};
#undef CRYPTO_STATUS_NAMED
    return all;
}
// A named status (a test failure, and a value no status has, for an unknown name).
inline std::int32_t status_of(const std::string& name) {
    const auto it = statuses().find(name);
    if (it != statuses().end()) return it->second;
    ADD_FAILURE() << "no status " << name << " in crypto/status.h";
    return 1;
}
// The name of a status, or its number when it has none.
inline std::string status_name(std::int32_t status) {
    for (const auto& [name, value] : statuses())
        if (value == status) return name;
    return std::to_string(status);
}

class HostPlatform : public platform::Platform {
  public:
    // Everything written to descriptor 1; the file read as "/dev/urandom".
    std::string out, urandom_path = "/dev/urandom";
    int open(const char*, int, mode_t) override { return -1; }
    int close(int) override { return -1; }
    ssize_t read(int, void*, size_t) override { return -1; }
    ssize_t write(int fd, const void* buf, size_t count) override {
        if (fd == 1) out.append(static_cast<const char*>(buf), count);
        return static_cast<ssize_t>(count);
    }
    ssize_t pread(int, void*, size_t, off_t) override { return -1; }
    ssize_t pwrite(int, const void*, size_t, off_t) override { return -1; }
    int ioctl(int, unsigned long, void*) override { return -1; }
    int socket(int, int, int) override { return -1; }
    int tcgetattr(int, struct termios*) override { return -1; }
    int tcsetattr(int, int, const struct termios*) override { return -1; }
    std::FILE* fopen(const char* path, const char* mode) override {
        return std::fopen(std::string(path) == "/dev/urandom" ? urandom_path.c_str() : path, mode);
    }
    int stat(const char* path, struct stat* st) override { return ::stat(path, st); }
    int remove(const char* path) override { return std::remove(path); }
    int fsync(int) override { return -1; }
    int rename(const char*, const char*) override { return -1; }
    int system(const char*) override { return -1; }
    int execv(const char*, char* const[]) override { return -1; }
    int setenv(const char*, const char*, int) override { return -1; }
    [[noreturn]] void exit(int status) override { std::exit(status); }
    void sleep_ms(unsigned) override {}
    std::uint64_t monotonic_ms() override { return 0; }
    int install_signal_handler(int, void (*)(int), int) override { return 0; }
};

inline HostPlatform host;  // the back end of every crypto test

// Installs the host back end and starts the library (idempotent).
inline void start_library() {
    platform::set_os(host);
    ASSERT_EQ(CRYPTO_LIB_initialize(), 0);
}

// A message column: "xorshift:SEED" is `length` bytes of the seeded generator that
// tools/crypto-fixtures/generate.py uses too; other text is repeated to the length.
inline Bytes message(const std::string& text, std::size_t length) {
    const bool generated = text.starts_with("xorshift:");
    auto x = generated ? static_cast<std::uint32_t>(std::stoul(text.substr(9))) : 0u;
    Bytes m(length);
    for (std::size_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        m[i] = static_cast<std::uint8_t>(generated ? x : text[i % text.size()]);
    }
    return m;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (const std::uint8_t b : bytes)
        s.append({"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]});
    return s;
}

// A fixture file's bytes (the PEM keys); tables are read with read_table.
inline Bytes fixture(const std::string& name) {
    return bytes_of(file_text(std::string(BOOTMGR_SOURCE_DIR) + "/tests/crypto/fixtures/" + name));
}
