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

struct OidRow {
    std::uint8_t oid[10];  // count, then content octets
    bool prefix;
    std::uint8_t arc;
    std::int32_t algorithm;
    std::uint32_t digestLength;
};

constexpr std::uint8_t kRsadsiDigest[] = {7, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02};
constexpr std::uint8_t kNistHash[] = {8, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
constexpr std::uint8_t kSha1[] = {5, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
constexpr std::uint8_t kSha1Alt[] = {5, 0x2B, 0x0E, 0x03, 0x02, 0x1D};

struct ArcRow {
    std::uint8_t arc;
    std::int32_t algorithm;
    std::uint32_t digestLength;
};
constexpr ArcRow kRsadsiArcs[] = {{2, DIGEST_MD2, 16}, {4, DIGEST_MD4, 16}, {5, DIGEST_MD5, 16}};
constexpr ArcRow kNistArcs[] = {
    {1, DIGEST_SHA256, 32}, {2, DIGEST_SHA384, 48}, {3, DIGEST_SHA512, 64}, {4, DIGEST_SHA224, 28}};

template <std::size_t N>
void pick_arc(const ArcRow (&rows)[N], std::uint8_t arc, std::int32_t* algorithm,
              std::uint32_t* length) {
    *algorithm = -1;
    *length = 0;
    for (const ArcRow& row : rows)
        if (row.arc == arc) {
            *algorithm = row.algorithm;
            *length = row.digestLength;
        }
}

// The digest algorithm named by a DigestInfo's AlgorithmIdentifier.
std::int32_t identify(const DerNode* algorithmId, std::int32_t* algorithm, std::uint32_t* length) {
    std::uint8_t arc = 0;
    std::int32_t status = DER_matchOid(algorithmId, kRsadsiDigest, true, &arc);
    if (status == OK) {
        pick_arc(kRsadsiArcs, arc, algorithm, length);
        return OK;
    }
    status = DER_matchOid(algorithmId, kNistHash, true, &arc);
    if (status == OK) {
        pick_arc(kNistArcs, arc, algorithm, length);
        return OK;
    }
    for (const std::uint8_t* oid : {kSha1, kSha1Alt}) {
        status = DER_matchOid(algorithmId, oid, false, nullptr);
        if (status == OK) {
            *algorithm = DIGEST_SHA1;
            *length = 20;
            return OK;
        }
    }
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
    DerNode* tree = nullptr;
    status = RSA_publicOpType1(key, signature, block, &blockLength);
    if (status == OK) status = DER_readTree(block, blockLength, &tree);
    if (status == OK &&
        (tree->headerLength + tree->length != blockLength || tree->firstChild == nullptr))
        status = ERR_DER_UNEXPECTED;
    std::int32_t alg = -1;
    std::uint32_t expected = 0;
    if (status == OK) status = identify(tree->firstChild, &alg, &expected);
    if (status == OK) {
        const DerNode* carried = tree->firstChild->nextSibling;
        if (carried == nullptr || carried->length != expected ||
            carried->contentOffset + carried->length != blockLength) {
            status = ERR_BAD_SIGNATURE_LENGTH;
        } else {
            std::memset(digest, 0, DIGEST_MAX_LENGTH);
            std::memcpy(digest, carried->content, carried->length);
            *digestLength = carried->length;
            *algorithm = alg;
        }
    }
    if (tree != nullptr) DER_freeTree(&tree);
    std::memset(block, 0, static_cast<std::size_t>(k));
    CRYPTO_free(block);
    return status;
}
