// RSA_extractSignedDigest with fixed keys.
//
// Random signatures almost never open to a well-formed block, so the input picks the block
// itself: byte 0 chooses the form, the rest is
//   form 0: the signature, any length, against a fixed 1024-bit key;
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
    0x9A, 0xF5, 0x57, 0x33, 0x61, 0x1F, 0x03, 0x2F, 0x28, 0x0E, 0xB2, 0xB9, 0x45, 0xC4, 0x30, 0x46,
    0x6B, 0xA3, 0x7D, 0xA4, 0x07, 0x36, 0xAC, 0x68, 0xD8, 0x37, 0x80, 0x22, 0xCE, 0x79, 0x12, 0x12,
    0xBF, 0x8E, 0x90, 0x71, 0xD2, 0x3D, 0x27, 0x44, 0xFE, 0x31, 0x64, 0xB6, 0xC1, 0x64, 0x60, 0x1A,
    0xDA, 0xE1, 0x7E, 0x7C, 0xF7, 0x06, 0x11, 0x06, 0x9A, 0x36, 0xE9, 0x57, 0x89, 0x18, 0xD2, 0x6C,
    0x46, 0xCD, 0x6D, 0x2A, 0xAB, 0x1E, 0x2C, 0x28, 0x07, 0x2E, 0xA3, 0xDB, 0x92, 0x8B, 0x67, 0x90,
    0x25, 0x99, 0x94, 0xF1, 0x0E, 0xDD, 0x85, 0x93, 0x9A, 0x3F, 0x67, 0x7B, 0xA0, 0x0B, 0x89, 0x72,
    0xD2, 0xC4, 0x97, 0x14, 0x8F, 0xE3, 0xA2, 0x99, 0x17, 0x43, 0x6B, 0x9D, 0x2A, 0x2C, 0x48, 0x9D,
    0xFF, 0xE5, 0x9F, 0xF3, 0x00, 0xDA, 0x17, 0xBB, 0x80, 0x4E, 0x96, 0x1A, 0x3A, 0x53, 0x65, 0xA5,
};
constexpr std::uint8_t kPrivateExponent[] = {
    0x49, 0x67, 0x70, 0xF0, 0x58, 0xD0, 0x7D, 0x0C, 0xA8, 0x98, 0x15, 0xD7, 0xA8, 0x11, 0xE0, 0xA0,
    0x6B, 0x3A, 0xDE, 0x38, 0x86, 0x66, 0x42, 0xD3, 0xC3, 0xA0, 0xBE, 0xE5, 0x3E, 0x13, 0xA2, 0x19,
    0x19, 0x7E, 0xEA, 0x33, 0xD0, 0xD8, 0xC1, 0x32, 0x70, 0x8B, 0x6B, 0x5F, 0x1B, 0x4B, 0x76, 0x2F,
    0x22, 0x82, 0x71, 0x0D, 0xB7, 0x62, 0xBB, 0x4B, 0xFA, 0x5F, 0x8A, 0xB7, 0xB9, 0xAC, 0xF5, 0x78,
    0x32, 0x7B, 0x0C, 0xEC, 0xC2, 0x92, 0x65, 0xFA, 0x44, 0x89, 0x35, 0x23, 0x5C, 0x6D, 0x11, 0xC1,
    0x32, 0x06, 0xCD, 0x8D, 0x7F, 0x43, 0x42, 0xFB, 0xFB, 0xED, 0x5E, 0x80, 0xE3, 0x5C, 0x2C, 0x68,
    0xE4, 0xD3, 0x3C, 0x03, 0xA5, 0xD6, 0xD8, 0xA8, 0x93, 0x58, 0x21, 0xB3, 0x0E, 0x0C, 0x28, 0x8E,
    0x09, 0x1C, 0x8A, 0x27, 0x54, 0x5A, 0xEE, 0xBE, 0x53, 0xCB, 0xE4, 0xDC, 0x9D, 0x38, 0xF2, 0x81,
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
