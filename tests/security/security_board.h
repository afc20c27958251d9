// A fresh simulated board for the image security tests, installed as the platform back end, with
// the console captured and the process-wide state of a new power-up.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/platform.h"
#include "security/signature_policy.h"
#include "sim/sim_board.h"
#include "tests/support/board_fixture.h"

namespace security_test {

// A TestBoard with the process-wide state of a new power-up: settings cleared, buses open, the
// library started. Console output is kept from the start.
class Board : public TestBoard {
  public:
    explicit Board(const sim::CreateOptions& options = {}, sim::ConsoleScript keys = {})
        : TestBoard(options) {
        input(std::move(keys));
        boot_settings = BootSettings{};
        imgsign_developer_images_forget();
        i2c_open_buses();
        CRYPTO_LIB_initialize();
    }
    ~Board() { i2c_close_buses(); }

    sim::SimBoard& sim() { return board(); }
    std::string host(const char* system_path) const { return host_path(system_path); }
    std::string file(const char* system_path) const { return read_file(system_path).value_or(""); }
    void write(const char* system_path, const std::string& bytes) {
        EXPECT_TRUE(write_file(system_path, bytes)) << system_path;
    }
    // Whether the code opened the system path with the standard file functions.
    bool opened(const std::string& system_path) const {
        for (const auto& text : sim::event_texts(events(), "fopen")) {
            if (text.rfind(system_path + " ", 0) == 0) return true;
        }
        return false;
    }
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
