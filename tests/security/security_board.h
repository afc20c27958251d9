// A fresh simulated board for the image security tests, installed as the platform back end, with
// the console captured and the process-wide state of a new power-up.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/platform.h"
#include "security/signature_policy.h"
#include "sim/sim_board.h"

namespace security_test {

class Board {
  public:
    explicit Board(sim::CreateOptions options = {}, sim::ConsoleScript input = {}) {
        char pattern[] = "/tmp/security-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        dir_ = made;
        std::string error;
        EXPECT_TRUE(sim::SimBoard::create(dir_, options, &error)) << error;
        board_ = std::make_unique<sim::SimBoard>(dir_);
        EXPECT_TRUE(board_->ok()) << board_->error();
        board_->capture_console(std::move(input));
        platform::set_os(*board_);
        boot_settings = BootSettings{};
        imgsign_developer_images_forget();
        i2c_open_buses();
        CRYPTO_LIB_initialize();
    }
    ~Board() {
        i2c_close_buses();
        board_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    sim::SimBoard& sim() { return *board_; }
    std::string host(const char* system_path) const { return board_->host_path(system_path); }
    std::string out() const { return slurp(dir_ / "console.out"); }
    std::string file(const char* system_path) const { return slurp(host(system_path)); }
    bool exists(const char* system_path) const {
        return std::filesystem::exists(host(system_path));
    }
    void write(const char* system_path, const std::string& bytes) const {
        std::ofstream(host(system_path), std::ios::binary | std::ios::trunc) << bytes;
    }
    // Whether the code opened the system path with the standard file functions.
    bool opened(const std::string& system_path) const {
        for (const auto& text : sim::event_texts(board_->events(), "fopen")) {
            if (text.rfind(system_path + " ", 0) == 0) return true;
        }
        return false;
    }

    // Runs body in a child process on this board, for code that may end the process; returns its
    // exit status (-1 when it did not exit normally).
    int run_child(const std::function<void()>& body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            body();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    static std::string slurp(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path dir_;
    std::unique_ptr<sim::SimBoard> board_;
};

inline sim::CreateOptions with_serial(std::string serial) {
    sim::CreateOptions options;
    options.serial = std::move(serial);
    return options;
}
// The board's clock at the given BCD seconds.
inline sim::CreateOptions with_clock(std::uint8_t seconds) {
    sim::CreateOptions options;
    options.rtc = {seconds, 0x30, 0x12, 0x02, 0x15, 0x06, 0x25};
    return options;
}

// Fault injection without designated initialisers (the fault record has defaults throughout).
inline sim::Fault fail_creating(const char* system_path) {
    sim::Fault fault{sim::FaultKind::create_path};
    fault.path = system_path;
    return fault;
}
inline sim::Fault fail_reading_device(sim::FaultKind kind, int address7) {
    sim::Fault fault{kind};
    fault.device = address7;
    return fault;
}

// A version-3 image: the fixed part, "HDR3", the header entries as given (raw bytes) and the
// payload, with its CRC.
inline std::vector<std::uint8_t> v3_image(const std::vector<std::uint8_t>& entries,
                                          const std::vector<std::uint8_t>& payload,
                                          std::uint32_t kind = IMG_KIND_KERNEL) {
    std::vector<std::uint8_t> image(24, 0);
    image.insert(image.end(), entries.begin(), entries.end());
    const auto header_len = static_cast<std::uint16_t>(image.size());
    image.insert(image.end(), payload.begin(), payload.end());
    be::store32(image.data() + 4, static_cast<std::uint32_t>(image.size() - 16));
    be::store32(image.data() + 8, kind);
    be::store32(image.data() + 12, 0x01020304);
    be::store32(image.data() + 16, IMG_HDR3_MAGIC);
    be::store16(image.data() + 22, header_len);
    be::store32(image.data(), image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED));
    return image;
}

// One header entry: type, length (the whole entry unless given) and body.
inline std::vector<std::uint8_t> entry(std::uint16_t type, const std::vector<std::uint8_t>& body,
                                       int length = -1) {
    std::vector<std::uint8_t> e(4);
    be::store16(e.data(), type);
    be::store16(e.data() + 2, static_cast<std::uint16_t>(length < 0 ? body.size() + 4 : length));
    e.insert(e.end(), body.begin(), body.end());
    return e;
}

// The body of a signature entry: S and the signature bytes.
template <typename Bytes>
std::vector<std::uint8_t> signature_body(const Bytes& signature, int declared_length = -1) {
    std::vector<std::uint8_t> body(2 + signature.size());
    be::store16(body.data(), static_cast<std::uint16_t>(declared_length < 0 ? signature.size()
                                                                            : declared_length));
    std::copy(signature.begin(), signature.end(), body.begin() + 2);
    return body;
}

inline std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace security_test
