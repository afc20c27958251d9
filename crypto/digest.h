// Message digests behind one dispatcher keyed by the digest algorithm number (the last arc of the
// PKCS#1 signature algorithm identifiers). SHA-256 is the one the image path uses.
#pragma once

#include <cstdint>

inline constexpr std::int32_t DIGEST_MD2 = 2;
inline constexpr std::int32_t DIGEST_MD4 = 3;
inline constexpr std::int32_t DIGEST_MD5 = 4;
inline constexpr std::int32_t DIGEST_SHA1 = 5;
inline constexpr std::int32_t DIGEST_SHA256 = 11;
inline constexpr std::int32_t DIGEST_SHA384 = 12;
inline constexpr std::int32_t DIGEST_SHA512 = 13;
inline constexpr std::int32_t DIGEST_SHA224 = 14;
inline constexpr std::uint32_t DIGEST_MAX_LENGTH = 64;

// digest must hold 64 bytes; its first 64 bytes are zeroed before anything else. -6001 for a
// missing pointer, -7612 for a number without an implementation here (MD2, MD4, and MD5 and
// SHA-1, which are refused as weak).
std::int32_t DIGEST_computeByAlgorithm(const std::uint8_t* data, std::uint32_t length,
                                       std::uint8_t* digest, std::uint32_t* digestLength,
                                       std::int32_t algorithm);

// SHA-256 and SHA-224 (FIPS 180-4). The context lives on the caller's stack.
struct Sha256Ctx {
    std::uint32_t state[8];
    std::uint32_t count[2];  // bytes so far, high word first
    std::int32_t fill;       // bytes waiting in block
    std::uint8_t block[64];
};

void SHA256_init(Sha256Ctx* ctx);
void SHA224_init(Sha256Ctx* ctx);
// Whole blocks are compressed straight from data; only a partial block is copied.
void SHA256_update(Sha256Ctx* ctx, const std::uint8_t* data, std::uint32_t length);
// Writes digestBytes (32 or 28) bytes and zeroes the context.
void SHA256_final(Sha256Ctx* ctx, std::uint8_t* digest, std::uint32_t digestBytes);

// SHA-512 and SHA-384: same shape with 64-bit words, 128-byte blocks and a 128-bit count.
struct Sha512Ctx {
    std::uint64_t state[8];
    std::uint64_t count[2];  // bytes so far, high word first
    std::int32_t fill;
    std::uint8_t block[128];
};

void SHA512_init(Sha512Ctx* ctx);
void SHA384_init(Sha512Ctx* ctx);
void SHA512_update(Sha512Ctx* ctx, const std::uint8_t* data, std::uint32_t length);
void SHA512_final(Sha512Ctx* ctx, std::uint8_t* digest, std::uint32_t digestBytes);

// One-shot functions, (data, length, digest): the ones the dispatcher calls.
std::int32_t SHA256_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest);
std::int32_t SHA224_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest);
std::int32_t SHA512_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest);
std::int32_t SHA384_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest);
