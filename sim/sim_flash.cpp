#include "sim/sim_flash.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "flash/flash.h"

namespace sim {

namespace {
constexpr std::size_t kRfsOffset = FLASH_RFS_OFFSET;
constexpr std::size_t kRfsSize = FLASH_RFS_ROOM;
}  // namespace

bool SimFlash::create(const std::filesystem::path& dir, std::string* error) {
    // Zeros in the file are erased flash (the file holds complements), so a sparse file will do.
    const auto path = dir / "flash.bin";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kFlashSize)) != 0) {
        *error = "cannot create " + path.string() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

void SimFlash::cut(const char* what, std::size_t offset) {
    char text[64];
    std::snprintf(text, sizeof text, "power cut during a flash %s at 0x%zx", what, offset);
    if (power_cut_) power_cut_(text);
    std::abort();  // nothing may run on after the power is gone
}

ssize_t SimFlash::pread(void* buf, std::size_t count, off_t offset) {
    ++reads_;
    if (faults_.hits(FaultKind::flash_read) != nullptr) return -1;
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const auto off = static_cast<std::size_t>(offset);
    if (off >= kFlashSize) return 0;
    const std::size_t n = std::min(count, kFlashSize - off);
    log_.push_back({'r', static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(n)});
    auto* out = static_cast<std::uint8_t*>(buf);
    const std::uint8_t* src = state_.data() + off;
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(~src[i]);
    return static_cast<ssize_t>(n);
}

ssize_t SimFlash::pwrite(const void* buf, std::size_t count, off_t offset) {
    ++writes_;
    if (faults_.hits(FaultKind::flash_write) != nullptr) return -1;
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const auto off = static_cast<std::size_t>(offset);
    if (off >= kFlashSize) {
        errno = ENOSPC;
        return -1;
    }
    std::size_t n = std::min(count, kFlashSize - off);
    log_.push_back({'w', static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(n)});
    const bool power_cut = faults_.hits(FaultKind::power_cut) != nullptr;
    if (power_cut) n /= 2;
    // NOR: programming can only clear bits. The file holds complements, so it can only set them.
    const auto* in = static_cast<const std::uint8_t*>(buf);
    std::uint8_t* dst = state_.data() + off;
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(dst[i] | ~in[i]);
    if (power_cut) cut("write", off);
    return static_cast<ssize_t>(n);
}

int SimFlash::erase(std::uint32_t start, std::uint32_t length) {
    ++erases_;
    if (faults_.hits(FaultKind::flash_erase) != nullptr) return -1;
    if (length == 0 || start % kFlashEraseSize != 0 || length % kFlashEraseSize != 0 ||
        static_cast<std::size_t>(start) + length > kFlashSize) {
        errno = EINVAL;
        return -1;
    }
    log_.push_back({'e', start, length});
    const bool power_cut = faults_.hits(FaultKind::power_cut) != nullptr;
    std::memset(state_.data() + start, 0, power_cut ? length / 2 : length);
    if (power_cut) cut("erase", start);
    return 0;
}

int SimFlash::info(mtd_info_user* info) {
    if (faults_.hits(FaultKind::flash_info) != nullptr) return -1;
    *info = mtd_info_user{};
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<std::uint32_t>(kFlashSize);
    info->erasesize = static_cast<std::uint32_t>(kFlashEraseSize);
    info->writesize = 1;
    return 0;
}

std::vector<std::uint8_t> SimFlash::read_bytes(std::size_t offset, std::size_t length) const {
    if (offset >= kFlashSize) return {};
    length = std::min(length, kFlashSize - offset);
    std::vector<std::uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i)
        out[i] = static_cast<std::uint8_t>(~state_.data()[offset + i]);
    return out;
}

void SimFlash::write_bytes(std::size_t offset, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size() && offset + i < kFlashSize; ++i)
        state_.data()[offset + i] = static_cast<std::uint8_t>(~bytes[i]);
}

void SimFlash::erase_all() {
    // Dropping the pages keeps the file sparse.
    if (::madvise(state_.data(), kFlashSize, MADV_REMOVE) != 0)
        std::memset(state_.data(), 0, kFlashSize);
}

void SimFlash::clear_log() {
    log_.clear();
    reads_ = writes_ = erases_ = rfs_reads_ = 0;
}

std::FILE* SimFlash::open_rfs_view() {
    cookie_io_functions_t io{};
    io.read = &SimFlash::rfs_cookie_read;
    io.seek = &SimFlash::rfs_cookie_seek;
    io.close = &SimFlash::rfs_cookie_close;
    auto* cookie = new RfsCookie{this, 0};
    std::FILE* f = ::fopencookie(cookie, "r", io);
    if (f == nullptr) delete cookie;
    return f;
}

ssize_t SimFlash::rfs_cookie_read(void* cookie, char* buf, std::size_t size) {
    auto* c = static_cast<RfsCookie*>(cookie);
    if (c->pos >= kRfsSize) return 0;
    const std::size_t n = std::min(size, kRfsSize - c->pos);
    const std::uint8_t* src = c->flash->state_.data() + kRfsOffset + c->pos;
    for (std::size_t i = 0; i < n; ++i) buf[i] = static_cast<char>(~src[i]);
    c->flash->log_.push_back(
        {'R', static_cast<std::uint32_t>(kRfsOffset + c->pos), static_cast<std::uint32_t>(n)});
    ++c->flash->rfs_reads_;
    c->pos += n;
    return static_cast<ssize_t>(n);
}

int SimFlash::rfs_cookie_seek(void* cookie, off64_t* offset, int whence) {
    auto* c = static_cast<RfsCookie*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(c->pos)
                                              : static_cast<off64_t>(kRfsSize);
    const off64_t target = base + *offset;
    if (target < 0) {
        errno = EINVAL;
        return -1;
    }
    c->pos = static_cast<std::size_t>(target);
    *offset = target;
    return 0;
}

int SimFlash::rfs_cookie_close(void* cookie) {
    delete static_cast<RfsCookie*>(cookie);
    return 0;
}

}  // namespace sim
