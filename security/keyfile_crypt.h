// AES-128-CBC encryption of the key files under short key material (the unit serial number).
#pragma once

#include <cstddef>
#include <cstdint>

// Both return a buffer from the system allocator (caller frees with std::free), or null.
std::uint8_t* imgsign_encrypt(const std::uint8_t* key, std::size_t key_length,
                              const std::uint8_t* data, std::size_t data_length,
                              std::size_t* out_length);
std::uint8_t* imgsign_decrypt(const std::uint8_t* key, std::size_t key_length,
                              const std::uint8_t* data, std::size_t data_length,
                              std::size_t* out_length);
int imgsign_write_encrypted_file(const std::uint8_t* data, std::size_t data_length,
                                 const char* path, const std::uint8_t* key, std::size_t key_length);
