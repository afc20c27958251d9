// The MTD flash device and its region map.
#pragma once

#include <array>
#include <cstddef>
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
inline constexpr std::uint32_t FLASH_BOOTLOADER_ROOM = 0x100000;

// The region map: every place in flash that holds an image, by name (as the tools and the
// simulator name it), offset and room.
enum class FlashRegion : std::uint8_t { slot1, slot2, kernel, rfs, bootloader };

struct FlashRegionInfo {
    FlashRegion id;
    const char* name;   // "slot1", "kernel", ...
    const char* label;  // as the console names it: "image slot 1", "the kernel region", ...
    std::uint32_t offset;
    std::uint32_t room;
};

inline constexpr std::array<FlashRegionInfo, 5> FLASH_REGIONS{{
    {FlashRegion::slot1, "slot1", "image slot 1", FLASH_SLOT1_OFFSET, FLASH_SLOT1_ROOM},
    {FlashRegion::slot2, "slot2", "image slot 2", FLASH_SLOT2_OFFSET, FLASH_SLOT2_ROOM},
    {FlashRegion::kernel, "kernel", "the kernel region", FLASH_KERNEL_OFFSET, FLASH_KERNEL_ROOM},
    {FlashRegion::rfs, "rfs", "the root file system region", FLASH_RFS_OFFSET, FLASH_RFS_ROOM},
    {FlashRegion::bootloader, "bootloader", "the boot loader region", FLASH_BOOTLOADER_OFFSET,
     FLASH_BOOTLOADER_ROOM},
}};

constexpr const FlashRegionInfo& flash_region(FlashRegion id) {
    return FLASH_REGIONS[static_cast<std::size_t>(id)];
}

// The region of an image slot: 1 is slot 1, every other number slot 2 (as the installer and the
// debugger copy have always taken it).
constexpr FlashRegion flash_slot_region(int slot) {
    return slot == 1 ? FlashRegion::slot1 : FlashRegion::slot2;
}

// The image slot number of a region, 0 for a region that is no slot.
constexpr int flash_region_slot(FlashRegion id) {
    return id == FlashRegion::slot1 ? 1 : id == FlashRegion::slot2 ? 2 : 0;
}

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
