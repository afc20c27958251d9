#include "crypto/imgsign.h"

#include "crypto/crypto_platform.h"
#include "crypto/keydecode.h"
#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

struct Signed {
    Bytes pem, digest, sig;
};

Signed first_signature(const std::string& key) {
    for (const auto& row : read_table("tests/crypto/fixtures/rsa_signatures.tsv"))
        if (row["key"] == key)
            return {fixture(key), hex_bytes(row["digest"]), hex_bytes(row["signature"])};
    ADD_FAILURE() << key;
    return {};
}

// A NUL counted in the key's length is a Base64 character: PEM and DER both fail.
TEST(Imgsign, VerificationOutcomesWithTheTraceOff) {
    start_library();
    host().out.clear();
    const Signed s = first_signature("rsa2048_0.pub.pem"),
                 other = first_signature("rsa2048_1.pub.pem");
    Bytes with_nul = s.pem;
    with_nul.push_back(0);
    const auto k = static_cast<std::uint32_t>(s.pem.size());
    const auto verify = [&](const Bytes& d, std::uint32_t dlen, std::uint32_t slen,
                            const Bytes& pem, std::uint32_t klen) {
        return IMGSIGN_verifySignature(d.data(), dlen, s.sig.data(), slen, pem.data(), klen);
    };
    EXPECT_EQ(verify(s.digest, 32, 256, s.pem, k), 0);
    EXPECT_EQ(verify(s.digest, 31, 256, s.pem, k), -7711);
    EXPECT_EQ(verify(s.digest, 32, 255, s.pem, k), -7609);
    EXPECT_EQ(verify(s.digest, 32, 256, other.pem, k), -7702);
    EXPECT_EQ(verify(other.digest, 32, 256, s.pem, k), -7711);
    EXPECT_EQ(verify(s.digest, 32, 256, s.pem, 0), -8101);
    EXPECT_EQ(verify(s.digest, 32, 256, with_nul, k + 1), -8103);
    EXPECT_EQ(IMGSIGN_verifySignature(nullptr, 32, s.sig.data(), 256, s.pem.data(), 9), -6001);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, nullptr, 256, s.pem.data(), 9), -6001);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 256, nullptr, 9), -6001);
    std::uint8_t d[32];
    std::uint32_t n = 0;
    EXPECT_EQ(IMGSIGN_computeSHA256(nullptr, 0, d, &n) + IMGSIGN_computeSHA256(d, 0, nullptr, &n) +
                  IMGSIGN_computeSHA256(d, 0, d, nullptr),
              3 * -6001);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, nullptr), -6001);
    EXPECT_EQ(host().out, "");
}

TEST(Imgsign, TraceTextsWhenTheCategoryIsOn) {
    start_library();
    DEBUG_CONSOLE_setMask(DEBUG_CONSOLE_DEFAULT_MASK | DEBUG_CATEGORY_IMGSIGN);
    host().out.clear();
    std::uint8_t d[32];
    std::uint32_t n = 0;
    ASSERT_EQ(IMGSIGN_computeSHA256(reinterpret_cast<const std::uint8_t*>("abc"), 3, d, &n), 0);
    EXPECT_EQ(host().out,
              "IMGSIGN_computeSHA256: length = 32\r\n"
              "ba 78 16 bf 8f 01 cf ea 41 41 40 de 5d ae 22 23 \r\n"
              "b0 03 61 a3 96 17 7a 9c b4 10 ff 61 f2 00 15 ad \r\n");
    const Signed s = first_signature("rsa1024_0.pub.pem");
    host().out.clear();
    EXPECT_LT(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 128, s.pem.data(), 5), 0);
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
    DEBUG_CONSOLE_reset();
}

TEST(CryptoLib, StartUpFailuresAndCounting) {
    platform::set_os(host());
    while (CRYPTO_LIB_uninitialize() > 0) {
    }  // back to a library that never started
    const std::uint8_t text[4] = {'T', 'W', 'F', 'u'};
    std::uint8_t* out = nullptr;
    std::uint32_t n = 0;
    // The Base64 table is built before the random source is read.
    for (const auto& [source, status] :
         {std::pair{"/nonexistent/urandom", -7201}, {"/dev/null", -7202}, {"/dev/urandom", 0}}) {
        host().urandom_path = source;
        EXPECT_EQ(CRYPTO_LIB_initialize(), status) << source;
        EXPECT_EQ(BASE64_decodeText(text, 4, &out, &n), 0) << source;
        CRYPTO_free(out);
    }
    // Later calls only count; the last matching release tears the tables down.
    EXPECT_EQ(CRYPTO_LIB_initialize(), 0);
    EXPECT_EQ(CRYPTO_LIB_uninitialize(), 1);
    EXPECT_EQ(CRYPTO_LIB_uninitialize(), 0);
    EXPECT_EQ(BASE64_decodeText(text, 4, &out, &n), -6502);
    EXPECT_EQ(CRYPTO_LIB_initialize(), 0);
}

}  // namespace
