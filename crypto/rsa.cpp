#include "crypto/rsa.h"

#include <cstring>
#include <initializer_list>

#include "crypto/der.h"
#include "crypto/digest.h"
#include "crypto/status.h"

using namespace crypto_status;

namespace {

vlong** values(RsaKey* key, int i) {
    vlong** all[] = {&key->e, &key->n, &key->d, &key->p, &key->q, &key->dp, &key->dq, &key->qinv};
    return all[i];
}
constexpr int kValues = 8;

void free_values(RsaKey* key) {
    for (int i = 0; i < kValues; ++i) {
        vlong** v = values(key, i);
        if (*v != nullptr) VLONG_free(v, nullptr);
    }
}

}  // namespace

std::int32_t RSA_createKey(RsaKey** key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    auto* k = static_cast<RsaKey*>(CRYPTO_malloc(sizeof(RsaKey)));
    if (k == nullptr) return ERR_MEM_ALLOC;
    std::memset(k, 0, sizeof *k);
    const std::int32_t status = CRYPTO_mutexCreate(&k->lock);
    if (status < 0) {
        CRYPTO_free(k);
        return status;
    }
    *key = k;
    return OK;
}

std::int32_t RSA_freeKey(RsaKey** key) {
    if (key == nullptr || *key == nullptr) return ERR_NULL_POINTER;
    free_values(*key);
    CRYPTO_mutexFree(&(*key)->lock);
    CRYPTO_free(*key);
    *key = nullptr;
    return OK;
}

std::int32_t RSA_cloneKey(const RsaKey* key, RsaKey** copy) {
    if (key == nullptr || copy == nullptr) return ERR_NULL_POINTER;
    RsaKey* c = nullptr;
    std::int32_t status = RSA_createKey(&c);
    if (status < 0) return status;
    c->privateKey = key->privateKey;
    for (int i = 0; i < kValues && status == OK; ++i) {
        vlong* from = *values(const_cast<RsaKey*>(key), i);
        if (from != nullptr) status = VLONG_copy(from, values(c, i), nullptr);
    }
    if (status < 0) {
        RSA_freeKey(&c);
        return status;
    }
    *copy = c;
    return OK;
}

std::int32_t RSA_loadPublicValues(RsaKey* key, std::uint32_t e, const std::uint8_t* modulusBytes,
                                  std::uint32_t modulusLength) {
    if (key == nullptr) return ERR_RSA_NO_KEY;
    if (e < 2) return ERR_RSA_BAD_EXPONENT;
    if (modulusBytes == nullptr && modulusLength != 0) return ERR_NULL_POINTER;
    if (modulusLength > 0x7FFFFFFF) return ERR_BAD_LENGTH;
    free_values(key);
    key->privateKey = 0;
    std::int32_t status = VLONG_allocate(&key->e, nullptr);
    if (status == OK) status = VLONG_setWord(key->e, 0, e);
    if (status == OK)
        status = VLONG_fromBytes(modulusBytes, static_cast<std::int32_t>(modulusLength), &key->n,
                                 nullptr);
    if (status < 0) free_values(key);
    return status;
}

std::int32_t RSA_modulusByteLength(const RsaKey* key, std::int32_t* length) {
    if (key == nullptr || length == nullptr || key->n == nullptr) return ERR_NULL_POINTER;
    *length = static_cast<std::int32_t>((VLONG_bitLength(key->n) + 7) / 8);
    return OK;
}

