#include "crypto/digest.h"

#include <cstring>

#include "crypto_test_support.h"

namespace {

// One call; whatever the outcome, nothing of the caller's old bytes survives past the digest.
std::string digest_hex(std::int64_t algorithm, Bytes m, std::int64_t expected_status) {
    m.reserve(m.size() + 1);  // an empty message still has an address
    std::uint8_t d[64];
    std::memset(d, 0x5A, sizeof d);
    std::uint32_t n = 0xAA;
    EXPECT_EQ(DIGEST_computeByAlgorithm(m.data(), static_cast<std::uint32_t>(m.size()), d, &n,
                                        static_cast<std::int32_t>(algorithm)),
              expected_status);
    for (std::uint32_t i = expected_status == 0 ? n : 0; i < 64; ++i) EXPECT_EQ(d[i], 0) << i;
    return n == 0xAA ? "" : to_hex({d, n});
}

// The message fed piece by piece gives the one-shot digest; the context is wiped at the end.
template <class Ctx>
std::string streamed(const Bytes& m, const std::vector<std::string>& pieces, void (*init)(Ctx*),
                     void (*update)(Ctx*, const std::uint8_t*, std::uint32_t),
                     void (*final)(Ctx*, std::uint8_t*, std::uint32_t), std::size_t size) {
    Ctx ctx;
    init(&ctx);
    std::size_t at = 0;
    for (const auto& piece : pieces) {
        update(&ctx, m.data() + at, static_cast<std::uint32_t>(std::stoul(piece)));
        at += std::stoul(piece);
    }
    std::uint8_t d[64];
    final(&ctx, d, static_cast<std::uint32_t>(size));
    const Ctx wiped{};
    EXPECT_EQ(std::memcmp(&ctx, &wiped, sizeof ctx), 0);
    return to_hex({d, size});
}

void check(const TableRow& row) {
    const Bytes m = message(row["message"], static_cast<std::size_t>(row.num("length")));
    std::string got = digest_hex(row.num("algorithm"), m, status_of(row["status"]));
    const auto pieces = row.list("pieces", ' ');
    if (row.num("algorithm") == DIGEST_SHA256 && !pieces.empty())
        got = streamed<Sha256Ctx>(m, pieces, SHA256_init, SHA256_update, SHA256_final, 32);
    else if (!pieces.empty())
        got = streamed<Sha512Ctx>(m, pieces,
                                  row.num("algorithm") == DIGEST_SHA384 ? SHA384_init : SHA512_init,
                                  SHA512_update, SHA512_final, got.size() / 2);
    EXPECT_EQ(got, row["digest"]);
}

TABLE_TEST(Digest, "tests/crypto/fixtures/digest.tsv") {
    check(row);
}

// Python's digests of 8008 generated messages: one test (a failure names its row).
TEST(Digest, PythonVectors) {
    for (const auto& row : read_table("tests/crypto/fixtures/digest_vectors.tsv")) {
        SCOPED_TRACE(row.where());
        check(row);
    }
}

TEST(Digest, NullArgumentsAndTheLengthCarry) {
    std::uint8_t d[64];
    std::uint32_t n = 0;
    EXPECT_EQ(DIGEST_computeByAlgorithm(nullptr, 0, d, &n, DIGEST_SHA256), ERR_NULL_POINTER);
    EXPECT_EQ(DIGEST_computeByAlgorithm(d, 3, nullptr, &n, DIGEST_SHA256), ERR_NULL_POINTER);
    EXPECT_EQ(DIGEST_computeByAlgorithm(d, 3, d, nullptr, DIGEST_SHA256), ERR_NULL_POINTER);
    Sha256Ctx ctx;  // the 64-bit length count carries into its high word
    SHA256_init(&ctx);
    ctx.count[1] = 0xFFFFFFF0u;
    SHA256_update(&ctx, d, 32);
    EXPECT_EQ(ctx.count[0] * 100 + ctx.count[1], 116u);
}

}  // namespace
