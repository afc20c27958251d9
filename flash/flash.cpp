#include "flash/flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>  // request number macros only; the call goes through the platform

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/console_io.h"
#include "platform/platform.h"

#if defined(__powerpc__)
// The board's kernel decodes these exact request numbers; a header that encoded them differently
// would talk past the driver.
static_assert(MEMGETINFO == 0x40204D01, "MEMGETINFO request number of the board");
static_assert(MEMERASE == 0x80084D02, "MEMERASE request number of the board");
#endif
static_assert(sizeof(mtd_info_user) == 32, "MEMGETINFO record layout");

int mtd_fd = -1;

namespace {

constexpr std::uint32_t kWriteChunk = 1024;

struct BlockRange {
    std::uint32_t first = 0;  // start of the first block
    std::uint32_t count = 0;  // number of blocks
};

BlockRange block_range(std::uint32_t offset, std::uint32_t length, const FlashGeometry& g) {
    const std::uint32_t mask = ~(g.erase_size - 1u);
    BlockRange r;
    r.first = offset & mask;
    const std::uint32_t last = ((offset + length - 1u) & mask) + g.erase_size - 1u;
    r.count = (last - r.first + 1u) >> g.erase_shift;
    return r;
}

// A range the device cannot hold is refused before any block is touched: the block arithmetic
// would otherwise wrap and reach blocks far from the range.
bool range_fits(std::uint32_t offset, std::uint32_t length, const FlashGeometry& g) {
    if (std::uint64_t{offset} + length <= g.size) return true;
    out_printf("Flash range 0x%x length 0x%x lies outside the device (0x%x bytes)\n", offset,
               length, g.size);
    return false;
}

}  // namespace

int mtd_open() {
    mtd_fd = platform::os().open("/dev/mtd0", O_RDWR | O_SYNC);
    return mtd_fd;
}

int mtd_get_info(int fd, FlashGeometry* geometry) {
    mtd_info_user info{};
    if (platform::os().ioctl(fd, MEMGETINFO, &info) < 0 || info.erasesize == 0) {
        out_puts("Could not get MTD device info ");
        return 0;
    }
    geometry->erase_size = info.erasesize;
    geometry->size = info.size;
    geometry->blocks = info.size / info.erasesize;
    std::uint32_t shift = 0;
    while (((info.erasesize >> shift) & 1u) == 0) ++shift;
    geometry->erase_shift = shift;
    return 1;
}

int mtd_erase(int fd, std::uint32_t offset, std::uint32_t length) {
    erase_info_user erase{offset, length};
    return platform::os().ioctl(fd, MEMERASE, &erase) < 0 ? 0 : 1;
}

int mtd_read(int fd, std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
    return platform::os().pread(fd, buffer, length, static_cast<off_t>(offset)) < 0 ? 0 : 1;
}

int mtd_write(int fd, std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) {
    return platform::os().pwrite(fd, buffer, length, static_cast<off_t>(offset)) < 0 ? 0 : 1;
}

int flash_read(std::uint8_t* buffer, int fd, std::uint32_t length, std::uint32_t offset) {
    return mtd_read(fd, offset, length, buffer);
}

int flash_write(const std::uint8_t* data, int fd, std::uint32_t length, std::uint32_t offset,
                std::uint8_t progress, const FlashGeometry& geometry) {
    // Nothing to place, and the block arithmetic needs a last byte; the display still ends its
    // line, as the caller's next message expects.
    if (length == 0) {
        ProgressDisplay(progress != 0, "     ", true).finish();
        return 1;
    }
    const std::uint32_t e = geometry.erase_size;
    const BlockRange range = block_range(offset, length, geometry);
    std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[e + kWriteChunk]);
    if (!work) {
        out_puts("Flash Write malloc failed");
        return 0;
    }
    ProgressDisplay display(progress != 0, "     ", true);

    std::uint32_t block = range.first;
    std::uint32_t done = 0;
    for (std::uint32_t i = 0; i < range.count; ++i) {
        std::uint32_t in_block = 0;
        std::uint32_t piece = e;
        if (range.count == 1) {
            in_block = offset - range.first;
            piece = length;
        } else if (i == 0) {
            in_block = offset - range.first;
            piece = e - in_block;
        } else if (i == range.count - 1) {
            piece = length - done;
        }

        std::memset(work.get(), 0, e);
        if (!mtd_read(fd, block, e, work.get())) {
            out_puts("Flash Write mtd read failed.\n");
            return 0;
        }
        std::memcpy(work.get() + in_block, data + done, piece);
        if (!mtd_erase(fd, block, e)) {
            out_puts("Flash Write mtd erase failed.\n");
            return 0;
        }
        for (std::uint32_t w = 0; w < e; w += kWriteChunk) {
            if (!mtd_write(fd, block + w, kWriteChunk, work.get() + w)) {
                out_puts("Flash Write mtd write failed.\n");
                return 0;
            }
        }
        display.step(static_cast<unsigned>(i * 100u / range.count));
        block += e;
        done += piece;
    }
    display.finish();
    return 1;
}

int flash_erase(int fd, std::uint32_t length, std::uint32_t offset, const FlashGeometry& geometry) {
    if (length == 0) return 1;
    const BlockRange range = block_range(offset, length, geometry);
    std::uint32_t block = range.first;
    for (std::uint32_t i = 0; i < range.count; ++i, block += geometry.erase_size) {
        if (!mtd_erase(fd, block, geometry.erase_size)) {
            out_puts("Flash Erase mtd erase failed.");
            return 0;
        }
    }
    return 1;
}

int flash_region_read(std::uint8_t* buffer, int fd, std::uint32_t offset, std::uint32_t length) {
    FlashGeometry g;
    if (!mtd_get_info(fd, &g)) return -1;
    if (!range_fits(offset, length, g)) return -1;
    return flash_read(buffer, fd, length, offset) ? 0 : -1;
}

int flash_region_write(const std::uint8_t* data, int fd, std::uint32_t offset, std::uint32_t length,
                       std::uint8_t progress) {
    FlashGeometry g;
    if (!mtd_get_info(fd, &g)) return -1;
    if (!range_fits(offset, length, g)) return -1;
    if (!flash_write(data, fd, length, offset, progress, g)) return -1;
    // Written means on the medium: a driver that caches (block2mtd keeps the blocks in the
    // kernel's page cache) must have passed them on before anyone reads back or trusts them.
    if (platform::os().fsync(fd) != 0) {
        out_printf("Flash Write mtd sync failed (err %d).\n\n", errno);
        return -1;
    }
    return 0;
}

int flash_region_erase(int fd, std::uint32_t offset, std::uint32_t length) {
    FlashGeometry g;
    if (!mtd_get_info(fd, &g)) return -1;
    if (!range_fits(offset, length, g)) return -1;
    return flash_erase(fd, length, offset, g) ? 0 : -1;
}
