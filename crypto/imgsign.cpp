#include "crypto/imgsign.h"

#include <cstring>

#include "crypto/crypto_platform.h"
#include "crypto/digest.h"
#include "crypto/keydecode.h"
#include "crypto/rsa.h"
#include "crypto/status.h"

using namespace crypto_status;

namespace {

constexpr std::uint32_t TRACE = DEBUG_CATEGORY_IMGSIGN;

// The library's process-wide state: the initialisation count, its start time, the random-number
// generator (seeded at start-up, never drawn from on the image path) and the strict-mode flag.
struct RandomContext {
    std::uint32_t pool[8];
    std::uint32_t bits;
    CryptoMutex lock;
};

int init_count = 0;
std::uint32_t start_time = 0;
RandomContext* random_context = nullptr;
bool strict_mode = false;

// Feeds one bit into the pool: a rotating shift register with a multiplier-free mix.
void random_feed_bit(RandomContext* rng, std::uint32_t bit) {
    const std::uint32_t i = rng->bits % 8;
    std::uint32_t w = rng->pool[i];
    w = ((w << 5) | (w >> 27)) ^ bit ^ rng->pool[(i + 3) % 8];
    rng->pool[i] = w;
    ++rng->bits;
}

std::int32_t random_create(RandomContext** out) {
    auto* rng = static_cast<RandomContext*>(CRYPTO_malloc(sizeof(RandomContext)));
    if (rng == nullptr) return ERR_MEM_ALLOC;
    std::memset(rng, 0, sizeof *rng);
    CRYPTO_mutexCreate(&rng->lock);
    *out = rng;
    return OK;
}

void random_free(RandomContext** rng) {
    if (*rng == nullptr) return;
    CRYPTO_mutexFree(&(*rng)->lock);
    std::memset(*rng, 0, sizeof **rng);
    CRYPTO_free(*rng);
    *rng = nullptr;
}

std::int32_t random_seed_from_urandom(RandomContext* rng) {
    std::FILE* f = CRYPTO_fopen("/dev/urandom", "rb");
    if (f == nullptr) return ERR_FILE_OPEN;
    std::uint8_t seed[32];
    const std::size_t got = CRYPTO_fread(seed, 1, sizeof seed, f);
    CRYPTO_fclose(f);
    if (got != sizeof seed) return ERR_FILE_READ;
    for (std::uint8_t byte : seed)
        for (int b = 7; b >= 0; --b) random_feed_bit(rng, (byte >> b) & 1u);
    std::memset(seed, 0, sizeof seed);
    return OK;
}

void trace_status(std::int32_t status) {
    DEBUG_CONSOLE_printString(TRACE, "status = ");
    DEBUG_CONSOLE_printInt(TRACE, status);
    DEBUG_CONSOLE_printNewLine(TRACE);
}

void trace_number(const char* label, const vlong* v) {
    std::int32_t length = 0;
    std::uint8_t* bytes = nullptr;
    std::int32_t status = VLONG_byteStringFromVlong(v, nullptr, &length);
    if (status == OK) {
        bytes = static_cast<std::uint8_t*>(CRYPTO_malloc(length > 0 ? length : 1));
        status = bytes == nullptr ? ERR_MEM_ALLOC : VLONG_byteStringFromVlong(v, bytes, &length);
    }
    if (status == OK) {
        DEBUG_CONSOLE_printString(TRACE, label);
        DEBUG_CONSOLE_hexDump(TRACE, bytes, static_cast<std::uint32_t>(length));
    } else {
        DEBUG_CONSOLE_printString(TRACE, "Call VLONG_byteStringFromVlong failed\n");
    }
    CRYPTO_free(bytes);
}

void trace_rsa_key(const KeyObject& key) {
    if (!DEBUG_CONSOLE_enabled(TRACE) || key.type != KEY_TYPE_RSA) return;
    const auto* rsa = static_cast<const RsaKey*>(key.key);
    DEBUG_CONSOLE_printString(TRACE, "key type = ");
    DEBUG_CONSOLE_printInt(TRACE, static_cast<std::int32_t>(key.type));
    DEBUG_CONSOLE_printString(TRACE, ", private key = ");
    DEBUG_CONSOLE_printInt(TRACE, rsa->privateKey);
    DEBUG_CONSOLE_printNewLine(TRACE);
    trace_number("Modulus: ", rsa->n);
    trace_number("Exponent: ", rsa->e);
}

}  // namespace

std::int32_t CRYPTO_LIB_initialize() {
    if (init_count > 0) {
        ++init_count;
        return OK;
    }
    init_count = 0;
    std::int32_t status = OK;
    for (int hook = 0; hook < 3 && status >= 0; ++hook) status = CRYPTO_startupHook(hook);
    if (status < 0) return status;
    CRYPTO_clockRead(&start_time);
    DEBUG_CONSOLE_reset();
    status = BASE64_buildTable();
    if (status < 0) return status;
    if (random_context == nullptr) {
        RandomContext* rng = nullptr;
        status = random_create(&rng);
        if (status < 0) return status;
        status = random_seed_from_urandom(rng);
        if (status < 0) {
            random_free(&rng);
            return status;
        }
        random_context = rng;
    }
    strict_mode = false;
    for (int hook = 3; hook < 5 && status >= 0; ++hook) status = CRYPTO_startupHook(hook);
    if (status < 0) return status;
    // Counted only once all the work is done, so that a failed start-up can be tried again.
    init_count = 1;
    return OK;
}

