#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/digest.h"
#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

struct CtxDeleter {
    void operator()(AESCtx* c) const { DeleteAESCtx(&c); }
};
using Ctx = std::unique_ptr<AESCtx, CtxDeleter>;

Ctx make(const Bytes& key, int encrypt) {
    return Ctx(CreateAESCtx(key.data(), static_cast<std::int32_t>(key.size()), encrypt));
}

TEST(Aes, ReproducesTheBlockCipherExamples) {
    const Bytes plain = from_hex("00112233445566778899aabbccddeeff");
    struct Row {
        const char* key;
        const char* cipher;
    } rows[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const Row& row : rows) {
        const Bytes key = from_hex(row.key);
        Bytes buf = plain;
        Bytes iv(16, 0);
        ASSERT_EQ(DoAES(make(key, 1).get(), buf.data(), 16, 1, iv.data()), 0);
        EXPECT_EQ(to_hex(buf), row.cipher) << key.size() * 8;
        EXPECT_EQ(iv, buf);  // the vector continues the chain
        iv.assign(16, 0);
        ASSERT_EQ(DoAES(make(key, 0).get(), buf.data(), 16, 0, iv.data()), 0);
        EXPECT_EQ(buf, plain) << key.size() * 8;
    }
}

TEST(Aes, ReproducesTheCbcModeExamples) {
    const char* plain =
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
    struct Row {
        const char* key;
        const char* cipher;
    } rows[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c",
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    const Bytes iv0 = from_hex("000102030405060708090a0b0c0d0e0f");
    for (const Row& row : rows) {
        const Bytes key = from_hex(row.key);
        Bytes buf = from_hex(plain);
        Bytes iv = iv0;
        ASSERT_EQ(DoAES(make(key, 1).get(), buf.data(), 64, 1, iv.data()), 0);
        EXPECT_EQ(to_hex(buf), row.cipher);
        // Two calls sharing the vector give the bytes of one call.
        Bytes split = from_hex(plain);
        iv = iv0;
        auto enc = make(key, 1);
        ASSERT_EQ(DoAES(enc.get(), split.data(), 16, 1, iv.data()), 0);
        ASSERT_EQ(DoAES(enc.get(), split.data() + 16, 48, 1, iv.data()), 0);
        EXPECT_EQ(split, buf);
        iv = iv0;
        ASSERT_EQ(DoAES(make(key, 0).get(), buf.data(), 64, 0, iv.data()), 0);
        EXPECT_EQ(to_hex(buf), plain);
    }
}

TEST(Aes, RefusesBadArguments) {
    const Bytes key16(16, 7);
    struct KeyRow {
        std::int32_t length;
        bool created;
        std::int32_t rounds;
    } keys[] = {{12, false, 0}, {0, false, 0},  {15, false, 0}, {16, true, 10},
                {24, true, 12}, {32, true, 14}, {33, false, 0}, {-16, false, 0}};
    const Bytes key(64, 3);
    for (const KeyRow& row : keys) {
        AESCtx* c = CreateAESCtx(key.data(), row.length, 1);
        EXPECT_EQ(c != nullptr, row.created) << row.length;
        if (c != nullptr) {
            EXPECT_EQ(c->rounds, row.rounds);
            EXPECT_EQ(c->mode, AES_MODE_CBC);
        }
        EXPECT_EQ(DeleteAESCtx(&c), 0);
        EXPECT_EQ(c, nullptr);
    }
    EXPECT_EQ(CreateAESCtx(nullptr, 16, 1), nullptr);

    auto enc = make(key16, 1);
    auto dec = make(key16, 0);
    struct CallRow {
        AESCtx* ctx;
        std::int32_t length;
        std::int32_t encrypt;
        std::int32_t status;
    } calls[] = {
        {enc.get(), 20, 1, -7902}, {enc.get(), -16, 1, -7902}, {enc.get(), 0, 1, 0},
        {dec.get(), 16, 1, -7903}, {enc.get(), 16, 0, -7903},  {nullptr, 16, 1, -6001},
        {dec.get(), 0, 0, 0},
    };
    for (const CallRow& row : calls) {
        Bytes buf(32, 0x11);
        Bytes iv(16, 0x22);
        EXPECT_EQ(DoAES(row.ctx, buf.data(), row.length, row.encrypt, iv.data()), row.status)
            << row.length << " " << row.encrypt;
        EXPECT_EQ(buf, Bytes(32, 0x11));  // a refused or empty call changes nothing
        EXPECT_EQ(iv, Bytes(16, 0x22));
    }
    AESCtx* none = nullptr;
    EXPECT_EQ(DeleteAESCtx(&none), 0);
    // An unknown mode fails in both directions.
    enc->mode = 7;
    dec->mode = 7;
    Bytes buf(16, 0), iv(16, 0);
    EXPECT_EQ(DoAES(enc.get(), buf.data(), 16, 1, iv.data()), -7907);
    EXPECT_EQ(DoAES(dec.get(), buf.data(), 16, 0, iv.data()), -7903);
}

TEST(Aes, EcbModeAndTheDecryptionScheduleAgree) {
    const Bytes key = from_hex("000102030405060708090a0b0c0d0e0f");
    AESCtx ctx{};
    ASSERT_EQ(AES_initKey(&ctx, 128, key.data(), 1, AES_MODE_ECB), 0);
    EXPECT_EQ(std::memcmp(ctx.roundKeys, ctx.encRoundKeys, sizeof ctx.roundKeys), 0);
    Bytes two = from_hex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    std::int32_t bits = 0;
    ASSERT_EQ(AES_blockEncrypt(&ctx, nullptr, two.data(), 256 + 7, two.data(), &bits), 0);
    EXPECT_EQ(bits, 256);  // a trailing part of a block is ignored
    EXPECT_EQ(to_hex(two), "69c4e0d86a7b0430d8cdb78070b4c55a69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(AES_initKey(&ctx, 100, key.data(), 1, AES_MODE_ECB), -7904);
    EXPECT_EQ(AES_initKey(nullptr, 128, key.data(), 1, AES_MODE_ECB), -6001);
}

TEST(Aes, WorksInPlaceOnUnalignedBuffers) {
    const Bytes key(16, 0x42);
    for (std::size_t offset = 0; offset < 4; ++offset) {
        Bytes storage(offset + 80 + 1);
        std::uint8_t* buf = storage.data() + offset;
        const Bytes plain = xorshift_bytes(7, 80);
        std::memcpy(buf, plain.data(), 80);
        std::uint8_t ivs[17] = {};
        std::uint8_t* iv = ivs + (offset & 1);
        ASSERT_EQ(DoAES(make(key, 1).get(), buf, 80, 1, iv), 0);
        Bytes aligned = plain;
        Bytes iv2(16, 0);
        ASSERT_EQ(DoAES(make(key, 1).get(), aligned.data(), 80, 1, iv2.data()), 0);
        EXPECT_EQ(Bytes(buf, buf + 80), aligned) << offset;
        std::memset(iv, 0, 16);
        ASSERT_EQ(DoAES(make(key, 0).get(), buf, 80, 0, iv), 0);
        EXPECT_EQ(Bytes(buf, buf + 80), plain) << offset;
    }
}

TEST(Aes, AgreesWithTheOracleOnHundredsOfBuffers) {
    const auto rows = fixture_rows("aes_cbc_vectors.txt");
    ASSERT_GT(rows.size(), 900u);
    for (const auto& row : rows) {
        const Bytes key = from_hex(row[0]);
        const Bytes iv0 = from_hex(row[1]);
        const std::size_t n = std::stoul(row[3]);
        if (n == 0) continue;  // an empty buffer is covered by RefusesBadArguments
        const Bytes plain = xorshift_bytes(static_cast<std::uint32_t>(std::stoul(row[2])), n);
        Bytes buf = plain;
        Bytes iv = iv0;
        ASSERT_EQ(DoAES(make(key, 1).get(), buf.data(), static_cast<std::int32_t>(n), 1, iv.data()),
                  0);
        std::uint8_t d[32];
        SHA256_completeDigest(buf.data(), static_cast<std::uint32_t>(n), d);
        ASSERT_EQ(to_hex(d, 32), row[4]) << row[0] << " " << n;
        iv = iv0;
        ASSERT_EQ(DoAES(make(key, 0).get(), buf.data(), static_cast<std::int32_t>(n), 0, iv.data()),
                  0);
        ASSERT_EQ(buf, plain);
    }
}

}  // namespace
