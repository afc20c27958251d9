// The installed versions display: the id word of every installed image's header.
#include "image/versions.h"

#include <array>
#include <cstdint>

#include "image/image_format.h"
#include "image/installed.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"

namespace {

struct VersionRow {
    const char* format;
    std::uint32_t kind;
    int slot;
};

constexpr std::array<VersionRow, 6> kRows{{
    {"\tBoot image  : %d.%d.%d.%d\n", IMG_KIND_BOOTLOADER, 0},
    {"\tRFS image   : %d.%d.%d.%d\n", IMG_KIND_RFS, 0},
    {"\tKernel image: %d.%d.%d.%d\n", IMG_KIND_KERNEL, 0},
    {"\tDFT image   : %d.%d.%d.%d\n", IMG_KIND_DFT, 0},
    {"\tOS image 1  : %d.%d.%d.%d\n", IMG_KIND_APPLICATION, 1},
    {"\tOS image 2  : %d.%d.%d.%d\n", IMG_KIND_APPLICATION, 2},
}};

}  // namespace

int show_installed_versions() {
    out_puts("Installed images versions: ");
    for (const auto& row : kRows) {
        std::uint8_t header[IMG_FIXED_HEADER_LEN] = {};
        // A kind without a place in flash, or a failed read, leaves the zeros: 0.0.0.0.
        image_installed_header(row.kind, header, row.slot);
        const std::uint32_t id = be::load32(header + 12);
        out_printf(row.format, static_cast<int>(id >> 24), static_cast<int>((id >> 16) & 0xFF),
                   static_cast<int>((id >> 8) & 0xFF), static_cast<int>(id & 0xFF));
    }
    return 0;
}