std::int32_t CRYPTO_LIB_uninitialize() {
    if (init_count == 0) return 0;
    if (--init_count > 0) return init_count;
    random_free(&random_context);
    BASE64_freeTable();
    return 0;
}

std::int32_t IMGSIGN_computeSHA256(const std::uint8_t* data, std::uint32_t length,
                                   std::uint8_t* digest, std::uint32_t* digestLength) {
    if (data == nullptr || digest == nullptr || digestLength == nullptr) return ERR_NULL_POINTER;
    *digestLength = 0;
    std::uint8_t local[DIGEST_MAX_LENGTH];
    std::uint32_t localLength = 0;
    const std::int32_t status =
        DIGEST_computeByAlgorithm(data, length, local, &localLength, DIGEST_SHA256);
    DEBUG_CONSOLE_printString(TRACE, "IMGSIGN_computeSHA256: ");
    if (status < 0) {
        trace_status(status);
        return status;
    }
    *digestLength = localLength;
    std::memcpy(digest, local, localLength);
    DEBUG_CONSOLE_hexDump(TRACE, digest, localLength);
    return OK;
}

std::int32_t CA_MGMT_convertPublicKey(const std::uint8_t* keyText, std::uint32_t keyLength,
                                      KeyObject* key) {
    DEBUG_CONSOLE_printString(TRACE, "CA_MGMT_convertPublicKey: ");
    std::int32_t status = OK;
    std::uint8_t* blob = nullptr;
    std::uint32_t blobLength = 0;
    KeyObject temp;
    KEYOBJ_init(&temp);
    if (keyText == nullptr) {
        status = ERR_NULL_POINTER;
    } else {
        std::uint8_t* der = nullptr;
        std::uint32_t derLength = 0;
        status = PEM_stripToDer(keyText, keyLength, &der, &derLength);
        if (status == OK) status = KEYBLOB_buildFromDer(der, derLength, &blob, &blobLength);
        CRYPTO_free(der);
        if (status < 0) {
            blob = nullptr;
            status = KEYBLOB_buildFromDer(keyText, keyLength, &blob, &blobLength);
        }
    }
    if (status == OK) status = KEYBLOB_readIntoKey(blob, blobLength, &temp);
    if (status == OK) {
        trace_rsa_key(temp);
        if (key != nullptr) {
            KEYOBJ_init(key);
            status = KEYOBJ_copy(&temp, key);
        }
    }
    KEYOBJ_release(&temp);
    CRYPTO_free(blob);
    if (status < 0) trace_status(status);
    return status;
}

std::int32_t IMGSIGN_verifySignature(const std::uint8_t* digest, std::uint32_t digestLength,
                                     const std::uint8_t* signature, std::uint32_t signatureLength,
                                     const std::uint8_t* keyText, std::uint32_t keyLength) {
    if (digest == nullptr || signature == nullptr || keyText == nullptr) return ERR_NULL_POINTER;
    KeyObject key;
    KEYOBJ_init(&key);
    std::int32_t status = CA_MGMT_convertPublicKey(keyText, keyLength, &key);
    if (status < 0) {
        DEBUG_CONSOLE_printString(TRACE, "IMGSIGN_verifySignature: ");
        trace_status(status);
        KEYOBJ_release(&key);
        return status;
    }
    std::uint8_t carried[DIGEST_MAX_LENGTH] = {};
    std::uint32_t carriedLength = 0;
    std::int32_t algorithm = 0;
    // Only an RSA key may be used as one; any other type is refused before any arithmetic.
    if (key.type != KEY_TYPE_RSA || key.key == nullptr)
        status = ERR_BAD_KEY_TYPE;
    else
        status = RSA_extractSignedDigest(static_cast<const RsaKey*>(key.key), signature,
                                         signatureLength, carried, &carriedLength, &algorithm);
    if (status == OK &&
        (carriedLength != digestLength || std::memcmp(carried, digest, carriedLength) != 0))
        status = ERR_SIGNATURE_MISMATCH;
    KEYOBJ_release(&key);
    DEBUG_CONSOLE_printString(TRACE, "IMGSIGN_verifySignature: ");
    if (status < 0) {
        trace_status(status);
        return status;
    }
    DEBUG_CONSOLE_printString(TRACE, "signature ");
    DEBUG_CONSOLE_hexDump(TRACE, signature, signatureLength);
    DEBUG_CONSOLE_printString(TRACE, "decrypted signature ");
    DEBUG_CONSOLE_hexDump(TRACE, carried, carriedLength);
    return OK;
}
