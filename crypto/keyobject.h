// The key object: a typed holder of any asymmetric key, passed between key decoding, the
// signing interface and their callers.
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
