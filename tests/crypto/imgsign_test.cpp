#include "crypto/imgsign.h"

#include "crypto/crypto_platform.h"
#include "crypto/keydecode.h"
#include "crypto_test_support.h"

// A NUL counted in the key's length is a Base64 character: PEM and DER both fail. Nothing is
// printed while the trace is off; imgsign_trace.txt is the trace of a digest of "abc", a key that
// does not decode and a good check.
TEST(Imgsign, VerificationOutcomesAndTrace) {
    start_library();
    host.out.clear();
    const TableRow row = read_table("tests/crypto/fixtures/rsa_signatures.tsv").at(0);
    const Bytes digest = hex_bytes(row["digest"]), sig = hex_bytes(row["signature"]);
    Bytes pem = fixture(row["key"]);
    const auto k = static_cast<std::uint32_t>(pem.size());
    const auto verify = [&](std::uint32_t dlen, std::uint32_t slen, std::uint32_t klen) {
        return IMGSIGN_verifySignature(digest.data(), dlen, sig.data(), slen, pem.data(), klen);
    };
    EXPECT_EQ(verify(32, 128, k), 0);
    EXPECT_EQ(verify(31, 128, k), ERR_SIGNATURE_MISMATCH);
    EXPECT_EQ(verify(32, 127, k), ERR_BAD_SIGNATURE_LENGTH);
    EXPECT_EQ(IMGSIGN_verifySignature(nullptr, 32, sig.data(), 128, pem.data(), 9) +
                  IMGSIGN_verifySignature(digest.data(), 32, nullptr, 128, pem.data(), 9) +
                  IMGSIGN_verifySignature(digest.data(), 32, sig.data(), 128, nullptr, 9),
              3 * ERR_NULL_POINTER);
    std::uint8_t d[32];
    std::uint32_t n = 0;
    EXPECT_EQ(IMGSIGN_computeSHA256(nullptr, 0, d, &n) + IMGSIGN_computeSHA256(d, 0, nullptr, &n) +
                  IMGSIGN_computeSHA256(d, 0, d, nullptr),
              3 * ERR_NULL_POINTER);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, nullptr), ERR_NULL_POINTER);
    pem.push_back(0);
    EXPECT_EQ(verify(32, 128, k + 1), ERR_DER_BAD_LENGTHS);
    EXPECT_EQ(host.out, "");
    DEBUG_CONSOLE_setMask(DEBUG_CONSOLE_DEFAULT_MASK | DEBUG_CATEGORY_IMGSIGN);
    EXPECT_EQ(IMGSIGN_computeSHA256(reinterpret_cast<const std::uint8_t*>("abc"), 3, d, &n), 0);
    EXPECT_LT(verify(32, 128, 5), 0);
    EXPECT_EQ(verify(32, 128, k), 0);
    EXPECT_EQ(host.out, file_text(BOOTMGR_SOURCE_DIR "/tests/crypto/fixtures/imgsign_trace.txt"));
    DEBUG_CONSOLE_reset();
}

TEST(CryptoLib, StartUpFailuresAndCounting) {
    platform::set_os(host);
    while (CRYPTO_LIB_uninitialize() > 0) continue;  // back to a library that never started
    const std::uint8_t text[4] = {'T', 'W', 'F', 'u'};
    std::uint8_t* out = nullptr;
    std::uint32_t n = 0;
    // The Base64 table is built before the random source is read.
    for (const auto& [source, status] : {std::pair{"/nonexistent/urandom", ERR_FILE_OPEN},
                                         {"/dev/null", ERR_FILE_READ},
                                         {"/dev/urandom", 0}}) {
        host.urandom_path = source;
        EXPECT_EQ(CRYPTO_LIB_initialize(), status) << source;
        EXPECT_EQ(BASE64_decodeText(text, 4, &out, &n), 0) << source;
        CRYPTO_free(out);
    }
    // Later calls only count; the last matching release tears the tables down.
    EXPECT_EQ(CRYPTO_LIB_initialize(), 0);
    EXPECT_EQ(CRYPTO_LIB_uninitialize(), 1);
    EXPECT_EQ(CRYPTO_LIB_uninitialize(), 0);
    EXPECT_EQ(BASE64_decodeText(text, 4, &out, &n), ERR_BASE64_UNINITIALIZED);
    EXPECT_EQ(CRYPTO_LIB_initialize(), 0);
}
