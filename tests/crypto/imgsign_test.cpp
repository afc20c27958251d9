#include "crypto/imgsign.h"

#include <gtest/gtest.h>

#include "crypto/crypto_platform.h"
#include "crypto/keydecode.h"
#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

class Imgsign : public ::testing::Test {
  protected:
    void SetUp() override {
        start_library();
        host().out.clear();
    }
    void TearDown() override { DEBUG_CONSOLE_reset(); }
};

struct Signed {
    Bytes pem, digest, sig;
};

Signed first_signature(const std::string& key) {
    for (const auto& row : fixture_rows("rsa_signatures.txt"))
        if (row[0] == key) return {read_fixture(row[0]), from_hex(row[1]), from_hex(row[2])};
    ADD_FAILURE() << key;
    return {};
}

std::int32_t verify(const Bytes& d, std::uint32_t dlen, const Bytes& s, std::uint32_t slen,
                    const Bytes& k, std::uint32_t klen) {
    return IMGSIGN_verifySignature(d.data(), dlen, s.data(), slen, k.data(), klen);
}

TEST_F(Imgsign, ComputeSha256) {
    struct Row {
        std::string data;
        const char* digest;
    } rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Row& row : rows) {
        std::uint8_t d[32];
        std::uint32_t n = 99;
        const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(row.data.c_str());
        ASSERT_EQ(IMGSIGN_computeSHA256(p, static_cast<std::uint32_t>(row.data.size()), d, &n), 0);
        EXPECT_EQ(n, 32u);
        EXPECT_EQ(to_hex(d, 32), row.digest);
    }
    std::uint8_t d[32];
    std::uint32_t n = 0;
    EXPECT_EQ(IMGSIGN_computeSHA256(nullptr, 0, d, &n), -6001);
    EXPECT_EQ(IMGSIGN_computeSHA256(d, 0, nullptr, &n), -6001);
    EXPECT_EQ(IMGSIGN_computeSHA256(d, 0, d, nullptr), -6001);
    EXPECT_EQ(host().out, "");  // the trace is off
}

TEST_F(Imgsign, VerificationOutcomes) {
    const Signed s = first_signature("rsa2048_0.pub.pem");
    const Signed other = first_signature("rsa2048_1.pub.pem");
    const auto L = [](const Bytes& b) { return static_cast<std::uint32_t>(b.size()); };
    struct Row {
        const char* what;
        std::int32_t status;
        std::int32_t got;
    } rows[] = {
        {"good", 0, verify(s.digest, 32, s.sig, L(s.sig), s.pem, L(s.pem))},
        {"digest length 31", -7711, verify(s.digest, 31, s.sig, L(s.sig), s.pem, L(s.pem))},
        {"signature one byte short", -7609, verify(s.digest, 32, s.sig, 255, s.pem, L(s.pem))},
        {"other key", -7702, verify(s.digest, 32, s.sig, L(s.sig), other.pem, L(other.pem))},
        {"other digest", -7711, verify(other.digest, 32, s.sig, L(s.sig), s.pem, L(s.pem))},
        {"key text of length 0", -8101, verify(s.digest, 32, s.sig, L(s.sig), s.pem, 0)},
    };
    for (const Row& row : rows) EXPECT_EQ(row.got, row.status) << row.what;
    EXPECT_EQ(IMGSIGN_verifySignature(nullptr, 32, s.sig.data(), 256, s.pem.data(), L(s.pem)),
              -6001);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, nullptr, 256, s.pem.data(), L(s.pem)),
              -6001);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 256, nullptr, L(s.pem)),
              -6001);
    // A terminating NUL counted in the length is a Base64 character: PEM and DER both fail.
    Bytes with_nul = s.pem;
    with_nul.push_back(0);
    EXPECT_LT(verify(s.digest, 32, s.sig, L(s.sig), with_nul, L(with_nul)), 0);
    EXPECT_EQ(host().out, "");
}

