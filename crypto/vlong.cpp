#include "crypto/vlong.h"

#include <cstring>
#include <initializer_list>

#include "crypto/crypto_platform.h"
#include "crypto/status.h"

using namespace crypto_status;

namespace {

using u32 = std::uint32_t;

// One 32 x 32 -> 64-bit word product (mullw and mulhwu on the board), split into its halves.
inline void mul32(u32 a, u32 b, u32& hi, u32& lo) {
    const std::uint64_t p = static_cast<std::uint64_t>(a) * b;
    hi = static_cast<u32>(p >> 32);
    lo = static_cast<u32>(p);
}

// Three-word column accumulator of product scanning.
struct Acc {
    u32 c0 = 0, c1 = 0, c2 = 0;
    inline void add_product(u32 a, u32 b) {
        u32 hi, lo;
        mul32(a, b, hi, lo);
        c0 += lo;
        const u32 t = hi + (c0 < lo);  // hi <= 2^32 - 2, so this cannot wrap
        c1 += t;
        c2 += (c1 < t);
    }
    inline void add(const Acc& o) {
        c0 += o.c0;
        u32 carry = c0 < o.c0;
        u32 t = o.c1 + carry;
        carry = t < carry;
        c1 += t;
        carry += c1 < t;
        c2 += o.c2 + carry;
    }
    inline void twice() {
        c2 = (c2 << 1) | (c1 >> 31);
        c1 = (c1 << 1) | (c0 >> 31);
        c0 <<= 1;
    }
    inline u32 shift_out() {
        const u32 out = c0;
        c0 = c1;
        c1 = c2;
        c2 = 0;
        return out;
    }
};

// r[0 .. na+nb) := a * b by product scanning; r must not overlap a or b.
void mul_scan(u32* r, const u32* a, u32 na, const u32* b, u32 nb) {
    Acc acc;
    const u32 columns = na + nb - 1;
    for (u32 k = 0; k < columns; ++k) {
        const u32 lo = k + 1 > nb ? k + 1 - nb : 0;
        const u32 hi = k < na - 1 ? k : na - 1;
        for (u32 i = lo; i <= hi; ++i) acc.add_product(a[i], b[k - i]);
        r[k] = acc.shift_out();
    }
    r[columns] = acc.c0;
}

// Only the low `words` words of a * b.
void mul_scan_low(u32* r, const u32* a, u32 na, const u32* b, u32 nb, u32 words) {
    Acc acc;
    for (u32 k = 0; k < words; ++k) {
        if (k >= na + nb - 1) {
            r[k] = acc.shift_out();
            continue;
        }
        const u32 lo = k + 1 > nb ? k + 1 - nb : 0;
        const u32 hi = k < na - 1 ? k : na - 1;
        for (u32 i = lo; i <= hi; ++i) acc.add_product(a[i], b[k - i]);
        r[k] = acc.shift_out();
    }
}

void sqr_scan(u32* r, const u32* a, u32 n) {
    Acc acc;
    const u32 columns = 2 * n - 1;
    for (u32 k = 0; k < columns; ++k) {
        const u32 lo = k + 1 > n ? k + 1 - n : 0;
        Acc cross;
        // Pairs i < j with i + j = k, each counted once and then doubled.
        for (u32 i = lo; 2 * i < k; ++i) cross.add_product(a[i], a[k - i]);
        cross.twice();
        acc.add(cross);
        if ((k & 1) == 0) acc.add_product(a[k / 2], a[k / 2]);
        r[k] = acc.shift_out();
    }
    r[columns] = acc.c0;
}

// The 8 x 8-word forms: constant bounds, unrolled by the compiler.
void mul8(u32* r, const u32* a, const u32* b) {
    Acc acc;
#pragma GCC unroll 16
    for (int k = 0; k < 15; ++k) {
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i)
            if (k - i >= 0 && k - i < 8) acc.add_product(a[i], b[k - i]);
        r[k] = acc.shift_out();
    }
    r[15] = acc.c0;
}

