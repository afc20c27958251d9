// Status numbers of the cryptographic library: 0 success, negative failure. Every operation of
// the library returns one of these (or passes a lower layer's status through unchanged).
#pragma once

#include <cstdint>

namespace crypto_status {

inline constexpr std::int32_t OK = 0;
inline constexpr std::int32_t ERR_NULL_POINTER = -6001;
inline constexpr std::int32_t ERR_BAD_LENGTH = -6003;  // over 8192 words, or a negative length
inline constexpr std::int32_t ERR_DIVIDE_BY_ZERO = -6004;
inline constexpr std::int32_t ERR_BUFFER_OVERFLOW = -6007;
inline constexpr std::int32_t ERR_ASN_UNEXPECTED_TAG = -6011;
inline constexpr std::int32_t ERR_EOF = -6012;
inline constexpr std::int32_t ERR_RSA_BAD_EXPONENT = -6013;
inline constexpr std::int32_t ERR_BAD_KEY_TYPE = -6015;
inline constexpr std::int32_t ERR_MEM_ALLOC = -6101;  // also: an empty input where one is needed
inline constexpr std::int32_t ERR_BASE64_BAD_INPUT = -6501;
inline constexpr std::int32_t ERR_BASE64_UNINITIALIZED = -6502;
inline constexpr std::int32_t ERR_THREAD_CREATE = -5801;
inline constexpr std::int32_t ERR_FILE_OPEN = -7201;
inline constexpr std::int32_t ERR_FILE_READ = -7202;
inline constexpr std::int32_t ERR_FILE_WRITE = -7204;
inline constexpr std::int32_t ERR_BAD_KEY_BLOB = -7402;
inline constexpr std::int32_t ERR_BAD_KEY_BLOB_TYPE = -7403;
inline constexpr std::int32_t ERR_BAD_KEY_BLOB_VERSION = -7404;
inline constexpr std::int32_t ERR_DER_UNEXPECTED = -7603;
inline constexpr std::int32_t ERR_DER_BAD_OID = -7604;
inline constexpr std::int32_t ERR_DER_EXPONENT_TOO_LONG = -7605;
inline constexpr std::int32_t ERR_BAD_SIGNATURE_LENGTH = -7609;
inline constexpr std::int32_t ERR_BAD_DIGEST_ALGORITHM = -7612;
inline constexpr std::int32_t ERR_DER_TOO_DEEP = -7615;
inline constexpr std::int32_t ERR_DER_MODULUS_TOO_LONG = -7621;
inline constexpr std::int32_t ERR_RSA_NO_KEY = -7701;
inline constexpr std::int32_t ERR_RSA_BAD_PADDING = -7702;
inline constexpr std::int32_t ERR_DER_NOT_A_KEY = -7703;
inline constexpr std::int32_t ERR_RSA_PRIVATE_VERSION = -7704;
inline constexpr std::int32_t ERR_RSA_EXPONENT_TOO_LONG = -7706;
inline constexpr std::int32_t ERR_RSA_MODULUS_TOO_LONG = -7707;
inline constexpr std::int32_t ERR_SIGNATURE_MISMATCH = -7711;
inline constexpr std::int32_t ERR_AES_BAD_LENGTH = -7902;
inline constexpr std::int32_t ERR_AES_BAD_DIRECTION = -7903;
inline constexpr std::int32_t ERR_AES_BAD_KEY_SIZE = -7904;
inline constexpr std::int32_t ERR_AES_BAD_MODE = -7907;
inline constexpr std::int32_t ERR_DER_EMPTY = -8101;
inline constexpr std::int32_t ERR_DER_BAD_TAG = -8102;
inline constexpr std::int32_t ERR_DER_BAD_LENGTHS = -8103;
inline constexpr std::int32_t ERR_DER_LENGTH_TOO_LONG = -8105;
inline constexpr std::int32_t ERR_DER_TAG_TOO_LONG = -8108;
inline constexpr std::int32_t ERR_DER_NOT_A_PRIVATE_KEY = -9803;

}  // namespace crypto_status
