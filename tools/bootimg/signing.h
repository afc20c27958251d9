// Image signatures and key files on the host, with OpenSSL's libcrypto: what a vendor needs to
// produce images the board accepts and to provision a unit's "/user" ahead of time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/bootimg/bootimg.h"

namespace bootimg {

// The image (any header version) as a version-3 image whose header entries are those it had,
// minus any signature entry, followed by one signature entry: the RSA PKCS#1 v1.5 signature of
// the SHA-256 digest of the payload under the private key (PEM text). The CRC is recomputed.
// On failure the result is empty and error says why.
Bytes sign_image(std::span<const std::uint8_t> image, std::string_view private_key_pem,
                 std::string& error);

// Whether the public key (PEM text) verifies the image's signature, found by walking the header
// entries exactly as the board does. Nothing when the key text is not an RSA public key.
std::optional<bool> key_verifies(std::span<const std::uint8_t> image,
                                 std::string_view public_key_pem);

// The content of a key file for a unit: the key text and a NUL, zero-padded to whole AES blocks
// and encrypted as the board does under the 12-byte serial number. On failure the result is empty
// and error says why.
Bytes make_key_file(std::string_view public_key_pem, std::span<const std::uint8_t, 12> serial,
                    std::string& error);

}  // namespace bootimg
