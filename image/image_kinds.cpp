#include "image/image_kinds.h"

#include <algorithm>
#include <array>

namespace {

using enum KindDestination;
constexpr KindLimit payload = KindLimit::payload;
constexpr KindLimit image = KindLimit::image;

constexpr std::array<ImageKind, 7> kKinds{{
    {IMG_KIND_APPLICATION, "application", "Installing Application: ",
     "Bad crc for APPLICATION: 0x%08x, voiding download\n", slot, FlashRegion::slot1, nullptr,
     image, 0xA00000, "Application image is too big for flash (%d > %d)\n", KindSignature::required,
     false, "Image%d update failed\n", true},
    {IMG_KIND_BOOTLOADER, "bootloader", "Installing Boot Loader: ",
     "Bad crc for UBOOT: 0x%08x, voiding download\n", region, FlashRegion::bootloader, nullptr,
     payload, 0x100000, "UBOOT image is too big for flash (%d > %d)\n",
     KindSignature::or_low_security, true, "Uboot image update failed", false},
    {IMG_KIND_KERNEL, "kernel",
     "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n", region,
     FlashRegion::kernel, nullptr, image, 0x800000, "KERNEL image is too big for flash (%d > %d)\n",
     KindSignature::required, false, "kernel image update failed", false},
    {IMG_KIND_RFS, "rfs",
     "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n", region,
     FlashRegion::rfs, nullptr, image, 0xA00000, "RFS image is too big for flash (%d > %d)\n",
     KindSignature::required, false, "RFS image update failed", false},
    {IMG_KIND_DFT, "dft", nullptr, nullptr, none, FlashRegion::slot1, nullptr, KindLimit::none, 0,
     nullptr, KindSignature::none, false, nullptr, false},
    {IMG_KIND_DIAGS, "diags", nullptr, nullptr, none, FlashRegion::slot1, nullptr, KindLimit::none,
     0, nullptr, KindSignature::none, false, nullptr, true},
    {IMG_KIND_QORB, "qorb",
     "Installing Q-ORB application: ", "Bad crc for Q-ORB APPLICATION: 0x%08x, voiding download\n",
     file, FlashRegion::slot1, QORB_IMAGE_PATH, KindLimit::none, 0, nullptr, KindSignature::none,
     true, "WARNING: writing image file failed (err %d)\n", false},
}};

}  // namespace

std::span<const ImageKind> image_kinds() {
    return kKinds;
}

const ImageKind* image_kind_info(std::uint32_t kind) {
    const auto* k = std::find_if(kKinds.begin(), kKinds.end(),
                                 [kind](const ImageKind& row) { return row.kind == kind; });
    return k != kKinds.end() ? k : nullptr;
}

const ImageKind* image_kind_named(std::string_view name) {
    const auto* k = std::find_if(kKinds.begin(), kKinds.end(), [name](const ImageKind& row) {
        return row.kind != 0 && name == row.name;
    });
    return k != kKinds.end() ? k : nullptr;
}

bool image_kind_installed(std::uint32_t kind) {
    const ImageKind* k = image_kind_info(kind);
    return k != nullptr && k->title != nullptr;
}
