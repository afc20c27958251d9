#include "crypto/digest.h"

#include <cstring>

#include "crypto_test_support.h"

// One call; whatever the outcome, nothing of the caller's old bytes survives past the digest.
static std::string digest_hex(std::int64_t algorithm, Bytes m, std::int64_t expected_status) {
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

// digest_vectors.tsv: Python's digests of thousands of generated messages.
TEST(Digest, Table) {
    for (const char* file : {"digest.tsv", "digest_vectors.tsv"}) {
        for (const auto& row : read_table(std::string("tests/crypto/fixtures/") + file)) {
            SCOPED_TRACE(row.where());
            const Bytes m = message(row["message"], static_cast<std::size_t>(row.num("length")));
            std::string got = digest_hex(row.num("algorithm"), m, row.num("status"));
            if (row["pieces"] != "") {  // SHA-256 fed piece by piece gives the one-shot digest
                Sha256Ctx ctx;
                SHA256_init(&ctx);
                std::size_t at = 0;
                for (const auto& piece : row.list("pieces", ' ')) {
                    SHA256_update(&ctx, m.data() + at,
                                  static_cast<std::uint32_t>(std::stoul(piece)));
                    at += std::stoul(piece);
                }
                std::uint8_t d[32];
                SHA256_final(&ctx, d, 32);
                got = to_hex(d);
                const Sha256Ctx wiped{};  // the context is wiped when the digest is out
                EXPECT_EQ(std::memcmp(&ctx, &wiped, sizeof ctx), 0);
            }
            EXPECT_EQ(got, row["digest"]);
            if (HasFailure()) return;  // the first failing row is enough
        }
    }
    std::uint8_t d[64];
    std::uint32_t n = 0;
    EXPECT_EQ(DIGEST_computeByAlgorithm(nullptr, 0, d, &n, DIGEST_SHA256), -6001);
    EXPECT_EQ(DIGEST_computeByAlgorithm(d, 3, nullptr, &n, DIGEST_SHA256), -6001);
    EXPECT_EQ(DIGEST_computeByAlgorithm(d, 3, d, nullptr, DIGEST_SHA256), -6001);
    Sha256Ctx ctx;  // the 64-bit length count carries into its high word
    SHA256_init(&ctx);
    ctx.count[1] = 0xFFFFFFF0u;
    SHA256_update(&ctx, d, 32);
    EXPECT_EQ(ctx.count[0] * 100 + ctx.count[1], 116u);
}
