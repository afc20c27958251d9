// Public-key decoding from arbitrary text and bytes: Base64, PEM, the DER tree reader, key blobs
// and CA_MGMT_convertPublicKey.
//
// The same input goes through every stage, read as text and as bytes. Besides the sanitizers'
// checks, every DER node must lie inside its parent and the input, nesting is bounded, and Base64
// must give back exactly what a reference encoder put in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/crypto_platform.h"
#include "crypto/der.h"
#include "crypto/imgsign.h"
#include "crypto/keydecode.h"
#include "crypto/rsa.h"
#include "fuzz/support/fuzz_platform.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void check_nodes(const DerNode* node, const std::uint8_t* begin, const std::uint8_t* end,
                 unsigned depth) {
    for (; node != nullptr; node = node->nextSibling) {
        check(depth <= DER_MAX_DEPTH + 2);
        check(node->content >= begin && node->content <= end);
        check(node->length <= static_cast<std::size_t>(end - node->content));
        const std::uint8_t* node_end = node->content + node->length;
        check_nodes(node->firstChild, node->content, node_end, depth + 1);
    }
}

std::string base64(const std::uint8_t* data, std::size_t size) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n = (std::uint32_t{data[i]} << 16) |
                                (i + 1 < size ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                (i + 2 < size ? std::uint32_t{data[i + 2]} : 0);
        text += alphabet[(n >> 18) & 63];
        text += alphabet[(n >> 12) & 63];
        text += i + 1 < size ? alphabet[(n >> 6) & 63] : '=';
        text += i + 2 < size ? alphabet[n & 63] : '=';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::platform();
    check(CRYPTO_LIB_initialize() == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto length = static_cast<std::uint32_t>(size);

    // Base64 of the input as text, and a round trip of the input as bytes.
    std::uint8_t* out = nullptr;
    std::uint32_t out_len = 0;
    if (BASE64_decodeText(data, length, &out, &out_len) == 0) {
        check(size >= 4 && size % 4 == 0 && out_len <= size / 4 * 3);
        CRYPTO_free(out);
    }
    if (size > 0 && size <= 1024) {
        const std::string text = base64(data, size);
        out = nullptr;
        check(BASE64_decodeText(reinterpret_cast<const std::uint8_t*>(text.data()),
                                static_cast<std::uint32_t>(text.size()), &out, &out_len) == 0);
        check(out_len == size && std::memcmp(out, data, size) == 0);
        CRYPTO_free(out);
    }

    // PEM text to DER, then whatever came out through the DER stages too.
    std::uint8_t* der = nullptr;
    std::uint32_t der_len = 0;
    if (PEM_stripToDer(data, length, &der, &der_len) == 0) {
        DerNode* tree = nullptr;
        if (DER_readTree(der, der_len, &tree) == 0) {
            check_nodes(tree, der, der + der_len, 0);
            DER_freeTree(&tree);
        }
        CRYPTO_free(der);
    }

    // The input as DER.
    DerNode* tree = nullptr;
    if (DER_readTree(data, length, &tree) == 0) {
        check(tree != nullptr);
        check_nodes(tree, data, data + size, 0);
        DER_freeTree(&tree);
        check(tree == nullptr);
    }
    std::uint8_t* blob = nullptr;
    std::uint32_t blob_len = 0;
    if (KEYBLOB_buildFromDer(data, length, &blob, &blob_len) == 0) {
        KeyObject key;
        KEYOBJ_init(&key);
        check(KEYBLOB_readIntoKey(blob, blob_len, &key) == 0);
        KEYOBJ_release(&key);
        CRYPTO_free(blob);
    }

    // The input as a key blob.
    {
        KeyObject key;
        KEYOBJ_init(&key);
        (void)KEYBLOB_readIntoKey(data, length, &key);
        KEYOBJ_release(&key);
    }

    // The input as the text of a key file.
    KeyObject key;
    KEYOBJ_init(&key);
    if (CA_MGMT_convertPublicKey(data, length, &key) == 0 && key.type == KEY_TYPE_RSA) {
        std::int32_t modulus = 0;
        check(RSA_modulusByteLength(static_cast<const RsaKey*>(key.key), &modulus) == 0);
        check(modulus > 0 && modulus <= static_cast<std::int32_t>(RSA_MAX_MODULUS_BYTES));
    }
    KEYOBJ_release(&key);
    return 0;
}
