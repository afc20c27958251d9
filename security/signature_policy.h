// Whether a downloaded image may be written to flash or booted, by its signature.
#pragma once

#include <cstdint>
#include <span>

// image: the whole image (header and payload) in memory; nothing outside it is read.
int imgsign_verify_image(std::span<const std::uint8_t> image);
int imgsign_check_unsigned();
// A boot loader decides what the board boots and whether low security mode is forced on, so it
// is installed only when its signature passes as a kernel's would, or, unsigned, while low
// security mode is on. 1 to install, 0 to refuse (the console says why).
int imgsign_verify_bootloader(std::span<const std::uint8_t> image);
int imgsign_developer_images();

// Forgets the cached developer-images answer, as a fresh start of the program would.
void imgsign_developer_images_forget();
