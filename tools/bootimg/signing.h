// Image signatures and key files on the host: what a vendor needs to produce images the board
// accepts and to provision a unit's "/user" ahead of time. The signature itself comes from a
// signer (signer.h) or from outside (bootimg digest, then bootimg attach).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/bootimg/bootimg.h"

namespace bootimg {

// The single image of `image` (any header version) as the version-3 image it becomes when
// signed, still without its signature: the header entries it had minus any signature entry.
// Its payload is what the signature covers. Nothing, with error set, for anything but one
// well-formed image.
std::optional<ImageSpec> unsigned_spec(std::span<const std::uint8_t> image, std::string& error);

// The signed image: `spec` with one signature entry (type 3) holding `signature` appended, its
// CRC computed. Empty, with error set, when the header cannot hold it.
Bytes with_signature(ImageSpec spec, std::span<const std::uint8_t> signature, std::string& error);

// Whether the text is an RSA public key in PEM form, as OpenSSL reads it.
bool is_rsa_public_key(std::string_view pem);

// The content of a key file for a unit: the key text and a NUL, zero-padded to whole AES blocks
// and encrypted as the board does under the 12-byte serial number. On failure the result is empty
// and error says why.
Bytes make_key_file(std::string_view public_key_pem, std::span<const std::uint8_t, 12> serial,
                    std::string& error);

}  // namespace bootimg
