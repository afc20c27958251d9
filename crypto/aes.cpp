#include "crypto/aes.h"

#include <array>
#include <cstring>

#include "crypto/crypto_platform.h"
#include "crypto/status.h"
#include "platform/byte_order.h"

using namespace crypto_status;

namespace {

// The tables are derived from the field arithmetic at compile time rather than typed in, so a
// mistyped entry cannot exist.
constexpr std::uint8_t xtime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t r = 0;
    while (b != 0) {
        if (b & 1) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr std::array<std::uint8_t, 256> make_sbox() {
    // Inverses through powers of the generator 3, so that every compiler can evaluate the table
    // within its constant-evaluation budget: x = 3^k has the inverse 3^(255 - k); 0 maps to 0.
    std::array<std::uint8_t, 256> power{};
    std::array<int, 256> log{};
    std::uint8_t g = 1;
    for (int k = 0; k < 255; ++k) {
        power[k] = g;
        log[g] = k;
        g = gmul(g, 3);
    }
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t b = x == 0 ? 0 : power[(255 - log[x]) % 255];
        std::uint8_t r = b;
        for (int i = 1; i <= 4; ++i) r ^= static_cast<std::uint8_t>((b << i) | (b >> (8 - i)));
        s[x] = static_cast<std::uint8_t>(r ^ 0x63);
    }
    return s;
}

constexpr std::array<std::uint8_t, 256> kSbox = make_sbox();
static_assert(kSbox[0x00] == 0x63 && kSbox[0x01] == 0x7C && kSbox[0x53] == 0xED &&
              kSbox[0xFF] == 0x16);

constexpr std::array<std::uint8_t, 256> make_inv_sbox() {
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) s[kSbox[x]] = static_cast<std::uint8_t>(x);
    return s;
}

constexpr std::array<std::uint8_t, 256> kInvSbox = make_inv_sbox();

constexpr std::uint32_t word(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

constexpr std::uint32_t ror8(std::uint32_t x, int bytes) {
    return bytes == 0 ? x : (x >> (8 * bytes)) | (x << (32 - 8 * bytes));
}

using Table = std::array<std::uint32_t, 256>;
using Tables = std::array<Table, 4>;

// Te[k][x]: S-box then MixColumns column for input byte x in row k.
constexpr Tables make_te() {
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = kSbox[x];
        const std::uint32_t w = word(gmul(s, 2), s, s, gmul(s, 3));
        for (int k = 0; k < 4; ++k) t[k][x] = ror8(w, k);
    }
    return t;
}

constexpr Tables make_td() {
    Tables t{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = kInvSbox[x];
        const std::uint32_t w = word(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11));
        for (int k = 0; k < 4; ++k) t[k][x] = ror8(w, k);
    }
    return t;
}

// The S-boxes spread over words (the byte in every lane) for the final rounds and key schedules.
constexpr Table make_spread(const std::array<std::uint8_t, 256>& box) {
    Table t{};
    for (int x = 0; x < 256; ++x) t[x] = word(box[x], box[x], box[x], box[x]);
    return t;
}

constexpr Tables kTe = make_te();
constexpr Tables kTd = make_td();
constexpr Table kTe4 = make_spread(kSbox);
constexpr Table kTd4 = make_spread(kInvSbox);

constexpr std::uint32_t kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                                     0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000};

inline std::uint8_t b0(std::uint32_t x) {
    return static_cast<std::uint8_t>(x >> 24);
}
inline std::uint8_t b1(std::uint32_t x) {
    return static_cast<std::uint8_t>(x >> 16);
}
inline std::uint8_t b2(std::uint32_t x) {
    return static_cast<std::uint8_t>(x >> 8);
}
inline std::uint8_t b3(std::uint32_t x) {
    return static_cast<std::uint8_t>(x);
}

// InvMixColumns of one word, through Td(S(x)) = InvMixColumns(x).
inline std::uint32_t inv_mix(std::uint32_t w) {
    return kTd[0][kSbox[b0(w)]] ^ kTd[1][kSbox[b1(w)]] ^ kTd[2][kSbox[b2(w)]] ^
           kTd[3][kSbox[b3(w)]];
}

