#include "crypto/digest.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto_test_support.h"
#include "tests/support/table.h"

using namespace crypto_test;

namespace {

// One call; whatever the outcome, nothing of the caller's old bytes survives past the digest.
std::string digest_hex(std::int64_t algorithm, Bytes m, std::int32_t expected_status = 0) {
    m.reserve(m.size() + 1);  // an empty message still has an address
    std::uint8_t d[64];
    std::memset(d, 0x5A, sizeof d);
    std::uint32_t n = 0xAA;
    EXPECT_EQ(DIGEST_computeByAlgorithm(m.data(), static_cast<std::uint32_t>(m.size()), d, &n,
                                        static_cast<std::int32_t>(algorithm)),
              expected_status);
    for (std::uint32_t i = expected_status == 0 ? n : 0; i < 64; ++i) EXPECT_EQ(d[i], 0) << i;
    return n == 0xAA ? "" : to_hex(d, n);
}

TEST(Digest, Table) {
    for (const auto& row : read_table("tests/crypto/fixtures/digest.tsv")) {
        SCOPED_TRACE(row.where());
        const std::string text = row["message"];
        Bytes m = xorshift_bytes(99, static_cast<std::size_t>(row.num("length")));
        if (!text.starts_with("xorshift"))
            for (std::size_t i = 0; i < m.size(); ++i) m[i] = text[i % text.size()];
        std::string got =
            digest_hex(row.num("algorithm"), m, static_cast<std::int32_t>(row.num("status")));
        if (row["pieces"] != "") {  // SHA-256 fed piece by piece gives the one-shot digest
            Sha256Ctx ctx;
            SHA256_init(&ctx);
            std::size_t at = 0;
            for (const auto& piece : row.list("pieces", ' ')) {
                SHA256_update(&ctx, m.data() + at, static_cast<std::uint32_t>(std::stoul(piece)));
                at += std::stoul(piece);
            }
            std::uint8_t d[32];
            SHA256_final(&ctx, d, 32);
            got = to_hex(d, 32);
            const Sha256Ctx wiped{};  // the context is wiped when the digest is out
            EXPECT_EQ(std::memcmp(&ctx, &wiped, sizeof ctx), 0);
        }
        EXPECT_EQ(got, row["digest"]);
    }
    std::uint8_t d[64];
    std::uint32_t n = 0;
    EXPECT_EQ(DIGEST_computeByAlgorithm(nullptr, 0, d, &n, DIGEST_SHA256), -6001);
    EXPECT_EQ(DIGEST_computeByAlgorithm(d, 3, nullptr, &n, DIGEST_SHA256), -6001);
    EXPECT_EQ(DIGEST_computeByAlgorithm(d, 3, d, nullptr, DIGEST_SHA256), -6001);
}

TEST(Digest, CountCarriesIntoTheHighWord) {
    Sha256Ctx ctx;
    SHA256_init(&ctx);
    ctx.count[1] = 0xFFFFFFF0u;
    const Bytes m(32, 1);
    SHA256_update(&ctx, m.data(), 32);
    EXPECT_EQ(ctx.count[0], 1u);
    EXPECT_EQ(ctx.count[1], 0x10u);
}

TEST(Digest, AgreesWithTheOracleOnThousandsOfMessages) {
    for (const auto& row : fixture_rows("digest_vectors.txt")) {
        const Bytes m =
            xorshift_bytes(static_cast<std::uint32_t>(std::stoul(row[0])), std::stoul(row[1]));
        for (const std::int32_t a : {DIGEST_SHA224, DIGEST_SHA256, DIGEST_SHA384, DIGEST_SHA512})
            ASSERT_EQ(digest_hex(a, m), row[a == DIGEST_SHA224 ? 2 : a - DIGEST_SHA256 + 3])
                << row[1];
    }
}

}  // namespace
