#include "crypto/digest.h"

#include <cstring>

#include "crypto/status.h"
#include "platform/byte_order.h"

using namespace crypto_status;

namespace {

// Zeroing that the optimiser may not drop although the memory is dead afterwards.
void wipe(void* p, std::size_t n) {
    auto* volatile bytes = static_cast<volatile std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = 0;
}

constexpr std::uint32_t K256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

// The nested forms need one register copy less than three separate rotations on machines whose
// rotate overwrites its operand: big_sigma1(e) = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25) and
// big_sigma0(a) = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22).
constexpr std::uint32_t big_sigma1(std::uint32_t e) {
    return rotr(e ^ rotr(e ^ rotr(e, 14), 5), 6);
}
constexpr std::uint32_t big_sigma0(std::uint32_t a) {
    return rotr(a ^ rotr(a ^ rotr(a, 9), 11), 2);
}

// The 64 rounds with the message schedule kept in a 16-word ring, the eight working variables
// renamed from round to round instead of shifted. Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)), and
// this round's a ^ b is the next round's b ^ c, so each round computes one of the two (in bc).
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i, w)                             \
    do {                                                                       \
        const std::uint32_t t1 =                                               \
            (h) + big_sigma1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + K256[i] + (w); \
        const std::uint32_t ab = (a) ^ (b);                                    \
        (h) = big_sigma0(a) + ((b) ^ (ab & bc));                               \
        bc = ab;                                                               \
        (d) += t1;                                                             \
        (h) += t1;                                                             \
    } while (0)

#define SHA256_SCHEDULE(W, i)                                           \
    ((W)[(i)&15] +=                                                     \
     (rotr((W)[((i) + 14) & 15], 17) ^ rotr((W)[((i) + 14) & 15], 19) ^ \
      ((W)[((i) + 14) & 15] >> 10)) +                                   \
     (W)[((i) + 9) & 15] +                                              \
     (rotr((W)[((i) + 1) & 15], 7) ^ rotr((W)[((i) + 1) & 15], 18) ^ ((W)[((i) + 1) & 15] >> 3)))

void sha256_compress(std::uint32_t* state, const std::uint8_t* p, std::size_t blocks) {
    std::uint32_t W[16];
    while (blocks-- > 0) {
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint32_t bc = b ^ c;
        for (int i = 0; i < 16; ++i) W[i] = be::load32(p + 4 * i);
            // Fully unrolled, every ring index is a constant: no index arithmetic in the rounds.
#pragma GCC unroll 2
        for (int i = 0; i < 16; i += 8) {
            SHA256_ROUND(a, b, c, d, e, f, g, h, i + 0, W[i + 0]);
            SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1, W[i + 1]);
            SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2, W[i + 2]);
            SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3, W[i + 3]);
            SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4, W[i + 4]);
            SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5, W[i + 5]);
            SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6, W[i + 6]);
            SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7, W[i + 7]);
        }
#pragma GCC unroll 6
        for (int i = 16; i < 64; i += 8) {
            SHA256_ROUND(a, b, c, d, e, f, g, h, i + 0, SHA256_SCHEDULE(W, i + 0));
            SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1, SHA256_SCHEDULE(W, i + 1));
            SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2, SHA256_SCHEDULE(W, i + 2));
            SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3, SHA256_SCHEDULE(W, i + 3));
            SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4, SHA256_SCHEDULE(W, i + 4));
            SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5, SHA256_SCHEDULE(W, i + 5));
            SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6, SHA256_SCHEDULE(W, i + 6));
            SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7, SHA256_SCHEDULE(W, i + 7));
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
        p += 64;
    }
    wipe(W, sizeof W);
}

