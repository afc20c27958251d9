// Every number in a stored or transmitted format is read and written through these helpers, never
// by copying a struct, so the code is the same on the big-endian board and a little-endian host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace be {

constexpr std::uint16_t load16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

constexpr std::uint32_t load32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

constexpr void store16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

constexpr void store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Span forms for callers that hold a view; the offset must leave room for the width.
constexpr std::uint16_t load16(std::span<const std::uint8_t> s, std::size_t off) {
    return load16(s.data() + off);
}
constexpr std::uint32_t load32(std::span<const std::uint8_t> s, std::size_t off) {
    return load32(s.data() + off);
}

}  // namespace be