bool aligned4(const void* p) {
    return (reinterpret_cast<std::uintptr_t>(p) & 3) == 0;
}

// XOR of 16 bytes into dst; a word at a time when both are 4-byte aligned.
inline void xor16(std::uint8_t* dst, const std::uint8_t* src) {
    if (aligned4(dst) && aligned4(src)) {
        std::uint32_t a[4], b[4];
        std::memcpy(a, dst, 16);
        std::memcpy(b, src, 16);
        for (int i = 0; i < 4; ++i) a[i] ^= b[i];
        std::memcpy(dst, a, 16);
    } else {
        for (int i = 0; i < 16; ++i) dst[i] ^= src[i];
    }
}

}  // namespace

int AES_keySetupEnc(std::uint32_t* rk, const std::uint8_t* key, std::int32_t keyBits) {
    const int nk = keyBits / 32;
    const int rounds = nk + 6;
    const int total = 4 * (rounds + 1);
    for (int i = 0; i < nk; ++i) rk[i] = be::load32(key + 4 * i);
    for (int i = nk; i < total; ++i) {
        std::uint32_t t = rk[i - 1];
        if (i % nk == 0) {
            t = (kTe4[b1(t)] & 0xFF000000) ^ (kTe4[b2(t)] & 0x00FF0000) ^
                (kTe4[b3(t)] & 0x0000FF00) ^ (kTe4[b0(t)] & 0x000000FF) ^ kRcon[i / nk - 1];
        } else if (nk > 6 && i % nk == 4) {
            t = (kTe4[b0(t)] & 0xFF000000) ^ (kTe4[b1(t)] & 0x00FF0000) ^
                (kTe4[b2(t)] & 0x0000FF00) ^ (kTe4[b3(t)] & 0x000000FF);
        }
        rk[i] = rk[i - nk] ^ t;
    }
    return rounds;
}

int AES_keySetupDec(std::uint32_t* rk, const std::uint8_t* key, std::int32_t keyBits) {
    const int rounds = AES_keySetupEnc(rk, key, keyBits);
    for (int i = 0, j = 4 * rounds; i < j; i += 4, j -= 4) {
        for (int k = 0; k < 4; ++k) {
            const std::uint32_t t = rk[i + k];
            rk[i + k] = rk[j + k];
            rk[j + k] = t;
        }
    }
    for (int i = 4; i < 4 * rounds; ++i) rk[i] = inv_mix(rk[i]);
    return rounds;
}