void sqr8(u32* r, const u32* a) {
    Acc acc;
#pragma GCC unroll 16
    for (int k = 0; k < 15; ++k) {
        Acc cross;
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i)
            if (i < k - i && k - i < 8) cross.add_product(a[i], a[k - i]);
        cross.twice();
        acc.add(cross);
        if ((k & 1) == 0) acc.add_product(a[k / 2], a[k / 2]);
        r[k] = acc.shift_out();
    }
    r[15] = acc.c0;
}

u32 add_n(u32* r, const u32* a, const u32* b, u32 n) {
    u32 carry = 0;
    for (u32 i = 0; i < n; ++i) {
        const u32 s = a[i] + carry;
        carry = s < carry;
        r[i] = s + b[i];
        carry += r[i] < s;
    }
    return carry;
}

u32 sub_n(u32* r, const u32* a, const u32* b, u32 n) {
    u32 borrow = 0;
    for (u32 i = 0; i < n; ++i) {
        const u32 d = a[i] - b[i];
        const u32 b1 = a[i] < b[i];
        r[i] = d - borrow;
        borrow = b1 | (d < borrow);
    }
    return borrow;
}

int cmp_n(const u32* a, const u32* b, u32 n) {
    for (u32 i = n; i-- > 0;)
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    return 0;
}

// d := |x - y| over n words; true when x < y.
bool abs_diff(u32* d, const u32* x, const u32* y, u32 n) {
    if (cmp_n(x, y, n) >= 0) {
        sub_n(d, x, y, n);
        return false;
    }
    sub_n(d, y, x, n);
    return true;
}

bool is_zero(const u32* a, u32 n) {
    for (u32 i = 0; i < n; ++i)
        if (a[i] != 0) return false;
    return true;
}

// Adds the n-word m (with an extra signed top carry) into r at words [0, n) and carries on
// through the rest of r's length.
void add_into(u32* r, u32 rlen, const u32* m, u32 n, u32 top) {
    u32 carry = add_n(r, r, m, n);
    carry += top;
    for (u32 i = n; i < rlen && carry != 0; ++i) {
        r[i] += carry;
        carry = r[i] < carry;
    }
}

// r[0 .. 2n) := a * b for n a power of two >= 16; t holds 4n scratch words. The middle term
// a0*b1 + a1*b0 is formed as z0 + z2 + (a0 - a1)(b1 - b0).
void kara_mul(u32* r, const u32* a, const u32* b, u32 n, u32* t) {
    const u32 h = n / 2;
    const u32 *a0 = a, *a1 = a + h, *b0 = b, *b1 = b + h;
    if (h == 8) {
        mul8(r, a0, b0);
        mul8(r + n, a1, b1);
    } else {
        kara_mul(r, a0, b0, h, t);
        kara_mul(r + n, a1, b1, h, t);
    }
    u32* da = t;
    u32* db = t + h;
    u32* mid = t + n;  // n words
    const bool na = abs_diff(da, a0, a1, h);
    const bool nb = abs_diff(db, b1, b0, h);
    u32* sum = t + 2 * n;  // n words; the recursion for mid uses t + 2n only before sum is formed
    const bool skip = is_zero(da, h) || is_zero(db, h);
    if (!skip) {
        if (h == 8)
            mul8(mid, da, db);
        else
            kara_mul(mid, da, db, h, t + 2 * n);
    }
    u32 top = add_n(sum, r, r + n, n);
    if (!skip) {
        if (na != nb)
            top -= sub_n(sum, sum, mid, n);
        else
            top += add_n(sum, sum, mid, n);
    }
    add_into(r + h, n + h, sum, n, top);
}

