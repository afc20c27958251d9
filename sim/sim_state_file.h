// A device's state file in the board directory, mapped into memory: the device's registers or
// cells are the file's bytes, so that they survive the process (a power-down) and can be looked at
// with ordinary tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace sim {

class StateFile {
  public:
    StateFile() = default;
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Maps an existing file that must have exactly `size` bytes.
    bool map(const std::filesystem::path& path, std::size_t size, std::string* error);
    // Writes a fresh state file with these bytes.
    static bool create(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string* error);

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace sim
