// The NOR flash behind "/dev/mtd0": 64 MiB in 128 KiB erase blocks, kept in flash.bin. Programming
// can only clear bits and only an erase sets them again, as on the chip. The file holds the
// COMPLEMENT of every flash byte, so that a fresh, fully erased flash (0xFF) is a sparse file of
// zeros. "/dev/mtd-rfs" is a read-only view of the root file system region. Every operation is
// counted and logged; the fault plan can fail one or cut the power in the middle of it.
#pragma once

#include <mtd/mtd-user.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_faults.h"
#include "sim/sim_state_file.h"

namespace sim {

inline constexpr std::size_t kFlashSize = 64u * 1024 * 1024;
inline constexpr std::size_t kFlashEraseSize = 128u * 1024;

struct FlashOp {
    char op;  // 'r' read, 'w' write, 'e' erase, 'R' read through "/dev/mtd-rfs"
    std::uint32_t offset;
    std::uint32_t length;
};

class SimFlash {
  public:
    explicit SimFlash(FaultPlan& faults) : faults_(faults) {}
    SimFlash(const SimFlash&) = delete;
    SimFlash& operator=(const SimFlash&) = delete;

    static bool create(const std::filesystem::path& dir, std::string* error);
    bool open(const std::filesystem::path& dir, std::string* error) {
        return state_.map(dir / "flash.bin", kFlashSize, error);
    }
    // Called with a description when the power goes in the middle of an operation; it must end
    // the process (the board's power is gone).
    void on_power_cut(std::function<void(const std::string&)> hook) {
        power_cut_ = std::move(hook);
    }

    // The MTD requests of the boot manager.
    ssize_t pread(void* buf, std::size_t count, off_t offset);
    ssize_t pwrite(const void* buf, std::size_t count, off_t offset);
    int erase(std::uint32_t start, std::uint32_t length);
    int info(mtd_info_user* info);
    std::FILE* open_rfs_view();

    // Direct access, as a programmer in the factory has it.
    std::vector<std::uint8_t> read_bytes(std::size_t offset, std::size_t length) const;
    // Stores bytes as they are (not NOR-and).
    void write_bytes(std::size_t offset, std::span<const std::uint8_t> bytes);
    void erase_all();

    // The access log.
    const std::vector<FlashOp>& log() const { return log_; }
    unsigned reads() const { return reads_; }
    unsigned writes() const { return writes_; }
    unsigned erases() const { return erases_; }
    unsigned rfs_reads() const { return rfs_reads_; }
    void clear_log();

  private:
    struct RfsCookie {
        SimFlash* flash;
        std::size_t pos;
    };
    static ssize_t rfs_cookie_read(void* cookie, char* buf, std::size_t size);
    static int rfs_cookie_seek(void* cookie, off64_t* offset, int whence);
    static int rfs_cookie_close(void* cookie);
    void cut(const char* what, std::size_t offset);

    FaultPlan& faults_;
    StateFile state_;
    std::function<void(const std::string&)> power_cut_;
    std::vector<FlashOp> log_;
    unsigned reads_ = 0, writes_ = 0, erases_ = 0, rfs_reads_ = 0;
};

}  // namespace sim
