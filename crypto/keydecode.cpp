#include "crypto/keydecode.h"

#include <cstring>

#include "crypto/crypto_platform.h"
#include "crypto/imgsign.h"
#include "crypto/rsa.h"
#include "crypto/status.h"
#include "platform/byte_order.h"

using namespace crypto_status;

// ---------------------------------------------------------------------------------------------
// DER reader

namespace {

// The input stream: a memory buffer with a position; reading past the end gives -6012.
struct DerStream {
    const std::uint8_t* data;
    std::uint32_t size;
    std::uint32_t pos;

    std::int32_t read_byte(std::uint8_t* out) {
        if (pos >= size) return ERR_EOF;
        *out = data[pos++];
        return OK;
    }
};

DerNode* new_node() {
    auto* n = static_cast<DerNode*>(CRYPTO_malloc(sizeof(DerNode)));
    if (n != nullptr) std::memset(n, 0, sizeof *n);
    return n;
}

void free_nodes(DerNode* n) {
    while (n != nullptr) {
        free_nodes(n->firstChild);
        DerNode* next = n->nextSibling;
        CRYPTO_free(n);
        n = next;
    }
}

bool may_be_empty(std::uint8_t cls, std::uint32_t tag) {
    if ((cls & 0xC0) == DER_CLASS_CONTEXT) return true;
    if ((cls & 0xC0) != DER_CLASS_UNIVERSAL) return false;
    switch (tag) {
        case 0:
        case 4:
        case 5:
        case 7:
        case 9:
        case 12:
        case 16:
        case 17:
        case 18:
        case 19:
        case 20:
        case 21:
        case 22:
        case 25:
        case 26:
        case 27:
        case 28:
        case 30:
            return true;
        default:
            return false;
    }
}

std::int32_t parse_element(DerStream& in, std::uint32_t limit, std::uint32_t depth, bool outer,
                           DerNode** out);

// Children of a constructed element (or the nested DER of a string) filling [pos, end) exactly.
std::int32_t parse_children(DerStream& in, std::uint32_t end, std::uint32_t depth,
                            DerNode* parent) {
    DerNode** link = &parent->firstChild;
    while (in.pos < end) {
        DerNode* child = nullptr;
        const std::int32_t status = parse_element(in, end, depth, false, &child);
        if (status < 0) return status;
        *link = child;
        link = &child->nextSibling;
    }
    return in.pos == end ? OK : ERR_DER_BAD_LENGTHS;
}

// Tries the contents [start, end) as nested DER under node; on failure nothing is kept.
void try_encapsulated(DerStream& in, std::uint32_t start, std::uint32_t end, std::uint32_t depth,
                      DerNode* node) {
    DerStream nested{in.data, end, start};
    if (parse_children(nested, end, depth, node) == OK && node->firstChild != nullptr) {
        node->encapsulates = true;
        return;
    }
    free_nodes(node->firstChild);
    node->firstChild = nullptr;
}

// The identifier and length octets at in.pos without consuming anything: for deciding whether a
// string's contents look like nested DER.
bool peek_header(const std::uint8_t* p, std::uint32_t avail, std::uint8_t* id, std::uint32_t* tag,
                 std::uint32_t* header, std::uint32_t* length) {
    if (avail < 2) return false;
    std::uint32_t i = 0;
    *id = p[i++];
    *tag = *id & 0x1F;
    if (*tag == 0x1F) {
        *tag = 0;
        for (int n = 0;; ++n) {
            if (n == 3 || i >= avail) return false;
            const std::uint8_t b = p[i++];
            *tag = (*tag << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) break;
        }
    }
    if (i >= avail) return false;
    const std::uint8_t l = p[i++];
    if (l < 0x80) {
        *length = l;
    } else {
        const std::uint32_t n = l & 0x7F;
        if (n == 0 || n > 4 || i + n > avail) return false;
        *length = 0;
        for (std::uint32_t k = 0; k < n; ++k) *length = (*length << 8) | p[i++];
    }
    *header = i;
    return true;
}

std::int32_t parse_element(DerStream& in, std::uint32_t limit, std::uint32_t depth, bool outer,
                           DerNode** out) {
    // Inside a constructed element running short is a length that does not add up.
    const auto eof = [outer](std::int32_t s) { return outer ? s : ERR_DER_BAD_LENGTHS; };
    if (depth > DER_MAX_DEPTH) return ERR_DER_TOO_DEEP;
    DerStream bounded{in.data, limit, in.pos};
    const std::uint32_t start = in.pos;
    std::uint8_t id = 0;
    std::int32_t status = bounded.read_byte(&id);
    if (status < 0) return eof(status);
    std::uint32_t tag = id & 0x1F;
    if (tag == 0x1F) {
        tag = 0;
        for (int n = 0;; ++n) {
            if (n == 3) return ERR_DER_TAG_TOO_LONG;
            std::uint8_t b = 0;
            status = bounded.read_byte(&b);
            if (status < 0) return eof(status);
            tag = (tag << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) break;
        }
    }
    std::uint8_t l = 0;
    status = bounded.read_byte(&l);
    if (status < 0) return eof(status);
    std::uint32_t length = 0;
    if (l == 0x80) return ERR_DER_BAD_LENGTHS;  // indefinite form
    if (l < 0x80) {
        length = l;
    } else {
        const std::uint32_t n = l & 0x7F;
        if (n > 4) return ERR_DER_LENGTH_TOO_LONG;
        for (std::uint32_t k = 0; k < n; ++k) {
            std::uint8_t b = 0;
            status = bounded.read_byte(&b);
            if (status < 0) return eof(status);
            length = (length << 8) | b;
        }
    }
    const std::uint32_t contentStart = bounded.pos;
    if (length > limit - contentStart) return eof(ERR_EOF);
    const std::uint32_t end = contentStart + length;
    const std::uint8_t cls = static_cast<std::uint8_t>(id & 0xE0);
    if (length == 0 && !may_be_empty(cls, tag)) return ERR_DER_EMPTY;

    DerNode* node = new_node();
    if (node == nullptr) return ERR_MEM_ALLOC;
    node->classBits = cls;
    node->tag = tag;
    node->length = length;
    node->headerLength = contentStart - start;
    node->contentOffset = contentStart;
    node->content = in.data + contentStart;
    in.pos = contentStart;

    const bool constructed = (cls & DER_CONSTRUCTED) != 0;
    const bool universal = (cls & 0xC0) == DER_CLASS_UNIVERSAL;
    if (constructed) {
        status = parse_children(in, end, depth + 1, node);
    } else if (!universal) {
        in.pos = end;  // application, context-specific and private primitives: stepped over
    } else {
        const std::uint8_t* c = node->content;
        switch (tag) {
            case 1:  // BOOLEAN
                node->value = c[0];
                break;
            case 2:
            case 10:  // INTEGER, ENUMERATED
                if (length < 5)
                    for (std::uint32_t k = 0; k < length; ++k)
                        node->value = (node->value << 8) | c[k];
                break;
            case 0:
            case 5:
                break;
            case 3: {  // BIT STRING: unused-bits octet, then perhaps a nested SEQUENCE
                if (length == 1 && c[0] != 0) {
                    status = ERR_DER_EMPTY;
                    break;
                }
                std::uint8_t nid;
                std::uint32_t ntag, nheader, nlength;
                if (length > 1 && peek_header(c + 1, length - 1, &nid, &ntag, &nheader, &nlength) &&
                    (nid == 0x30 || nid == 0xB0) && nheader + nlength == length - 1) {
                    std::uint8_t iid;
                    std::uint32_t itag, iheader, ilength;
                    if (peek_header(c + 1 + nheader, nlength, &iid, &itag, &iheader, &ilength) &&
                        iid == 0x02 && iheader + ilength <= nlength)
                        try_encapsulated(in, contentStart + 1, end, depth + 1, node);
                }
                break;
            }
            case 4: {  // OCTET STRING: perhaps one nested element filling it exactly
                std::uint8_t nid;
                std::uint32_t ntag, nheader, nlength;
                if (peek_header(c, length, &nid, &ntag, &nheader, &nlength) &&
                    ((nid & 0xC0) == DER_CLASS_UNIVERSAL || (nid & 0xC0) == DER_CLASS_CONTEXT) &&
                    ntag >= 1 && ntag <= 49 && nheader + nlength == length)
                    try_encapsulated(in, contentStart, end, depth + 1, node);
                break;
            }
            case 6:
            case 7:
            case 12:
            case 18:
            case 19:
            case 20:
            case 21:
            case 22:
            case 23:
            case 24:
            case 25:
            case 26:
            case 27:
            case 28:
            case 30:
                break;
            default:
                status = ERR_DER_BAD_TAG;
        }
        in.pos = end;
    }
    if (status < 0) {
        free_nodes(node);
        return status;
    }
    *out = node;
    return OK;
}

}  // namespace

