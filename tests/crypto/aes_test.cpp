#include "crypto/aes.h"

#include <cstring>

#include "crypto/digest.h"
#include "crypto_test_support.h"

namespace {

std::shared_ptr<AESCtx> make(const Bytes& key, std::int64_t length, std::int64_t encrypt) {
    return {CreateAESCtx(key.data(), static_cast<std::int32_t>(length),
                         static_cast<std::int32_t>(encrypt)),
            [](AESCtx* c) { DeleteAESCtx(&c); }};
}

// One row: the call's status and output, the chained vector, a call split in two, the other
// direction; buffer and vector at odd addresses too.
void check(const TableRow& row) {
    static std::size_t at = 0;
    const auto n = static_cast<std::int32_t>(row.num("length"));
    const auto dir = static_cast<std::int32_t>(row.num("dir"));
    const std::int32_t status = status_of(row["status"]);
    const std::string text = row["input"], want = row["output"];
    const Bytes key = hex_bytes(row["key"]), iv0 = hex_bytes(row["iv"]),
                input = text.starts_with("xorshift:") ? message(text, n) : hex_bytes(text);
    const auto ctx = make(key, row.num("keylen"), row.num("ctxdir"));
    if (ctx != nullptr && row["mode"] != "") ctx->mode = static_cast<std::int32_t>(row.num("mode"));
    Bytes storage(++at % 4 + input.size() + 17);
    std::uint8_t *buf = storage.data() + at % 4, *iv = buf + input.size() + (at & 1);
    std::copy(iv0.begin(), iv0.end(), std::copy(input.begin(), input.end(), buf) + (at & 1));
    EXPECT_EQ(DoAES(ctx.get(), buf, n, dir, iv), status);
    const Bytes out(buf, buf + input.size());
    std::uint8_t d[32];
    SHA256_completeDigest(buf, static_cast<std::uint32_t>(out.size()), d);
    EXPECT_EQ(want.starts_with("sha256:") ? "sha256:" + to_hex(d) : to_hex(out), want);
    if (status != OK || n == 0) {
        EXPECT_EQ(Bytes(iv, iv + 16), iv0);
        return;
    }
    EXPECT_EQ(Bytes(buf + n - 16, buf + n), Bytes(iv, iv + 16)) << "the chain goes on";
    // Two calls sharing the vector make one; the other direction undoes them.
    Bytes split = input, iv2 = iv0;
    ASSERT_EQ(DoAES(ctx.get(), split.data(), 16, dir, iv2.data()), OK);
    ASSERT_EQ(DoAES(ctx.get(), split.data() + 16, n - 16, dir, iv2.data()), OK);
    EXPECT_EQ(split, out);
    std::copy(iv0.begin(), iv0.end(), iv);
    EXPECT_EQ(DoAES(make(key, row.num("keylen"), 1 - dir).get(), buf, n, 1 - dir, iv), OK);
    EXPECT_EQ(Bytes(buf, buf + n), input);
}

TABLE_TEST(Aes, "tests/crypto/fixtures/aes.tsv") {
    check(row);
}

// OpenSSL's ciphertexts, given by their SHA-256 ("sha256:HEX" outputs): generated, 903 rows, one
// test (a failure names its row).
TEST(Aes, OpenSslVectors) {
    for (const auto& row : read_table("tests/crypto/fixtures/aes_vectors.tsv")) {
        SCOPED_TRACE(row.where());
        check(row);
    }
}

TEST(Aes, EcbModeAndKeySchedules) {
    const Bytes key = hex_bytes("000102030405060708090a0b0c0d0e0f");
    AESCtx ctx{};
    ASSERT_EQ(AES_initKey(&ctx, 128, key.data(), 1, AES_MODE_ECB), 0);
    EXPECT_EQ(std::memcmp(ctx.roundKeys, ctx.encRoundKeys, sizeof ctx.roundKeys), 0);
    Bytes two = hex_bytes("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    std::int32_t bits = 0;
    ASSERT_EQ(AES_blockEncrypt(&ctx, nullptr, two.data(), 256 + 7, two.data(), &bits), 0);
    EXPECT_EQ(bits, 256);  // a trailing part of a block is ignored
    EXPECT_EQ(to_hex(two), "69c4e0d86a7b0430d8cdb78070b4c55a69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(AES_initKey(&ctx, 100, key.data(), 1, AES_MODE_ECB), ERR_AES_BAD_KEY_SIZE);
    EXPECT_EQ(AES_initKey(nullptr, 128, key.data(), 1, AES_MODE_ECB), ERR_NULL_POINTER);
    EXPECT_EQ(make({}, 16, 1), nullptr);  // no key; deleting no context is no error
}

}  // namespace
