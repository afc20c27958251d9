#include "sim/sim_state_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace sim {

StateFile::~StateFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

bool StateFile::create(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string* error) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        *error = "cannot write " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool StateFile::map(const std::filesystem::path& path, std::size_t size, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) != size) {
        ::close(fd);
        *error = path.string() + " does not have the size " + std::to_string(size);
        return false;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        *error = "cannot map " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    data_ = static_cast<std::uint8_t*>(p);
    size_ = size;
    return true;
}

}  // namespace sim