// r[0 .. 2n) := a^2 for n a power of two >= 16; middle = z0 + z2 - (a0 - a1)^2.
void kara_sqr(u32* r, const u32* a, u32 n, u32* t) {
    const u32 h = n / 2;
    const u32 *a0 = a, *a1 = a + h;
    if (h == 8) {
        sqr8(r, a0);
        sqr8(r + n, a1);
    } else {
        kara_sqr(r, a0, h, t);
        kara_sqr(r + n, a1, h, t);
    }
    u32* da = t;
    u32* mid = t + n;
    u32* sum = t + 2 * n;
    abs_diff(da, a0, a1, h);
    const bool skip = is_zero(da, h);
    if (!skip) {
        if (h == 8)
            sqr8(mid, da);
        else
            kara_sqr(mid, da, h, t + 2 * n);
    }
    u32 top = add_n(sum, r, r + n, n);
    if (!skip) top -= sub_n(sum, sum, mid, n);
    add_into(r + h, n + h, sum, n, top);
}

bool power_of_two(u32 n) {
    return (n & (n - 1)) == 0;
}

void trim(vlong* v) {
    while (v->used > 0 && v->digits[v->used - 1] == 0) --v->used;
}

void wipe_words(u32* p, u32 n) {
    volatile u32* w = p;
    for (u32 i = 0; i < n; ++i) w[i] = 0x00000067;
}

// The result words of a product and, for Karatsuba sizes, the scratch area behind them.
u32 karatsuba_scratch(u32 na, u32 nb) {
    if (na != nb || na < 16 || !power_of_two(na)) return 0;
    if (6 * na > VLONG_MAX_WORDS) return 0;  // too big for one record: product scanning instead
    return 4 * na;
}

// Raw product into r (na + nb words) with the dispatch of the family; t is the scratch.
void multiply_words(u32* r, const u32* a, u32 na, const u32* b, u32 nb, u32* t, bool square) {
    if (na != nb) {
        mul_scan(r, a, na, b, nb);
    } else if (na == 8) {
        square ? sqr8(r, a) : mul8(r, a, b);
    } else if (t != nullptr) {
        square ? kara_sqr(r, a, na, t) : kara_mul(r, a, b, na, t);
    } else {
        square ? sqr_scan(r, a, na) : mul_scan(r, a, na, b, nb);
    }
}

}  // namespace

std::int32_t VLONG_allocate(vlong** result, vlong** queue) {
    if (result == nullptr) return ERR_NULL_POINTER;
    vlong* v = nullptr;
    if (queue != nullptr && *queue != nullptr) {
        v = *queue;
        *queue = v->next;
    } else {
        v = static_cast<vlong*>(CRYPTO_malloc(sizeof(vlong)));
        if (v == nullptr) return ERR_MEM_ALLOC;
        v->digits = nullptr;
        v->capacity = 0;
    }
    v->used = 0;
    v->negative = 0;
    v->next = nullptr;
    *result = v;
    return OK;
}

std::int32_t VLONG_free(vlong** record, vlong** queue) {
    if (record == nullptr || *record == nullptr) return ERR_NULL_POINTER;
    vlong* v = *record;
    if (queue != nullptr) {
        v->next = *queue;
        *queue = v;
    } else {
        if (v->digits != nullptr) {
            wipe_words(v->digits, v->capacity);
            CRYPTO_free(v->digits);
        }
        CRYPTO_free(v);
    }
    *record = nullptr;
    return OK;
}

std::int32_t VLONG_freeQueue(vlong** queue) {
    if (queue == nullptr) return ERR_NULL_POINTER;
    while (*queue != nullptr) {
        vlong* v = *queue;
        *queue = v->next;
        VLONG_free(&v, nullptr);
    }
    return OK;
}

std::int32_t VLONG_growKeep(vlong* value, std::uint32_t words) {
    if (value == nullptr) return ERR_NULL_POINTER;
    if (words <= value->capacity) return OK;
    if (words > VLONG_MAX_WORDS) return ERR_BAD_LENGTH;
    auto* d = static_cast<u32*>(CRYPTO_malloc((words + 3) * sizeof(u32)));
    if (d == nullptr) return ERR_MEM_ALLOC;
    if (value->used > 0) std::memcpy(d, value->digits, value->used * sizeof(u32));
    if (value->digits != nullptr) {
        wipe_words(value->digits, value->capacity);
        CRYPTO_free(value->digits);
    }
    value->digits = d;
    value->capacity = words + 3;
    return OK;
}

