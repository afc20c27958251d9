// The DER reader: one pass over a DER input builds a tree of its elements, which key decoding
// and the signature check walk.
#pragma once

#include <cstdint>

// Identifier octet classes and the constructed bit.
inline constexpr std::uint8_t DER_CLASS_UNIVERSAL = 0x00;
inline constexpr std::uint8_t DER_CLASS_APPLICATION = 0x40;
inline constexpr std::uint8_t DER_CLASS_CONTEXT = 0x80;
inline constexpr std::uint8_t DER_CLASS_PRIVATE = 0xC0;
inline constexpr std::uint8_t DER_CONSTRUCTED = 0x20;

inline constexpr std::uint32_t DER_INTEGER = 2;
inline constexpr std::uint32_t DER_BIT_STRING = 3;
inline constexpr std::uint32_t DER_OCTET_STRING = 4;
inline constexpr std::uint32_t DER_NULL = 5;
inline constexpr std::uint32_t DER_OID = 6;
inline constexpr std::uint32_t DER_SEQUENCE = 16;
inline constexpr std::uint32_t DER_MAX_DEPTH = 40;

// One element of a parsed DER input; the tree is allocated by DER_readTree and freed whole.
struct DerNode {
    std::uint8_t classBits;  // DER_CLASS_* | DER_CONSTRUCTED
    std::uint32_t tag;
    std::uint32_t length;         // content bytes
    std::uint32_t headerLength;   // identifier and length octets
    std::uint32_t contentOffset;  // position of the contents in the input
    const std::uint8_t* content;  // = input + contentOffset
    std::uint32_t value;          // INTEGER/ENUMERATED of at most 4 bytes, BOOLEAN
    bool encapsulates;            // BIT/OCTET STRING contents parsed as nested DER
    DerNode* firstChild;
    DerNode* nextSibling;
};

// Parses exactly one outermost element (trailing bytes are ignored). The indefinite-length form
// is refused (-8103): DER has none, and nothing this library reads uses it.
std::int32_t DER_readTree(const std::uint8_t* input, std::uint32_t length, DerNode** tree);
std::int32_t DER_freeTree(DerNode** tree);
// Universal class and this tag number, else -6011.
std::int32_t DER_requireTag(const DerNode* element, std::uint32_t tag);
// n counts from 1; -7603 when there are fewer children.
std::int32_t DER_childAt(const DerNode* element, std::uint32_t n, const DerNode** child);
// element: a universal SEQUENCE whose first child is an OBJECT IDENTIFIER (else -7603).
// expected: the identifier's content octets preceded by their count. With wantArc the contents
// must be those octets and exactly one more, returned in *arc; else exactly those. -7604 if not.
std::int32_t DER_matchOid(const DerNode* element, const std::uint8_t* expected, bool wantArc,
                          std::uint8_t* arc);
