// bootimg keyfile: a key file for a unit, as the board writes it under "/user".
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "security/keyfile_crypt.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

namespace {

constexpr std::size_t kSerialLen = 12;
constexpr std::size_t kKeyFileMax = 500;  // the board refuses larger key files

struct KeyfileOptions {
    std::string serial, serial_hex, key, output;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "bootimg keyfile: %s\n", message.c_str());
    return EXIT_USAGE;
}

std::optional<std::array<std::uint8_t, kSerialLen>> parse_serial(const KeyfileOptions& o,
                                                                 std::string& error) {
    std::array<std::uint8_t, kSerialLen> serial{};
    const std::optional<std::string> text =
        o.serial.empty() ? std::nullopt : std::optional<std::string>(o.serial);
    const std::optional<std::string> hex =
        o.serial_hex.empty() ? std::nullopt : std::optional<std::string>(o.serial_hex);
    if (text) {
        if (text->size() > kSerialLen) {
            error = "a serial number has at most 12 characters: " + *text;
            return std::nullopt;
        }
        std::copy(text->begin(), text->end(), serial.begin());
    } else {
        if (hex->size() != 2 * kSerialLen ||
            !std::all_of(hex->begin(), hex->end(),
                         [](unsigned char c) { return std::isxdigit(c); })) {
            error = "--serial-hex needs exactly 24 hex digits: " + *hex;
            return std::nullopt;
        }
        for (std::size_t i = 0; i < kSerialLen; ++i)
            serial[i] =
                static_cast<std::uint8_t>(std::strtoul(hex->substr(2 * i, 2).c_str(), nullptr, 16));
    }
    if (std::all_of(serial.begin(), serial.end(), [](std::uint8_t b) { return b == 0; })) {
        error = "a blank (all zero) serial number uses the built-in keys and no key file";
        return std::nullopt;
    }
    return serial;
}

}  // namespace

Bytes make_key_file(std::string_view public_key_pem, std::span<const std::uint8_t, 12> serial,
                    std::string& error) {
    if (public_key_pem.find('\0') != std::string_view::npos) {
        error = "the key text holds a NUL byte; the board would read only the text before it";
        return {};
    }
    if (!public_key_pem.starts_with("-----BEGIN PUBLIC KEY-----") ||
        !is_rsa_public_key(public_key_pem)) {
        error = "not an RSA public key in PEM form (\"-----BEGIN PUBLIC KEY-----\")";
        return {};
    }
    // The plaintext is the text and its NUL, as the board stores its built-in keys.
    Bytes plain(public_key_pem.begin(), public_key_pem.end());
    plain.push_back(0);
    const std::size_t padded = (plain.size() + 15) / 16 * 16;
    if (padded > kKeyFileMax) {
        error = "the key file would be " + std::to_string(padded) +
                " bytes; the board refuses key files over 500 bytes";
        return {};
    }
    std::size_t length = 0;
    std::uint8_t* cipher =
        imgsign_encrypt(serial.data(), serial.size(), plain.data(), plain.size(), &length);
    if (cipher == nullptr) {
        error = "encryption failed";
        return {};
    }
    Bytes file(cipher, cipher + length);
    std::free(cipher);
    return file;
}

namespace {

int run_keyfile(const KeyfileOptions& o) {
    std::string error;
    const auto serial = parse_serial(o, error);
    if (!serial) return fail(error);
    Bytes pem;
    if (!read_file(o.key, pem)) return EXIT_USAGE;
    const Bytes file = make_key_file(
        std::string_view(reinterpret_cast<const char*>(pem.data()), pem.size()), *serial, error);
    if (file.empty()) return file_error(o.key, error);
    if (!write_file(o.output, file)) return EXIT_USAGE;
    return EXIT_OK;
}

}  // namespace

void add_keyfile(CLI::App& app, int& status) {
    auto o = std::make_shared<KeyfileOptions>();
    CLI::App* c =
        app.add_subcommand("keyfile", "write a unit's encrypted key file for its serial number");
    c->footer(
        "Writes the key file that a unit with this serial number keeps under /user, so that it\n"
        "can be provisioned ahead of time: the PEM text of PUBLIC.pem and a NUL, padded with zero\n"
        "bytes to whole 16-byte blocks and encrypted with AES-128-CBC (zero IV) under the serial\n"
        "number followed by four zero bytes.");
    c->footer(c->get_footer() + "\n\n" +
              "A unit whose serial number is blank (all zero) never reads key files.");
    auto* serial = c->add_option("--serial", o->serial,
                                 "the unit serial number as the EEPROM holds it, up to 12\n"
                                 "characters (a shorter one is padded with zero bytes)")
                       ->type_name("TEXT");
    auto* hex =
        c->add_option("--serial-hex", o->serial_hex, "the 12 serial-number bytes as 24 hex digits")
            ->type_name("HEX");
    serial->excludes(hex);
    input_file(*c, "PUBLIC.pem", o->key, "the RSA public key (PEM)")->required();
    c->add_option("-o,--output", o->output,
                  "the key file to write: production_key.pub.pem for the key that verifies\n"
                  "production images, development_key.pub.pem for the other")
        ->required()
        ->type_name("FILE");
    c->callback([c, o, &status, serial, hex] {
        if (!given_once(*c)) {
            status = EXIT_USAGE;
            return;
        }
        if (serial->count() + hex->count() != 1) {
            status = fail("give the serial number once, with --serial or --serial-hex");
            return;
        }
        status = run_keyfile(*o);
    });
}

}  // namespace bootimg