std::int32_t VLONG_growDrop(vlong* value, std::uint32_t words) {
    if (value == nullptr) return ERR_NULL_POINTER;
    if (words <= value->capacity) return OK;
    if (words > VLONG_MAX_WORDS) return ERR_BAD_LENGTH;
    auto* d = static_cast<u32*>(CRYPTO_malloc((words + 1) * sizeof(u32)));
    if (d == nullptr) return ERR_MEM_ALLOC;
    if (value->digits != nullptr) {
        wipe_words(value->digits, value->capacity);
        CRYPTO_free(value->digits);
    }
    value->digits = d;
    value->capacity = words + 1;
    value->used = 0;
    return OK;
}

std::int32_t VLONG_setWord(vlong* value, std::uint32_t index, std::uint32_t word) {
    if (value == nullptr) return ERR_NULL_POINTER;
    if (index >= value->used) {
        if (word == 0) return OK;
        if (index >= VLONG_MAX_WORDS) return ERR_BAD_LENGTH;
        const std::int32_t status = VLONG_growKeep(value, index + 1);
        if (status < 0) return status;
        for (u32 i = value->used; i < index; ++i) value->digits[i] = 0;
        value->digits[index] = word;
        value->used = index + 1;
        return OK;
    }
    value->digits[index] = word;
    trim(value);
    return OK;
}

std::int32_t VLONG_fromBytes(const std::uint8_t* bytes, std::int32_t length, vlong** result,
                             vlong** queue) {
    if (result == nullptr || (bytes == nullptr && length > 0)) return ERR_NULL_POINTER;
    if (length < 0) return ERR_BAD_LENGTH;
    while (length > 0 && *bytes == 0) {
        ++bytes;
        --length;
    }
    const u32 words = (static_cast<u32>(length) + 3) / 4;
    if (words > VLONG_MAX_WORDS) return ERR_BAD_LENGTH;
    vlong* v = nullptr;
    std::int32_t status = VLONG_allocate(&v, queue);
    if (status < 0) return status;
    status = VLONG_growDrop(v, words);
    if (status < 0) {
        VLONG_free(&v, queue);
        return status;
    }
    for (u32 i = 0; i < words; ++i) v->digits[i] = 0;
    for (std::int32_t i = 0; i < length; ++i) {
        const u32 pos = static_cast<u32>(length - 1 - i);  // byte index from the low end
        v->digits[pos / 4] |= u32{bytes[i]} << (8 * (pos % 4));
    }
    v->used = words;
    trim(v);
    *result = v;
    return OK;
}

std::uint32_t VLONG_bitLength(const vlong* value) {
    if (value == nullptr || value->used == 0) return 0;
    u32 top = value->digits[value->used - 1];
    u32 bits = 0;
    while (top != 0) {
        ++bits;
        top >>= 1;
    }
    return 32 * (value->used - 1) + bits;
}

std::int32_t VLONG_byteStringFromVlong(const vlong* value, std::uint8_t* buffer,
                                       std::int32_t* length) {
    if (value == nullptr || length == nullptr) return ERR_NULL_POINTER;
    const u32 need = (VLONG_bitLength(value) + 7) / 8;
    if (buffer == nullptr) {
        *length = static_cast<std::int32_t>(need);
        return OK;
    }
    if (*length < 0 || static_cast<u32>(*length) < need) return ERR_BUFFER_OVERFLOW;
    const u32 total = static_cast<u32>(*length);
    const u32 pad = total - need;
    std::memset(buffer, 0, pad);
    for (u32 i = 0; i < need; ++i) {
        const u32 pos = need - 1 - i;
        buffer[pad + i] = static_cast<std::uint8_t>(value->digits[pos / 4] >> (8 * (pos % 4)));
    }
    return OK;
}

