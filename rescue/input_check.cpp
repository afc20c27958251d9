#include "rescue/input_check.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

constexpr int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '.' ||
           c == '_' || c == '-' || c == '+' || c == '/';
}

}  // namespace

bool rescue_parse_ipv4(const char* text, std::uint32_t* address) {
    if (text == nullptr) return false;
    std::array<std::uint8_t, 4> octets{};
    const char* p = text;
    for (std::size_t field = 0; field < octets.size(); ++field) {
        if (field > 0) {
            if (*p != '.') return false;
            ++p;
        }
        if (!is_digit(*p)) return false;
        if (*p == '0' && is_digit(p[1])) return false;
        unsigned value = 0;
        int digits = 0;
        while (is_digit(*p)) {
            if (++digits > 3) return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        if (value > 255) return false;
        octets[field] = static_cast<std::uint8_t>(value);
    }
    if (*p != '\0') return false;
    // Network byte order is the order of the bytes in memory, whatever the host's endianness.
    std::memcpy(address, octets.data(), octets.size());
    return true;
}

std::array<char, 16> rescue_format_ipv4(std::uint32_t address) {
    std::array<std::uint8_t, 4> octets{};
    std::memcpy(octets.data(), &address, octets.size());
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", octets[0], octets[1], octets[2],
                  octets[3]);
    return text;
}

unsigned rescue_ipv4_first_field(std::uint32_t address) {
    std::uint8_t first = 0;
    std::memcpy(&first, &address, 1);
    return first;
}

bool rescue_valid_mac(const char* text) {
    if (text == nullptr) return false;
    const char* p = text;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*p != ':') return false;
            ++p;
        }
        int digits = 0;
        while (hex_value(*p) >= 0) {
            if (++digits > 2) return false;
            ++p;
        }
        if (digits == 0) return false;
    }
    return *p == '\0';
}

bool rescue_valid_filename(const char* text) {
    if (text == nullptr || text[0] == '\0' || text[0] == '-') return false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!is_name_char(*p)) return false;
    }
    // A ".." step would let the name climb out of the server's directory.
    const std::size_t len = std::strlen(text);
    for (std::size_t i = 0; i + 1 < len; ++i) {
        if (text[i] == '.' && text[i + 1] == '.' && (i == 0 || text[i - 1] == '/') &&
            (i + 2 == len || text[i + 2] == '/')) {
            return false;
        }
    }
    return true;
}
