// Status numbers of the cryptographic library: 0 success, negative failure. Every operation of
// the library returns one of these (or passes a lower layer's status through unchanged).
#pragma once

#include <cstdint>

// Every status, X(NAME, VALUE): the constants below, and the names the tests' data files write.
#define CRYPTO_STATUSES(X)                                                 \
    X(OK, 0)                                                               \
    X(ERR_NULL_POINTER, -6001)                                             \
    X(ERR_BAD_LENGTH, -6003) /* over 8192 words, or a negative length */   \
    X(ERR_DIVIDE_BY_ZERO, -6004)                                           \
    X(ERR_BUFFER_OVERFLOW, -6007)                                          \
    X(ERR_ASN_UNEXPECTED_TAG, -6011)                                       \
    X(ERR_EOF, -6012)                                                      \
    X(ERR_RSA_BAD_EXPONENT, -6013)                                         \
    X(ERR_BAD_KEY_TYPE, -6015)                                             \
    X(ERR_MEM_ALLOC, -6101) /* also: an empty input where one is needed */ \
    X(ERR_BASE64_BAD_INPUT, -6501)                                         \
    X(ERR_BASE64_UNINITIALIZED, -6502)                                     \
    X(ERR_THREAD_CREATE, -5801)                                            \
    X(ERR_FILE_OPEN, -7201)                                                \
    X(ERR_FILE_READ, -7202)                                                \
    X(ERR_FILE_WRITE, -7204)                                               \
    X(ERR_BAD_KEY_BLOB, -7402)                                             \
    X(ERR_BAD_KEY_BLOB_TYPE, -7403)                                        \
    X(ERR_BAD_KEY_BLOB_VERSION, -7404)                                     \
    X(ERR_DER_UNEXPECTED, -7603)                                           \
    X(ERR_DER_BAD_OID, -7604)                                              \
    X(ERR_DER_EXPONENT_TOO_LONG, -7605)                                    \
    X(ERR_BAD_SIGNATURE_LENGTH, -7609)                                     \
    X(ERR_BAD_DIGEST_ALGORITHM, -7612)                                     \
    X(ERR_DER_TOO_DEEP, -7615)                                             \
    X(ERR_DER_MODULUS_TOO_LONG, -7621)                                     \
    X(ERR_RSA_NO_KEY, -7701)                                               \
    X(ERR_RSA_BAD_PADDING, -7702)                                          \
    X(ERR_DER_NOT_A_KEY, -7703)                                            \
    X(ERR_RSA_PRIVATE_VERSION, -7704)                                      \
    X(ERR_RSA_EXPONENT_TOO_LONG, -7706)                                    \
    X(ERR_RSA_MODULUS_TOO_LONG, -7707)                                     \
    X(ERR_SIGNATURE_MISMATCH, -7711)                                       \
    X(ERR_AES_BAD_LENGTH, -7902)                                           \
    X(ERR_AES_BAD_DIRECTION, -7903)                                        \
    X(ERR_AES_BAD_KEY_SIZE, -7904)                                         \
    X(ERR_AES_BAD_MODE, -7907)                                             \
    X(ERR_DER_EMPTY, -8101)                                                \
    X(ERR_DER_BAD_TAG, -8102)                                              \
    X(ERR_DER_BAD_LENGTHS, -8103)                                          \
    X(ERR_DER_LENGTH_TOO_LONG, -8105)                                      \
    X(ERR_DER_TAG_TOO_LONG, -8108)                                         \
    X(ERR_DER_NOT_A_PRIVATE_KEY, -9803)

namespace crypto_status {

#define CRYPTO_STATUS_CONSTANT(name, value) inline constexpr std::int32_t name = value;
CRYPTO_STATUSES(CRYPTO_STATUS_CONSTANT)
#undef CRYPTO_STATUS_CONSTANT

}  // namespace crypto_status
