// The main line of the boot manager: start-up, slot choice, slot check and boot.
#pragma once

#include <cstdint>

// The process entry after the platform back end is installed. Never returns.
[[noreturn]] void boot_main();

int install_interrupt_handler();
int boot_image_slot(int slot);
int image_crc_mismatch(const std::uint8_t* data, std::uint32_t length, std::uint32_t stored);
