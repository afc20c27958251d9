// Checks on the values an operator types in rescue mode before they reach a shell command.
//
// Every accepted text is safe to paste into a command line as it stands: no blanks, no shell
// metacharacters, no control characters, and nothing that a program could take for an option.
#pragma once

#include <array>
#include <cstdint>

// Plain dotted-decimal IPv4 ("192.168.1.10"): exactly four fields of 1 to 3 decimal digits, each at
// most 255, without leading zeros (which other parsers would read as octal) and nothing around.
// On success the address is stored in network byte order, as inet_aton stores it.
bool rescue_parse_ipv4(const char* text, std::uint32_t* address);

// Dotted form of an address in network byte order, as inet_ntoa gives it, in the caller's hands
// (no shared static buffer, so two addresses can appear in one message).
std::array<char, 16> rescue_format_ipv4(std::uint32_t address);

// First dotted field (the most significant byte) of an address in network byte order.
unsigned rescue_ipv4_first_field(std::uint32_t address);

// "nn:nn:nn:nn:nn:nn" with one or two hexadecimal digits per field and nothing else.
bool rescue_valid_mac(const char* text);

// A TFTP file name: letters, digits and . _ - + / only, not starting with '-' (the client would
// take it for an option) and without ".." path steps.
bool rescue_valid_filename(const char* text);
