// AES (128/192/256-bit keys) in CBC mode over whole 16-byte blocks, in place.
#pragma once

#include <cstdint>

inline constexpr std::int32_t AES_MODE_ECB = 1;
inline constexpr std::int32_t AES_MODE_CBC = 2;
inline constexpr int AES_MAX_ROUND_KEY_WORDS = 60;

// One expanded key for one direction. Words are big-endian: byte 0 of a key or block is the most
// significant byte of the first word.
struct AESCtx {
    std::int32_t encrypt;  // 1: roundKeys is the encryption schedule; 0: the decryption schedule
    std::int32_t mode;     // AES_MODE_ECB or AES_MODE_CBC
    std::int32_t keyBits;  // 128, 192 or 256
    std::int32_t rounds;   // 10, 12 or 14
    std::uint32_t roundKeys[AES_MAX_ROUND_KEY_WORDS];
    std::uint32_t encRoundKeys[AES_MAX_ROUND_KEY_WORDS];
};

// A new context for one direction (encrypt non-zero: encryption), or null.
AESCtx* CreateAESCtx(const std::uint8_t* key, std::int32_t keyLength, std::int32_t encrypt);
// Zeroes and frees *ctx and sets it to null; returns 0.
std::int32_t DeleteAESCtx(AESCtx** ctx);
// Transforms length bytes in place; iv (16 bytes) is updated to continue the CBC chain.
std::int32_t DoAES(AESCtx* ctx, std::uint8_t* data, std::int32_t length, std::int32_t encrypt,
                   std::uint8_t* iv);

// The layers under DoAES, in calling order.
std::int32_t AES_initKey(AESCtx* ctx, std::int32_t keyBits, const std::uint8_t* key,
                         std::int32_t encrypt, std::int32_t mode);
int AES_keySetupEnc(std::uint32_t* roundKeys, const std::uint8_t* key, std::int32_t keyBits);
int AES_keySetupDec(std::uint32_t* roundKeys, const std::uint8_t* key, std::int32_t keyBits);
// Lengths in bits; outputBits receives the bits processed (whole 128-bit blocks).
std::int32_t AES_blockEncrypt(AESCtx* ctx, std::uint8_t* iv, const std::uint8_t* input,
                              std::int32_t inputBits, std::uint8_t* output,
                              std::int32_t* outputBits);
std::int32_t AES_blockDecrypt(AESCtx* ctx, std::uint8_t* iv, const std::uint8_t* input,
                              std::int32_t inputBits, std::uint8_t* output,
                              std::int32_t* outputBits);
void AES_encryptBlock(const std::uint32_t* roundKeys, int rounds, const std::uint8_t in[16],
                      std::uint8_t out[16]);
void AES_decryptBlock(const std::uint32_t* roundKeys, int rounds, const std::uint8_t in[16],
                      std::uint8_t out[16]);