constexpr std::uint64_t K512[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

constexpr std::uint64_t rotr64(std::uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

std::uint64_t load64(const std::uint8_t* p) {
    return (std::uint64_t{be::load32(p)} << 32) | be::load32(p + 4);
}

void store64(std::uint8_t* p, std::uint64_t v) {
    be::store32(p, static_cast<std::uint32_t>(v >> 32));
    be::store32(p + 4, static_cast<std::uint32_t>(v));
}

void sha512_compress(std::uint64_t* state, const std::uint8_t* p, std::size_t blocks) {
    std::uint64_t W[80];
    while (blocks-- > 0) {
        for (int i = 0; i < 16; ++i) W[i] = load64(p + 8 * i);
        for (int i = 16; i < 80; ++i) {
            const std::uint64_t s0 = rotr64(W[i - 15], 1) ^ rotr64(W[i - 15], 8) ^ (W[i - 15] >> 7);
            const std::uint64_t s1 = rotr64(W[i - 2], 19) ^ rotr64(W[i - 2], 61) ^ (W[i - 2] >> 6);
            W[i] = W[i - 16] + s0 + W[i - 7] + s1;
        }
        std::uint64_t v[8];
        for (int i = 0; i < 8; ++i) v[i] = state[i];
        for (int i = 0; i < 80; ++i) {
            const std::uint64_t t1 = v[7] +
                                     (rotr64(v[4], 14) ^ rotr64(v[4], 18) ^ rotr64(v[4], 41)) +
                                     (v[6] ^ (v[4] & (v[5] ^ v[6]))) + K512[i] + W[i];
            const std::uint64_t t2 = (rotr64(v[0], 28) ^ rotr64(v[0], 34) ^ rotr64(v[0], 39)) +
                                     ((v[0] & v[1]) | (v[2] & (v[0] | v[1])));
            v[7] = v[6];
            v[6] = v[5];
            v[5] = v[4];
            v[4] = v[3] + t1;
            v[3] = v[2];
            v[2] = v[1];
            v[1] = v[0];
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) state[i] += v[i];
        p += 128;
    }
    wipe(W, sizeof W);
}

}  // namespace

void SHA256_init(Sha256Ctx* ctx) {
    static constexpr std::uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(ctx->state, iv, sizeof iv);
    ctx->count[0] = ctx->count[1] = 0;
    ctx->fill = 0;
}

void SHA224_init(Sha256Ctx* ctx) {
    static constexpr std::uint32_t iv[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                            0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
    std::memcpy(ctx->state, iv, sizeof iv);
    ctx->count[0] = ctx->count[1] = 0;
    ctx->fill = 0;
}

void SHA256_update(Sha256Ctx* ctx, const std::uint8_t* data, std::uint32_t length) {
    if (length == 0) return;
    const std::uint32_t low = ctx->count[1] + length;
    if (low < ctx->count[1]) ++ctx->count[0];
    ctx->count[1] = low;
    if (ctx->fill > 0) {
        const std::uint32_t room = 64 - static_cast<std::uint32_t>(ctx->fill);
        const std::uint32_t take = length < room ? length : room;
        std::memcpy(ctx->block + ctx->fill, data, take);
        ctx->fill += static_cast<std::int32_t>(take);
        data += take;
        length -= take;
        if (ctx->fill < 64) return;
        sha256_compress(ctx->state, ctx->block, 1);
        ctx->fill = 0;
    }
    if (length >= 64) {
        sha256_compress(ctx->state, data, length / 64);
        data += length & ~63u;
        length &= 63u;
    }
    if (length > 0) {
        std::memcpy(ctx->block, data, length);
        ctx->fill = static_cast<std::int32_t>(length);
    }
}

void SHA256_final(Sha256Ctx* ctx, std::uint8_t* digest, std::uint32_t digestBytes) {
    const std::uint32_t bitsHigh = (ctx->count[0] << 3) | (ctx->count[1] >> 29);
    const std::uint32_t bitsLow = ctx->count[1] << 3;
    std::uint32_t fill = static_cast<std::uint32_t>(ctx->fill);
    ctx->block[fill++] = 0x80;
    if (fill > 56) {
        std::memset(ctx->block + fill, 0, 64 - fill);
        sha256_compress(ctx->state, ctx->block, 1);
        fill = 0;
    }
    std::memset(ctx->block + fill, 0, 56 - fill);
    be::store32(ctx->block + 56, bitsHigh);
    be::store32(ctx->block + 60, bitsLow);
    sha256_compress(ctx->state, ctx->block, 1);
    std::uint8_t out[32];
    for (int i = 0; i < 8; ++i) be::store32(out + 4 * i, ctx->state[i]);
    std::memcpy(digest, out, digestBytes);
    wipe(out, sizeof out);
    wipe(ctx, sizeof *ctx);
}

void SHA512_init(Sha512Ctx* ctx) {
    static constexpr std::uint64_t iv[8] = {
        0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
        0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
    std::memcpy(ctx->state, iv, sizeof iv);
    ctx->count[0] = ctx->count[1] = 0;
    ctx->fill = 0;
}

void SHA384_init(Sha512Ctx* ctx) {
    static constexpr std::uint64_t iv[8] = {
        0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
        0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
    std::memcpy(ctx->state, iv, sizeof iv);
    ctx->count[0] = ctx->count[1] = 0;
    ctx->fill = 0;
}

void SHA512_update(Sha512Ctx* ctx, const std::uint8_t* data, std::uint32_t length) {
    if (length == 0) return;
    const std::uint64_t low = ctx->count[1] + length;
    if (low < ctx->count[1]) ++ctx->count[0];
    ctx->count[1] = low;
    if (ctx->fill > 0) {
        const std::uint32_t room = 128 - static_cast<std::uint32_t>(ctx->fill);
        const std::uint32_t take = length < room ? length : room;
        std::memcpy(ctx->block + ctx->fill, data, take);
        ctx->fill += static_cast<std::int32_t>(take);
        data += take;
        length -= take;
        if (ctx->fill < 128) return;
        sha512_compress(ctx->state, ctx->block, 1);
        ctx->fill = 0;
    }
    if (length >= 128) {
        sha512_compress(ctx->state, data, length / 128);
        data += length & ~127u;
        length &= 127u;
    }
    if (length > 0) {
        std::memcpy(ctx->block, data, length);
        ctx->fill = static_cast<std::int32_t>(length);
    }
}

void SHA512_final(Sha512Ctx* ctx, std::uint8_t* digest, std::uint32_t digestBytes) {
    const std::uint64_t bitsHigh = (ctx->count[0] << 3) | (ctx->count[1] >> 61);
    const std::uint64_t bitsLow = ctx->count[1] << 3;
    std::uint32_t fill = static_cast<std::uint32_t>(ctx->fill);
    ctx->block[fill++] = 0x80;
    if (fill > 112) {
        std::memset(ctx->block + fill, 0, 128 - fill);
        sha512_compress(ctx->state, ctx->block, 1);
        fill = 0;
    }
    std::memset(ctx->block + fill, 0, 112 - fill);
    store64(ctx->block + 112, bitsHigh);
    store64(ctx->block + 120, bitsLow);
    sha512_compress(ctx->state, ctx->block, 1);
    std::uint8_t out[64];
    for (int i = 0; i < 8; ++i) store64(out + 8 * i, ctx->state[i]);
    std::memcpy(digest, out, digestBytes);
    wipe(out, sizeof out);
    wipe(ctx, sizeof *ctx);
}

std::int32_t SHA256_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest) {
    Sha256Ctx ctx;
    SHA256_init(&ctx);
    SHA256_update(&ctx, data, length);
    SHA256_final(&ctx, digest, 32);
    return OK;
}

std::int32_t SHA224_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest) {
    Sha256Ctx ctx;
    SHA224_init(&ctx);
    SHA256_update(&ctx, data, length);
    SHA256_final(&ctx, digest, 28);
    return OK;
}

std::int32_t SHA512_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest) {
    Sha512Ctx ctx;
    SHA512_init(&ctx);
    SHA512_update(&ctx, data, length);
    SHA512_final(&ctx, digest, 64);
    return OK;
}

std::int32_t SHA384_completeDigest(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest) {
    Sha512Ctx ctx;
    SHA384_init(&ctx);
    SHA512_update(&ctx, data, length);
    SHA512_final(&ctx, digest, 48);
    return OK;
}

namespace {

struct DigestEntry {
    std::int32_t algorithm;
    std::uint32_t length;
    std::int32_t (*compute)(const std::uint8_t*, std::uint32_t, std::uint8_t*);
};

// MD5 and SHA-1 are refused as weak: nothing in this system may accept a signature over them.
constexpr DigestEntry kDigests[] = {
    {DIGEST_SHA256, 32, SHA256_completeDigest},
    {DIGEST_SHA384, 48, SHA384_completeDigest},
    {DIGEST_SHA512, 64, SHA512_completeDigest},
    {DIGEST_SHA224, 28, SHA224_completeDigest},
};

}  // namespace

std::int32_t DIGEST_computeByAlgorithm(const std::uint8_t* data, std::uint32_t length,
                                       std::uint8_t* digest, std::uint32_t* digestLength,
                                       std::int32_t algorithm) {
    if (data == nullptr || digest == nullptr || digestLength == nullptr) return ERR_NULL_POINTER;
    std::memset(digest, 0, DIGEST_MAX_LENGTH);
    for (const DigestEntry& entry : kDigests) {
        if (entry.algorithm != algorithm) continue;
        *digestLength = entry.length;
        return entry.compute(data, length, digest);
    }
    return ERR_BAD_DIGEST_ALGORITHM;
}
