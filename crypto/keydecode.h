// Public-key decoding: PEM armour and Base64, and the key blob through which every key
// conversion passes (DER, read by crypto/der.h -> key blob -> KeyObject).
#pragma once

#include <cstdint>

struct KeyObject;

// Base64 (RFC 4648 alphabet). The table is built once by CRYPTO_LIB_initialize.
std::int32_t BASE64_buildTable();
std::int32_t BASE64_freeTable();
// New buffer of the decoded bytes (free with CRYPTO_free). -6501 bad length or character,
// -6502 table not built.
std::int32_t BASE64_decodeText(const std::uint8_t* text, std::uint32_t length,
                               std::uint8_t** output, std::uint32_t* outputLength);

// PEM text -> new DER buffer (free with CRYPTO_free). Armour lines are dropped unread.
std::int32_t PEM_stripToDer(const std::uint8_t* text, std::uint32_t length, std::uint8_t** der,
                            std::uint32_t* derLength);

// DER (SubjectPublicKeyInfo, RSAPublicKey or RSAPrivateKey) -> new key blob (free with
// CRYPTO_free).
std::int32_t KEYBLOB_buildFromDer(const std::uint8_t* der, std::uint32_t length,
                                  std::uint8_t** blob, std::uint32_t* blobLength);
// KeyObject -> new key blob; -7403 for a key type that has no blob form here.
std::int32_t KEYBLOB_fromKey(const KeyObject* key, std::uint8_t** blob, std::uint32_t* blobLength);
// Releases what keyObject held and fills it from the blob.
std::int32_t KEYBLOB_readIntoKey(const std::uint8_t* blob, std::uint32_t length,
                                 KeyObject* keyObject);
