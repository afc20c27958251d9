// The narrow face of the cryptographic library towards image security: library start-up,
// SHA-256 of a buffer, public-key decoding and RSA PKCS#1 v1.5 signature verification.
// Statuses: 0 success, negative failure (see crypto/status.h).
#pragma once

#include <cstdint>

inline constexpr std::uint32_t KEY_TYPE_EMPTY = 0;
inline constexpr std::uint32_t KEY_TYPE_RSA = 1;
inline constexpr std::uint32_t KEY_TYPE_ECC = 2;
inline constexpr std::uint32_t KEY_TYPE_DSA = 3;

// Holder of any asymmetric key. Initialise before use, release after use: releasing frees the
// algorithm's record (for RSA an RsaKey, crypto/rsa.h) and sets the type back to empty.
struct KeyObject {
    std::uint32_t type;
    void* key;
};

std::int32_t KEYOBJ_init(KeyObject* key);
std::int32_t KEYOBJ_release(KeyObject* key);
// Deep copy of source into target (which is released first).
std::int32_t KEYOBJ_copy(const KeyObject* source, KeyObject* target);

// Once per process; later calls only count. Statuses of the first call: -7201 when
// "/dev/urandom" cannot be opened, -7202 on a short read from it, -6101 out of memory.
std::int32_t CRYPTO_LIB_initialize();
// Undoes one initialisation and returns the count left; at 0 the library's tables are released.
std::int32_t CRYPTO_LIB_uninitialize();
std::int32_t IMGSIGN_computeSHA256(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest, std::uint32_t* digestLength);
std::int32_t CA_MGMT_convertPublicKey(const std::uint8_t* keyText, std::uint32_t keyLength,
                                      KeyObject* key);
std::int32_t IMGSIGN_verifySignature(const std::uint8_t* digest, std::uint32_t digestLength,
                                     const std::uint8_t* signature, std::uint32_t signatureLength,
                                     const std::uint8_t* keyText, std::uint32_t keyLength);