std::int32_t RSA_publicOpType1(const RsaKey* key, const std::uint8_t* signature,
                               std::uint8_t* output, std::uint32_t* outputLength) {
    if (key == nullptr) return ERR_RSA_NO_KEY;
    if (signature == nullptr || output == nullptr || outputLength == nullptr)
        return ERR_NULL_POINTER;
    std::int32_t k = 0;
    std::int32_t status = RSA_modulusByteLength(key, &k);
    if (status < 0) return status;
    if (k > static_cast<std::int32_t>(RSA_MAX_MODULUS_BYTES)) return ERR_RSA_MODULUS_TOO_LONG;
    if (key->e == nullptr || key->e->used > 1) return ERR_RSA_EXPONENT_TOO_LONG;

    vlong* queue = nullptr;
    vlong* s = nullptr;
    vlong* m = nullptr;
    status = VLONG_fromBytes(signature, k, &s, &queue);
    // A signature value at or above the modulus is no signature (RFC 8017, RSAVP1): reducing it
    // would let many byte strings stand for one signature.
    if (status == OK && VLONG_compareMagnitudes(s, key->n) >= 0) status = ERR_RSA_BAD_PADDING;
    if (status == OK) status = VLONG_modExp(s, key->e, key->n, &m, &queue);
    if (status == OK) status = VLONG_byteStringFromVlong(m, output, &k);
    if (s != nullptr) VLONG_free(&s, nullptr);
    if (m != nullptr) VLONG_free(&m, nullptr);
    VLONG_freeQueue(&queue);
    if (status < 0) return status;

    // EM = 00 01 FF..FF 00 T with at least eight 0xFF bytes. Only that form is accepted: a
    // block that starts 01 (with any second byte) or has no separator is not PKCS#1 v1.5.
    const std::uint32_t len = static_cast<std::uint32_t>(k);
    if (len < 11 || output[0] != 0x00 || output[1] != 0x01 || output[2] != 0xFF)
        return ERR_RSA_BAD_PADDING;
    std::uint32_t sep = 3;
    while (sep < len && output[sep] == 0xFF) ++sep;
    if (sep == len || output[sep] != 0x00 || sep <= 9) return ERR_RSA_BAD_PADDING;
    const std::uint32_t count = len - (sep + 1);
    std::memmove(output, output + sep + 1, count);
    *outputLength = count;
    return OK;
}

namespace {

// The digest algorithms a DigestInfo may name: the identifier's content octets, the algorithm
// number and its digest length.
struct DigestRow {
    std::uint8_t oidLength;
    std::uint8_t oid[9];
    std::int32_t algorithm;
    std::uint8_t digestLength;
};

constexpr DigestRow kDigestRows[] = {
    {8, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}, DIGEST_MD2, 16},
    {8, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x04}, DIGEST_MD4, 16},
    {8, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}, DIGEST_MD5, 16},
    {9, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, DIGEST_SHA256, 32},
    {9, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, DIGEST_SHA384, 48},
    {9, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, DIGEST_SHA512, 64},
    {9, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}, DIGEST_SHA224, 28},
    {5, {0x2B, 0x0E, 0x03, 0x02, 0x1A}, DIGEST_SHA1, 20},
    {5, {0x2B, 0x0E, 0x03, 0x02, 0x1D}, DIGEST_SHA1, 20},
};

// The longest DigestInfo head: two SEQUENCE headers, the identifier, NULL, the OCTET STRING
// header.
constexpr std::size_t kMaxHead = 2 + 2 + 2 + 9 + 2 + 2;

// The DER bytes of a DigestInfo up to its digest: SEQUENCE { SEQUENCE { OID, NULL or nothing },
// OCTET STRING header }. Every length is below 128, so each takes its one short-form octet.
std::size_t digest_info_head(const DigestRow& row, bool withNull, std::uint8_t* head) {
    const std::uint8_t algorithmIdLength =
        static_cast<std::uint8_t>(2 + row.oidLength + (withNull ? 2 : 0));
    std::size_t at = 0;
    head[at++] = 0x30;
    head[at++] = static_cast<std::uint8_t>(2 + algorithmIdLength + 2 + row.digestLength);
    head[at++] = 0x30;
    head[at++] = algorithmIdLength;
    head[at++] = 0x06;
    head[at++] = row.oidLength;
    std::memcpy(head + at, row.oid, row.oidLength);
    at += row.oidLength;
    if (withNull) {
        head[at++] = 0x05;
        head[at++] = 0x00;
    }
    head[at++] = 0x04;
    head[at++] = row.digestLength;
    return at;
}

