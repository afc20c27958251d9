// For the image security tests: a board with the process-wide state of a new power-up, raw
// version-3 images with header entries as given (damaged ones included), and the test signatures
// of tests/security/data/signatures.txt.
#pragma once

#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "security/signature_policy.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

using Bytes = std::vector<std::uint8_t>;

// A TestBoard with settings cleared, buses open and the library started; output kept from the
// start.
class SecurityBoard : public TestBoard {
  public:
    explicit SecurityBoard(const sim::CreateOptions& options = {}, sim::ConsoleScript keys = {})
        : TestBoard(options) {
        input(std::move(keys));
        boot_settings = BootSettings{};
        imgsign_developer_images_forget();
        i2c_open_buses();
        CRYPTO_LIB_initialize();
    }
    ~SecurityBoard() { i2c_close_buses(); }
    sim::SimBoard& sim() { return board(); }
    std::string file(std::string_view system_path) const {
        return read_file(system_path).value_or("");
    }
    // How often the code opened paths starting with prefix through the standard file functions.
    int opens(std::string_view prefix) const {
        int n = 0;
        for (const auto& text : sim::event_texts(events(), "fopen")) n += text.starts_with(prefix);
        return n;
    }
};

inline sim::CreateOptions with_serial(std::string serial) {
    sim::CreateOptions options;
    options.serial = std::move(serial);
    return options;
}
inline sim::Fault fault(sim::FaultKind kind, std::string path = {}, int device = -1) {
    sim::Fault f{kind};
    f.path = std::move(path);
    f.device = device;
    return f;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// A version-3 image: the fixed part, "HDR3", the header entry area as given and the payload,
// with its CRC.
inline Bytes v3_image(const Bytes& entries, const Bytes& payload,
                      std::uint32_t kind = IMG_KIND_KERNEL) {
    Bytes image = concat({Bytes(24, 0), entries});
    const auto header_len = static_cast<std::uint16_t>(image.size());
    image = concat({image, payload});
    be::store32(image.data() + 4, static_cast<std::uint32_t>(image.size() - 16));
    be::store32(image.data() + 8, kind);
    be::store32(image.data() + 16, IMG_HDR3_MAGIC);
    be::store16(image.data() + 22, header_len);
    fix_crc(image);
    return image;
}
// One header entry: type, length (the whole entry unless given) and body.
inline Bytes entry(std::uint16_t type, const Bytes& body, int length = -1) {
    Bytes e(4);
    be::store16(e.data(), type);
    be::store16(e.data() + 2, static_cast<std::uint16_t>(length < 0 ? body.size() + 4 : length));
    return concat({e, body});
}
// The body of a signature entry: S (the signature's length unless given), then the signature.
inline Bytes signature_body(const Bytes& signature, int declared = -1) {
    Bytes s(2);
    be::store16(s.data(), static_cast<std::uint16_t>(declared < 0 ? signature.size() : declared));
    return concat({s, signature});
}

inline Bytes signed_payload() {
    Bytes payload(1000);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return payload;
}
// "production", "development" or "unknown": that key's signature of signed_payload().
inline Bytes test_signature(std::string_view signer) {
    std::ifstream f(std::string(BOOTMGR_SOURCE_DIR) + "/tests/security/data/signatures.txt");
    for (std::string name, hex; f >> name;) {
        if (name == "#") {
            std::getline(f, hex);
            continue;
        }
        f >> hex;
        if (name != signer) continue;
        return hex_bytes(hex);
    }
    ADD_FAILURE() << "no signature " << signer;
    return {};
}

// A decoded table field with {NAME} replaced by names.at(NAME).
inline std::string fill(std::string text, const std::map<std::string, std::string>& names = {}) {
    for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
        const std::size_t end = text.find('}', at);
        if (end == std::string::npos) break;
        text.replace(at, end - at + 1, names.at(text.substr(at + 1, end - at - 1)));
    }
    return text;
}

// Whether the parts appear in the text in this order; parts are escaped fill() pieces with " ; "
// between them.
inline void in_order(const std::string& text, std::string_view parts,
                     const std::map<std::string, std::string>& names = {}) {
    std::size_t at = 0;
    while (!parts.empty()) {
        const std::size_t semi = parts.find(" ; ");
        const std::string part = fill(unescape(parts.substr(0, semi)), names);
        parts = semi == std::string_view::npos ? std::string_view() : parts.substr(semi + 3);
        const std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos)
            << "no \"" << part << "\" after " << at << " in " << text;
        at = found + part.size();
    }
}
