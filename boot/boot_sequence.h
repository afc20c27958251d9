// The main line of the boot manager: start-up, slot choice, slot check and boot.
#pragma once

#include <cstdint>

#include "image/image_format.h"

// The process entry after the platform back end is installed. Never returns.
[[noreturn]] void boot_main();

// The start-up of a power-up, up to the rescue menu: signal handlers, I2C buses, flash, library,
// boot settings, system clock from the RTC, key check.
void boot_start_up();

// SIGINT sets the break flag; the quit and job-control signals of the console do nothing.
int install_interrupt_handler();
// 1 when the boot path accepts this header for a slot of `room` bytes (application or
// diagnostics kind, lengths that fit), else 0. The CRC is checked after it.
int boot_header_accepted(const ImageHeader& header, std::uint32_t room);
int boot_image_slot(int slot);
int image_crc_mismatch(const std::uint8_t* data, std::uint32_t length, std::uint32_t stored);
