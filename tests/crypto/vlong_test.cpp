#include "crypto/vlong.h"

#include <memory>

#include "crypto_test_support.h"

static std::shared_ptr<vlong> from(const std::string& hex) {
    const Bytes b = hex_bytes(hex);
    vlong* v = nullptr;
    EXPECT_EQ(VLONG_fromBytes(b.data(), static_cast<std::int32_t>(b.size()), &v, nullptr), 0);
    return {v, [](vlong* p) { VLONG_free(&p, nullptr); }};
}

// Big-endian hex, "0" for zero; "!NAME" when the call before failed with that status.
static std::string hex(std::int32_t status, const vlong* v) {
    if (status != 0) return "!" + status_name(status);
    std::int32_t n = 0;
    VLONG_byteStringFromVlong(v, nullptr, &n);
    Bytes b(static_cast<std::size_t>(n));
    VLONG_byteStringFromVlong(v, b.data(), &n);
    return b.empty() ? "0" : to_hex(b);
}

TABLE_TEST(Vlong, "tests/crypto/fixtures/vlong.tsv") {
    vlong *queue = nullptr, *dirty = nullptr;  // results come from the queue, words of old values
    VLONG_fromBytes(Bytes(64, 0xA5).data(), 64, &dirty, nullptr);
    VLONG_free(&dirty, &queue);
    const std::string op = row.choice("op", {"bytes", "div", "modexp", "tmul", "mul", "sqr"});
    const auto a = from(row["a"]), b = from(row["b"]), c = from(row["c"]);
    vlong *r = nullptr, *q = nullptr;
    std::string got;
    if (op == "bytes") {
        Bytes buf(static_cast<std::size_t>(row.num("b")) + 1, 0xEE);
        auto n = static_cast<std::int32_t>(row.num("b"));
        const std::int32_t s = VLONG_byteStringFromVlong(a.get(), buf.data(), &n);
        EXPECT_EQ(buf.back(), 0xEE) << "nothing past the length";
        got = std::to_string(a->used) + " " + status_name(s) + " " +
              (s == 0 && n > 0 ? to_hex({buf.data(), static_cast<std::size_t>(n)}) : "-");
    } else {
        if (op != "div" && op != "modexp") VLONG_allocate(&r, &queue);
        const std::int32_t s =
            op == "div"      ? VLONG_divide(a.get(), b.get(), &q, &r, &queue)
            : op == "modexp" ? VLONG_modExp(a.get(), b.get(), c.get(), &r, &queue)
            : op == "tmul"   ? VLONG_truncatedMultiply(r, a.get(), b.get(), row.num("c"))
                             : VLONG_multiply(r, a.get(), op == "sqr" ? a.get() : b.get());
        got = (op == "div" && s == 0 ? hex(s, q) + " " : "") + hex(s, r);
    }
    EXPECT_EQ(got, row["want"]);
    VLONG_free(&q, &queue);
    VLONG_free(&r, &queue);
    VLONG_freeQueue(&queue);
}

// Limits of growth; a value freed onto the queue with its words comes back from there.
TEST(Vlong, LimitsAndTheQueue) {
    vlong *v = nullptr, *queue = nullptr;
    EXPECT_EQ(VLONG_fromBytes(hex_bytes("01").data(), -1, &v, nullptr), ERR_BAD_LENGTH);
    ASSERT_EQ(VLONG_fromBytes(hex_bytes("0102030405060708").data(), 8, &v, nullptr), 0);
    EXPECT_EQ(VLONG_growKeep(v, VLONG_MAX_WORDS + 1), ERR_BAD_LENGTH);
    EXPECT_EQ(VLONG_growDrop(v, VLONG_MAX_WORDS + 1), ERR_BAD_LENGTH);
    EXPECT_EQ(VLONG_setWord(v, VLONG_MAX_WORDS, 1), ERR_BAD_LENGTH);
    ASSERT_EQ(VLONG_growKeep(v, 100), 0);
    ASSERT_EQ(VLONG_setWord(v, 5, 9), 0);  // the gap is filled with zeros
    EXPECT_EQ(hex(0, v), std::string("09").append(24, '0').append("0102030405060708"));
    ASSERT_EQ(VLONG_setWord(v, 5, 0), 0);  // a zero top word is trimmed
    EXPECT_EQ(v->used * 100 + VLONG_bitLength(v), 257u);
    EXPECT_EQ(VLONG_testBit(v, 3) * 2 + VLONG_testBit(v, 64), 2);
    ASSERT_EQ(VLONG_free(&v, &queue), 0);
    ASSERT_EQ(VLONG_allocate(&v, &queue), 0);
    EXPECT_TRUE(v->capacity >= 100u && v->capacity <= VLONG_MAX_WORDS + 3 && v->used == 0u);
    EXPECT_EQ(VLONG_growDrop(v, VLONG_MAX_WORDS), 0);  // the largest size is allowed
    VLONG_free(&v, &queue);
    VLONG_freeQueue(&queue);
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(VLONG_free(&v, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(VLONG_modExp(nullptr, queue, queue, &queue, nullptr), ERR_NULL_POINTER);
}
