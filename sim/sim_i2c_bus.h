// The board's I2C buses and what every device behind them shares: a register pointer that a
// write sets with its first offset bytes, writes that store the bytes after the offset, and reads
// that fetch from the pointer on. Each device keeps its registers in its own state file and an
// access log of the transfers it saw. The bus only knows which device answers at which address.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "sim/sim_state_file.h"

namespace sim {

struct I2cAccess {
    char op;               // 'w' a write (register offset and data), 'r' a read
    std::uint16_t offset;  // register pointer at the start of the transfer
    std::uint32_t length;  // data bytes stored or fetched (offset bytes not counted)
    bool operator==(const I2cAccess&) const = default;
};

class I2cDevice {
  public:
    // offset_width: register offset bytes a write starts with (2 for the EEPROM, 1 otherwise).
    // wrap: whether the pointer wraps at the end of the registers (else it runs off: writes are
    // dropped and reads give 0).
    I2cDevice(int offset_width, bool wrap) : offset_width_(offset_width), wrap_(wrap) {}
    virtual ~I2cDevice() = default;
    I2cDevice(const I2cDevice&) = delete;
    I2cDevice& operator=(const I2cDevice&) = delete;

    ssize_t write(std::span<const std::uint8_t> message);
    ssize_t read(std::span<std::uint8_t> out);

    const std::vector<I2cAccess>& access_log() const { return log_; }
    void clear_access_log() { log_.clear(); }
    std::size_t registers() const { return state_.size(); }

  protected:
    // Called before a read fetches registers (a clock brings its time up to date here).
    virtual void before_read() {}
    // Called after a register changed its value through the bus.
    virtual void changed(std::size_t /*reg*/, std::uint8_t /*before*/, std::uint8_t /*after*/) {}

    StateFile state_;

  private:
    int offset_width_;
    bool wrap_;
    std::size_t pointer_ = 0;
    std::vector<I2cAccess> log_;
};

// Which device answers at a 7-bit address on a bus.
class I2cBuses {
  public:
    void attach(int bus, int addr7, I2cDevice* device) { devices_[{bus, addr7}] = device; }
    I2cDevice* find(int bus, int addr7) const {
        const auto it = devices_.find({bus, addr7});
        return it == devices_.end() ? nullptr : it->second;
    }

  private:
    std::map<std::pair<int, int>, I2cDevice*> devices_;
};

}  // namespace sim