std::int32_t VLONG_copy(const vlong* value, vlong** result, vlong** queue) {
    if (value == nullptr || result == nullptr) return ERR_NULL_POINTER;
    vlong* v = nullptr;
    std::int32_t status = VLONG_allocate(&v, queue);
    if (status < 0) return status;
    status = VLONG_growDrop(v, value->used);
    if (status < 0) {
        VLONG_free(&v, queue);
        return status;
    }
    if (value->used > 0) std::memcpy(v->digits, value->digits, value->used * sizeof(u32));
    v->used = value->used;
    v->negative = value->negative;
    *result = v;
    return OK;
}

std::int32_t VLONG_compareMagnitudes(const vlong* a, const vlong* b) {
    if (a->used != b->used) return a->used > b->used ? 1 : -1;
    return cmp_n(a->digits, b->digits, a->used);
}

std::int32_t VLONG_testBit(const vlong* value, std::uint32_t index) {
    if (value == nullptr || index / 32 >= value->used) return 0;
    return (value->digits[index / 32] >> (index % 32)) & 1;
}

std::int32_t VLONG_subtractMagnitudes(vlong* a, const vlong* b) {
    if (a == nullptr || b == nullptr) return ERR_NULL_POINTER;
    if (VLONG_compareMagnitudes(a, b) < 0) return ERR_BAD_LENGTH;
    u32 borrow = sub_n(a->digits, a->digits, b->digits, b->used);
    for (u32 i = b->used; i < a->used && borrow != 0; ++i) {
        borrow = a->digits[i] == 0;
        a->digits[i] -= 1;
    }
    trim(a);
    return OK;
}

std::int32_t VLONG_multiply(vlong* result, const vlong* a, const vlong* b) {
    if (result == nullptr || a == nullptr || b == nullptr) return ERR_NULL_POINTER;
    if (result == a || result == b) return ERR_NULL_POINTER;  // the product needs its own record
    if (a->used == 0 || b->used == 0) {
        result->used = 0;
        result->negative = 0;
        return OK;
    }
    const u32 words = a->used + b->used;
    const u32 scratch = karatsuba_scratch(a->used, b->used);
    const std::int32_t status = VLONG_growDrop(result, words + scratch);
    if (status < 0) return status;
    multiply_words(result->digits, a->digits, a->used, b->digits, b->used,
                   scratch != 0 ? result->digits + words : nullptr, a == b);
    result->used = words;
    result->negative = (a->negative != 0) != (b->negative != 0);
    trim(result);
    return OK;
}

std::int32_t VLONG_truncatedMultiply(vlong* result, const vlong* a, const vlong* b,
                                     std::uint32_t bits) {
    if (result == nullptr || a == nullptr || b == nullptr) return ERR_NULL_POINTER;
    if (result == a || result == b) return ERR_NULL_POINTER;
    u32 words = (bits + 31) / 32;
    if (words > a->used + b->used) words = a->used + b->used;
    if (a->used == 0 || b->used == 0 || words == 0) {
        result->used = 0;
        return OK;
    }
    const std::int32_t status = VLONG_growDrop(result, words);
    if (status < 0) return status;
    mul_scan_low(result->digits, a->digits, a->used, b->digits, b->used, words);
    if (bits % 32 != 0 && words == (bits + 31) / 32)
        result->digits[words - 1] &= (u32{1} << (bits % 32)) - 1;
    result->used = words;
    result->negative = (a->negative != 0) != (b->negative != 0);
    trim(result);
    return OK;
}

