// Where the signature and the signed region of an image lie, found by walking the header entries
// of a version-3 image, and the checks of a signature against a public key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t IMGSIGN_DIGEST_LEN = 32;
using ImageDigest = std::array<std::uint8_t, IMGSIGN_DIGEST_LEN>;

// Only the bytes of the given image span are looked at; every span below lies within it.
struct ImageSignature {
    bool version3 = false;  // the word at offset 16 is "HDR3"
    bool found = false;     // a signature entry (type 3) was found; the last one counts
    // Offset of a header entry the walk could not step over (length below 4, a signature entry
    // too short for its length field, or an entry running past the header or the image); 0 when
    // the walk ended normally. Entries from there on are ignored.
    std::size_t damaged_entry = 0;
    // The S signature bytes of the entry; empty with signature_outside set when S runs past the
    // image.
    std::span<const std::uint8_t> signature;
    std::size_t signature_length = 0;  // S as the entry declares it
    bool signature_outside = false;
    // The payload, which the signature covers; empty with payload_outside set when the header's
    // lengths do not fit the image.
    std::span<const std::uint8_t> payload;
    bool payload_outside = false;
};

ImageSignature imgsign_find_signature(std::span<const std::uint8_t> image);

// SHA-256 of the payload into digest (zeroed first). Library status, 0 on success.
std::int32_t imgsign_payload_digest(const ImageSignature& found, ImageDigest& digest,
                                    std::uint32_t& digest_length);

// 0 when the signature verifies the digest with the PEM public key, else a negative status. A
// signature that runs past the image is never handed to the library and fails.
std::int32_t imgsign_verify_digest(const ImageSignature& found, const ImageDigest& digest,
                                   std::uint32_t digest_length,
                                   std::span<const std::uint8_t> key_text);

// Both steps: 0 when the key verifies the image's signature, else a negative status.
std::int32_t imgsign_check_with_key(const ImageSignature& found,
                                    std::span<const std::uint8_t> key_text);
