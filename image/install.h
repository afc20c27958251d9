// Installation of downloaded image packages: every image checked before the first is written.
#pragma once

#include <cstdint>

inline constexpr const char* DOWNLOAD_IMAGE_PATH = "/tmp/image";

// 1 when at least one image was installed; 0 when none was, when the package was abandoned, or
// when any image failed its checks (then nothing is written). Does not return when the operator
// boots a downloaded application image. slot: 0 asks the operator; 1 or 2 is used as given.
int image_install_package(const char* path, std::uint8_t skip_same_version, int slot);