std::int32_t DER_readTree(const std::uint8_t* input, std::uint32_t length, DerNode** tree) {
    if (input == nullptr || tree == nullptr) return ERR_NULL_POINTER;
    *tree = nullptr;
    if (length == 0) return ERR_DER_EMPTY;
    DerStream in{input, length, 0};
    return parse_element(in, length, 1, true, tree);
}

std::int32_t DER_freeTree(DerNode** tree) {
    if (tree == nullptr) return ERR_NULL_POINTER;
    free_nodes(*tree);
    *tree = nullptr;
    return OK;
}

std::int32_t DER_requireTag(const DerNode* element, std::uint32_t tag) {
    if (element == nullptr) return ERR_NULL_POINTER;
    if ((element->classBits & 0xC0) != DER_CLASS_UNIVERSAL || element->tag != tag)
        return ERR_ASN_UNEXPECTED_TAG;
    return OK;
}

std::int32_t DER_childAt(const DerNode* element, std::uint32_t n, const DerNode** child) {
    if (element == nullptr || child == nullptr) return ERR_NULL_POINTER;
    const DerNode* c = element->firstChild;
    for (std::uint32_t i = 1; c != nullptr && i < n; ++i) c = c->nextSibling;
    if (n == 0 || c == nullptr) return ERR_DER_UNEXPECTED;
    *child = c;
    return OK;
}

std::int32_t DER_matchOid(const DerNode* element, const std::uint8_t* expected, bool wantArc,
                          std::uint8_t* arc) {
    if (element == nullptr || expected == nullptr || (wantArc && arc == nullptr))
        return ERR_NULL_POINTER;
    if (DER_requireTag(element, DER_SEQUENCE) < 0 || element->firstChild == nullptr ||
        DER_requireTag(element->firstChild, DER_OID) < 0)
        return ERR_DER_UNEXPECTED;
    const DerNode* oid = element->firstChild;
    const std::uint32_t count = expected[0];
    if (oid->length != count + (wantArc ? 1 : 0)) return ERR_DER_BAD_OID;
    if (std::memcmp(oid->content, expected + 1, count) != 0) return ERR_DER_BAD_OID;
    if (wantArc) *arc = oid->content[count];
    return OK;
}

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
