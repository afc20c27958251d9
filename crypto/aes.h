// AES (128/192/256-bit keys) in CBC mode over whole 16-byte blocks, in place.
#pragma once

#include <cstdint>

struct AESCtx;

// A new context for one direction (encrypt non-zero: encryption), or null.
AESCtx* CreateAESCtx(const std::uint8_t* key, std::int32_t keyLength, std::int32_t encrypt);
// Zeroes and frees *ctx and sets it to null; returns 0.
std::int32_t DeleteAESCtx(AESCtx** ctx);
// Transforms length bytes in place; iv (16 bytes) is updated to continue the CBC chain.
std::int32_t DoAES(AESCtx* ctx, std::uint8_t* data, std::int32_t length, std::int32_t encrypt,
                   std::uint8_t* iv);
