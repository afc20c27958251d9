#include "crypto/rsa.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "crypto/imgsign.h"
#include "crypto/keydecode.h"
#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

class Rsa : public ::testing::Test {
  protected:
    void SetUp() override { start_library(); }
};

struct Key {
    KeyObject object{};
    explicit Key(const Bytes& pem) {
        KEYOBJ_init(&object);
        EXPECT_EQ(CA_MGMT_convertPublicKey(pem.data(), size32(pem), &object), 0);
    }
    ~Key() { KEYOBJ_release(&object); }
    const RsaKey* rsa() const { return static_cast<const RsaKey*>(object.key); }
    static std::uint32_t size32(const Bytes& b) { return static_cast<std::uint32_t>(b.size()); }
};

std::int32_t verify(const Bytes& digest, const Bytes& sig, const Bytes& pem) {
    return IMGSIGN_verifySignature(digest.data(), Key::size32(digest), sig.data(), Key::size32(sig),
                                   pem.data(), Key::size32(pem));
}

// Every malformation class of the signature block, and a forgery for exponent 3: each row gives
// the status of the whole check and the algorithm of the digest that can be extracted, if any.
TEST_F(Rsa, Pkcs1Vectors) {
    std::map<std::string, int> per_class;
    for (const auto& row : fixture_rows("pkcs1_vectors.txt")) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        const Bytes pem = read_fixture(row[2]), digest = hex_bytes(row[3]), sig = hex_bytes(row[4]);
        const std::int32_t status = verify(digest, sig, pem);
        EXPECT_TRUE(row[5] == "reject" ? status < 0 : status == std::stoi(row[5])) << status;
        Key key(pem);
        std::uint8_t carried[64];
        std::uint32_t length = 0;
        std::int32_t algorithm = 0;
        const std::int32_t extracted = RSA_extractSignedDigest(
            key.rsa(), sig.data(), Key::size32(sig), carried, &length, &algorithm);
        if (row[6] == "-") {
            EXPECT_EQ(extracted, status);
        } else {
            ASSERT_EQ(extracted, 0);
            EXPECT_EQ(algorithm, std::stoi(row[6]));
            EXPECT_EQ(length == 32 && to_hex(carried, 32) == row[3], status == 0);
            for (std::uint32_t i = length; i < 64; ++i) ASSERT_EQ(carried[i], 0);
        }
        ++per_class[row[0]];
    }
    EXPECT_EQ(per_class.size(), 14u);
    EXPECT_EQ(per_class["e3_forgery"], 1);
}

TEST_F(Rsa, ArgumentAndKeyLimits) {
    Key key(read_fixture("rsa2048_0.pub.pem"));
    const Bytes sig(256, 1);
    Bytes out(600);
    std::uint32_t n = 0;
    std::uint8_t digest[64];
    std::int32_t alg = 0, length = 0;
    EXPECT_EQ(RSA_modulusByteLength(key.rsa(), &length), 0);
    EXPECT_EQ(length, 256);
    auto* rsa = const_cast<RsaKey*>(key.rsa());
    const std::pair<std::int32_t, std::int32_t> rows[] = {
        {-7701, RSA_publicOpType1(nullptr, sig.data(), out.data(), &n)},
        {-6001, RSA_publicOpType1(rsa, sig.data(), nullptr, &n)},
        {-7609, RSA_extractSignedDigest(rsa, sig.data(), 255, digest, &n, &alg)},
        {-7609, RSA_extractSignedDigest(rsa, sig.data(), 257, digest, &n, &alg)},
        {-6001, RSA_extractSignedDigest(rsa, sig.data(), 256, digest, &n, nullptr)},
        {-6013, RSA_loadPublicValues(rsa, 1, sig.data(), 256)},
        {-7701, RSA_loadPublicValues(nullptr, 3, sig.data(), 256)},
    };
    for (const auto& [want, got] : rows) EXPECT_EQ(got, want);
    // A 513-byte modulus and a two-word exponent are refused before any arithmetic.
    const Bytes modulus(513, 0xC1), sig513(513, 1);
    ASSERT_EQ(RSA_loadPublicValues(rsa, 3, modulus.data(), 513), 0);
    EXPECT_EQ(RSA_publicOpType1(rsa, sig513.data(), out.data(), &n), -7707);
    ASSERT_EQ(RSA_loadPublicValues(rsa, 3, modulus.data(), 256), 0);
    ASSERT_EQ(VLONG_setWord(rsa->e, 1, 1), 0);
    EXPECT_EQ(RSA_publicOpType1(rsa, sig.data(), out.data(), &n), -7706);
}

// Every OpenSSL signature verifies; every one-bit change of signature or digest fails.
TEST_F(Rsa, OracleSignaturesAndEveryOneBitChange) {
    const auto rows = fixture_rows("rsa_signatures.txt");
    ASSERT_EQ(rows.size(), 24u);
    std::map<std::string, bool> flipped;  // one sweep per key size keeps the run short
    for (const auto& row : rows) {
        const Bytes pem = read_fixture(row[0]), digest = hex_bytes(row[1]);
        Bytes sig = hex_bytes(row[2]);
        ASSERT_EQ(verify(digest, sig, pem), 0) << row[0];
        if (std::exchange(flipped[row[0].substr(0, 7)], true)) continue;
        const std::size_t stride = sig.size() > 256 ? 7 : 1;  // 1024 and 2048 get every bit
        for (std::size_t bit = 0; bit < sig.size() * 8; bit += stride) {
            sig[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_NE(verify(digest, sig, pem), 0) << row[0] << " signature bit " << bit;
            sig[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
        Bytes d = digest;
        for (std::size_t bit = 0; bit < 256; ++bit) {
            d[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_EQ(verify(d, sig, pem), -7711) << row[0] << " digest bit " << bit;
            d[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
}

}  // namespace