namespace {

// Schoolbook division (Knuth's algorithm D) on 16-bit digits, so that every step is a 32-bit
// product or quotient. Used once per exponentiation for the Barrett constant.
struct Half {
    std::uint16_t* d = nullptr;
    u32 n = 0;
    ~Half() { CRYPTO_free(d); }
};

bool to_half(const u32* w, u32 words, u32 extra, Half& out) {
    out.n = 2 * words;
    out.d = static_cast<std::uint16_t*>(CRYPTO_malloc((out.n + extra + 1) * sizeof(std::uint16_t)));
    if (out.d == nullptr) return false;
    for (u32 i = 0; i < words; ++i) {
        out.d[2 * i] = static_cast<std::uint16_t>(w[i]);
        out.d[2 * i + 1] = static_cast<std::uint16_t>(w[i] >> 16);
    }
    for (u32 i = out.n; i < out.n + extra + 1; ++i) out.d[i] = 0;
    while (out.n > 0 && out.d[out.n - 1] == 0) --out.n;
    return true;
}

std::int32_t from_half(const std::uint16_t* d, u32 n, vlong** result, vlong** queue) {
    vlong* v = nullptr;
    std::int32_t status = VLONG_allocate(&v, queue);
    if (status < 0) return status;
    const u32 words = (n + 1) / 2;
    status = VLONG_growDrop(v, words);
    if (status < 0) {
        VLONG_free(&v, queue);
        return status;
    }
    for (u32 i = 0; i < words; ++i) {
        const u32 lo = d[2 * i];
        const u32 hi = 2 * i + 1 < n ? d[2 * i + 1] : 0;
        v->digits[i] = lo | (hi << 16);
    }
    v->used = words;
    trim(v);
    *result = v;
    return OK;
}

}  // namespace

std::int32_t VLONG_divide(const vlong* a, const vlong* m, vlong** quotient, vlong** remainder,
                          vlong** queue) {
    if (a == nullptr || m == nullptr) return ERR_NULL_POINTER;
    if (m->used == 0) return ERR_DIVIDE_BY_ZERO;
    Half u, v;
    if (!to_half(a->digits, a->used, 1, u) || !to_half(m->digits, m->used, 0, v))
        return ERR_MEM_ALLOC;
    const u32 n = v.n;
    Half q;
    const u32 qn = u.n >= n ? u.n - n + 1 : 0;
    q.d = static_cast<std::uint16_t*>(CRYPTO_malloc((qn + 1) * sizeof(std::uint16_t)));
    if (q.d == nullptr) return ERR_MEM_ALLOC;
    for (u32 i = 0; i <= qn; ++i) q.d[i] = 0;
    u32 rn = u.n;  // remainder digits stay in u
    if (u.n >= n) {
        if (n == 1) {
            u32 rem = 0;
            for (u32 j = u.n; j-- > 0;) {
                const u32 cur = (rem << 16) | u.d[j];
                q.d[j] = static_cast<std::uint16_t>(cur / v.d[0]);
                rem = cur % v.d[0];
                u.d[j] = 0;
            }
            u.d[0] = static_cast<std::uint16_t>(rem);
            rn = 1;
        } else {
            // Normalise so that the divisor's top digit has its high bit set.
            int s = 0;
            while ((v.d[n - 1] << s & 0x8000) == 0) ++s;
            if (s > 0) {
                for (u32 i = n - 1; i > 0; --i)
                    v.d[i] = static_cast<std::uint16_t>((v.d[i] << s) | (v.d[i - 1] >> (16 - s)));
                v.d[0] = static_cast<std::uint16_t>(v.d[0] << s);
                u.d[u.n] = static_cast<std::uint16_t>(u.d[u.n - 1] >> (16 - s));
                for (u32 i = u.n - 1; i > 0; --i)
                    u.d[i] = static_cast<std::uint16_t>((u.d[i] << s) | (u.d[i - 1] >> (16 - s)));
                u.d[0] = static_cast<std::uint16_t>(u.d[0] << s);
            } else {
                u.d[u.n] = 0;
            }
            for (u32 j = u.n - n + 1; j-- > 0;) {
                const u32 num = (u32{u.d[j + n]} << 16) | u.d[j + n - 1];
                u32 qhat = num / v.d[n - 1];
                u32 rhat = num % v.d[n - 1];
                while (qhat >= 0x10000 || qhat * v.d[n - 2] > ((rhat << 16) | u.d[j + n - 2])) {
                    --qhat;
                    rhat += v.d[n - 1];
                    if (rhat >= 0x10000) break;
                }
                std::int32_t k = 0;
                std::int32_t t = 0;
                for (u32 i = 0; i < n; ++i) {
                    const u32 p = qhat * v.d[i];
                    t = static_cast<std::int32_t>(u.d[i + j]) - k -
                        static_cast<std::int32_t>(p & 0xFFFF);
                    u.d[i + j] = static_cast<std::uint16_t>(t);
                    k = static_cast<std::int32_t>(p >> 16) - (t >> 16);
                }
                t = static_cast<std::int32_t>(u.d[j + n]) - k;
                u.d[j + n] = static_cast<std::uint16_t>(t);
                if (t < 0) {
                    --qhat;
                    u32 carry = 0;
                    for (u32 i = 0; i < n; ++i) {
                        const u32 s2 = u32{u.d[i + j]} + v.d[i] + carry;
                        u.d[i + j] = static_cast<std::uint16_t>(s2);
                        carry = s2 >> 16;
                    }
                    u.d[j + n] = static_cast<std::uint16_t>(u.d[j + n] + carry);
                }
                q.d[j] = static_cast<std::uint16_t>(qhat);
            }
            // Denormalise the remainder.
            for (u32 i = 0; i < n; ++i)
                u.d[i] = static_cast<std::uint16_t>(s > 0 ? (u.d[i] >> s) | (u.d[i + 1] << (16 - s))
                                                          : u.d[i]);
            rn = n;
        }
    } else {
        rn = u.n;
    }
    std::int32_t status = OK;
    vlong* qv = nullptr;
    vlong* rv = nullptr;
    if (quotient != nullptr) status = from_half(q.d, qn, &qv, queue);
    if (status == OK && remainder != nullptr) status = from_half(u.d, rn, &rv, queue);
    if (status < 0) {
        if (qv != nullptr) VLONG_free(&qv, queue);
        return status;
    }
    if (quotient != nullptr) *quotient = qv;
    if (remainder != nullptr) *remainder = rv;
    return OK;
}

