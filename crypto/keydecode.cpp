#include "crypto/keydecode.h"

#include <cstring>

#include "crypto/crypto_platform.h"
#include "crypto/der.h"
#include "crypto/keyobject.h"
#include "crypto/rsa.h"
#include "crypto/status.h"
#include "platform/byte_order.h"

using namespace crypto_status;

// ---------------------------------------------------------------------------------------------
// Base64 and PEM

namespace {
std::uint8_t* base64_table = nullptr;
}

std::int32_t BASE64_buildTable() {
    if (base64_table != nullptr) return OK;
    auto* t = static_cast<std::uint8_t*>(CRYPTO_malloc(256));
    if (t == nullptr) return ERR_MEM_ALLOC;
    std::memset(t, 0, 256);
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t[static_cast<std::uint8_t>(alphabet[i])] = static_cast<std::uint8_t>(i + 1);
    base64_table = t;
    return OK;
}

std::int32_t BASE64_freeTable() {
    CRYPTO_free(base64_table);
    base64_table = nullptr;
    return OK;
}

std::int32_t BASE64_decodeText(const std::uint8_t* text, std::uint32_t length,
                               std::uint8_t** output, std::uint32_t* outputLength) {
    if (text == nullptr || output == nullptr || outputLength == nullptr) return ERR_NULL_POINTER;
    if (base64_table == nullptr) return ERR_BASE64_UNINITIALIZED;
    if (length < 4 || length % 4 != 0) return ERR_BASE64_BAD_INPUT;
    const std::uint8_t* t = base64_table;
    auto* out = static_cast<std::uint8_t*>(CRYPTO_malloc(length / 4 * 3));
    if (out == nullptr) return ERR_MEM_ALLOC;
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        const std::uint8_t c0 = t[text[i]], c1 = t[text[i + 1]];
        const std::uint8_t c2 = t[text[i + 2]], c3 = t[text[i + 3]];
        if (c0 == 0 || c1 == 0) {
            CRYPTO_free(out);
            return ERR_BASE64_BAD_INPUT;
        }
        out[n++] = static_cast<std::uint8_t>(((c0 - 1) << 2) | ((c1 - 1) >> 4));
        if (c2 == 0) {
            if (text[i + 2] != '=' || !last) {
                CRYPTO_free(out);
                return ERR_BASE64_BAD_INPUT;
            }
            break;
        }
        out[n++] = static_cast<std::uint8_t>(((c1 - 1) << 4) | ((c2 - 1) >> 2));
        if (c3 == 0) {
            if (text[i + 3] != '=' || !last) {
                CRYPTO_free(out);
                return ERR_BASE64_BAD_INPUT;
            }
            break;
        }
        out[n++] = static_cast<std::uint8_t>(((c2 - 1) << 6) | (c3 - 1));
    }
    *output = out;
    *outputLength = n;
    return OK;
}

std::int32_t PEM_stripToDer(const std::uint8_t* text, std::uint32_t length, std::uint8_t** der,
                            std::uint32_t* derLength) {
    if (text == nullptr || der == nullptr || derLength == nullptr) return ERR_NULL_POINTER;
    if (length == 0) return ERR_MEM_ALLOC;
    auto* chars = static_cast<std::uint8_t*>(CRYPTO_malloc(length));
    if (chars == nullptr) return ERR_MEM_ALLOC;
    const auto is_eol = [](std::uint8_t c) { return c == '\r' || c == '\n'; };
    std::uint32_t n = 0;
    std::uint32_t i = 0;
    while (i < length) {
        if (text[i] == '-') {
            while (i < length && !is_eol(text[i])) ++i;
            while (i < length && is_eol(text[i])) ++i;
        } else {
            while (i < length && text[i] != ' ' && !is_eol(text[i])) chars[n++] = text[i++];
            while (i < length && (text[i] == ' ' || text[i] == '\t' || is_eol(text[i]))) ++i;
        }
    }
    const std::int32_t status = BASE64_decodeText(chars, n, der, derLength);
    CRYPTO_free(chars);
    return status;
}

// ---------------------------------------------------------------------------------------------
// Key blobs

