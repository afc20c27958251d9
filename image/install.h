// Installation of downloaded image packages into flash, and the install log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/install_log.h"

inline constexpr const char* DOWNLOAD_IMAGE_PATH = "/tmp/image";
inline constexpr const char* QORB_IMAGE_PATH = "/tmp/nos-image.gz";

int image_install_package(const char* path, std::uint8_t skip_same_version, int slot);
int install_log_append(const char* file, const char* source);
int image_installed_header(std::uint32_t kind, std::uint8_t* header, int slot);
int image_same_version(const std::uint8_t* header, int slot);
int file_write_progress(const char* path, const std::uint8_t* data, std::size_t length);
