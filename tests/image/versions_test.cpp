#include "image/versions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"

namespace {

std::vector<std::uint8_t> record(std::uint32_t magic, std::uint32_t id) {
    std::vector<std::uint8_t> r(16, 0);
    be::store32(r.data() + 4, 100);
    be::store32(r.data() + 8, magic);
    be::store32(r.data() + 12, id);
    return r;
}

struct Placed {
    std::uint32_t offset;
    std::uint32_t magic;
    std::uint32_t id;
};

struct VersionsCase {
    const char* name;
    std::vector<Placed> flash;
    bool geometry_fails;
    const char* shown;
};

TEST(ShowInstalledVersions, ShowsEveryRegionInOrder) {
    const VersionsCase cases[] = {
        {"erased flash",
         {},
         false,
         "Installed images versions: \n"
         "\tBoot image  : 255.255.255.255\n"
         "\tRFS image   : 255.255.255.255\n"
         "\tKernel image: 255.255.255.255\n"
         "Unknown image type 0x573636f \n"
         "\tDFT image   : 0.0.0.0\n"
         "\tOS image 1  : 255.255.255.255\n"
         "\tOS image 2  : 255.255.255.255\n"},
        {"every region",
         {{FLASH_BOOTLOADER_VERSION_OFFSET, IMG_KIND_BOOTLOADER, 0x01000009},
          {FLASH_BOOTLOADER_OFFSET, IMG_KIND_KERNEL, 0x09090909},  // a download header is not it
          {FLASH_RFS_OFFSET, IMG_KIND_RFS, 0x02000001},
          {FLASH_KERNEL_OFFSET, IMG_KIND_KERNEL, 0x03000002},
          {FLASH_SLOT1_OFFSET, IMG_KIND_APPLICATION, 0x01020304},
          {FLASH_SLOT2_OFFSET, IMG_KIND_APPLICATION, 0x0A0B0C0D}},
         false,
         "Installed images versions: \n"
         "\tBoot image  : 1.0.0.9\n"
         "\tRFS image   : 2.0.0.1\n"
         "\tKernel image: 3.0.0.2\n"
         "Unknown image type 0x573636f \n"
         "\tDFT image   : 0.0.0.0\n"
         "\tOS image 1  : 1.2.3.4\n"
         "\tOS image 2  : 10.11.12.13\n"},
        {"flash without geometry",
         {{FLASH_SLOT1_OFFSET, IMG_KIND_APPLICATION, 0x01020304}},
         true,
         "Installed images versions: \n"
         "Could not get MTD device info \n\tBoot image  : 0.0.0.0\n"
         "Could not get MTD device info \n\tRFS image   : 0.0.0.0\n"
         "Could not get MTD device info \n\tKernel image: 0.0.0.0\n"
         "Unknown image type 0x573636f \n"
         "\tDFT image   : 0.0.0.0\n"
         "Could not get MTD device info \n\tOS image 1  : 0.0.0.0\n"
         "Could not get MTD device info \n\tOS image 2  : 0.0.0.0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestBoard b;
        mtd_fd = mtd_open();
        for (const auto& p : c.flash) b->flash_write(p.offset, record(p.magic, p.id));
        if (c.geometry_fails) b->inject({sim::FaultKind::flash_info});
        b.clear_output();
        EXPECT_EQ(show_installed_versions(), 0);
        EXPECT_EQ(b.out(), c.shown);
    }
}

}  // namespace
