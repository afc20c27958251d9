#include "image/installed.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"

namespace {

constexpr std::size_t kVerifyPiece = 0x10000;

}  // namespace

int image_installed_header(std::uint32_t kind, std::uint8_t* header, int slot) {
    if (header == nullptr) return 0;
    std::memset(header, 0, IMG_FIXED_HEADER_LEN);
    // The whole word: a version-2 header's magic (bit 31 set) names no kind here.
    const ImageKind* k = image_kind_info(kind);
    std::uint32_t offset = 0;
    if (k != nullptr && k->destination == KindDestination::slot) {
        offset = flash_region(flash_slot_region(slot)).offset;
    } else if (k != nullptr && k->destination == KindDestination::region) {
        // A kind whose payload alone reaches flash keeps its version record inside it.
        offset = flash_region(k->region).offset +
                 (k->payload_only ? static_cast<std::uint32_t>(IMG_BOOTLOADER_RECORD_OFFSET) : 0);
    } else {
        out_printf("Unknown image type 0x%x \n", kind);
        return 0;
    }
    // A failed read shows as an empty header rather than half of one.
    if (flash_region_read(header, mtd_fd, offset, IMG_FIXED_HEADER_LEN) != 0)
        std::memset(header, 0, IMG_FIXED_HEADER_LEN);
    return 1;
}

int image_same_version(const std::uint8_t* header, int slot) {
    std::uint8_t installed[IMG_FIXED_HEADER_LEN];
    const std::uint32_t magic = be::load32(header + 8);
    if (image_installed_header(magic, installed, slot) == 0) return 0;
    // The boot loader's record lies inside its payload; its crc word says nothing about it.
    const std::size_t from = image_kind(magic) == IMG_KIND_BOOTLOADER ? 4 : 0;
    return std::memcmp(installed + from, header + from, IMG_FIXED_HEADER_LEN - from) == 0 ? 1 : 0;
}

bool image_flash_holds(std::uint32_t offset, std::span<const std::uint8_t> data) {
    std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kVerifyPiece]);
    if (!piece) return false;
    for (std::size_t done = 0; done < data.size();) {
        const std::size_t n = std::min(kVerifyPiece, data.size() - done);
        if (flash_region_read(piece.get(), mtd_fd, offset + static_cast<std::uint32_t>(done),
                              static_cast<std::uint32_t>(n)) != 0 ||
            std::memcmp(piece.get(), data.data() + done, n) != 0)
            return false;
        done += n;
    }
    return true;
}

bool image_slot_holds_bootable(int slot) {
    const FlashRegionInfo& region = flash_region(flash_slot_region(slot));
    std::array<std::uint8_t, IMG_PROBE_LEN> probe{};
    if (flash_region_read(probe.data(), mtd_fd, region.offset, IMG_PROBE_LEN) != 0) return false;
    const ImageHeader h = image_header_decode(probe);
    if (!image_slot_bootable(h, region.room)) return false;
    const auto length = static_cast<std::uint32_t>(image_length(h));
    std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kVerifyPiece]);
    if (!piece) return false;
    std::uint32_t crc = IMG_CRC_SEED;
    for (std::uint32_t done = 4; done < length;) {
        const auto n =
            static_cast<std::uint32_t>(std::min<std::size_t>(kVerifyPiece, length - done));
        if (flash_region_read(piece.get(), mtd_fd, region.offset + done, n) != 0) return false;
        crc = image_crc32(piece.get(), n, crc);
        done += n;
    }
    return crc == h.crc;
}