void AES_encryptBlock(const std::uint32_t* rk, int rounds, const std::uint8_t in[16],
                      std::uint8_t out[16]) {
    std::uint32_t s0 = be::load32(in) ^ rk[0];
    std::uint32_t s1 = be::load32(in + 4) ^ rk[1];
    std::uint32_t s2 = be::load32(in + 8) ^ rk[2];
    std::uint32_t s3 = be::load32(in + 12) ^ rk[3];
    const auto& T0 = kTe[0];
    const auto& T1 = kTe[1];
    const auto& T2 = kTe[2];
    const auto& T3 = kTe[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        const std::uint32_t t0 = T0[b0(s0)] ^ T1[b1(s1)] ^ T2[b2(s2)] ^ T3[b3(s3)] ^ rk[0];
        const std::uint32_t t1 = T0[b0(s1)] ^ T1[b1(s2)] ^ T2[b2(s3)] ^ T3[b3(s0)] ^ rk[1];
        const std::uint32_t t2 = T0[b0(s2)] ^ T1[b1(s3)] ^ T2[b2(s0)] ^ T3[b3(s1)] ^ rk[2];
        const std::uint32_t t3 = T0[b0(s3)] ^ T1[b1(s0)] ^ T2[b2(s1)] ^ T3[b3(s2)] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                          std::uint32_t k) {
        return (kTe4[b0(a)] & 0xFF000000) ^ (kTe4[b1(b)] & 0x00FF0000) ^
               (kTe4[b2(c)] & 0x0000FF00) ^ (kTe4[b3(d)] & 0x000000FF) ^ k;
    };
    be::store32(out, last(s0, s1, s2, s3, rk[0]));
    be::store32(out + 4, last(s1, s2, s3, s0, rk[1]));
    be::store32(out + 8, last(s2, s3, s0, s1, rk[2]));
    be::store32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void AES_decryptBlock(const std::uint32_t* rk, int rounds, const std::uint8_t in[16],
                      std::uint8_t out[16]) {
    std::uint32_t s0 = be::load32(in) ^ rk[0];
    std::uint32_t s1 = be::load32(in + 4) ^ rk[1];
    std::uint32_t s2 = be::load32(in + 8) ^ rk[2];
    std::uint32_t s3 = be::load32(in + 12) ^ rk[3];
    const auto& T0 = kTd[0];
    const auto& T1 = kTd[1];
    const auto& T2 = kTd[2];
    const auto& T3 = kTd[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        const std::uint32_t t0 = T0[b0(s0)] ^ T1[b1(s3)] ^ T2[b2(s2)] ^ T3[b3(s1)] ^ rk[0];
        const std::uint32_t t1 = T0[b0(s1)] ^ T1[b1(s0)] ^ T2[b2(s3)] ^ T3[b3(s2)] ^ rk[1];
        const std::uint32_t t2 = T0[b0(s2)] ^ T1[b1(s1)] ^ T2[b2(s0)] ^ T3[b3(s3)] ^ rk[2];
        const std::uint32_t t3 = T0[b0(s3)] ^ T1[b1(s2)] ^ T2[b2(s1)] ^ T3[b3(s0)] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                          std::uint32_t k) {
        return (kTd4[b0(a)] & 0xFF000000) ^ (kTd4[b1(b)] & 0x00FF0000) ^
               (kTd4[b2(c)] & 0x0000FF00) ^ (kTd4[b3(d)] & 0x000000FF) ^ k;
    };
    be::store32(out, last(s0, s3, s2, s1, rk[0]));
    be::store32(out + 4, last(s1, s0, s3, s2, rk[1]));
    be::store32(out + 8, last(s2, s1, s0, s3, rk[2]));
    be::store32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

std::int32_t AES_initKey(AESCtx* ctx, std::int32_t keyBits, const std::uint8_t* key,
                         std::int32_t encrypt, std::int32_t mode) {
    if (ctx == nullptr || key == nullptr) return ERR_NULL_POINTER;
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return ERR_AES_BAD_KEY_SIZE;
    ctx->mode = mode;
    ctx->keyBits = keyBits;
    ctx->encrypt = encrypt;
    ctx->rounds = encrypt == 1 ? AES_keySetupEnc(ctx->roundKeys, key, keyBits)
                               : AES_keySetupDec(ctx->roundKeys, key, keyBits);
    AES_keySetupEnc(ctx->encRoundKeys, key, keyBits);
    return OK;
}

std::int32_t AES_blockEncrypt(AESCtx* ctx, std::uint8_t* iv, const std::uint8_t* input,
                              std::int32_t inputBits, std::uint8_t* output,
                              std::int32_t* outputBits) {
    if (ctx == nullptr || input == nullptr) return ERR_NULL_POINTER;
    if (ctx->encrypt == 0) return ERR_AES_BAD_DIRECTION;
    if (inputBits < 1) {
        if (outputBits != nullptr) *outputBits = 0;
        return OK;
    }
    const std::int32_t blocks = inputBits / 128;
    if (ctx->mode == AES_MODE_ECB) {
        for (std::int32_t i = 0; i < blocks; ++i)
            AES_encryptBlock(ctx->roundKeys, ctx->rounds, input + 16 * i, output + 16 * i);
    } else if (ctx->mode == AES_MODE_CBC) {
        if (iv == nullptr) return ERR_NULL_POINTER;
        for (std::int32_t i = 0; i < blocks; ++i) {
            std::uint8_t block[16];
            std::memcpy(block, input + 16 * i, 16);
            xor16(block, iv);
            AES_encryptBlock(ctx->roundKeys, ctx->rounds, block, output + 16 * i);
            std::memcpy(iv, output + 16 * i, 16);
        }
    } else {
        return ERR_AES_BAD_MODE;
    }
    if (outputBits != nullptr) *outputBits = blocks * 128;
    return OK;
}

std::int32_t AES_blockDecrypt(AESCtx* ctx, std::uint8_t* iv, const std::uint8_t* input,
                              std::int32_t inputBits, std::uint8_t* output,
                              std::int32_t* outputBits) {
    if (ctx == nullptr || input == nullptr) return ERR_NULL_POINTER;
    if (ctx->encrypt == 1) return ERR_AES_BAD_DIRECTION;
    const std::int32_t blocks = inputBits > 0 ? inputBits / 128 : 0;
    if (ctx->mode == AES_MODE_ECB) {
        for (std::int32_t i = 0; i < blocks; ++i)
            AES_decryptBlock(ctx->roundKeys, ctx->rounds, input + 16 * i, output + 16 * i);
    } else if (ctx->mode == AES_MODE_CBC) {
        if (iv == nullptr && blocks > 0) return ERR_NULL_POINTER;
        for (std::int32_t i = 0; i < blocks; ++i) {
            std::uint8_t plain[16];
            AES_decryptBlock(ctx->roundKeys, ctx->rounds, input + 16 * i, plain);
            xor16(plain, iv);
            // The vector takes the ciphertext before the output overwrites it (in place).
            std::memcpy(iv, input + 16 * i, 16);
            std::memcpy(output + 16 * i, plain, 16);
        }
    } else {
        if (outputBits != nullptr) *outputBits = blocks * 128;
        return ERR_AES_BAD_DIRECTION;
    }
    if (outputBits != nullptr) *outputBits = blocks * 128;
    return OK;
}

AESCtx* CreateAESCtx(const std::uint8_t* key, std::int32_t keyLength, std::int32_t encrypt) {
    if (key == nullptr || keyLength < 0 || keyLength > 32) return nullptr;
    auto* ctx = static_cast<AESCtx*>(CRYPTO_malloc(sizeof(AESCtx)));
    if (ctx == nullptr) return nullptr;
    std::memset(ctx, 0, sizeof *ctx);
    if (AES_initKey(ctx, keyLength * 8, key, encrypt, AES_MODE_CBC) < 0) {
        std::memset(ctx, 0, sizeof *ctx);
        CRYPTO_free(ctx);
        return nullptr;
    }
    return ctx;
}

std::int32_t DeleteAESCtx(AESCtx** ctx) {
    if (ctx != nullptr && *ctx != nullptr) {
        auto* volatile bytes = reinterpret_cast<volatile std::uint8_t*>(*ctx);
        for (std::size_t i = 0; i < sizeof(AESCtx); ++i) bytes[i] = 0;
        CRYPTO_free(*ctx);
        *ctx = nullptr;
    }
    return OK;
}

std::int32_t DoAES(AESCtx* ctx, std::uint8_t* data, std::int32_t length, std::int32_t encrypt,
                   std::uint8_t* iv) {
    if (length % 16 != 0) return ERR_AES_BAD_LENGTH;
    // A negative length would turn into a negative bit count below; it is no whole number of
    // blocks either. Lengths past 2^31 / 8 bits cannot be expressed in bits and are refused too.
    if (length < 0 || length > 0x0FFFFFFF) return ERR_AES_BAD_LENGTH;
    std::int32_t outBits = 0;
    const std::int32_t status = encrypt == 1
                                    ? AES_blockEncrypt(ctx, iv, data, length * 8, data, &outBits)
                                    : AES_blockDecrypt(ctx, iv, data, length * 8, data, &outBits);
    if (status < 0) {
        if (DEBUG_CONSOLE_enabled(DEBUG_CATEGORY_CIPHER))
            CRYPTO_printf("DoAES: cipher failed, error = %d\r\n", static_cast<int>(status));
        return status;
    }
    return OK;
}