namespace {

constexpr std::uint8_t kRsaEncryption[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
constexpr std::uint8_t kEcPublicKey[] = {7, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr std::uint32_t kBlobHeader = 12;

bool is_universal(const DerNode* n, std::uint32_t tag) {
    return n != nullptr && DER_requireTag(n, tag) == OK;
}

// An INTEGER's magnitude: its content without leading zero bytes.
void magnitude(const DerNode* n, const std::uint8_t** bytes, std::uint32_t* length) {
    *bytes = n->content;
    *length = n->length;
    while (*length > 0 && **bytes == 0) {
        ++*bytes;
        --*length;
    }
}

std::uint32_t small_value(const DerNode* n) {
    std::uint32_t v = 0;
    for (std::uint32_t i = 0; i < n->length; ++i) v = (v << 8) | n->content[i];
    return v;
}

std::int32_t load_public(KeyObject* key, const DerNode* modulus, const DerNode* exponent) {
    const std::uint8_t* m = nullptr;
    std::uint32_t mlen = 0;
    magnitude(modulus, &m, &mlen);
    if (mlen > RSA_MAX_MODULUS_BYTES) return ERR_DER_MODULUS_TOO_LONG;
    const std::uint32_t e = small_value(exponent);
    if (e < 2) return ERR_RSA_BAD_EXPONENT;
    RsaKey* rsa = nullptr;
    std::int32_t status = RSA_createKey(&rsa);
    if (status < 0) return status;
    status = RSA_loadPublicValues(rsa, e, m, mlen);
    if (status < 0) {
        RSA_freeKey(&rsa);
        return status;
    }
    key->type = KEY_TYPE_RSA;
    key->key = rsa;
    return OK;
}

std::int32_t from_spki(const DerNode* root, KeyObject* key) {
    std::uint8_t arc = 0;
    std::int32_t status = DER_matchOid(root->firstChild, kRsaEncryption, true, &arc);
    if (status < 0) return status;
    if (arc != 1) return ERR_DER_BAD_OID;
    const DerNode* bits = root->firstChild->nextSibling;
    if (!is_universal(bits, DER_BIT_STRING) || !bits->encapsulates) return ERR_DER_UNEXPECTED;
    const DerNode* seq = bits->firstChild;
    if (seq == nullptr || (seq->classBits & DER_CONSTRUCTED) == 0 || seq->tag != DER_SEQUENCE ||
        !is_universal(seq->firstChild, DER_INTEGER))
        return ERR_DER_UNEXPECTED;
    const DerNode* modulus = seq->firstChild;
    const std::uint8_t* m = nullptr;
    std::uint32_t mlen = 0;
    magnitude(modulus, &m, &mlen);
    if (mlen > RSA_MAX_MODULUS_BYTES) return ERR_DER_MODULUS_TOO_LONG;
    const DerNode* exponent = modulus->nextSibling;
    if (!is_universal(exponent, DER_INTEGER)) return ERR_DER_UNEXPECTED;
    if (exponent->length > 4) return ERR_DER_EXPONENT_TOO_LONG;
    return load_public(key, modulus, exponent);
}

std::int32_t copy_value(const DerNode* n, vlong** out) {
    const std::uint8_t* b = nullptr;
    std::uint32_t len = 0;
    magnitude(n, &b, &len);
    if (len > 4 * VLONG_MAX_WORDS) return ERR_BAD_LENGTH;
    return VLONG_fromBytes(b, static_cast<std::int32_t>(len), out, nullptr);
}

std::int32_t from_private(const DerNode* root, KeyObject* key) {
    const DerNode* f[9] = {};
    std::uint32_t count = 0;
    for (const DerNode* c = root->firstChild; c != nullptr && count < 9; c = c->nextSibling)
        f[count++] = c;
    if (f[0]->length > 4 || f[0]->value > 1) return ERR_RSA_PRIVATE_VERSION;
    if (count < 6 || f[2]->length >= 5) return ERR_DER_NOT_A_KEY;
    for (std::uint32_t i = 3; i < count; ++i)
        if (!is_universal(f[i], DER_INTEGER)) return ERR_DER_NOT_A_KEY;
    std::int32_t status = load_public(key, f[1], f[2]);
    if (status < 0) return status;
    auto* rsa = static_cast<RsaKey*>(key->key);
    // version, n, e, d, p, q, then exponent1, exponent2 and coefficient when present.
    vlong** targets[] = {&rsa->d, &rsa->p, &rsa->q, &rsa->dp, &rsa->dq, &rsa->qinv};
    for (std::uint32_t i = 3; i < count && status == OK; ++i)
        status = copy_value(f[i], targets[i - 3]);
    rsa->privateKey = 1;
    return status;
}

std::int32_t rsa_from_der(const DerNode* root, KeyObject* key) {
    if (!is_universal(root, DER_SEQUENCE) || (root->classBits & DER_CONSTRUCTED) == 0)
        return ERR_DER_NOT_A_KEY;
    std::uint32_t count = 0;
    for (const DerNode* c = root->firstChild; c != nullptr; c = c->nextSibling) ++count;
    if (count < 2) return ERR_DER_NOT_A_KEY;
    const DerNode* c1 = root->firstChild;
    const DerNode* c2 = c1->nextSibling;
    if (count == 2) {
        const std::int32_t spki = from_spki(root, key);
        if (spki == OK) return OK;
        if (!is_universal(c1, DER_INTEGER) || !is_universal(c2, DER_INTEGER))
            return is_universal(c1, DER_SEQUENCE) ? spki : ERR_DER_NOT_A_KEY;
        if (c2->length >= 5) return ERR_DER_EXPONENT_TOO_LONG;
        return load_public(key, c1, c2);
    }
    if (!is_universal(c1, DER_INTEGER) || !is_universal(c2, DER_INTEGER)) return ERR_DER_NOT_A_KEY;
    return from_private(root, key);
}

// The elliptic-curve forms. This library carries no elliptic-curve arithmetic, so such a key is
// recognised and refused; DER that is no such key keeps the status of the RSA attempt.
std::int32_t ec_from_der(const DerNode* root, std::int32_t rsaStatus) {
    if (!is_universal(root, DER_SEQUENCE) || root->firstChild == nullptr)
        return ERR_DER_NOT_A_PRIVATE_KEY;
    const DerNode* c1 = root->firstChild;
    if (is_universal(c1, DER_SEQUENCE)) {
        return DER_matchOid(c1, kEcPublicKey, false, nullptr) == OK ? ERR_BAD_KEY_BLOB_TYPE
                                                                    : rsaStatus;
    }
    if (is_universal(c1, DER_INTEGER)) {
        const DerNode* c2 = c1->nextSibling;
        return c1->length == 1 && c1->value == 1 && is_universal(c2, DER_OCTET_STRING)
                   ? ERR_BAD_KEY_BLOB_TYPE
                   : rsaStatus;
    }
    return ERR_DER_NOT_A_PRIVATE_KEY;
}

void put_field(std::uint8_t*& p, const vlong* v) {
    std::int32_t len = 0;
    if (v != nullptr) VLONG_byteStringFromVlong(v, nullptr, &len);
    be::store32(p, static_cast<std::uint32_t>(len));
    p += 4;
    if (len > 0) VLONG_byteStringFromVlong(v, p, &len);
    p += len;
}

std::uint32_t field_size(const vlong* v) {
    std::int32_t len = 0;
    if (v != nullptr) VLONG_byteStringFromVlong(v, nullptr, &len);
    return 4 + static_cast<std::uint32_t>(len);
}

}  // namespace

std::int32_t KEYBLOB_fromKey(const KeyObject* key, std::uint8_t** blob, std::uint32_t* blobLength) {
    if (key == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    if (key->type != KEY_TYPE_RSA || key->key == nullptr) return ERR_BAD_KEY_BLOB_TYPE;
    const auto* rsa = static_cast<const RsaKey*>(key->key);
    // Public: e, n. Private: e, n, p, q, d, dp, dq, then qinv and an empty reserved field.
    const vlong* pub[] = {rsa->e, rsa->n};
    const vlong* priv[] = {rsa->e,  rsa->n,  rsa->p,    rsa->q, rsa->d,
                           rsa->dp, rsa->dq, rsa->qinv, nullptr};
    const vlong* const* fields = rsa->privateKey ? priv : pub;
    const std::uint32_t count = rsa->privateKey ? 9 : 2;
    std::uint32_t size = kBlobHeader + 2;
    for (std::uint32_t i = 0; i < count; ++i) size += field_size(fields[i]);
    auto* out = static_cast<std::uint8_t*>(CRYPTO_malloc(size));
    if (out == nullptr) return ERR_MEM_ALLOC;
    std::memset(out, 0, kBlobHeader);
    out[7] = 1;
    out[11] = static_cast<std::uint8_t>(KEY_TYPE_RSA);
    out[12] = 1;
    out[13] = rsa->privateKey ? 1 : 0;
    std::uint8_t* p = out + kBlobHeader + 2;
    for (std::uint32_t i = 0; i < count; ++i) put_field(p, fields[i]);
    *blob = out;
    *blobLength = size;
    return OK;
}

std::int32_t KEYBLOB_buildFromDer(const std::uint8_t* der, std::uint32_t length,
                                  std::uint8_t** blob, std::uint32_t* blobLength) {
    if (der == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    KeyObject key;
    KEYOBJ_init(&key);
    DerNode* tree = nullptr;
    std::int32_t status = DER_readTree(der, length, &tree);
    if (status == OK) {
        status = rsa_from_der(tree, &key);
        if (status < 0) status = ec_from_der(tree, status);
    }
    if (status == OK) status = KEYBLOB_fromKey(&key, blob, blobLength);
    DER_freeTree(&tree);
    KEYOBJ_release(&key);
    return status;
}

std::int32_t KEYBLOB_readIntoKey(const std::uint8_t* blob, std::uint32_t length,
                                 KeyObject* keyObject) {
    if (blob == nullptr || keyObject == nullptr) return ERR_NULL_POINTER;
    KEYOBJ_release(keyObject);
    if (length < kBlobHeader) return ERR_BAD_KEY_BLOB;
    if (be::load32(blob) != 0)
        return ERR_BAD_KEY_BLOB_VERSION;  // older private layout: unsupported
    if (blob[4] != 0 || blob[5] != 0 || blob[6] != 0 || blob[7] != 1)
        return ERR_BAD_KEY_BLOB_VERSION;
    if (blob[8] != 0 || blob[9] != 0 || blob[10] != 0) return ERR_BAD_KEY_BLOB;
    const std::uint8_t type = blob[11];
    if (type == KEY_TYPE_ECC || type == KEY_TYPE_DSA) return ERR_BAD_KEY_BLOB_TYPE;
    if (type != KEY_TYPE_RSA) return ERR_BAD_KEY_BLOB;
    const std::uint8_t* body = blob + kBlobHeader;
    const std::uint32_t bodyLength = length - kBlobHeader;
    if (bodyLength < 2) return ERR_BAD_KEY_BLOB;
    if (body[0] != 1) return ERR_BAD_KEY_BLOB_VERSION;
    if (body[1] > 1) return ERR_BAD_KEY_BLOB;
    const bool priv = body[1] == 1;
    const std::uint32_t count = priv ? 9 : 2;
    const std::uint8_t* fieldBytes[9] = {};
    std::uint32_t fieldLength[9] = {};
    std::uint32_t pos = 2;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (bodyLength - pos < 4) return ERR_BAD_KEY_BLOB;
        const std::uint32_t n = be::load32(body + pos);
        pos += 4;
        if (n > bodyLength - pos) return ERR_BAD_KEY_BLOB;
        fieldBytes[i] = body + pos;
        fieldLength[i] = n;
        pos += n;
    }
    // e must fit one word; leading zero bytes do not count.
    const std::uint8_t* e = fieldBytes[0];
    std::uint32_t elen = fieldLength[0];
    while (elen > 0 && *e == 0) {
        ++e;
        --elen;
    }
    if (elen > 4) return ERR_BAD_KEY_BLOB;
    std::uint32_t evalue = 0;
    for (std::uint32_t i = 0; i < elen; ++i) evalue = (evalue << 8) | e[i];
    if (fieldLength[1] > 4 * VLONG_MAX_WORDS) return ERR_BAD_KEY_BLOB;
    RsaKey* rsa = nullptr;
    std::int32_t status = RSA_createKey(&rsa);
    if (status < 0) return status;
    status = RSA_loadPublicValues(rsa, evalue, fieldBytes[1], fieldLength[1]);
    if (status == OK && priv) {
        vlong** targets[] = {&rsa->p, &rsa->q, &rsa->d, &rsa->dp, &rsa->dq, &rsa->qinv};
        for (std::uint32_t i = 0; i < 6 && status == OK; ++i) {
            if (fieldLength[2 + i] > 4 * VLONG_MAX_WORDS) {
                status = ERR_BAD_KEY_BLOB;
                break;
            }
            if (fieldLength[2 + i] > 0)
                status = VLONG_fromBytes(fieldBytes[2 + i],
                                         static_cast<std::int32_t>(fieldLength[2 + i]), targets[i],
                                         nullptr);
        }
        rsa->privateKey = 1;
    }
    if (status < 0) {
        RSA_freeKey(&rsa);
        return status;
    }
    keyObject->type = KEY_TYPE_RSA;
    keyObject->key = rsa;
    return OK;
}