namespace {

// Everything one exponentiation needs for Barrett reduction; temporaries come from the queue.
struct Barrett {
    const vlong* m;
    vlong* mu = nullptr;
    u32 k;
    vlong** queue;
};

// out := a * b mod m (Handbook of Applied Cryptography 14.42), for a * b < b^(2k).
std::int32_t barrett_mul(Barrett& br, vlong* out, const vlong* a, const vlong* b) {
    vlong* x = nullptr;
    vlong* q1 = nullptr;
    vlong* q2 = nullptr;
    vlong* r2 = nullptr;
    std::int32_t status = VLONG_allocate(&x, br.queue);
    if (status == OK) status = VLONG_multiply(x, a, b);
    const u32 k = br.k;
    if (status == OK && VLONG_compareMagnitudes(x, br.m) < 0) {
        status = VLONG_growDrop(out, x->used);
        if (status == OK) {
            if (x->used > 0) std::memcpy(out->digits, x->digits, x->used * sizeof(u32));
            out->used = x->used;
        }
    } else if (status == OK) {
        status = VLONG_allocate(&q1, br.queue);
        if (status == OK) status = VLONG_allocate(&q2, br.queue);
        if (status == OK) status = VLONG_allocate(&r2, br.queue);
        // q1 := floor(x / b^(k-1)); x >= m has at least k words.
        if (status == OK) status = VLONG_growDrop(q1, x->used - (k - 1));
        if (status == OK) {
            std::memcpy(q1->digits, x->digits + (k - 1), (x->used - (k - 1)) * sizeof(u32));
            q1->used = x->used - (k - 1);
            status = VLONG_multiply(q2, q1, br.mu);
        }
        // q3 := floor(q2 / b^(k+1)), kept in q1.
        if (status == OK) {
            const u32 q3 = q2->used > k + 1 ? q2->used - (k + 1) : 0;
            status = VLONG_growDrop(q1, q3 == 0 ? 1 : q3);
            if (status == OK) {
                if (q3 > 0) std::memcpy(q1->digits, q2->digits + (k + 1), q3 * sizeof(u32));
                q1->used = q3;
                status = VLONG_truncatedMultiply(r2, q1, br.m, (k + 1) * 32);
            }
        }
        // r := (x mod b^(k+1)) - r2, wrapping modulo b^(k+1), then at most a few subtractions.
        if (status == OK) status = VLONG_growDrop(out, k + 1);
        if (status == OK) {
            const u32 xl = x->used < k + 1 ? x->used : k + 1;
            for (u32 i = 0; i < k + 1; ++i) {
                const u32 xi = i < xl ? x->digits[i] : 0;
                const u32 ri = i < r2->used ? r2->digits[i] : 0;
                out->digits[i] = xi;
                q2->digits[i] = ri;  // q2 has at least k + 1 words of capacity by now
            }
            sub_n(out->digits, out->digits, q2->digits, k + 1);
            out->used = k + 1;
            trim(out);
            while (VLONG_compareMagnitudes(out, br.m) >= 0) VLONG_subtractMagnitudes(out, br.m);
        }
    }
    for (vlong** v : {&x, &q1, &q2, &r2})
        if (*v != nullptr) VLONG_free(v, br.queue);
    out->negative = 0;
    return status;
}

}  // namespace

