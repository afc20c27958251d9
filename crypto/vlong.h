// Multi-precision integers (sign and magnitude, 32-bit words, least significant first) as far as
// RSA verification needs them: bytes in and out, comparison, multiplication and modular
// exponentiation. Word products are 32 x 32 -> 64-bit; nothing multiplies or divides 64-bit
// numbers, which a 32-bit PowerPC has no instruction for.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t VLONG_MAX_WORDS = 8192;

struct vlong {
    std::uint32_t* digits;
    std::uint32_t capacity;  // words allocated at digits (never above VLONG_MAX_WORDS + 3)
    std::uint32_t used;      // significant words; the top one is never zero; 0 is the value zero
    std::int32_t negative;
    vlong* next;  // link while the record sits in a queue of spare records
};

// A queue is a list of spare records passed as the address of its head; every operation that
// takes one works with a null queue too.
std::int32_t VLONG_allocate(vlong** result, vlong** queue);
// With a queue the record (digits kept) goes onto it; without, its words are overwritten and it
// is freed. *record becomes null either way.
std::int32_t VLONG_free(vlong** record, vlong** queue);
// Frees every record of a queue for good.
std::int32_t VLONG_freeQueue(vlong** queue);
std::int32_t VLONG_growKeep(vlong* value, std::uint32_t words);
std::int32_t VLONG_growDrop(vlong* value, std::uint32_t words);
std::int32_t VLONG_setWord(vlong* value, std::uint32_t index, std::uint32_t word);
std::int32_t VLONG_fromBytes(const std::uint8_t* bytes, std::int32_t length, vlong** result,
                             vlong** queue);
// Without a buffer: *length := the value's byte length. With one: exactly *length bytes,
// big-endian, left-padded with zeros; -6007 when *length is too small.
std::int32_t VLONG_byteStringFromVlong(const vlong* value, std::uint8_t* buffer,
                                       std::int32_t* length);
std::int32_t VLONG_copy(const vlong* value, vlong** result, vlong** queue);
std::int32_t VLONG_compareMagnitudes(const vlong* a, const vlong* b);
std::int32_t VLONG_testBit(const vlong* value, std::uint32_t index);
std::uint32_t VLONG_bitLength(const vlong* value);
// a := a - b; requires |a| >= |b|.
std::int32_t VLONG_subtractMagnitudes(vlong* a, const vlong* b);
// result := a * b (squaring when a and b are the same record). result must be another record.
std::int32_t VLONG_multiply(vlong* result, const vlong* a, const vlong* b);
// result := (a * b) mod 2^bits.
std::int32_t VLONG_truncatedMultiply(vlong* result, const vlong* a, const vlong* b,
                                     std::uint32_t bits);
// quotient := floor(a / m), remainder := a mod m on magnitudes; either output may be null.
std::int32_t VLONG_divide(const vlong* a, const vlong* m, vlong** quotient, vlong** remainder,
                          vlong** queue);
// result := base ^ exponent mod modulus.
std::int32_t VLONG_modExp(const vlong* base, const vlong* exponent, const vlong* modulus,
                          vlong** result, vlong** queue);
