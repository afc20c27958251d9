#include "crypto/rsa.h"

#include <set>

#include "crypto/imgsign.h"
#include "crypto/keydecode.h"
#include "crypto_test_support.h"

namespace {

std::uint32_t size32(const Bytes& b) {
    return static_cast<std::uint32_t>(b.size());
}

struct Key {
    KeyObject object{};
    explicit Key(const Bytes& pem) {
        KEYOBJ_init(&object);
        EXPECT_TRUE(CA_MGMT_convertPublicKey(pem.data(), size32(pem), &object) == 0 &&
                    object.type == KEY_TYPE_RSA);
    }
    ~Key() {  // the release leaves an empty object
        KEYOBJ_release(&object);
        EXPECT_TRUE(object.type == KEY_TYPE_EMPTY && object.key == nullptr);
    }
    RsaKey* rsa() const { return static_cast<RsaKey*>(object.key); }
};

std::int32_t verify(const Bytes& digest, const Bytes& sig, const Bytes& pem) {
    return IMGSIGN_verifySignature(digest.data(), size32(digest), sig.data(), size32(sig),
                                   pem.data(), size32(pem));
}

// Every malformation class of the signature block, a forgery for exponent 3 and OpenSSL's
// signatures: each row gives the status of the whole check ("reject": any failure) and the
// algorithm of the digest that can be extracted, if any.
void check(const TableRow& row) {
    SCOPED_TRACE(row["class"]);
    start_library();
    const Bytes pem = fixture(row["key"]), digest = hex_bytes(row["digest"]),
                sig = hex_bytes(row["signature"]);
    const std::int32_t status = verify(digest, sig, pem);
    EXPECT_TRUE(row["status"] == "reject" ? status < 0 : status == status_of(row["status"]))
        << status_name(status);
    Key key(pem);
    std::uint8_t carried[64];
    std::uint32_t length = 0;
    std::int32_t algorithm = 0;
    const std::int32_t extracted =
        RSA_extractSignedDigest(key.rsa(), sig.data(), size32(sig), carried, &length, &algorithm);
    if (row["algorithm"] == "") {
        EXPECT_EQ(extracted, status);
    } else {
        ASSERT_EQ(extracted, OK);
        EXPECT_EQ(algorithm, row.num("algorithm"));
        EXPECT_EQ(length == 32 && to_hex({carried, 32}) == row["digest"], status == OK);
        for (std::uint32_t i = length; i < 64; ++i) ASSERT_EQ(carried[i], 0);
    }
}

TABLE_TEST(Pkcs1, "tests/crypto/fixtures/pkcs1_vectors.tsv") {
    check(row);
}

TABLE_TEST(OpenSslSignatures, "tests/crypto/fixtures/rsa_signatures.tsv") {
    check(row);
}

// Every one-bit change of an OpenSSL signature or digest fails (one signature per key size).
TEST(Rsa, EveryBitOfASignatureAndItsDigestCounts) {
    start_library();
    std::set<std::string> swept;
    for (const auto& row : read_table("tests/crypto/fixtures/rsa_signatures.tsv")) {
        if (!swept.insert(row["key"].substr(0, 7)).second) continue;
        const Bytes pem = fixture(row["key"]), digest = hex_bytes(row["digest"]),
                    sig = hex_bytes(row["signature"]);
        const std::size_t stride = sig.size() > 256 ? 7 : 1;  // 1024 and 2048: every bit
        for (std::size_t bit = 0; bit < sig.size() * 8; bit += stride) {
            const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
            Bytes changed = sig, d = digest;
            changed[bit / 8] ^= mask;
            ASSERT_NE(verify(digest, changed, pem), OK) << row.where() << " signature bit " << bit;
            if (bit >= 256) continue;
            d[bit / 8] ^= mask;
            ASSERT_EQ(verify(d, sig, pem), ERR_SIGNATURE_MISMATCH)
                << row.where() << " digest bit " << bit;
        }
    }
}

TEST(Rsa, ArgumentAndKeyLimits) {
    start_library();
    Key key(fixture("rsa2048_0.pub.pem"));
    RsaKey* rsa = key.rsa();
    const Bytes sig(256, 1);
    Bytes out(600);
    std::uint32_t n = 0;
    std::uint8_t digest[64];
    std::int32_t alg = 0, length = 0;
    EXPECT_TRUE(RSA_modulusByteLength(rsa, &length) == 0 && length == 256);
    EXPECT_EQ(RSA_publicOpType1(nullptr, sig.data(), out.data(), &n), ERR_RSA_NO_KEY);
    EXPECT_EQ(RSA_publicOpType1(rsa, sig.data(), nullptr, &n), ERR_NULL_POINTER);
    EXPECT_EQ(RSA_extractSignedDigest(rsa, sig.data(), 255, digest, &n, &alg),
              ERR_BAD_SIGNATURE_LENGTH);
    EXPECT_EQ(RSA_extractSignedDigest(rsa, sig.data(), 257, digest, &n, &alg),
              ERR_BAD_SIGNATURE_LENGTH);
    EXPECT_EQ(RSA_extractSignedDigest(rsa, sig.data(), 256, digest, &n, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(RSA_loadPublicValues(rsa, 1, sig.data(), 256), ERR_RSA_BAD_EXPONENT);
    EXPECT_EQ(RSA_loadPublicValues(nullptr, 3, sig.data(), 256), ERR_RSA_NO_KEY);
    // A 513-byte modulus and a two-word exponent are refused before any arithmetic.
    const Bytes modulus(513, 0xC1), sig513(513, 1);
    ASSERT_EQ(RSA_loadPublicValues(rsa, 3, modulus.data(), 513), 0);
    EXPECT_EQ(RSA_publicOpType1(rsa, sig513.data(), out.data(), &n), ERR_RSA_MODULUS_TOO_LONG);
    ASSERT_EQ(RSA_loadPublicValues(rsa, 3, modulus.data(), 256), 0);
    ASSERT_EQ(VLONG_setWord(rsa->e, 1, 1), 0);
    EXPECT_EQ(RSA_publicOpType1(rsa, sig.data(), out.data(), &n), ERR_RSA_EXPONENT_TOO_LONG);
}

}  // namespace
