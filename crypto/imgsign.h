// The narrow face of the cryptographic library towards image security: library start-up,
// SHA-256 of a buffer, public-key decoding and RSA PKCS#1 v1.5 signature verification.
// Statuses: 0 success, negative failure (see crypto/status.h).
#pragma once

#include <cstdint>

#include "crypto/keyobject.h"

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
