// RSA keys and the one RSA operation of the image path: the public operation on a signature, the
// PKCS#1 v1.5 (RSASSA-PKCS1-v1_5) block type 1 check and the decoding of its DigestInfo.
#pragma once

#include <cstdint>

#include "crypto/crypto_platform.h"
#include "crypto/vlong.h"

inline constexpr std::uint32_t RSA_MAX_MODULUS_BYTES = 512;

struct RsaKey {
    std::int32_t privateKey;  // 0: public values only; 1: the private values are present
    vlong* e;
    vlong* n;
    // Private values, in the order of an RSAPrivateKey; absent (null) in a public key.
    vlong* d;
    vlong* p;
    vlong* q;
    vlong* dp;
    vlong* dq;
    vlong* qinv;
    CryptoMutex lock;
};

// A zero-filled record with its lock; -6101 when memory runs out.
std::int32_t RSA_createKey(RsaKey** key);
// Frees every value, the lock and the record; *key becomes null.
std::int32_t RSA_freeKey(RsaKey** key);
// A new record with copies of every value of key.
std::int32_t RSA_cloneKey(const RsaKey* key, RsaKey** copy);

std::int32_t RSA_loadPublicValues(RsaKey* key, std::uint32_t e, const std::uint8_t* modulusBytes,
                                  std::uint32_t modulusLength);
std::int32_t RSA_modulusByteLength(const RsaKey* key, std::int32_t* length);

// signature holds exactly the modulus length k in bytes, output room for k bytes; its value must
// be below the modulus (else -7702). On success the bytes after the padding are at the start of
// output and *outputLength is their count.
std::int32_t RSA_publicOpType1(const RsaKey* key, const std::uint8_t* signature,
                               std::uint8_t* output, std::uint32_t* outputLength);

// digest: 64 bytes; receives the digest carried in the signature, its length and its digest
// algorithm number (crypto/digest.h). The bytes after the padding must be exactly the DER
// DigestInfo of one of the known digest algorithms, with NULL parameters or none.
std::int32_t RSA_extractSignedDigest(const RsaKey* key, const std::uint8_t* signature,
                                     std::uint32_t signatureLength, std::uint8_t* digest,
                                     std::uint32_t* digestLength, std::int32_t* algorithm);
