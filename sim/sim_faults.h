// The board's fault plan: failures injected into the devices and services of one power-up. Each
// unit asks the plan whether its operation fails now; the plan counts matching operations so that
// "the Nth one" can be hit.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

enum class FaultKind {
    i2c_select,      // the I2C_SLAVE request fails
    i2c_write,       // a write to the selected device fails
    i2c_read,        // a read from the selected device fails
    i2c_short_read,  // a read delivers only `bytes` bytes
    flash_info,      // MEMGETINFO fails
    flash_read,      // a pread of "/dev/mtd0" fails
    flash_write,     // a pwrite of "/dev/mtd0" fails
    flash_erase,     // a MEMERASE fails
    flash_sync,      // an fsync of "/dev/mtd0" fails
    create_path,     // creating the system path `path` fails
    file_sync,       // an fsync of the "/user" file `path` fails
    shell,           // system() cannot start the shell (commands starting with `path`, "" = any)
    exec,            // execv() fails
    power_cut,       // the power goes during the nth flash erase or write (half of it done)
    i2c_open,        // opening "/dev/i2c-N" fails (`device` = bus number N, -1 = any bus)
    // The power goes at the nth step that keeps the board's own state: a write, sync or rename
    // of a file under "/user", or an EEPROM write. What was written to a "/user" file and not
    // yet synced is lost with it, as a page cache is.
    state_power_cut,
};

struct Fault {
    // NOLINTNEXTLINE(google-explicit-constructor): {kind, nth, ...} reads well in fault tables
    Fault(FaultKind kind_, unsigned nth_ = 0, int device_ = -1, unsigned bytes_ = 0,
          std::string path_ = {}, int error_ = 5)
        : kind(kind_),
          nth(nth_),
          device(device_),
          bytes(bytes_),
          path(std::move(path_)),
          error(error_) {}

    FaultKind kind;
    unsigned nth = 0;    // 1-based occurrence among matching operations; 0 = every one
    int device = -1;     // I2C faults: 7-bit address (i2c_open: bus number), -1 = any
    unsigned bytes = 0;  // i2c_short_read: bytes delivered
    std::string path;    // create_path: system path; shell: command prefix ("" = any command)
    int error = 5;       // errno reported (EIO)
    unsigned seen = 0;   // matching operations so far (kept by the plan)
};

// A fault as the simulator's --fault option and the tests' tables write it:
// KIND[@N][:ARG][=ERRNO]. KIND is i2c-open, i2c-select, i2c-write, i2c-read, i2c-short,
// flash-info, flash-read, flash-write, flash-erase, flash-sync, create, sync, shell, exec or
// power-cut; @N hits only the Nth matching operation (power-cut needs it); ARG is the bus of
// i2c-open, the 7-bit device of the other I2C kinds, the bytes of i2c-short, the path of create
// and of sync (needed) and the command prefix of shell; =ERRNO the errno the failing call reports
// (by default EIO, for create EACCES, for shell EAGAIN). Without a fault, `error` says what is
// wrong with the text, naming it.
std::optional<Fault> parse_fault(std::string_view text, std::string* error);

class FaultPlan {
  public:
    void inject(Fault fault);
    void clear() { faults_.clear(); }
    bool empty() const { return faults_.empty(); }
    // The fault that makes this operation fail (errno set from it), or nullptr. `device` and
    // `text` narrow the match as the kinds above describe.
    const Fault* hits(FaultKind kind, int device = -1, std::string_view text = {});

  private:
    std::vector<Fault> faults_;
};

}  // namespace sim
