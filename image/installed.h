// The images installed in flash: their headers, whether a download is the same version, and
// whether a region holds exactly the bytes of an image.
#pragma once

#include <cstdint>
#include <span>

// 1 when the kind (compared as a whole 32-bit value) has a place in flash, else 0; fills the
// 16-byte fixed header part of the installed image (the boot loader's version record).
int image_installed_header(std::uint32_t kind, std::uint8_t* header, int slot);
// 1 when the installed image of the header's kind holds the same version, else 0.
int image_same_version(const std::uint8_t* header, int slot);
// Whether the flash at offset holds exactly data: the read-back after a write, and the proof
// that an image of the same version is intact before an update is skipped.
bool image_flash_holds(std::uint32_t offset, std::span<const std::uint8_t> data);
// Whether an image slot holds a whole image that the boot path would start: its header passes the
// boot path's rule and its CRC is good. Read in pieces, so a 17 MiB slot costs no 17 MiB buffer.
bool image_slot_holds_bootable(int slot);
