// bootimg keyfile: a key file for a unit, as the board writes it under "/user".
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "security/keyfile_crypt.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

namespace {

constexpr std::size_t kSerialLen = 12;
constexpr std::size_t kKeyFileMax = 500;  // the board refuses larger key files

constexpr OptionSpec kOptions[] = {
    {"serial", true}, {"serial-hex", true}, {"o", true},
    {"output", true}, {"help", false},      {"h", false},
};

constexpr const char* kHelp =
    "usage: bootimg keyfile (--serial TEXT | --serial-hex HEX) PUBLIC.pem -o OUTPUT\n"
    "Writes the key file that a unit with this serial number keeps under /user, so that it can\n"
    "be provisioned ahead of time: the PEM text of PUBLIC.pem and a NUL, padded with zero bytes\n"
    "to whole 16-byte blocks and encrypted with AES-128-CBC (zero IV) under the serial number\n"
    "followed by four zero bytes.\n\n"
    "  --serial TEXT      the unit serial number as the EEPROM holds it, up to 12 characters\n"
    "                     (a shorter one is padded with zero bytes)\n"
    "  --serial-hex HEX   the 12 serial-number bytes as 24 hex digits\n"
    "  -o, --output FILE  the key file to write: production_key.pub.pem for the key that\n"
    "                     verifies production images, development_key.pub.pem for the other\n\n"
    "A unit whose serial number is blank (all zero) never reads key files.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "bootimg keyfile: %s\n", message.c_str());
    return EXIT_USAGE;
}

std::optional<std::array<std::uint8_t, kSerialLen>> parse_serial(const Args& args,
                                                                 std::string& error) {
    std::array<std::uint8_t, kSerialLen> serial{};
    const auto text = args.get("serial");
    const auto hex = args.get("serial-hex");
    if (text.has_value() == hex.has_value()) {
        error = "give the serial number once, with --serial or --serial-hex";
        return std::nullopt;
    }
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

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

bool is_rsa_public_key(std::string_view pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return false;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    return key && EVP_PKEY_base_id(key.get()) == EVP_PKEY_RSA;
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

int cmd_keyfile(std::span<char* const> argv) {
    const auto args = parse_args("keyfile", argv, kOptions);
    if (!args) return EXIT_USAGE;
    if (args->has("help") || args->has("h")) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    std::string error;
    const auto serial = parse_serial(*args, error);
    if (!serial) return fail(error);
    auto output = args->get("output");
    if (!output) output = args->get("o");
    if (!output) return fail("-o OUTPUT is required (see --help)");
    if (args->positional.size() != 1) return fail("exactly one PUBLIC.pem file is required");

    Bytes pem;
    if (!read_file(args->positional[0], pem)) return EXIT_USAGE;
    const Bytes file = make_key_file(
        std::string_view(reinterpret_cast<const char*>(pem.data()), pem.size()), *serial, error);
    if (file.empty()) return fail(args->positional[0] + ": " + error);
    if (!write_file(*output, file)) return EXIT_USAGE;
    return EXIT_OK;
}

}  // namespace bootimg
