#include "crypto/rsa.h"

#include <gtest/gtest.h>

#include <map>

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
    Key() { KEYOBJ_init(&object); }
    explicit Key(const Bytes& pem) : Key() {
        EXPECT_EQ(
            CA_MGMT_convertPublicKey(pem.data(), static_cast<std::uint32_t>(pem.size()), &object),
            0);
    }
    ~Key() { KEYOBJ_release(&object); }
    const RsaKey* rsa() const { return static_cast<const RsaKey*>(object.key); }
};

TEST_F(Rsa, CraftedBlocksGiveTheirStatuses) {
    const auto rows = fixture_rows("pkcs1_crafted.txt");
    ASSERT_GE(rows.size(), 16u);
    for (const auto& row : rows) {
        const Bytes pem = read_fixture(row[1]);
        const Bytes digest = from_hex(row[2]);
        const Bytes sig = from_hex(row[3]);
        Key key(pem);
        Bytes out(sig.size());
        std::uint32_t outLength = 0;
        EXPECT_EQ(RSA_publicOpType1(key.rsa(), sig.data(), out.data(), &outLength),
                  std::stoi(row[4]))
            << row[0];
        if (std::stoi(row[4]) == 0) {
            EXPECT_EQ(outLength, std::stoul(row[5])) << row[0];
        }
        EXPECT_EQ(IMGSIGN_verifySignature(digest.data(), 32, sig.data(),
                                          static_cast<std::uint32_t>(sig.size()), pem.data(),
                                          static_cast<std::uint32_t>(pem.size())),
                  std::stoi(row[6]))
            << row[0];
    }
}

TEST_F(Rsa, DigestInfoNamesTheAlgorithm) {
    std::map<std::string, std::pair<std::int32_t, std::uint32_t>> expected = {
        {"good", {11, 32}},
        {"sha1_digestinfo", {5, 20}},
        {"sha1_alt_oid", {5, 20}},
        {"md5_digestinfo", {4, 16}},
        {"digest_mismatch", {11, 32}}};
    for (const auto& row : fixture_rows("pkcs1_crafted.txt")) {
        const auto it = expected.find(row[0]);
        if (it == expected.end()) continue;
        Key key(read_fixture(row[1]));
        const Bytes sig = from_hex(row[3]);
        std::uint8_t digest[64];
        std::uint32_t length = 0;
        std::int32_t algorithm = 0;
        ASSERT_EQ(
            RSA_extractSignedDigest(key.rsa(), sig.data(), static_cast<std::uint32_t>(sig.size()),
                                    digest, &length, &algorithm),
            0)
            << row[0];
        EXPECT_EQ(algorithm, it->second.first) << row[0];
        EXPECT_EQ(length, it->second.second) << row[0];
        for (std::uint32_t i = length; i < 64; ++i) ASSERT_EQ(digest[i], 0);
        expected.erase(it);
    }
    EXPECT_TRUE(expected.empty());
}

TEST_F(Rsa, ArgumentAndKeyLimits) {
    Key key(read_fixture("rsa2048_0.pub.pem"));
    const Bytes sig(256, 1);
    Bytes out(600);
    std::uint32_t n = 0;
    std::uint8_t digest[64];
    std::int32_t alg = 0;
    std::int32_t length = 0;
    EXPECT_EQ(RSA_modulusByteLength(key.rsa(), &length), 0);
    EXPECT_EQ(length, 256);
    struct Row {
        const char* what;
        std::int32_t status;
        std::int32_t got;
    } rows[] = {
        {"no key", -7701, RSA_publicOpType1(nullptr, sig.data(), out.data(), &n)},
        {"no output", -6001, RSA_publicOpType1(key.rsa(), sig.data(), nullptr, &n)},
        {"255-byte signature", -7609,
         RSA_extractSignedDigest(key.rsa(), sig.data(), 255, digest, &n, &alg)},
        {"257-byte signature", -7609,
         RSA_extractSignedDigest(key.rsa(), sig.data(), 257, digest, &n, &alg)},
        {"no algorithm", -6001,
         RSA_extractSignedDigest(key.rsa(), sig.data(), 256, digest, &n, nullptr)},
        {"exponent 1", -6013,
         RSA_loadPublicValues(const_cast<RsaKey*>(key.rsa()), 1, sig.data(), 256)},
        {"no key to load", -7701, RSA_loadPublicValues(nullptr, 3, sig.data(), 256)},
    };
    for (const Row& row : rows) EXPECT_EQ(row.got, row.status) << row.what;

    // A 513-byte modulus and a two-word exponent are refused before any arithmetic.
    RsaKey* big = nullptr;
    ASSERT_EQ(RSA_createKey(&big), 0);
    const Bytes modulus(513, 0xC1);
    ASSERT_EQ(RSA_loadPublicValues(big, 3, modulus.data(), 513), 0);
    Bytes sig513(513, 1);
    EXPECT_EQ(RSA_publicOpType1(big, sig513.data(), out.data(), &n), -7707);
    ASSERT_EQ(RSA_loadPublicValues(big, 3, modulus.data(), 256), 0);
    ASSERT_EQ(VLONG_setWord(big->e, 1, 1), 0);
    EXPECT_EQ(RSA_publicOpType1(big, sig.data(), out.data(), &n), -7706);
    RSA_freeKey(&big);
    EXPECT_EQ(big, nullptr);
}

// Every OpenSSL signature verifies; every one-bit change of signature, digest or modulus fails.
TEST_F(Rsa, OracleSignaturesAndEveryOneBitChange) {
    const auto rows = fixture_rows("rsa_signatures.txt");
    ASSERT_EQ(rows.size(), 24u);
    std::map<std::string, bool> flipped;  // one full sweep per key size keeps the run short
    for (const auto& row : rows) {
        const Bytes pem = read_fixture(row[0]);
        const Bytes digest = from_hex(row[1]);
        Bytes sig = from_hex(row[2]);
        const auto verify = [&](const Bytes& d, const Bytes& s, const Bytes& k) {
            return IMGSIGN_verifySignature(d.data(), static_cast<std::uint32_t>(d.size()), s.data(),
                                           static_cast<std::uint32_t>(s.size()), k.data(),
                                           static_cast<std::uint32_t>(k.size()));
        };
        ASSERT_EQ(verify(digest, sig, pem), 0) << row[0];
        const std::string size = row[0].substr(0, 7);
        if (flipped[size]) continue;
        flipped[size] = true;
        // Signature bits: the stride keeps the larger keys bounded; 1024 and 2048 get every bit.
        const std::size_t stride = sig.size() > 256 ? 7 : 1;
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
        // Modulus bits, through the key text: DER re-encoded as PEM is the path the boot takes.
        std::uint8_t* der = nullptr;
        std::uint32_t derLength = 0;
        ASSERT_EQ(
            PEM_stripToDer(pem.data(), static_cast<std::uint32_t>(pem.size()), &der, &derLength),
            0);
        Bytes derBytes(der, der + derLength);
        CRYPTO_free(der);
        const std::size_t modulusBytes = sig.size();
        const std::size_t modulusStart =
            derBytes.size() - 5 - modulusBytes;  // e = 65537 at the end
        for (std::size_t bit = 0; bit < modulusBytes * 8; bit += stride * 3) {
            Bytes k = derBytes;
            k[modulusStart + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_NE(verify(digest, sig, k), 0) << row[0] << " modulus bit " << bit;
        }
    }
}

}  // namespace