std::int32_t VLONG_modExp(const vlong* base, const vlong* exponent, const vlong* modulus,
                          vlong** result, vlong** queue) {
    if (base == nullptr || exponent == nullptr || modulus == nullptr || result == nullptr)
        return ERR_NULL_POINTER;
    if (modulus->used == 0) return ERR_DIVIDE_BY_ZERO;
    *result = nullptr;
    vlong* r = nullptr;
    std::int32_t status = VLONG_allocate(&r, queue);
    if (status < 0) return status;
    const bool mod_one = modulus->used == 1 && modulus->digits[0] == 1;
    if (base->used == 0 || mod_one) {
        *result = r;  // zero; and anything mod 1 is zero, including x^0
        return OK;
    }
    if (exponent->used == 0) {
        status = VLONG_setWord(r, 0, 1);
        if (status < 0) {
            VLONG_free(&r, queue);
            return status;
        }
        *result = r;
        return OK;
    }
    CRYPTO_modExpHook();
    // Every odd or even modulus and every exponent length take the Barrett path: correct for
    // all, and fast enough for the private-key sizes that might use it.
    Barrett br{modulus, nullptr, modulus->used, queue};
    vlong* x = nullptr;
    vlong* tmp = nullptr;
    vlong* power = nullptr;
    {
        // mu := floor(b^(2k) / m).
        status = VLONG_allocate(&power, queue);
        if (status == OK) status = VLONG_setWord(power, 2 * br.k, 1);
        if (status == OK) status = VLONG_divide(power, modulus, &br.mu, nullptr, queue);
    }
    // The Barrett step needs operands below b^k; a longer base is reduced first (a base with no
    // more words than the modulus is used as it is, whether or not it is below the modulus).
    if (status == OK) {
        if (base->used > br.k)
            status = VLONG_divide(base, modulus, nullptr, &x, queue);
        else
            status = VLONG_copy(base, &x, queue);
    }
    if (status == OK) status = VLONG_setWord(r, 0, 1);
    if (status == OK) status = VLONG_allocate(&tmp, queue);
    const u32 bits = VLONG_bitLength(exponent);
    for (u32 i = 0; status == OK && i < bits; ++i) {
        if (VLONG_testBit(exponent, i)) {
            status = barrett_mul(br, tmp, r, x);
            vlong* swap = r;
            r = tmp;
            tmp = swap;
        }
        if (status != OK || i + 1 == bits) break;
        status = barrett_mul(br, tmp, x, x);
        vlong* swap = x;
        x = tmp;
        tmp = swap;
    }
    for (vlong** v : {&x, &tmp, &power, &br.mu})
        if (*v != nullptr) VLONG_free(v, queue);
    if (status < 0) {
        VLONG_free(&r, queue);
        return status;
    }
    r->negative = 0;
    *result = r;
    return OK;
}
