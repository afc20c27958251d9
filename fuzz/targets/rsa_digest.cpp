// RSA_extractSignedDigest with fixed keys.
//
// Random signatures almost never open to a well-formed block, so the input picks the block
// itself: byte 0 chooses the form, the rest is
//   form 0: the signature, any length, against a fixed 768-bit key (small enough to sign
//           fast, large enough for a SHA-512 DigestInfo);
//   form 1: the encoded block (EM), left-padded with zeros;
//   form 2: a DigestInfo placed after a correct 00 01 FF..FF 00 padding.
// For forms 1 and 2 the target signs the block with the key's private exponent through the
// library's own arithmetic, checks that the public operation gives the block back, and then
// that whatever digest is extracted is the tail of that block and of a length its algorithm has.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/crypto_platform.h"
#include "crypto/imgsign.h"
#include "crypto/rsa.h"
#include "crypto/vlong.h"
#include "fuzz/support/fuzz_platform.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Generated once for this target; used nowhere else.
constexpr std::uint8_t kModulus[] = {
    0xB4, 0x54, 0xDE, 0x7E, 0x0E, 0xBD, 0xDB, 0xC2, 0x2B, 0x74, 0xA6, 0x95, 0xCC, 0x9A, 0xE5, 0x09,
    0xD1, 0x33, 0x8F, 0x1B, 0x78, 0x31, 0x2C, 0x84, 0x7F, 0xAD, 0x55, 0x72, 0x71, 0x0D, 0x80, 0xE9,
    0x3E, 0xE9, 0xD8, 0xCE, 0x61, 0x22, 0xFB, 0x2B, 0x73, 0x0F, 0xD5, 0x3F, 0x3A, 0x67, 0x61, 0xC3,
    0x0C, 0x94, 0x48, 0x7D, 0x4C, 0x7D, 0xAB, 0xEC, 0x90, 0x61, 0xC8, 0x17, 0x4E, 0xB3, 0xAB, 0x44,
    0xE4, 0xBC, 0xAC, 0x8E, 0xD7, 0xC7, 0xCF, 0x97, 0x72, 0x4F, 0x07, 0x51, 0x06, 0x1D, 0x64, 0x41,
    0x7D, 0x94, 0xE2, 0xEF, 0xE0, 0x4B, 0x92, 0x70, 0x01, 0x8F, 0x11, 0xEC, 0x4B, 0x5E, 0xE7, 0x71,
};
constexpr std::uint8_t kPrivateExponent[] = {
    0x85, 0x91, 0x6F, 0x12, 0xF3, 0x9C, 0x50, 0xCF, 0xAB, 0x1C, 0x45, 0xDF, 0x22, 0xA3, 0x80, 0x0E,
    0x1B, 0x74, 0x13, 0x05, 0x87, 0xAA, 0xF4, 0x8C, 0x57, 0x7D, 0x6D, 0x92, 0xCC, 0x85, 0xF1, 0xFB,
    0xD1, 0x6B, 0xA7, 0xF8, 0x85, 0x1E, 0x41, 0xE7, 0xD6, 0xDB, 0xDD, 0x59, 0x6D, 0xCA, 0xF1, 0x2F,
    0x25, 0x3F, 0x01, 0xE5, 0xBF, 0x77, 0x5C, 0x87, 0x1F, 0x97, 0xCE, 0xCF, 0x47, 0xAA, 0xA0, 0x0E,
    0xE9, 0x7C, 0xC4, 0xBD, 0x0E, 0xB0, 0xB6, 0x4C, 0x88, 0x23, 0x0D, 0x86, 0xF3, 0x64, 0x14, 0xBD,
    0x38, 0xA4, 0x66, 0x08, 0x5D, 0xBF, 0x2B, 0x79, 0x44, 0x83, 0xD8, 0x92, 0xC3, 0xF2, 0x75, 0x81,
};

