// The MTD flash device and its region map.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t FLASH_SLOT1_OFFSET = 0x0000000;
inline constexpr std::uint32_t FLASH_SLOT2_OFFSET = 0x1100000;
inline constexpr std::uint32_t FLASH_KERNEL_OFFSET = 0x2300000;
inline constexpr std::uint32_t FLASH_RFS_OFFSET = 0x3000000;
inline constexpr std::uint32_t FLASH_BOOTLOADER_OFFSET = 0x3F00000;
inline constexpr std::uint32_t FLASH_BOOTLOADER_VERSION_OFFSET = 0x3F000F0;
// Room of each region before the next one begins.
inline constexpr std::uint32_t FLASH_SLOT1_ROOM = 0x1100000;
inline constexpr std::uint32_t FLASH_SLOT2_ROOM = 0x1200000;
inline constexpr std::uint32_t FLASH_KERNEL_ROOM = 0xD00000;
inline constexpr std::uint32_t FLASH_RFS_ROOM = 0xF00000;

struct FlashGeometry {
    std::uint32_t blocks = 0;
    std::uint32_t erase_size = 0;
    std::uint32_t erase_shift = 0;
    std::uint32_t size = 0;
};

// Descriptor of "/dev/mtd0", opened once at start-up.
extern int mtd_fd;

int mtd_open();
int mtd_get_info(int fd, FlashGeometry* geometry);
int mtd_erase(int fd, std::uint32_t offset, std::uint32_t length);
int mtd_read(int fd, std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer);
int mtd_write(int fd, std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer);
int flash_read(std::uint8_t* buffer, int fd, std::uint32_t length, std::uint32_t offset);
int flash_write(const std::uint8_t* data, int fd, std::uint32_t length, std::uint32_t offset,
                std::uint8_t progress, const FlashGeometry& geometry);
int flash_erase(int fd, std::uint32_t length, std::uint32_t offset, const FlashGeometry& geometry);

// Region operations: 0 on success, -1 on failure.
int flash_region_read(std::uint8_t* buffer, int fd, std::uint32_t offset, std::uint32_t length);
int flash_region_write(const std::uint8_t* data, int fd, std::uint32_t offset, std::uint32_t length,
                       std::uint8_t progress);
int flash_region_erase(int fd, std::uint32_t offset, std::uint32_t length);
