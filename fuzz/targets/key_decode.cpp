// Key decoding of any bytes (Base64, PEM, DER trees, key blobs, key files): DER nodes lie inside
// parent and input at bounded depth; Base64 gives back exactly what a reference encoder put in.
#include <cstring>
#include <string>
#include <utility>

#include "crypto/crypto_platform.h"
#include "crypto/der.h"
#include "crypto/keydecode.h"
#include "crypto/rsa.h"
#include "fuzz/support/fuzz_board.h"

using fuzz::check;

namespace {

void check_nodes(const DerNode* node, const std::uint8_t* begin, const std::uint8_t* end,
                 unsigned depth) {
    for (; node != nullptr; node = node->nextSibling) {
        check(depth <= DER_MAX_DEPTH + 2 && node->content >= begin && node->content <= end &&
              node->length <= static_cast<std::size_t>(end - node->content));
        check_nodes(node->firstChild, node->content, node->content + node->length, depth + 1);
    }
}

void check_tree(const std::uint8_t* der, std::uint32_t length) {
    DerNode* tree = nullptr;
    if (DER_readTree(der, length, &tree) != 0) return;
    check(tree != nullptr);
    check_nodes(tree, der, der + length, 0);
    DER_freeTree(&tree);
}

std::string base64(const std::uint8_t* data, std::size_t size) {
    static constexpr char digit[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n = std::uint32_t{data[i]} << 16 |
                                (i + 1 < size ? data[i + 1] << 8 : 0) |
                                (i + 2 < size ? data[i + 2] : 0);
        text += {digit[n >> 18], digit[(n >> 12) & 63], i + 1 < size ? digit[(n >> 6) & 63] : '=',
                 i + 2 < size ? digit[n & 63] : '='};
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::board();
    const auto length = static_cast<std::uint32_t>(size);
    std::uint8_t* out = nullptr;
    std::uint32_t out_len = 0;
    if (BASE64_decodeText(data, length, &out, &out_len) == 0)
        check(size >= 4 && size % 4 == 0 && out_len <= size / 4 * 3);
    CRYPTO_free(std::exchange(out, nullptr));
    if (size > 0 && size <= 1024) {  // a round trip of the input as bytes
        const std::string text = base64(data, size);
        check(BASE64_decodeText(reinterpret_cast<const std::uint8_t*>(text.data()),
                                static_cast<std::uint32_t>(text.size()), &out, &out_len) == 0 &&
              out_len == size && std::memcmp(out, data, size) == 0);
        CRYPTO_free(std::exchange(out, nullptr));
    }
    // PEM text to DER, then whatever came out through the DER reader too; the input as DER.
    if (PEM_stripToDer(data, length, &out, &out_len) == 0) check_tree(out, out_len);
    CRYPTO_free(std::exchange(out, nullptr));
    check_tree(data, length);
    KeyObject keys[3];  // a blob built from the input as DER; the input as blob and as key file
    for (auto& key : keys) KEYOBJ_init(&key);
    if (KEYBLOB_buildFromDer(data, length, &out, &out_len) == 0)
        check(KEYBLOB_readIntoKey(out, out_len, &keys[0]) == 0);
    CRYPTO_free(out);
    (void)KEYBLOB_readIntoKey(data, length, &keys[1]);
    std::int32_t modulus = 0;
    if (CA_MGMT_convertPublicKey(data, length, &keys[2]) == 0 && keys[2].type == KEY_TYPE_RSA)
        check(RSA_modulusByteLength(static_cast<const RsaKey*>(keys[2].key), &modulus) == 0 &&
              modulus > 0 && modulus <= static_cast<std::int32_t>(RSA_MAX_MODULUS_BYTES));
    for (auto& key : keys) KEYOBJ_release(&key);
    return 0;
}