constexpr std::uint32_t kExponent = 65537;
constexpr std::size_t kBytes = sizeof kModulus;
constexpr std::int32_t kBadLength = -7609;

RsaKey* key = nullptr;
vlong* modulus = nullptr;
vlong* private_exponent = nullptr;
vlong* public_exponent = nullptr;

std::uint32_t digest_length_of(std::int32_t algorithm) {
    switch (algorithm) {
        case 2:
        case 3:
        case 4:
            return 16;
        case 5:
            return 20;
        case 11:
            return 32;
        case 12:
            return 48;
        case 13:
            return 64;
        case 14:
            return 28;
        case -1:
            return 0;
        default:
            return 0xFFFFFFFFu;
    }
}

// s := em ^ d mod n, as kBytes bytes; false when em is not below n.
bool sign_block(const std::uint8_t* em, std::uint8_t* signature) {
    vlong* m = nullptr;
    vlong* s = nullptr;
    vlong* back = nullptr;
    check(VLONG_fromBytes(em, static_cast<std::int32_t>(kBytes), &m, nullptr) == 0);
    const bool below = VLONG_compareMagnitudes(m, modulus) < 0;
    if (below) {
        check(VLONG_modExp(m, private_exponent, modulus, &s, nullptr) == 0);
        check(VLONG_modExp(s, public_exponent, modulus, &back, nullptr) == 0);
        check(VLONG_compareMagnitudes(back, m) == 0);
        auto length = static_cast<std::int32_t>(kBytes);
        check(VLONG_byteStringFromVlong(s, signature, &length) == 0);
    }
    VLONG_free(&m, nullptr);
    VLONG_free(&s, nullptr);
    VLONG_free(&back, nullptr);
    return below;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::platform();
    check(CRYPTO_LIB_initialize() == 0);
    check(RSA_createKey(&key) == 0);
    check(RSA_loadPublicValues(key, kExponent, kModulus, kBytes) == 0);
    check(VLONG_fromBytes(kModulus, kBytes, &modulus, nullptr) == 0);
    check(VLONG_fromBytes(kPrivateExponent, sizeof kPrivateExponent, &private_exponent, nullptr) ==
          0);
    const std::uint8_t e[] = {0x01, 0x00, 0x01};
    check(VLONG_fromBytes(e, sizeof e, &public_exponent, nullptr) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int form = data[0] % 3;
    const std::uint8_t* rest = data + 1;
    const std::size_t rest_len = size - 1;

    std::uint8_t digest[64];
    std::uint32_t digest_len = 0;
    std::int32_t algorithm = 0;
    if (form == 0) {
        const std::int32_t status = RSA_extractSignedDigest(
            key, rest, static_cast<std::uint32_t>(rest_len), digest, &digest_len, &algorithm);
        if (rest_len != kBytes) check(status == kBadLength);
        return 0;
    }

    std::uint8_t em[kBytes] = {};
    if (form == 1) {
        if (rest_len > kBytes) return 0;
        std::memcpy(em + kBytes - rest_len, rest, rest_len);
    } else {
        if (rest_len > kBytes - 11) return 0;
        em[1] = 0x01;
        std::memset(em + 2, 0xFF, kBytes - 3 - rest_len);
        std::memcpy(em + kBytes - rest_len, rest, rest_len);
    }
    std::uint8_t signature[kBytes];
    if (!sign_block(em, signature)) return 0;

    std::memset(digest, 0xA5, sizeof digest);
    const std::int32_t status =
        RSA_extractSignedDigest(key, signature, kBytes, digest, &digest_len, &algorithm);
    if (status != 0) return 0;
    check(digest_len <= sizeof digest && digest_length_of(algorithm) == digest_len);
    check(std::memcmp(digest, em + kBytes - digest_len, digest_len) == 0);
    for (std::size_t i = digest_len; i < sizeof digest; ++i) check(digest[i] == 0);
    return 0;
}
