#include "crypto/keydecode.h"

#include "crypto/crypto_platform.h"
#include "crypto/der.h"
#include "crypto/imgsign.h"
#include "crypto_test_support.h"

// The outcome of one operation of the table, as its `want` column writes it.
namespace {

std::string run(const std::string& op, const Bytes& in) {
    const auto n = static_cast<std::uint32_t>(in.size());
    std::uint8_t* out = nullptr;
    std::uint32_t length = 0;
    DerNode* tree = nullptr;
    KeyObject key;
    KEYOBJ_init(&key);
    std::string result =
        status_name(op == "base64" ? BASE64_decodeText(in.data(), n, &out, &length)
                    : op == "key"  ? KEYBLOB_buildFromDer(in.data(), n, &out, &length)
                    : op == "pem"  ? CA_MGMT_convertPublicKey(in.data(), n, nullptr)
                    : op == "der"  ? DER_readTree(in.data(), n, &tree)
                                   : KEYBLOB_readIntoKey(in.data(), n, &key));
    if (op == "blob") result += " " + std::to_string(key.type);  // the key type afterwards
    if (out != nullptr) result += " " + to_hex({out, length});
    CRYPTO_free(out);
    DER_freeTree(&tree);
    KEYOBJ_release(&key);
    return result;
}

TABLE_TEST(KeyDecode, "tests/crypto/fixtures/keydecode.tsv") {
    start_library();
    const std::string op = row.choice("op", {"base64", "key", "pem", "der", "blob"}),
                      text = row["input"];
    Bytes in = op == "base64" || op == "pem" ? Bytes(text.begin(), text.end()) : hex_bytes(text);
    in.reserve(1);  // an empty input still has an address
    EXPECT_EQ(run(op, in), row["want"]);
}

TEST(KeyDecode, CutsTreeWalkAndOidMatching) {
    start_library();
    // rsa2048_0.pub.der: the DER inside rsa2048_0.pub.pem.
    const Bytes pem = fixture("rsa2048_0.pub.pem"), der = fixture("rsa2048_0.pub.der");
    for (long n = 0; n < std::ssize(der); ++n)  // a cut key never decodes
        EXPECT_FALSE(run("key", Bytes(der.begin(), der.begin() + n)).starts_with("OK")) << n;
    // PEM text cut before its last Base64 line fails, or decodes to DER that is short.
    for (std::uint32_t n = 0; n + 60 < pem.size(); ++n)
        EXPECT_LT(CA_MGMT_convertPublicKey(pem.data(), n, nullptr), 0) << n;
    DerNode* tree = nullptr;
    ASSERT_EQ(DER_readTree(der.data(), static_cast<std::uint32_t>(der.size()), &tree), 0);
    const DerNode *algorithm = nullptr, *none = nullptr;
    ASSERT_EQ(DER_childAt(tree, 1, &algorithm), 0);
    EXPECT_EQ(DER_childAt(tree, 3, &none), ERR_DER_UNEXPECTED);
    EXPECT_EQ(DER_requireTag(tree, DER_SEQUENCE), 0);
    EXPECT_EQ(DER_requireTag(tree, DER_INTEGER), ERR_ASN_UNEXPECTED_TAG);
    const std::uint8_t prefix[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
    const std::uint8_t whole[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const std::uint8_t other[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x02};
    std::uint8_t arc = 0;
    EXPECT_EQ(DER_matchOid(algorithm, prefix, true, &arc), 0);
    EXPECT_EQ(arc, 1);
    EXPECT_EQ(DER_matchOid(algorithm, whole, false, nullptr), 0);
    EXPECT_EQ(DER_matchOid(algorithm, prefix, false, nullptr), ERR_DER_BAD_OID);
    EXPECT_EQ(DER_matchOid(algorithm, other, true, &arc), ERR_DER_BAD_OID);
    EXPECT_EQ(DER_matchOid(tree->firstChild->nextSibling, prefix, true, &arc), ERR_DER_UNEXPECTED);
    EXPECT_TRUE(tree->firstChild->nextSibling->encapsulates) << "the BIT STRING holds nested DER";
    DER_freeTree(&tree);
}

}  // namespace
