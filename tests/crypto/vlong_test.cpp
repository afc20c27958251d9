#include "crypto/vlong.h"

#include <gtest/gtest.h>

#include <memory>

#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

struct VDeleter {
    void operator()(vlong* v) const { VLONG_free(&v, nullptr); }
};
using V = std::unique_ptr<vlong, VDeleter>;
using Words = std::vector<std::uint32_t>;

V from(const Bytes& b) {
    vlong* v = nullptr;
    EXPECT_EQ(VLONG_fromBytes(b.data(), static_cast<std::int32_t>(b.size()), &v, nullptr), 0);
    return V(v);
}

Words words(const vlong* v) {
    return Words(v->digits, v->digits + v->used);
}

void trim(Words& w) {
    while (!w.empty() && w.back() == 0) w.pop_back();
}

// Reference arithmetic: the plainest schoolbook forms, nothing shared with the library.
Words ref_mul(const Words& a, const Words& b) {
    Words r(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint64_t t = std::uint64_t{a[i]} * b[j] + r[i + j] + carry;
            r[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        r[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    trim(r);
    return r;
}

// a mod m by shift-and-subtract, one bit at a time.
Words ref_mod(const Words& a, const Words& m) {
    Words r;
    for (std::size_t bit = a.size() * 32; bit-- > 0;) {
        // r = 2r + bit
        std::uint32_t carry = (a[bit / 32] >> (bit % 32)) & 1;
        for (auto& w : r) {
            const std::uint32_t top = w >> 31;
            w = (w << 1) | carry;
            carry = top;
        }
        if (carry) r.push_back(carry);
        // if r >= m: r -= m
        Words mm = m;
        mm.resize(r.size() > mm.size() ? r.size() : mm.size(), 0);
        r.resize(mm.size(), 0);
        bool ge = true;
        for (std::size_t i = r.size(); i-- > 0;)
            if (r[i] != mm[i]) {
                ge = r[i] > mm[i];
                break;
            }
        if (ge) {
            std::int64_t borrow = 0;
            for (std::size_t i = 0; i < r.size(); ++i) {
                const std::int64_t t = std::int64_t{r[i]} - mm[i] - borrow;
                r[i] = static_cast<std::uint32_t>(t);
                borrow = t < 0;
            }
        }
        trim(r);
    }
    return r;
}

Words ref_modexp(const Words& base, std::uint32_t e, const Words& m) {
    Words r{1};
    Words x = ref_mod(base, m);
    for (int bit = 31; bit >= 0; --bit) {
        r = ref_mod(ref_mul(r, r), m);
        if ((e >> bit) & 1) r = ref_mod(ref_mul(r, x), m);
    }
    return r;
}

V from_words(const Words& w) {
    vlong* v = nullptr;
    EXPECT_EQ(VLONG_allocate(&v, nullptr), 0);
    for (std::size_t i = 0; i < w.size(); ++i)
        EXPECT_EQ(VLONG_setWord(v, static_cast<std::uint32_t>(i), w[i]), 0);
    return V(v);
}

Words random_words(std::uint32_t seed, std::size_t n) {
    const Bytes b = xorshift_bytes(seed, 4 * n);
    Words w(n);
    for (std::size_t i = 0; i < n; ++i)
        w[i] = (std::uint32_t{b[4 * i]} << 24) | (b[4 * i + 1] << 16) | (b[4 * i + 2] << 8) |
               b[4 * i + 3];
    if (n > 0 && w[n - 1] == 0) w[n - 1] = 1;
    return w;
}

TEST(Vlong, BytesInAndOut) {
    struct Row {
        const char* in;
        std::uint32_t used;
        std::int32_t byteLength;
        std::int32_t bufferLength;
        std::int32_t status;
        const char* out;
    } rows[] = {
        {"000001", 1, 1, 4, 0, "00000001"},
        {"", 0, 0, 3, 0, "000000"},
        {"0000", 0, 0, 0, 0, ""},
        {"0102030405", 2, 5, 5, 0, "0102030405"},
        {"0102030405", 2, 5, 4, -6007, ""},
        {"ff00000000", 2, 5, 8, 0, "000000ff00000000"},
        {"80000000", 1, 4, 4, 0, "80000000"},
    };
    for (const Row& row : rows) {
        V v = from(from_hex(row.in));
        EXPECT_EQ(v->used, row.used) << row.in;
        std::int32_t n = -1;
        ASSERT_EQ(VLONG_byteStringFromVlong(v.get(), nullptr, &n), 0);
        EXPECT_EQ(n, row.byteLength) << row.in;
        Bytes buf(static_cast<std::size_t>(row.bufferLength) + 1, 0xEE);
        n = row.bufferLength;
        EXPECT_EQ(VLONG_byteStringFromVlong(v.get(), buf.data(), &n), row.status) << row.in;
        if (row.status == 0) {
            EXPECT_EQ(n, row.bufferLength);
            EXPECT_EQ(to_hex(buf.data(), static_cast<std::size_t>(n)), row.out) << row.in;
            EXPECT_EQ(buf[static_cast<std::size_t>(n)], 0xEE);  // nothing past the length
        }
    }
    vlong* v = nullptr;
    const std::uint8_t b = 1;
    EXPECT_EQ(VLONG_fromBytes(&b, -1, &v, nullptr), -6003);
    EXPECT_EQ(v, nullptr);
}

TEST(Vlong, GrowthIsBoundedAndKeepsTheValue) {
    V v = from(from_hex("0102030405060708"));
    EXPECT_EQ(VLONG_growKeep(v.get(), VLONG_MAX_WORDS + 1), -6003);
    EXPECT_EQ(VLONG_growDrop(v.get(), VLONG_MAX_WORDS + 1), -6003);
    EXPECT_EQ(VLONG_setWord(v.get(), VLONG_MAX_WORDS, 1), -6003);
    EXPECT_EQ(words(v.get()), (Words{0x05060708, 0x01020304}));
    ASSERT_EQ(VLONG_growKeep(v.get(), 100), 0);
    EXPECT_EQ(words(v.get()), (Words{0x05060708, 0x01020304}));
    EXPECT_LE(v->capacity, VLONG_MAX_WORDS + 3);
    ASSERT_EQ(VLONG_setWord(v.get(), 5, 9), 0);  // gap filled with zeros
    EXPECT_EQ(words(v.get()), (Words{0x05060708, 0x01020304, 0, 0, 0, 9}));
    ASSERT_EQ(VLONG_setWord(v.get(), 5, 0), 0);  // top word zero: trimmed
    EXPECT_EQ(v->used, 2u);
    EXPECT_EQ(VLONG_testBit(v.get(), 0), 0);
    EXPECT_EQ(VLONG_testBit(v.get(), 3), 1);
    EXPECT_EQ(VLONG_testBit(v.get(), 64), 0);
    EXPECT_EQ(VLONG_bitLength(v.get()), 57u);
}

TEST(Vlong, QueueRecyclesRecords) {
    vlong* queue = nullptr;
    vlong* a = nullptr;
    ASSERT_EQ(VLONG_allocate(&a, &queue), 0);
    ASSERT_EQ(VLONG_growDrop(a, 64), 0);
    vlong* const first = a;
    ASSERT_EQ(VLONG_free(&a, &queue), 0);
    EXPECT_EQ(a, nullptr);
    vlong* b = nullptr;
    ASSERT_EQ(VLONG_allocate(&b, &queue), 0);
    EXPECT_EQ(b, first);
    EXPECT_GE(b->capacity, 64u);  // digits kept
    EXPECT_EQ(b->used, 0u);
    VLONG_free(&b, &queue);
    VLONG_freeQueue(&queue);
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(VLONG_free(&b, nullptr), -6001);
}

TEST(Vlong, ProductsMatchTheSchoolbookAtEverySize) {
    // Mixed sizes (product scanning), 8 words (unrolled), powers of two (Karatsuba), and squares.
    const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
        {1, 1},   {1, 9},   {3, 5},   {7, 7},   {8, 8},   {9, 9},   {15, 15},   {16, 16},
        {17, 16}, {24, 24}, {32, 32}, {33, 32}, {64, 64}, {65, 65}, {128, 128}, {256, 256}};
    std::uint32_t seed = 1;
    for (const auto& [na, nb] : sizes) {
        for (int pattern = 0; pattern < 3; ++pattern) {
            Words a = random_words(seed++, na), b = random_words(seed++, nb);
            if (pattern == 1) {  // all-ones words stress every carry
                std::fill(a.begin(), a.end(), 0xFFFFFFFFu);
                std::fill(b.begin(), b.end(), 0xFFFFFFFFu);
            } else if (pattern == 2 && na == nb && na >= 16) {  // equal halves: skipped middle
                std::copy(a.begin(), a.begin() + na / 2, a.begin() + na / 2);
            }
            V va = from_words(a), vb = from_words(b);
            vlong* r = nullptr;
            ASSERT_EQ(VLONG_allocate(&r, nullptr), 0);
            V vr(r);
            ASSERT_EQ(VLONG_multiply(r, va.get(), vb.get()), 0);
            EXPECT_EQ(words(r), ref_mul(a, b)) << na << "x" << nb << " pattern " << pattern;
            ASSERT_EQ(VLONG_multiply(r, va.get(), va.get()), 0);
            EXPECT_EQ(words(r), ref_mul(a, a)) << na << " squared, pattern " << pattern;
            ASSERT_EQ(VLONG_truncatedMultiply(r, va.get(), vb.get(), 32 * 5 + 3), 0);
            Words low = ref_mul(a, b);
            low.resize(6, 0);
            low[5] &= 7;
            trim(low);
            EXPECT_EQ(words(r), low) << na << "x" << nb << " truncated";
        }
    }
}

TEST(Vlong, DivisionLeavesAConsistentQuotientAndRemainder) {
    const std::vector<std::pair<std::size_t, std::size_t>> sizes = {
        {1, 1}, {4, 1}, {5, 2}, {64, 33}, {129, 64}, {10, 12}, {65, 64}};
    std::uint32_t seed = 500;
    for (const auto& [na, nm] : sizes) {
        const Words a = random_words(seed++, na);
        Words m = random_words(seed++, nm);
        if (nm == 1) m[0] = 0x00010003;  // a one-digit divisor after the 16-bit split is 3
        V va = from_words(a), vm = from_words(m);
        vlong *q = nullptr, *r = nullptr;
        ASSERT_EQ(VLONG_divide(va.get(), vm.get(), &q, &r, nullptr), 0);
        V vq(q), vr(r);
        EXPECT_EQ(words(r), ref_mod(a, m)) << na << "/" << nm;
        // q * m + r == a
        Words back = ref_mul(words(q), m);
        Words rr = words(r);
        back.resize(std::max(back.size(), rr.size()) + 1, 0);
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < back.size(); ++i) {
            const std::uint64_t t = std::uint64_t{back[i]} + (i < rr.size() ? rr[i] : 0) + carry;
            back[i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        trim(back);
        EXPECT_EQ(back, a) << na << "/" << nm;
    }
    V zero = from(Bytes{});
    V one = from(Bytes{1});
    vlong* q = nullptr;
    EXPECT_EQ(VLONG_divide(one.get(), zero.get(), &q, nullptr, nullptr), -6004);
}

TEST(Vlong, ModularExponentiationMatchesTheReference) {
    struct Row {
        std::size_t modulusWords;
        std::size_t baseWords;
        std::uint32_t exponent;
        bool evenModulus;
    } rows[] = {
        {64, 64, 65537, false},   {64, 63, 3, false},
        {32, 32, 65537, false},   {1, 1, 7, false},
        {5, 5, 0x10001, true},    {96, 96, 17, false},
        {128, 128, 65537, false}, {64, 64, 0xFFFFFFFF, false},
        {64, 70, 65537, false},  // a base longer than the modulus
    };
    std::uint32_t seed = 900;
    vlong* queue = nullptr;
    for (const Row& row : rows) {
        Words m = random_words(seed++, row.modulusWords);
        m[0] = row.evenModulus ? (m[0] & ~1u) : (m[0] | 1u);
        m.back() |= 0x80000000u;
        Words base = random_words(seed++, row.baseWords);
        if (row.baseWords == row.modulusWords) base.back() = 0xFFFFFFFFu;  // base >= modulus
        V vm = from_words(m), vb = from_words(base), ve = from_words(Words{row.exponent});
        vlong* r = nullptr;
        ASSERT_EQ(VLONG_modExp(vb.get(), ve.get(), vm.get(), &r, &queue), 0);
        V vr(r);
        EXPECT_EQ(words(r), ref_modexp(base, row.exponent, m))
            << row.modulusWords << " words, e = " << row.exponent;
    }
    VLONG_freeQueue(&queue);

    V m = from(Bytes{0x0B}), zero = from(Bytes{}), two = from(Bytes{2}), one = from(Bytes{1});
    struct Edge {
        const vlong* base;
        const vlong* exponent;
        const vlong* modulus;
        std::int32_t status;
        Words result;
    } edges[] = {
        {zero.get(), two.get(), m.get(), 0, {}},       {two.get(), zero.get(), m.get(), 0, {1}},
        {two.get(), two.get(), zero.get(), -6004, {}}, {two.get(), two.get(), one.get(), 0, {}},
        {nullptr, two.get(), m.get(), -6001, {}},
    };
    for (const Edge& e : edges) {
        vlong* r = nullptr;
        EXPECT_EQ(VLONG_modExp(e.base, e.exponent, e.modulus, &r, nullptr), e.status);
        if (e.status == 0) {
            EXPECT_EQ(words(r), e.result);
            VLONG_free(&r, nullptr);
        } else {
            EXPECT_EQ(r, nullptr);
        }
    }
}

}  // namespace
