#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/digest.h"
#include "crypto_test_support.h"
#include "tests/support/table.h"

using namespace crypto_test;

namespace {

struct CtxDeleter {
    void operator()(AESCtx* c) const { DeleteAESCtx(&c); }
};
using Ctx = std::unique_ptr<AESCtx, CtxDeleter>;

Ctx make(const Bytes& key, std::int64_t length, std::int64_t encrypt) {
    return Ctx(CreateAESCtx(key.data(), static_cast<std::int32_t>(length),
                            static_cast<std::int32_t>(encrypt)));
}

TEST(Aes, Table) {
    for (const auto& row : read_table("tests/crypto/fixtures/aes.tsv")) {
        SCOPED_TRACE(row.where());
        const Bytes key = hex_bytes(row["key"]), input = hex_bytes(row["input"]),
                    iv0 = hex_bytes(row["iv"]);
        const auto n = static_cast<std::int32_t>(row.num("length"));
        const auto dir = static_cast<std::int32_t>(row.num("dir"));
        const Ctx ctx = make(key, row.num("keylen"), row.num("ctxdir"));
        if (ctx != nullptr && row["mode"] != "")
            ctx->mode = static_cast<std::int32_t>(row.num("mode"));
        Bytes buf = input, iv = iv0;
        EXPECT_EQ(DoAES(ctx.get(), buf.data(), n, dir, iv.data()), row.num("status"));
        EXPECT_EQ(to_hex(buf), row["output"]);
        if (row.num("status") != 0 || n == 0) {
            EXPECT_EQ(iv, iv0);
            continue;
        }
        EXPECT_EQ(Bytes(buf.end() - 16, buf.end()), iv) << "the vector continues the chain";
        // Two calls sharing the vector give the bytes of one; the other direction undoes them.
        Bytes split = input;
        iv = iv0;
        ASSERT_EQ(DoAES(ctx.get(), split.data(), 16, dir, iv.data()), 0);
        ASSERT_EQ(DoAES(ctx.get(), split.data() + 16, n - 16, dir, iv.data()), 0);
        EXPECT_EQ(split, buf);
        iv = iv0;
        EXPECT_EQ(
            DoAES(make(key, row.num("keylen"), 1 - dir).get(), buf.data(), n, 1 - dir, iv.data()),
            0);
        EXPECT_EQ(buf, input);
    }
}

TEST(Aes, EcbModeAndTheKeySchedules) {
    const Bytes key = hex_bytes("000102030405060708090a0b0c0d0e0f");
    AESCtx ctx{};
    ASSERT_EQ(AES_initKey(&ctx, 128, key.data(), 1, AES_MODE_ECB), 0);
    EXPECT_EQ(std::memcmp(ctx.roundKeys, ctx.encRoundKeys, sizeof ctx.roundKeys), 0);
    Bytes two = hex_bytes("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    std::int32_t bits = 0;
    ASSERT_EQ(AES_blockEncrypt(&ctx, nullptr, two.data(), 256 + 7, two.data(), &bits), 0);
    EXPECT_EQ(bits, 256);  // a trailing part of a block is ignored
    EXPECT_EQ(to_hex(two), "69c4e0d86a7b0430d8cdb78070b4c55a69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(AES_initKey(&ctx, 100, key.data(), 1, AES_MODE_ECB), -7904);
    EXPECT_EQ(AES_initKey(nullptr, 128, key.data(), 1, AES_MODE_ECB), -6001);
    AESCtx* none = CreateAESCtx(nullptr, 16, 1);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(DeleteAESCtx(&none), 0);
}

TEST(Aes, AgreesWithTheOracleInPlaceAtEveryAlignment) {
    const auto rows = fixture_rows("aes_cbc_vectors.txt");
    ASSERT_GT(rows.size(), 900u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Bytes key = hex_bytes(rows[i][0]), iv0 = hex_bytes(rows[i][1]);
        const auto n = static_cast<std::int32_t>(std::stoul(rows[i][3]));
        const Bytes plain = xorshift_bytes(static_cast<std::uint32_t>(std::stoul(rows[i][2])), n);
        Bytes storage(i % 4 + n + 17);  // buffer and vector at odd addresses too
        std::uint8_t *buf = storage.data() + i % 4, *iv = buf + n + (i & 1);
        std::copy(plain.begin(), plain.end(), buf);
        std::copy(iv0.begin(), iv0.end(), iv);
        ASSERT_EQ(DoAES(make(key, key.size(), 1).get(), buf, n, 1, iv), 0);
        std::uint8_t d[32];
        SHA256_completeDigest(buf, static_cast<std::uint32_t>(n), d);
        ASSERT_EQ(to_hex(d, 32), rows[i][4]) << rows[i][0] << " " << n;
        std::copy(iv0.begin(), iv0.end(), iv);
        ASSERT_EQ(DoAES(make(key, key.size(), 0).get(), buf, n, 0, iv), 0);
        ASSERT_EQ(Bytes(buf, buf + n), plain);
    }
}

}  // namespace
