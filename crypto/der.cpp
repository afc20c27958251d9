#include "crypto/der.h"

#include <cstring>

#include "crypto/crypto_platform.h"
#include "crypto/status.h"

using namespace crypto_status;

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
