#include "crypto/keydecode.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto_platform.h"
#include "crypto/der.h"
#include "crypto/imgsign.h"
#include "crypto/rsa.h"
#include "crypto_test_support.h"

using namespace crypto_test;

namespace {

class KeyDecode : public ::testing::Test {
  protected:
    void SetUp() override { start_library(); }
};

std::int32_t convert(const Bytes& text) {
    return CA_MGMT_convertPublicKey(text.data(), static_cast<std::uint32_t>(text.size()), nullptr);
}

Bytes der_of(const Bytes& pem) {
    std::uint8_t* der = nullptr;
    std::uint32_t n = 0;
    EXPECT_EQ(PEM_stripToDer(pem.data(), static_cast<std::uint32_t>(pem.size()), &der, &n), 0);
    Bytes out(der, der + n);
    CRYPTO_free(der);
    return out;
}

std::int32_t blob_status(const Bytes& der, Bytes* blob = nullptr) {
    std::uint8_t* b = nullptr;
    std::uint32_t n = 0;
    const std::int32_t s =
        KEYBLOB_buildFromDer(der.data(), static_cast<std::uint32_t>(der.size()), &b, &n);
    if (s == 0 && blob != nullptr) blob->assign(b, b + n);
    CRYPTO_free(b);
    return s;
}

std::int32_t tree_status(const Bytes& der) {
    DerNode* tree = nullptr;
    static const std::uint8_t nothing = 0;
    const std::int32_t s = DER_readTree(der.empty() ? &nothing : der.data(),
                                        static_cast<std::uint32_t>(der.size()), &tree);
    DER_freeTree(&tree);
    return s;
}

Bytes str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST_F(KeyDecode, Base64Table) {
    struct Row {
        const char* text;
        std::int32_t status;
        const char* hex;
    } rows[] = {
        {"TWFu", 0, "4d616e"},
        {"TWE=", 0, "4d61"},
        {"TQ==", 0, "4d"},
        {"TQ=A", 0, "4d"},
        {"TWFuTWFu", 0, "4d616e4d616e"},
        {"TWF", -6501, ""},
        {"TWFuT", -6501, ""},
        {"", -6501, ""},
        {"T*Fu", -6501, ""},
        {"*WFu", -6501, ""},
        {"TQ==TWFu", -6501, ""},
        {"TW=u", 0, "4d"},  // after "=" in third place the fourth is not read
        {"TWF\n", -6501, ""},
        {"=WFu", -6501, ""},
    };
    for (const Row& row : rows) {
        const std::string t = row.text;
        std::uint8_t* out = nullptr;
        std::uint32_t n = 0;
        EXPECT_EQ(BASE64_decodeText(reinterpret_cast<const std::uint8_t*>(t.data()),
                                    static_cast<std::uint32_t>(t.size()), &out, &n),
                  row.status)
            << t;
        if (row.status == 0) {
            EXPECT_EQ(to_hex(out, n), row.hex) << t;
        }
        CRYPTO_free(out);
    }
}

TEST_F(KeyDecode, PemVariants) {
    const Bytes pem = read_fixture("rsa2048_0.pub.pem");
    std::string text(pem.begin(), pem.end());
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string relabelled = text;
    relabelled.replace(relabelled.find("PUBLIC KEY"), 10, "CERTIFICATE");
    std::string with_nul = text;
    with_nul.insert(100, 1, '\0');
    std::string counted_nul = text + '\0';
    std::string blanks = text;
    blanks.insert(text.find('\n') + 1, "   ");
    std::string tab_inside = text;
    tab_inside.insert(80, 1, '\t');
    struct Row {
        const char* what;
        std::string text;
        bool ok;
    } rows[] = {
        {"as written", text, true},
        {"CR LF line ends", crlf, true},
        {"other label", relabelled, true},
        {"leading blanks on a line", blanks, true},
        {"NUL inside", with_nul, false},
        {"terminating NUL counted", counted_nul, false},
        {"tab inside a line", tab_inside, false},
        {"armour only", "-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n", false},
        {"empty", "", false},
    };
    for (const Row& row : rows) {
        const std::int32_t s = convert(str(row.text));
        if (row.ok) {
            EXPECT_EQ(s, 0) << row.what;
        } else {
            EXPECT_LT(s, 0) << row.what;
        }
    }
}

TEST_F(KeyDecode, TruncatedAtEveryByteNeverDecodes) {
    const Bytes pem = read_fixture("rsa2048_0.pub.pem");
    const Bytes der = der_of(pem);
    for (std::size_t n = 0; n < der.size(); ++n) {
        const Bytes cut(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_LT(blob_status(cut), 0) << "DER cut at " << n;
    }
    // The PEM text cut anywhere before its last Base64 line ends either fails or, when the cut
    // falls on a group boundary, decodes to DER that is short.
    for (std::size_t n = 0; n + 60 < pem.size(); ++n)
        EXPECT_LT(convert(Bytes(pem.begin(), pem.begin() + static_cast<std::ptrdiff_t>(n))), 0)
            << "PEM cut at " << n;
}

Bytes nested(int levels) {
    Bytes der = {0x05, 0x00};  // NULL at the bottom
    for (int i = 0; i < levels; ++i) {
        Bytes outer = {0x30};
        if (der.size() < 128) {
            outer.push_back(static_cast<std::uint8_t>(der.size()));
        } else {
            outer.push_back(0x81);
            outer.push_back(static_cast<std::uint8_t>(der.size()));
        }
        outer.insert(outer.end(), der.begin(), der.end());
        der = outer;
    }
    return der;
}

TEST_F(KeyDecode, HostileDer) {
    struct Row {
        const char* what;
        Bytes der;
        std::int32_t status;
    } rows[] = {
        {"empty input", {}, -8101},
        {"40 levels", nested(39), 0},
        {"41 levels", nested(41), -7615},
        {"tag of three octets", {0x9F, 0x81, 0x81, 0x01, 0x01, 0x00}, 0},
        {"tag of four octets", {0x9F, 0x81, 0x81, 0x81, 0x01, 0x01, 0x00}, -8108},
        {"length of five octets", {0x04, 0x85, 0, 0, 0, 0, 1, 0}, -8105},
        {"length past the input", {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0}, -6012},
        {"child overflows parent", {0x30, 0x03, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, -8103},
        {"child longer than parent", {0x30, 0x03, 0x04, 0x02, 0x00, 0x00, 0x00}, -8103},
        {"child ends early", {0x30, 0x03, 0x04, 0x02}, -6012},
        {"indefinite length", {0x30, 0x80, 0x00, 0x00}, -8103},
        {"empty INTEGER", {0x02, 0x00}, -8101},
        {"empty OCTET STRING", {0x04, 0x00}, 0},
        {"empty SEQUENCE", {0x30, 0x00}, 0},
        {"BIT STRING of only unused bits", {0x03, 0x01, 0x03}, -8101},
        {"unsupported universal tag", {0x08, 0x01, 0x00}, -8102},
        {"tag 29", {0x1D, 0x01, 0x00}, -8102},
        {"universal tag above 30", {0x1F, 0x81, 0x01, 0x01, 0x00}, -8102},
        {"identifier only", {0x30}, -6012},
        {"trailing bytes ignored", {0x05, 0x00, 0xFF, 0xFF}, 0},
    };
    for (const Row& row : rows) EXPECT_EQ(tree_status(row.der), row.status) << row.what;
}

TEST_F(KeyDecode, KeyFormsAndTheirStatuses) {
    const Bytes der = der_of(read_fixture("rsa2048_0.pub.pem"));
    ASSERT_EQ(der.size(), 294u);
    // SubjectPublicKeyInfo: 30 82 01 22 | 30 0d <rsaEncryption> | 03 82 01 0f 00 | 30 82 01 0a
    // | 02 82 01 01 00 <256> | 02 03 01 00 01
    const Bytes modulus(der.begin() + 33, der.begin() + 289);
    const auto rsapub = [&](const Bytes& e) {
        Bytes body = {0x02, 0x82, 0x01, 0x01, 0x00};
        body.insert(body.end(), modulus.begin(), modulus.end());
        body.push_back(0x02);
        body.push_back(static_cast<std::uint8_t>(e.size()));
        body.insert(body.end(), e.begin(), e.end());
        Bytes out = {0x30, 0x82, static_cast<std::uint8_t>(body.size() >> 8),
                     static_cast<std::uint8_t>(body.size())};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    const auto spki = [&](const Bytes& inner, std::uint8_t lastArc) {
        Bytes bits = {0x00};
        bits.insert(bits.end(), inner.begin(), inner.end());
        Bytes body = {0x30, 0x0D, 0x06, 0x09,    0x2A, 0x86, 0x48, 0x86, 0xF7,
                      0x0D, 0x01, 0x01, lastArc, 0x05, 0x00, 0x03, 0x82};
        body.push_back(static_cast<std::uint8_t>(bits.size() >> 8));
        body.push_back(static_cast<std::uint8_t>(bits.size()));
        body.insert(body.end(), bits.begin(), bits.end());
        Bytes out = {0x30, 0x82, static_cast<std::uint8_t>(body.size() >> 8),
                     static_cast<std::uint8_t>(body.size())};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    Bytes big_modulus = {0x30, 0x82, 0x02, 0x08, 0x02, 0x82, 0x02, 0x01};
    big_modulus.push_back(0x01);
    big_modulus.insert(big_modulus.end(), 512, 0x55);
    big_modulus.insert(big_modulus.end(), {0x02, 0x01, 0x03});
    Bytes private_v2 = {0x30, 0x09, 0x02, 0x01, 0x02, 0x02, 0x01, 0x07, 0x02, 0x01, 0x03};
    Bytes private_short = {0x30, 0x09, 0x02, 0x01, 0x00, 0x02, 0x01, 0x07, 0x02, 0x01, 0x03};
    struct Row {
        const char* what;
        Bytes der;
        std::int32_t status;
    } rows[] = {
        {"SubjectPublicKeyInfo", der, 0},
        {"rebuilt SubjectPublicKeyInfo", spki(rsapub({0x01, 0x00, 0x01}), 1), 0},
        {"RSAPublicKey", rsapub({0x01, 0x00, 0x01}), 0},
        {"exponent of five bytes", spki(rsapub({0x01, 0x00, 0x00, 0x00, 0x01}), 1), -7605},
        {"exponent 1", spki(rsapub({0x01}), 1), -6013},
        {"RSAPublicKey exponent 1", rsapub({0x01}), -6013},
        {"md5WithRSA arc", spki(rsapub({0x01, 0x00, 0x01}), 4), -7604},
        {"modulus of 513 bytes", big_modulus, -7621},
        {"RSAPrivateKey version 2", private_v2, -7704},
        {"RSAPrivateKey missing primes", private_short, -7703},
        {"not a SEQUENCE", {0x02, 0x01, 0x05}, -9803},
        {"one child", {0x30, 0x03, 0x02, 0x01, 0x05}, -7703},
        {"one OCTET STRING child", {0x30, 0x03, 0x04, 0x01, 0x05}, -9803},
        {"elliptic-curve key",
         {0x30, 0x0B, 0x30, 0x09, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01},
         -7403},
    };
    for (const Row& row : rows) EXPECT_EQ(blob_status(row.der), row.status) << row.what;

    Bytes blob;
    ASSERT_EQ(blob_status(der, &blob), 0);
    ASSERT_EQ(blob.size(), 281u);
    EXPECT_EQ(to_hex(Bytes(blob.begin(), blob.begin() + 14)), "0000000000000001000000010100");
    EXPECT_EQ(to_hex(Bytes(blob.begin() + 14, blob.begin() + 21)), "00000003010001");
}

TEST_F(KeyDecode, BlobReaderRefusesMalformedBlobs) {
    Bytes blob;
    ASSERT_EQ(blob_status(der_of(read_fixture("rsa2048_0.pub.pem")), &blob), 0);
    const auto with = [&](std::size_t at, std::uint8_t v) {
        Bytes b = blob;
        b[at] = v;
        return b;
    };
    struct Row {
        const char* what;
        Bytes blob;
        std::int32_t status;
    } rows[] = {
        {"good", blob, 0},
        {"version 2", with(7, 2), -7404},
        {"non-zero byte 5", with(5, 1), -7404},
        {"non-zero byte 9", with(9, 1), -7402},
        {"key type 9", with(11, 9), -7402},
        {"elliptic curve", with(11, 2), -7403},
        {"body version 2", with(12, 2), -7404},
        {"private flag 2", with(13, 2), -7402},
        {"older layout", with(0, 1), -7404},
        {"header only", Bytes(blob.begin(), blob.begin() + 12), -7402},
        {"short header", Bytes(blob.begin(), blob.begin() + 5), -7402},
        {"field past the end", Bytes(blob.begin(), blob.end() - 1), -7402},
        {"huge length", with(17, 0xFF), -7402},
    };
    for (const Row& row : rows) {
        KeyObject key;
        KEYOBJ_init(&key);
        EXPECT_EQ(
            KEYBLOB_readIntoKey(row.blob.data(), static_cast<std::uint32_t>(row.blob.size()), &key),
            row.status)
            << row.what;
        EXPECT_EQ(key.type, row.status == 0 ? 1u : 0u) << row.what;
        KEYOBJ_release(&key);
    }
}

TEST_F(KeyDecode, OidMatching) {
    const Bytes der = der_of(read_fixture("rsa2048_0.pub.pem"));
    DerNode* tree = nullptr;
    ASSERT_EQ(DER_readTree(der.data(), static_cast<std::uint32_t>(der.size()), &tree), 0);
    const DerNode* algorithm = nullptr;
    ASSERT_EQ(DER_childAt(tree, 1, &algorithm), 0);
    const DerNode* none = nullptr;
    EXPECT_EQ(DER_childAt(tree, 3, &none), -7603);
    EXPECT_EQ(DER_requireTag(tree, DER_SEQUENCE), 0);
    EXPECT_EQ(DER_requireTag(tree, DER_INTEGER), -6011);
    const std::uint8_t prefix[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
    const std::uint8_t whole[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const std::uint8_t other[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x02};
    std::uint8_t arc = 0;
    EXPECT_EQ(DER_matchOid(algorithm, prefix, true, &arc), 0);
    EXPECT_EQ(arc, 1);
    EXPECT_EQ(DER_matchOid(algorithm, whole, false, nullptr), 0);
    EXPECT_EQ(DER_matchOid(algorithm, prefix, false, nullptr), -7604);
    EXPECT_EQ(DER_matchOid(algorithm, other, true, &arc), -7604);
    EXPECT_EQ(DER_matchOid(tree->firstChild->nextSibling, prefix, true, &arc), -7603);
    // The BIT STRING holds the RSAPublicKey as nested DER.
    EXPECT_TRUE(tree->firstChild->nextSibling->encapsulates);
    DER_freeTree(&tree);
}

}  // namespace
