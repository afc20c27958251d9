#include "security/image_signature.h"

#include <algorithm>

#include "crypto/imgsign.h"
#include "image/image_format.h"
#include "platform/byte_order.h"

namespace {

constexpr std::size_t ENTRY_AREA_OFFSET = 24;
constexpr std::size_t ENTRY_HEAD_LEN = 4;
constexpr std::size_t SIGNATURE_LENGTH_OFFSET = 4;
constexpr std::size_t SIGNATURE_BODY_OFFSET = 6;
// The status of a signature that cannot be handed to the library: its length matches no modulus.
constexpr std::int32_t STATUS_BAD_SIGNATURE_LENGTH = -7609;

// The library wants a pointer even for zero bytes.
constexpr std::uint8_t NOTHING = 0;
const std::uint8_t* data_or_nothing(std::span<const std::uint8_t> s) {
    return s.empty() ? &NOTHING : s.data();
}

}  // namespace

ImageSignature imgsign_find_signature(std::span<const std::uint8_t> image) {
    ImageSignature result;
    if (image.size() < IMG_PROBE_LEN) return result;
    const ImageHeader header = image_header_decode(image.first<IMG_PROBE_LEN>());
    if (header.header_version != 3) return result;
    result.version3 = true;
    const std::size_t header_len = header.header_len;
    const std::uint64_t declared_len = image_length(header);
    const auto image_end =
        static_cast<std::size_t>(std::min<std::uint64_t>(declared_len, image.size()));

    // Entry lengths come from the image: each step is checked against the header and the image
    // before anything in the entry is read, and a length of 0 cannot stall the walk.
    const std::size_t walk_end = std::min(header_len, image_end);
    std::size_t signature_entry = 0;
    for (std::size_t off = ENTRY_AREA_OFFSET; off < header_len;) {
        if (off + ENTRY_HEAD_LEN > walk_end) {
            result.damaged_entry = off;
            break;
        }
        const std::uint16_t type = be::load16(image.data() + off);
        const std::size_t length = be::load16(image.data() + off + 2);
        const bool fits = length >= ENTRY_HEAD_LEN && off + length <= walk_end;
        const bool holds_length = type != IMG_ENTRY_SIGNATURE || length >= SIGNATURE_BODY_OFFSET;
        if (!fits || !holds_length) {
            result.damaged_entry = off;
            break;
        }
        if (type == IMG_ENTRY_SIGNATURE) {
            signature_entry = off;
        }
        off += length;
    }

    if (signature_entry != 0) {
        result.found = true;
        const std::size_t s = be::load16(image.data() + signature_entry + SIGNATURE_LENGTH_OFFSET);
        const std::size_t start = signature_entry + SIGNATURE_BODY_OFFSET;
        result.signature_length = s;
        if (start + s <= image_end) {
            result.signature = image.subspan(start, s);
        } else {
            result.signature_outside = true;
        }
    }
    if (declared_len <= image.size() && header_len <= declared_len) {
        result.payload =
            image.subspan(header_len, static_cast<std::size_t>(declared_len) - header_len);
    } else {
        result.payload_outside = true;
    }
    return result;
}

std::int32_t imgsign_payload_digest(const ImageSignature& found, ImageDigest& digest,
                                    std::uint32_t& digest_length) {
    digest.fill(0);
    digest_length = 0;
    return IMGSIGN_computeSHA256(data_or_nothing(found.payload),
                                 static_cast<std::uint32_t>(found.payload.size()), digest.data(),
                                 &digest_length);
}

std::int32_t imgsign_verify_digest(const ImageSignature& found, const ImageDigest& digest,
                                   std::uint32_t digest_length,
                                   std::span<const std::uint8_t> key_text) {
    if (!found.found || found.signature_outside) {
        return STATUS_BAD_SIGNATURE_LENGTH;
    }
    return IMGSIGN_verifySignature(digest.data(), digest_length, data_or_nothing(found.signature),
                                   static_cast<std::uint32_t>(found.signature.size()),
                                   data_or_nothing(key_text),
                                   static_cast<std::uint32_t>(key_text.size()));
}

std::int32_t imgsign_check_with_key(const ImageSignature& found,
                                    std::span<const std::uint8_t> key_text) {
    if (!found.found || found.payload_outside) {
        return STATUS_BAD_SIGNATURE_LENGTH;
    }
    ImageDigest digest{};
    std::uint32_t digest_length = 0;
    if (const std::int32_t rc = imgsign_payload_digest(found, digest, digest_length); rc != 0) {
        return rc;
    }
    return imgsign_verify_digest(found, digest, digest_length, key_text);
}
