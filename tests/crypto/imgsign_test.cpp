#include "crypto/imgsign.h"

#include "crypto/crypto_platform.h"
#include "crypto/keydecode.h"
#include "crypto_test_support.h"

struct Signed {
    Bytes pem, digest, sig;
};

static Signed first_signature(const std::string& key) {
    for (const auto& row : read_table("tests/crypto/fixtures/rsa_signatures.tsv"))
        if (row["key"] == key)
            return {fixture(key), hex_bytes(row["digest"]), hex_bytes(row["signature"])};
    ADD_FAILURE() << key;
    return {};
}

// A NUL counted in the key's length is a Base64 character: PEM and DER both fail.
TEST(Imgsign, VerificationOutcomesWithTheTraceOff) {
    start_library();
    host.out.clear();
    const Signed s = first_signature("rsa2048_0.pub.pem");
    Bytes pem = s.pem;
    const auto k = static_cast<std::uint32_t>(pem.size());
    const auto verify = [&](std::uint32_t dlen, std::uint32_t slen, std::uint32_t klen) {
        return IMGSIGN_verifySignature(s.digest.data(), dlen, s.sig.data(), slen, pem.data(), klen);
    };
    EXPECT_EQ(verify(32, 256, k), 0);
    EXPECT_EQ(verify(31, 256, k), -7711);
    EXPECT_EQ(verify(32, 255, k), -7609);
    pem.push_back(0);
    EXPECT_EQ(verify(32, 256, k + 1), -8103);
    EXPECT_EQ(IMGSIGN_verifySignature(nullptr, 32, s.sig.data(), 256, pem.data(), 9), -6001);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, nullptr, 256, pem.data(), 9), -6001);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 256, nullptr, 9), -6001);
    std::uint8_t d[32];
    std::uint32_t n = 0;
    EXPECT_EQ(IMGSIGN_computeSHA256(nullptr, 0, d, &n) + IMGSIGN_computeSHA256(d, 0, nullptr, &n) +
                  IMGSIGN_computeSHA256(d, 0, d, nullptr),
              3 * -6001);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, nullptr), -6001);
    EXPECT_EQ(host.out, "");
}

// imgsign_trace.txt: the trace of a digest of "abc", a key that does not decode and a good check.
TEST(Imgsign, TraceTextsWhenTheCategoryIsOn) {
    start_library();
    DEBUG_CONSOLE_setMask(DEBUG_CONSOLE_DEFAULT_MASK | DEBUG_CATEGORY_IMGSIGN);
    host.out.clear();
    std::uint8_t d[32];
    std::uint32_t n = 0;
    const Signed s = first_signature("rsa1024_0.pub.pem");
    const auto k = static_cast<std::uint32_t>(s.pem.size());
    EXPECT_EQ(IMGSIGN_computeSHA256(reinterpret_cast<const std::uint8_t*>("abc"), 3, d, &n), 0);
    EXPECT_LT(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 128, s.pem.data(), 5), 0);
    EXPECT_EQ(IMGSIGN_verifySignature(s.digest.data(), 32, s.sig.data(), 128, s.pem.data(), k), 0);
    EXPECT_EQ(host.out, file_text(BOOTMGR_SOURCE_DIR "/tests/crypto/fixtures/imgsign_trace.txt"));
    DEBUG_CONSOLE_reset();
}

TEST(CryptoLib, StartUpFailuresAndCounting) {
    platform::set_os(host);
    while (CRYPTO_LIB_uninitialize() > 0) {
    }  // back to a library that never started
    const std::uint8_t text[4] = {'T', 'W', 'F', 'u'};
    std::uint8_t* out = nullptr;
    std::uint32_t n = 0;
    // The Base64 table is built before the random source is read.
    for (const auto& [source, status] :
         {std::pair{"/nonexistent/urandom", -7201}, {"/dev/null", -7202}, {"/dev/urandom", 0}}) {
        host.urandom_path = source;
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