// The row whose DigestInfo, in one of the two forms signers produce (NULL parameters or none),
// is byte for byte the whole of T; null when there is none.
const DigestRow* exact_digest_info(const std::uint8_t* t, std::uint32_t length) {
    for (const DigestRow& row : kDigestRows)
        for (const bool withNull : {true, false}) {
            std::uint8_t head[kMaxHead];
            const std::size_t headLength = digest_info_head(row, withNull, head);
            if (length == headLength + row.digestLength && std::memcmp(t, head, headLength) == 0)
                return &row;
        }
    return nullptr;
}

// Why T is not an exact DigestInfo, as the failure classes of the status table tell it: -7603
// when it is no DER SEQUENCE filling T with an AlgorithmIdentifier first, -7604 for an identifier
// that is not one of the digest algorithms, -7609 for a digest of the wrong length or position.
// Whatever else (other encodings of the same values, anything in the parameters) is -7603.
std::int32_t diagnose(const std::uint8_t* t, std::uint32_t length) {
    constexpr std::uint8_t kRsadsiDigest[] = {7, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02};
    constexpr std::uint8_t kNistHash[] = {8, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
    DerNode* tree = nullptr;
    std::int32_t status = DER_readTree(t, length, &tree);
    if (status == OK &&
        (tree->headerLength + tree->length != length || tree->firstChild == nullptr))
        status = ERR_DER_UNEXPECTED;
    std::uint8_t arc = 0;
    if (status == OK) {
        for (const std::uint8_t* prefix : {kRsadsiDigest, kNistHash}) {
            status = DER_matchOid(tree->firstChild, prefix, true, &arc);
            if (status == OK) break;
        }
        for (const DigestRow& row : kDigestRows) {
            if (status == OK) break;
            std::uint8_t exact[10] = {row.oidLength};
            std::memcpy(exact + 1, row.oid, row.oidLength);
            status = DER_matchOid(tree->firstChild, exact, false, nullptr);
        }
    }
    if (status == OK) {
        const DerNode* oid = tree->firstChild->firstChild;
        const DerNode* carried = tree->firstChild->nextSibling;
        std::uint32_t expected = 0;
        for (const DigestRow& row : kDigestRows)
            if (row.oidLength == oid->length &&
                std::memcmp(row.oid, oid->content, oid->length) == 0)
                expected = row.digestLength;
        if (carried == nullptr || carried->length != expected ||
            carried->contentOffset + carried->length != length)
            status = ERR_BAD_SIGNATURE_LENGTH;
        else
            status = ERR_DER_UNEXPECTED;
    }
    if (tree != nullptr) DER_freeTree(&tree);
    return status;
}

}  // namespace

std::int32_t RSA_extractSignedDigest(const RsaKey* key, const std::uint8_t* signature,
                                     std::uint32_t signatureLength, std::uint8_t* digest,
                                     std::uint32_t* digestLength, std::int32_t* algorithm) {
    if (signature == nullptr || digest == nullptr || key == nullptr || algorithm == nullptr ||
        digestLength == nullptr)
        return ERR_NULL_POINTER;
    std::int32_t k = 0;
    std::int32_t status = RSA_modulusByteLength(key, &k);
    if (status < 0) return status;
    if (signatureLength != static_cast<std::uint32_t>(k)) return ERR_BAD_SIGNATURE_LENGTH;
    if (k == 0) return ERR_MEM_ALLOC;
    auto* block = static_cast<std::uint8_t*>(CRYPTO_malloc(static_cast<std::size_t>(k)));
    if (block == nullptr) return ERR_MEM_ALLOC;
    std::uint32_t blockLength = 0;
    status = RSA_publicOpType1(key, signature, block, &blockLength);
    // The block is compared with the DigestInfo encodings it may be, never parsed: whatever a
    // parser would skip (other length forms, parameters, further elements) is room for a forger.
    const DigestRow* row = status == OK ? exact_digest_info(block, blockLength) : nullptr;
    if (status == OK && row == nullptr) status = diagnose(block, blockLength);
    if (row != nullptr) {
        std::memset(digest, 0, DIGEST_MAX_LENGTH);
        std::memcpy(digest, block + blockLength - row->digestLength, row->digestLength);
        *digestLength = row->digestLength;
        *algorithm = row->algorithm;
    }
    std::memset(block, 0, static_cast<std::size_t>(k));
    CRYPTO_free(block);
    return status;
}
