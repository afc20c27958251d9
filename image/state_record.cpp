#include "image/state_record.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/platform.h"

namespace {

// tag (4), body length (2), body, CRC-32 of all before it (4)
constexpr std::size_t kHead = 6;
constexpr std::size_t kTail = 4;
constexpr std::size_t kMaxFile = kHead + STATE_RECORD_MAX_BODY + kTail;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int close() {
        const int rc = fd_ >= 0 ? platform::os().close(fd_) : 0;
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

bool write_all(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = platform::os().write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// The rename is durable only once the directory that holds the name is synced.
int sync_directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    const Fd fd(platform::os().open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    if (fd.get() < 0) return -1;
    return platform::os().fsync(fd.get());
}

}  // namespace

RecordRead state_record_read(const char* path, std::uint32_t tag, std::span<std::uint8_t> body) {
    if (body.size() > STATE_RECORD_MAX_BODY) return RecordRead::damaged;
    const Fd fd(platform::os().open(path, O_RDONLY));
    if (fd.get() < 0) return errno == ENOENT ? RecordRead::missing : RecordRead::damaged;
    // One byte more than the largest record tells an overlong file from a whole one.
    std::array<std::uint8_t, kMaxFile + 1> file{};
    std::size_t got = 0;
    while (got < file.size()) {
        const ssize_t n = platform::os().read(fd.get(), file.data() + got, file.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return RecordRead::damaged;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    const std::size_t want = kHead + body.size() + kTail;
    if (got != want || be::load32(file.data()) != tag ||
        be::load16(file.data() + 4) != body.size() ||
        image_crc32(file.data(), want - kTail, IMG_CRC_SEED) !=
            be::load32(file.data() + want - kTail))
        return RecordRead::damaged;
    std::memcpy(body.data(), file.data() + kHead, body.size());
    return RecordRead::ok;
}

int state_record_write(const char* path, std::uint32_t tag, std::span<const std::uint8_t> body) {
    if (body.size() > STATE_RECORD_MAX_BODY) {
        errno = EINVAL;
        return -1;
    }
    std::array<std::uint8_t, kMaxFile> file{};
    be::store32(file.data(), tag);
    be::store16(file.data() + 4, static_cast<std::uint16_t>(body.size()));
    if (!body.empty()) std::memcpy(file.data() + kHead, body.data(), body.size());
    const std::size_t length = kHead + body.size() + kTail;
    be::store32(file.data() + length - kTail,
                image_crc32(file.data(), length - kTail, IMG_CRC_SEED));
    return state_file_replace(path, std::span(file.data(), length)) == FileWrite::ok ? 0 : -1;
}

FileWrite state_file_replace(const char* path, std::span<const std::uint8_t> data) {
    const std::string target(path);
    const std::string temporary = target + ".new";
    Fd fd(platform::os().open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    if (fd.get() < 0) return FileWrite::not_created;
    bool done =
        write_all(fd.get(), data.data(), data.size()) && platform::os().fsync(fd.get()) == 0;
    int error = errno;
    if (fd.close() != 0 && done) {
        done = false;
        error = errno;
    }
    if (done && platform::os().rename(temporary.c_str(), target.c_str()) != 0) {
        done = false;
        error = errno;
    }
    if (!done) {
        platform::os().remove(temporary.c_str());
        errno = error;
        return FileWrite::not_written;
    }
    // The file is whole either way now; a directory that cannot be synced only means the new
    // name may not yet survive a power cut, and the old file then still holds.
    return sync_directory_of(target) == 0 ? FileWrite::ok : FileWrite::not_written;
}

FileWrite state_file_append(const char* path, std::span<const std::uint8_t> text) {
    struct stat st {};
    const bool existed = platform::os().stat(path, &st) == 0;
    Fd fd(platform::os().open(path, O_WRONLY | O_CREAT | O_APPEND, 0644));
    if (fd.get() < 0) return FileWrite::not_created;
    bool done =
        write_all(fd.get(), text.data(), text.size()) && platform::os().fsync(fd.get()) == 0;
    const int error = errno;
    if (fd.close() != 0 && done) return FileWrite::not_written;
    if (!done) {
        errno = error;
        return FileWrite::not_written;
    }
    // A new file's name is on the medium only once its directory is.
    return existed || sync_directory_of(path) == 0 ? FileWrite::ok : FileWrite::not_written;
}

int state_record_remove(const char* path) {
    if (platform::os().remove(path) != 0 && errno != ENOENT) return -1;
    const std::string target(path);
    sync_directory_of(target);
    return 0;
}
