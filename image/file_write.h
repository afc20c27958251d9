// Files the installer leaves for the application, written with a percentage display.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes a buffer to a new file in pieces of 64 KiB. 1 on success, 0 on failure (the console
// says why).
int file_write_progress(const char* path, const std::uint8_t* data, std::size_t length);
