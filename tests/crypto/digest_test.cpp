#include "crypto/digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string digest_hex(std::int32_t algorithm, const Bytes& m) {
    std::uint8_t d[64];
    std::uint32_t n = 0;
    static const std::uint8_t empty = 0;
    EXPECT_EQ(DIGEST_computeByAlgorithm(m.empty() ? &empty : m.data(),
                                        static_cast<std::uint32_t>(m.size()), d, &n, algorithm),
              0);
    return to_hex(d, n);
}

TEST(Digest, ReproducesTheStandardsExamples) {
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string long_two =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
        "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
    struct Row {
        std::int32_t algorithm;
        std::string message;
        const char* expected;
    } rows[] = {
        {DIGEST_SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {DIGEST_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DIGEST_SHA256, two_blocks,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {DIGEST_SHA256, std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {DIGEST_SHA224, "abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {DIGEST_SHA224, two_blocks, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
        {DIGEST_SHA224, std::string(1000000, 'a'),
         "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
        {DIGEST_SHA384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
         "34c825a7"},
        {DIGEST_SHA512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
         "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {DIGEST_SHA512, long_two,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99de"
         "c4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(digest_hex(row.algorithm, text(row.message)), row.expected)
            << "algorithm " << row.algorithm << ", " << row.message.size() << " bytes";
}

TEST(Digest, DispatcherRefusesWhatItDoesNotCarry) {
    struct Row {
        std::int32_t algorithm;
        std::int32_t status;
        std::uint32_t length;  // digestLength afterwards (starts at 0xAA)
    } rows[] = {
        {7, -7612, 0xAA},          {DIGEST_MD2, -7612, 0xAA},  {DIGEST_MD4, -7612, 0xAA},
        {DIGEST_MD5, -7612, 0xAA}, {DIGEST_SHA1, -7612, 0xAA}, {DIGEST_SHA256, 0, 32},
        {DIGEST_SHA224, 0, 28},    {DIGEST_SHA384, 0, 48},     {DIGEST_SHA512, 0, 64},
    };
    const std::uint8_t data[3] = {'a', 'b', 'c'};
    for (const Row& row : rows) {
        std::uint8_t d[64];
        std::memset(d, 0x5A, sizeof d);
        std::uint32_t n = 0xAA;
        EXPECT_EQ(DIGEST_computeByAlgorithm(data, 3, d, &n, row.algorithm), row.status);
        EXPECT_EQ(n, row.length) << row.algorithm;
        // Whatever the outcome, nothing of the caller's old bytes survives past the digest.
        for (std::uint32_t i = row.status == 0 ? n : 0; i < 64; ++i) ASSERT_EQ(d[i], 0) << i;
    }
    std::uint8_t d[64];
    std::uint32_t n = 0;
    EXPECT_EQ(DIGEST_computeByAlgorithm(nullptr, 0, d, &n, DIGEST_SHA256), -6001);
    EXPECT_EQ(DIGEST_computeByAlgorithm(data, 3, nullptr, &n, DIGEST_SHA256), -6001);
    EXPECT_EQ(DIGEST_computeByAlgorithm(data, 3, d, nullptr, DIGEST_SHA256), -6001);
}

TEST(Digest, PiecewiseUpdatesGiveTheOneShotDigest) {
    const Bytes m = xorshift_bytes(99, 300);
    const std::string whole = digest_hex(DIGEST_SHA256, Bytes(m.begin(), m.begin() + 200));
    const std::vector<std::vector<std::uint32_t>> splits = {
        {200},           {1, 63, 0, 136}, {64, 64, 64, 8}, {63, 1, 0, 0, 136}, {0, 199, 1},
        {55, 1, 8, 136}, {56, 8, 136},    {127, 73},       {1, 1, 1, 197}};
    for (const auto& split : splits) {
        Sha256Ctx ctx;
        SHA256_init(&ctx);
        std::uint32_t at = 0;
        for (std::uint32_t piece : split) {
            SHA256_update(&ctx, m.data() + at, piece);
            at += piece;
        }
        std::uint8_t d[32];
        SHA256_final(&ctx, d, 32);
        EXPECT_EQ(to_hex(d, 32), whole) << "split starting " << split[0];
        // The context is wiped when the digest is out.
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&ctx);
        for (std::size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(raw[i], 0);
    }
    // Exactly one block goes straight through, nothing waits in the buffer.
    Sha256Ctx ctx;
    SHA256_init(&ctx);
    SHA256_update(&ctx, m.data(), 64);
    EXPECT_EQ(ctx.fill, 0);
    EXPECT_EQ(ctx.count[1], 64u);
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
    const auto rows = fixture_rows("digest_vectors.txt");
    ASSERT_GT(rows.size(), 1000u);
    for (const auto& row : rows) {
        const Bytes m =
            xorshift_bytes(static_cast<std::uint32_t>(std::stoul(row[0])), std::stoul(row[1]));
        ASSERT_EQ(digest_hex(DIGEST_SHA224, m), row[2]) << "length " << row[1];
        ASSERT_EQ(digest_hex(DIGEST_SHA256, m), row[3]) << "length " << row[1];
        ASSERT_EQ(digest_hex(DIGEST_SHA384, m), row[4]) << "length " << row[1];
        ASSERT_EQ(digest_hex(DIGEST_SHA512, m), row[5]) << "length " << row[1];
    }
}

}  // namespace
