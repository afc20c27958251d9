#include "sim/status_report.h"

#include <algorithm>
#include <array>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include "board/i2c_devices.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "image/install.h"
#include "platform/byte_order.h"
#include "security/keystore.h"

namespace sim {

namespace {

struct Region {
    const char* name;
    std::uint32_t offset;
    std::uint32_t room;
};

constexpr std::array<Region, 4> kImageRegions{{
    {"slot 1", FLASH_SLOT1_OFFSET, FLASH_SLOT1_ROOM},
    {"slot 2", FLASH_SLOT2_OFFSET, FLASH_SLOT2_ROOM},
    {"kernel", FLASH_KERNEL_OFFSET, FLASH_KERNEL_ROOM},
    {"rfs", FLASH_RFS_OFFSET, FLASH_RFS_ROOM},
}};

const char* kind_name(std::uint32_t kind) {
    switch (kind) {
        case IMG_KIND_APPLICATION:
            return "application";
        case IMG_KIND_BOOTLOADER:
            return "bootloader";
        case IMG_KIND_KERNEL:
            return "kernel";
        case IMG_KIND_RFS:
            return "rfs";
        case IMG_KIND_DFT:
            return "dft";
        case IMG_KIND_DIAGS:
            return "diags";
        case IMG_KIND_QORB:
            return "qorb";
        default:
            return "unknown";
    }
}

std::string version(std::uint32_t id) {
    return std::to_string(id >> 24) + "." + std::to_string((id >> 16) & 0xFF) + "." +
           std::to_string((id >> 8) & 0xFF) + "." + std::to_string(id & 0xFF);
}

void print_region(const SimBoard& board, const Region& r, std::FILE* to) {
    const auto probe = board.flash_read(r.offset, IMG_PROBE_LEN);
    std::fprintf(to, "  %-8s 0x%07x  ", r.name, r.offset);
    if (std::all_of(probe.begin(), probe.end(), [](std::uint8_t b) { return b == 0xFF; })) {
        std::fprintf(to, "erased\n");
        return;
    }
    const ImageHeader h = image_header_decode(
        std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
    const std::uint64_t length = image_length(h);
    std::fprintf(to, "%-11s version %-15s header v%d  ", kind_name(image_kind(h.magic)),
                 version(h.id).c_str(), h.header_version);
    if (!image_header_consistent(h) || length > r.room) {
        std::fprintf(to, "no valid image (lengths do not fit the region)\n");
        return;
    }
    const auto image = board.flash_read(r.offset, static_cast<std::size_t>(length));
    const bool good = image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED) == h.crc;
    std::fprintf(to, "%llu bytes, crc %s\n", static_cast<unsigned long long>(length),
                 good ? "good" : "BAD");
}

void print_stamp(const SimBoard& board, const char* name, std::uint16_t offset, std::FILE* to) {
    const auto t = board.eeprom_read(offset, RTC_TIME_LEN);
    if (std::all_of(t.begin(), t.end(), [](std::uint8_t b) { return b == 0xFF || b == 0; })) {
        std::fprintf(to, "  %s installed: never\n", name);
        return;
    }
    std::fprintf(to, "  %s installed: %02x:%02x:%02x on %x-%x-20%02x\n", name, t[2] & 0x3F,
                 t[1] & 0x7F, t[0] & 0x7F, t[4] & 0x3F, t[5] & 0x1F, t[6]);
}

}  // namespace

int print_status_report(const SimBoard& board, std::FILE* to) {
    std::fprintf(to, "Board %s\nFlash:\n", board.dir().c_str());
    for (const auto& r : kImageRegions) print_region(board, r, to);
    const auto record = board.flash_read(FLASH_BOOTLOADER_VERSION_OFFSET, IMG_FIXED_HEADER_LEN);
    const std::uint32_t magic = be::load32(record.data() + 8);
    std::fprintf(to, "  %-8s 0x%07x  ", "boot", FLASH_BOOTLOADER_OFFSET);
    if (magic == IMG_KIND_BOOTLOADER)
        std::fprintf(to, "bootloader  version %s (version record)\n",
                     version(be::load32(record.data() + 12)).c_str());
    else
        std::fprintf(to, "no boot loader version record\n");

    const auto slot = board.eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1);
    std::fprintf(to, "EEPROM:\n  boot slot byte: %u\n", slot[0]);
    print_stamp(board, "image1", EEPROM_SLOT1_TIMESTAMP_OFFSET, to);
    print_stamp(board, "image2", EEPROM_SLOT2_TIMESTAMP_OFFSET, to);

    std::fprintf(to, "Key files:\n");
    for (const char* path : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH})
        std::fprintf(to, "  %s: %s\n", path,
                     std::filesystem::exists(board.host_path(path)) ? "present" : "missing");

    constexpr std::size_t kLogLines = 5;
    std::fprintf(to, "Install log (last %zu lines):\n", kLogLines);
    std::ifstream log(board.host_path(INSTALL_LOG_PATH));
    std::deque<std::string> last;
    for (std::string line; std::getline(log, line);) {
        last.push_back(line);
        if (last.size() > kLogLines) last.pop_front();
    }
    if (last.empty()) std::fprintf(to, "  (empty)\n");
    for (const auto& line : last) std::fprintf(to, "  %s\n", line.c_str());
    return 0;
}

}  // namespace sim