TEST_F(Imgsign, KeyConversionCopiesTheKey) {
    const Signed s = first_signature("rsa3072_0.pub.pem");
    KeyObject key;
    KEYOBJ_init(&key);
    ASSERT_EQ(
        CA_MGMT_convertPublicKey(s.pem.data(), static_cast<std::uint32_t>(s.pem.size()), &key), 0);
    EXPECT_EQ(key.type, KEY_TYPE_RSA);
    EXPECT_NE(key.key, nullptr);
    KEYOBJ_release(&key);
    EXPECT_EQ(key.type, KEY_TYPE_EMPTY);
    EXPECT_EQ(key.key, nullptr);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, &key), -6001);
}

TEST_F(Imgsign, TraceTextsWhenTheCategoryIsOn) {
    DEBUG_CONSOLE_setMask(DEBUG_CONSOLE_DEFAULT_MASK | DEBUG_CATEGORY_IMGSIGN);
    const std::uint8_t abc[3] = {'a', 'b', 'c'};
    std::uint8_t d[32];
    std::uint32_t n = 0;
    ASSERT_EQ(IMGSIGN_computeSHA256(abc, 3, d, &n), 0);
    EXPECT_EQ(host().out,
              "IMGSIGN_computeSHA256: length = 32\r\n"
              "ba 78 16 bf 8f 01 cf ea 41 41 40 de 5d ae 22 23 \r\n"
              "b0 03 61 a3 96 17 7a 9c b4 10 ff 61 f2 00 15 ad \r\n");
    host().out.clear();
    const Signed s = first_signature("rsa1024_0.pub.pem");
    const Bytes bad(5, 'x');
    EXPECT_LT(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 128, bad.data(), 5), 0);
    EXPECT_EQ(host().out.rfind("CA_MGMT_convertPublicKey: status = -", 0), 0u) << host().out;
    EXPECT_NE(host().out.find("IMGSIGN_verifySignature: status = "), std::string::npos);
    host().out.clear();
    ASSERT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 128, s.pem.data(),
                                      static_cast<std::uint32_t>(s.pem.size())),
              0);
    for (const char* piece : {"key type = 1, private key = 0\r\n", "Modulus: length = 128\r\n",
                              "Exponent: length = 3\r\n01 00 01 \r\n",
                              "IMGSIGN_verifySignature: signature length = 128\r\n",
                              "decrypted signature length = 32\r\n"})
        EXPECT_NE(host().out.find(piece), std::string::npos) << piece;
}

TEST(CryptoLib, StartUpFailuresAndCounting) {
    platform::set_os(host());
    while (CRYPTO_LIB_uninitialize() > 0) {
    }  // back to a library that never started
    struct Row {
        const char* source;
        std::int32_t status;
    } rows[] = {
        {"/nonexistent/urandom", -7201},
        {"/dev/null", -7202},
        {"/dev/urandom", 0},
    };
    for (const Row& row : rows) {
        host().urandom_path = row.source;
        EXPECT_EQ(CRYPTO_LIB_initialize(), row.status) << row.source;
        // The Base64 table is built before the random source is read.
        const std::uint8_t text[4] = {'T', 'W', 'F', 'u'};
        std::uint8_t* out = nullptr;
        std::uint32_t n = 0;
        EXPECT_EQ(BASE64_decodeText(text, 4, &out, &n), 0) << row.source;
        CRYPTO_free(out);
    }
    host().urandom_path = "/dev/urandom";
    // Later calls only count; the last matching release tears the tables down.
    EXPECT_EQ(CRYPTO_LIB_initialize(), 0);
    EXPECT_EQ(CRYPTO_LIB_uninitialize(), 1);
    EXPECT_EQ(CRYPTO_LIB_uninitialize(), 0);
    const std::uint8_t text[4] = {'T', 'W', 'F', 'u'};
    std::uint8_t* out = nullptr;
    std::uint32_t n = 0;
    EXPECT_EQ(BASE64_decodeText(text, 4, &out, &n), -6502);
    EXPECT_EQ(CRYPTO_LIB_initialize(), 0);
}

}  // namespace
