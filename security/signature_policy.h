// Whether a downloaded image may be written to flash or booted, by its signature.
#pragma once

#include <cstdint>
#include <span>

// image: the whole image (header and payload) in memory; nothing outside it is read.
int imgsign_verify_image(std::span<const std::uint8_t> image);
int imgsign_check_unsigned();
int imgsign_developer_images();

// Forgets the cached developer-images answer, as a fresh start of the program would.
void imgsign_developer_images_forget();
