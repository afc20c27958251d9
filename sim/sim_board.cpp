#include "sim/sim_board.h"

#include "board/i2c_devices.h"
#include "flash/flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

namespace sim {

namespace fs = std::filesystem;

namespace {

// The board's map is the boot manager's own: one definition serves both sides.
constexpr std::size_t kEnvOffset = EEPROM_BOOT_ENV_OFFSET;
constexpr std::size_t kEnvSize = EEPROM_BOOT_ENV_LEN;
constexpr std::size_t kSerialOffset = EEPROM_SERIAL_OFFSET;
constexpr std::size_t kSerialSize = EEPROM_SERIAL_LEN;
constexpr std::size_t kBootSlotOffset = EEPROM_BOOT_SLOT_OFFSET;
constexpr std::size_t kRfsOffset = FLASH_RFS_OFFSET;
constexpr std::size_t kRfsSize = FLASH_RFS_ROOM;
constexpr std::uint8_t kLedRegister = LED_PRESENCE_REGISTER;

// Lays "name=value" strings NUL-separated into the boot environment window (zero-filled behind
// them). False, with the window untouched, when they do not fit in its 1280 bytes.
bool encode_boot_env(std::uint8_t* window, const std::vector<std::string>& entries) {
    std::size_t total = 0;
    for (const auto& e : entries) total += e.size() + 1;
    if (total > kEnvSize) return false;
    std::memset(window, 0, kEnvSize);
    std::size_t at = 0;
    for (const auto& e : entries) {
        std::copy(e.begin(), e.end(), window + at);  // the NUL after it is the zero fill
        at += e.size() + 1;
    }
    return true;
}
constexpr unsigned kMaxEmptyReads = 1000;

// Host devices that commands and the library may use as they are.
constexpr std::array<std::string_view, 5> kHostDevices{"/dev/null", "/dev/zero", "/dev/urandom",
                                                       "/dev/random", "/dev/tty"};

bool is_host_device(std::string_view path) {
    return std::find(kHostDevices.begin(), kHostDevices.end(), path) != kHostDevices.end();
}

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            out += text[i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

bool write_file(const fs::path& path, std::span<const std::uint8_t> bytes, std::string* error) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

std::uint8_t* map_file(const fs::path& path, std::size_t size, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) {
        *error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) != size) {
        ::close(fd);
        *error = path.string() + " does not have the size " + std::to_string(size);
        return nullptr;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        *error = "cannot map " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    return static_cast<std::uint8_t*>(p);
}

// The character that may stand before a path in a command text.
bool path_boundary_before(char c) {
    return std::strchr(" \t\n=;:'\"(<>|&`", c) != nullptr;
}
bool path_boundary_after(char c) {
    return std::strchr("/ \t\n;'\"|&<>)`", c) != nullptr;
}

}  // namespace

// A read position in the read-only view of the root file system region.
struct RfsCookie {
    SimBoard* board;
    std::size_t pos;
};

namespace {}  // namespace

// ---------------------------------------------------------------------------------------------
// Console script

ConsoleScript& ConsoleScript::keys(std::string_view bytes) {
    if (bytes.empty()) return *this;
    if (!items_.empty() && items_.back().kind == Item::bytes) {
        items_.back().data += bytes;
    } else {
        items_.push_back({Item::bytes, std::string(bytes)});
    }
    return *this;
}

ConsoleScript& ConsoleScript::nothing() {
    items_.push_back({Item::nothing, {}});
    return *this;
}

ConsoleScript& ConsoleScript::interrupt() {
    items_.push_back({Item::interrupt, {}});
    return *this;
}

// ---------------------------------------------------------------------------------------------
// Creation and opening

bool SimBoard::exists(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "eeprom.bin", ec) &&
           fs::is_regular_file(dir / "flash.bin", ec);
}

bool SimBoard::create(const fs::path& dir, const CreateOptions& options, std::string* error) {
    std::string dummy;
    if (error == nullptr) error = &dummy;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create board directory " + dir.string() + ": " + ec.message();
        return false;
    }
    fs::remove_all(dir / "root", ec);
    for (const char* sub : {"root/tmp", "root/user", "root/dev"}) {
        fs::create_directories(dir / sub, ec);
        if (ec) {
            *error = "cannot create " + (dir / sub).string() + ": " + ec.message();
            return false;
        }
    }

    std::vector<std::uint8_t> eeprom(kEepromSize, 0xFF);
    if (options.serial.size() > kSerialSize) {
        *error = "serial number longer than 12 characters: " + options.serial;
        return false;
    }
    std::fill_n(eeprom.begin() + kSerialOffset, kSerialSize, 0);
    std::copy(options.serial.begin(), options.serial.end(), eeprom.begin() + kSerialOffset);
    eeprom[kBootSlotOffset] = options.boot_slot;
    if (!encode_boot_env(eeprom.data() + kEnvOffset, options.boot_env)) {
        *error = "boot environment does not fit in its 1280 bytes";
        return false;
    }
    if (!write_file(dir / "eeprom.bin", eeprom, error)) return false;
    if (!write_file(dir / "rtc.bin", options.rtc, error)) return false;
    const std::vector<std::uint8_t> led(kLedRegisters, 0);
    if (!write_file(dir / "led.bin", led, error)) return false;
    const std::vector<std::uint8_t> none;
    if (!write_file(dir / "events.log", none, error)) return false;
    fs::remove(dir / "console.out", ec);
    fs::remove(dir / "console.err", ec);

    // Zeros in the file are erased flash (the file holds complements), so a sparse file will do.
    const int fd = ::open((dir / "flash.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kFlashSize)) != 0) {
        *error = "cannot create " + (dir / "flash.bin").string() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

SimBoard::SimBoard(fs::path dir) : dir_(std::move(dir)) {
    std::error_code ec;
    dir_ = fs::absolute(dir_, ec);
    root_ = (dir_ / "root").string();
    if (!exists(dir_)) {
        error_ = "no board in " + dir_.string() + " (create one with --new)";
        return;
    }
    if ((flash_ = map_file(dir_ / "flash.bin", kFlashSize, &error_)) == nullptr) return;
    if ((eeprom_ = map_file(dir_ / "eeprom.bin", kEepromSize, &error_)) == nullptr) return;
    if ((rtc_ = map_file(dir_ / "rtc.bin", kRtcSize, &error_)) == nullptr) return;
    if ((led_ = map_file(dir_ / "led.bin", kLedRegisters, &error_)) == nullptr) return;
    events_fd_ =
        ::open((dir_ / "events.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (events_fd_ < 0) {
        error_ = "cannot open events.log: " + std::string(std::strerror(errno));
        return;
    }
    for (const char* sub : {"tmp", "user", "dev"})
        fs::create_directories(fs::path(root_) / sub, ec);
    console_tio_.c_iflag = ICRNL | IXON;
    console_tio_.c_oflag = OPOST | ONLCR;
    console_tio_.c_cflag = CS8 | CREAD | CLOCAL;
    console_tio_.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK;
    cfsetispeed(&console_tio_, B9600);
    cfsetospeed(&console_tio_, B9600);
    serial_tio_ = console_tio_;
}

SimBoard::~SimBoard() {
    if (flash_ != nullptr) ::munmap(flash_, kFlashSize);
    if (eeprom_ != nullptr) ::munmap(eeprom_, kEepromSize);
    if (rtc_ != nullptr) ::munmap(rtc_, kRtcSize);
    if (led_ != nullptr) ::munmap(led_, kLedRegisters);
    for (int fd : {events_fd_, out_fd_, err_fd_}) {
        if (fd >= 0) ::close(fd);
    }
}

void SimBoard::power_up() {
    std::error_code ec;
    fs::remove_all(fs::path(root_) / "tmp", ec);
    fs::create_directories(fs::path(root_) / "tmp", ec);
    faults_.clear();
    clear_flash_log();
    led_blinks_ = 0;
    clock_ms_ = 0;
    reboot_requested_ = false;
    env_.clear();
}

void SimBoard::capture_console(ConsoleScript input) {
    if (out_fd_ < 0) {
        out_fd_ =
            ::open((dir_ / "console.out").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        err_fd_ =
            ::open((dir_ / "console.err").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    capturing_ = true;
    set_console_input(std::move(input));
}

void SimBoard::set_console_input(ConsoleScript input) {
    script_ = std::move(input);
    script_item_ = 0;
    script_pos_ = 0;
    empty_reads_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Paths and commands

std::string SimBoard::host_path(std::string_view path) const {
    if (path.empty() || path[0] != '/') return {};
    std::size_t pos = 1;
    std::string_view first;
    bool first_seen = false;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string_view::npos) next = path.size();
        const std::string_view part = path.substr(pos, next - pos);
        if (part == "..") return {};
        if (!first_seen && !part.empty()) {
            first = part;
            first_seen = true;
        }
        pos = next + 1;
    }
    if (first != "tmp" && first != "user" && first != "dev") return {};
    return root_ + std::string(path);
}

std::string SimBoard::rewrite_command(std::string_view text) const {
    std::string out;
    out.reserve(text.size() + 64);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '/' && (i == 0 || path_boundary_before(text[i - 1]))) {
            for (std::string_view top : {"/tmp", "/user", "/dev"}) {
                if (text.substr(i, top.size()) != top) continue;
                const std::size_t end = i + top.size();
                if (end < text.size() && !path_boundary_after(text[end])) continue;
                std::size_t word_end = text.find_first_of(" \t\n;'\"|&<>)`", i);
                if (word_end == std::string_view::npos) word_end = text.size();
                if (top == "/dev" && is_host_device(text.substr(i, word_end - i))) continue;
                out += root_;
                break;
            }
        }
        out += text[i];
    }
    return out;
}

void SimBoard::add_command(std::string prefix, CommandHandler handler) {
    commands_.insert(commands_.begin(), {std::move(prefix), std::move(handler)});
}

// ---------------------------------------------------------------------------------------------
// Direct device access

std::vector<std::uint8_t> SimBoard::eeprom_read(std::size_t offset, std::size_t length) const {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < length && offset + i < kEepromSize; ++i)
        out.push_back(eeprom_[offset + i]);
    return out;
}

void SimBoard::eeprom_write(std::size_t offset, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size() && offset + i < kEepromSize; ++i)
        eeprom_[offset + i] = bytes[i];
}

std::vector<std::uint8_t> SimBoard::flash_read(std::size_t offset, std::size_t length) const {
    if (offset >= kFlashSize) return {};
    length = std::min(length, kFlashSize - offset);
    std::vector<std::uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i)
        out[i] = static_cast<std::uint8_t>(~flash_[offset + i]);
    return out;
}

void SimBoard::flash_write(std::size_t offset, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size() && offset + i < kFlashSize; ++i) {
        flash_[offset + i] = static_cast<std::uint8_t>(~bytes[i]);
    }
}

void SimBoard::flash_erase_all() {
    // Dropping the pages keeps the file sparse.
    if (::madvise(flash_, kFlashSize, MADV_REMOVE) != 0) std::memset(flash_, 0, kFlashSize);
}

std::array<std::uint8_t, kRtcSize> SimBoard::rtc() const {
    std::array<std::uint8_t, kRtcSize> out{};
    std::copy_n(rtc_, kRtcSize, out.begin());
    return out;
}

void SimBoard::set_rtc(const std::array<std::uint8_t, kRtcSize>& bcd) {
    std::copy(bcd.begin(), bcd.end(), rtc_);
}

std::uint8_t SimBoard::led_register(std::size_t reg) const {
    return reg < kLedRegisters ? led_[reg] : 0;
}

void SimBoard::set_led_register(std::size_t reg, std::uint8_t value) {
    if (reg < kLedRegisters) led_[reg] = value;
}

bool SimBoard::set_boot_env(const std::vector<std::string>& entries) {
    return encode_boot_env(eeprom_ + kEnvOffset, entries);
}

void SimBoard::clear_flash_log() {
    flash_log_.clear();
    flash_reads_ = flash_writes_ = flash_erases_ = rfs_reads_ = 0;
    flash_changes_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Events

void SimBoard::record(std::string_view kind, std::string_view text) const {
    if (events_fd_ < 0) return;
    std::string line;
    line.reserve(kind.size() + text.size() + 2);
    line += kind;
    line += ' ';
    line += escape(text);
    line += '\n';
    // One write per line keeps lines whole when a child process records as well.
    [[maybe_unused]] const ssize_t n = ::write(events_fd_, line.data(), line.size());
}

void SimBoard::note(std::string_view text) const {
    record("board", text);
    if (!capturing_) {
        std::string line = "[board] ";
        line += text;
        line += '\n';
        [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
    }
}

std::vector<Event> parse_events(std::string_view text) {
    std::vector<Event> events;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) {
            events.push_back({std::string(line), {}});
        } else {
            events.push_back(
                {std::string(line.substr(0, blank)), unescape(line.substr(blank + 1))});
        }
        pos = end + 1;
    }
    return events;
}

std::vector<std::string> event_texts(const std::vector<Event>& events, std::string_view kind) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        if (e.kind == kind) out.push_back(e.text);
    }
    return out;
}

std::vector<Event> SimBoard::read_events(const fs::path& dir) {
    std::ifstream f(dir / "events.log", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return parse_events(text);
}

std::vector<Event> SimBoard::events() const {
    return read_events(dir_);
}

// ---------------------------------------------------------------------------------------------
// Faults

void SimBoard::inject(Fault fault) {
    fault.seen = 0;
    faults_.push_back(std::move(fault));
}

void SimBoard::clear_faults() {
    faults_.clear();
}

bool SimBoard::fault_hits(FaultKind kind, int device, std::string_view text) {
    bool hit = false;
    for (auto& f : faults_) {
        if (f.kind != kind) continue;
        if (f.device >= 0 && f.device != device) continue;
        if (kind == FaultKind::create_path && f.path != text) continue;
        if (kind == FaultKind::shell && text.substr(0, f.path.size()) != f.path) continue;
        ++f.seen;
        if (!hit && (f.nth == 0 || f.seen == f.nth)) {
            hit = true;
            last_fault_ = &f;
        }
    }
    if (hit) errno = last_fault_->error;
    return hit;
}

// ---------------------------------------------------------------------------------------------
// Descriptors

int SimBoard::new_device_fd(DevState state) {
    // A real descriptor keeps the number unique among the process's files.
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    if (static_cast<std::size_t>(fd) >= devices_.size())
        devices_.resize(static_cast<std::size_t>(fd) + 1);
    devices_[static_cast<std::size_t>(fd)] = state;
    return fd;
}

SimBoard::DevState* SimBoard::device(int fd) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= devices_.size()) return nullptr;
    DevState& d = devices_[static_cast<std::size_t>(fd)];
    return d.kind == Dev::none ? nullptr : &d;
}

int SimBoard::open(const char* path, int flags, mode_t mode) {
    const std::string_view p(path);
    if (p == "/dev/i2c-0" || p == "/dev/i2c-1")
        return new_device_fd({Dev::i2c, p.back() - '0', -1});
    if (p == "/dev/mtd0") return new_device_fd({Dev::mtd, 0, -1});
    if (p == "/dev/ttyS0") {
        if (serial_ != nullptr && serial_->attached()) return serial_->open(flags);
        return new_device_fd({Dev::serial, 0, -1});
    }
    if (is_host_device(p)) return ::open(path, flags | O_CLOEXEC, mode);
    const std::string host = host_path(p);
    if (host.empty()) {
        errno = ENOENT;
        return -1;
    }
    if ((flags & O_CREAT) != 0 && fault_hits(FaultKind::create_path, -1, p)) return -1;
    record("open", p);
    return ::open(host.c_str(), flags | O_CLOEXEC, mode);
}

int SimBoard::close(int fd) {
    if (DevState* d = device(fd)) {
        *d = DevState{};
        return ::close(fd);
    }
    if (capturing_ && fd >= 0 && fd <= 2) return 0;
    if (serial_ != nullptr && serial_->owns(fd)) return serial_->close(fd);
    return ::close(fd);
}

ssize_t SimBoard::read(int fd, void* buf, size_t count) {
    if (DevState* d = device(fd)) {
        switch (d->kind) {
            case Dev::i2c:
                return i2c_read(*d, static_cast<std::uint8_t*>(buf), count);
            case Dev::serial:
                return console_read(buf, count);
            default:
                errno = EINVAL;
                return -1;
        }
    }
    if (fd == 0) return console_read(buf, count);
    if (serial_ != nullptr && serial_->owns(fd)) return serial_->read(fd, buf, count);
    return ::read(fd, buf, count);
}

ssize_t SimBoard::write(int fd, const void* buf, size_t count) {
    if (DevState* d = device(fd)) {
        switch (d->kind) {
            case Dev::i2c:
                return i2c_write(*d, static_cast<const std::uint8_t*>(buf), count);
            case Dev::serial:
                return console_write(1, buf, count);
            default:
                errno = EINVAL;
                return -1;
        }
    }
    if (fd == 1 || fd == 2) return console_write(fd, buf, count);
    return ::write(fd, buf, count);
}

ssize_t SimBoard::pread(int fd, void* buf, size_t count, off_t offset) {
    if (DevState* d = device(fd)) {
        if (d->kind == Dev::mtd) return mtd_pread(buf, count, offset);
        errno = ESPIPE;
        return -1;
    }
    return ::pread(fd, buf, count, offset);
}

ssize_t SimBoard::pwrite(int fd, const void* buf, size_t count, off_t offset) {
    if (DevState* d = device(fd)) {
        if (d->kind == Dev::mtd) return mtd_pwrite(buf, count, offset);
        errno = ESPIPE;
        return -1;
    }
    return ::pwrite(fd, buf, count, offset);
}

// ---------------------------------------------------------------------------------------------
// Console

ssize_t SimBoard::console_read(void* buf, size_t count) {
    if (!capturing_) return ::read(0, buf, count);
    const auto& items = script_.items();
    while (script_item_ < items.size()) {
        const auto& item = items[script_item_];
        if (item.kind == ConsoleScript::Item::bytes) {
            if (script_pos_ >= item.data.size()) {
                ++script_item_;
                script_pos_ = 0;
                continue;
            }
            const std::size_t n = std::min(count, item.data.size() - script_pos_);
            std::memcpy(buf, item.data.data() + script_pos_, n);
            script_pos_ += n;
            empty_reads_ = 0;
            return static_cast<ssize_t>(n);
        }
        ++script_item_;
        script_pos_ = 0;
        if (item.kind == ConsoleScript::Item::nothing) return 0;
        if (sigint_handler_ != nullptr) sigint_handler_(SIGINT);
        errno = EINTR;
        return -1;
    }
    // Without a limit a reader that waits for a key would spin for ever in a test.
    if (++empty_reads_ > kMaxEmptyReads) {
        static const char msg[] = "[board] console input exhausted\n";
        [[maybe_unused]] const ssize_t n = ::write(2, msg, sizeof msg - 1);
        note("console input exhausted");
        end(kExitInputExhausted);
    }
    return 0;
}

ssize_t SimBoard::console_write(int fd, const void* buf, size_t count) {
    if (console_tap_) console_tap_(fd, {static_cast<const char*>(buf), count});
    if (!capturing_) return ::write(fd, buf, count);
    return ::write(fd == 2 ? err_fd_ : out_fd_, buf, count);
}

int SimBoard::tcgetattr(int fd, struct termios* settings) {
    if (DevState* d = device(fd); d != nullptr && d->kind == Dev::serial) {
        *settings = serial_tio_;
        return 0;
    }
    if (fd < 0 || fd > 2) return ::tcgetattr(fd, settings);
    if (!capturing_ && ::tcgetattr(fd, settings) == 0) return 0;
    *settings = console_tio_;
    return 0;
}

int SimBoard::tcsetattr(int fd, int action, const struct termios* settings) {
    if (DevState* d = device(fd); d != nullptr && d->kind == Dev::serial) {
        serial_tio_ = *settings;
        record("serial", "speed " + std::to_string(cfgetospeed(settings) == B115200 ? 115200
                                                   : cfgetospeed(settings) == B9600 ? 9600
                                                                                    : 0));
        return 0;
    }
    if (serial_ != nullptr && serial_->owns(fd)) {
        record("serial", "speed " + std::to_string(cfgetospeed(settings) == B115200 ? 115200
                                                   : cfgetospeed(settings) == B9600 ? 9600
                                                                                    : 0));
        return ::tcsetattr(fd, action, settings);
    }
    if (fd < 0 || fd > 2) return ::tcsetattr(fd, action, settings);
    console_tio_ = *settings;
    if (!capturing_ && ::isatty(fd)) return ::tcsetattr(fd, action, settings);
    return 0;
}

int SimBoard::install_sigint_handler(void (*handler)(int)) {
    sigint_handler_ = handler;
    if (capturing_) return 0;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return ::sigaction(SIGINT, &action, nullptr);
}

// ---------------------------------------------------------------------------------------------
// I2C

ssize_t SimBoard::i2c_write(DevState& dev, const std::uint8_t* data, size_t count) {
    if (fault_hits(FaultKind::i2c_write, dev.addr7)) return -1;
    if (dev.bus != 1 ||
        (dev.addr7 != kEepromAddr7 && dev.addr7 != kRtcAddr7 && dev.addr7 != kLedAddr7)) {
        errno = ENXIO;
        return -1;
    }
    if (count == 0) return 0;
    auto& ptr = reg_pointer_[static_cast<std::size_t>(dev.addr7)];
    if (dev.addr7 == kEepromAddr7) {
        if (count < 2) return static_cast<ssize_t>(count);
        ptr = static_cast<std::uint16_t>(((data[0] << 8) | data[1]) % kEepromSize);
        for (std::size_t i = 2; i < count; ++i) {
            eeprom_[ptr] = data[i];
            ptr = static_cast<std::uint16_t>((ptr + 1) % kEepromSize);
        }
    } else if (dev.addr7 == kRtcAddr7) {
        ptr = data[0];
        for (std::size_t i = 1; i < count; ++i, ++ptr) {
            if (ptr < kRtcSize) rtc_[ptr] = data[i];
        }
    } else {
        ptr = data[0];
        for (std::size_t i = 1; i < count; ++i, ++ptr) {
            if (ptr >= kLedRegisters) continue;
            const std::uint8_t before = led_[ptr];
            led_[ptr] = data[i];
            if (ptr == kLedRegister && before != data[i]) led_changed(before, data[i]);
        }
    }
    return static_cast<ssize_t>(count);
}

ssize_t SimBoard::i2c_read(DevState& dev, std::uint8_t* data, size_t count) {
    if (fault_hits(FaultKind::i2c_read, dev.addr7)) return -1;
    if (dev.bus != 1 ||
        (dev.addr7 != kEepromAddr7 && dev.addr7 != kRtcAddr7 && dev.addr7 != kLedAddr7)) {
        errno = ENXIO;
        return -1;
    }
    if (fault_hits(FaultKind::i2c_short_read, dev.addr7))
        count = std::min<size_t>(count, last_fault_->bytes);
    auto& ptr = reg_pointer_[static_cast<std::size_t>(dev.addr7)];
    for (std::size_t i = 0; i < count; ++i) {
        if (dev.addr7 == kEepromAddr7) {
            data[i] = eeprom_[ptr];
            ptr = static_cast<std::uint16_t>((ptr + 1) % kEepromSize);
        } else if (dev.addr7 == kRtcAddr7) {
            data[i] = ptr < kRtcSize ? rtc_[ptr] : 0;
            ++ptr;
        } else {
            data[i] = ptr < kLedRegisters ? led_[ptr] : 0;
            ++ptr;
        }
    }
    return static_cast<ssize_t>(count);
}

void SimBoard::led_changed(std::uint8_t before, std::uint8_t after) {
    const bool blink = (before & 0x30) != 0 && (after & 0x30) == 0;
    if (blink) ++led_blinks_;
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%02x 0x%02x", before, after);
    record("led", hex);
    if (!capturing_) {
        char line[80];
        std::snprintf(line, sizeof line, "[board] LED 0x%02x -> 0x%02x (blink %u)\n", before, after,
                      led_blinks_);
        [[maybe_unused]] const ssize_t n = ::write(2, line, std::strlen(line));
    }
}

// ---------------------------------------------------------------------------------------------
// Flash

bool SimBoard::power_cut_now() {
    return fault_hits(FaultKind::power_cut);
}

ssize_t SimBoard::mtd_pread(void* buf, size_t count, off_t offset) {
    ++flash_reads_;
    if (fault_hits(FaultKind::flash_read)) return -1;
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const auto off = static_cast<std::size_t>(offset);
    if (off >= kFlashSize) return 0;
    const std::size_t n = std::min(count, kFlashSize - off);
    flash_log_.push_back({'r', static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(n)});
    auto* out = static_cast<std::uint8_t*>(buf);
    const std::uint8_t* src = flash_ + off;
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(~src[i]);
    return static_cast<ssize_t>(n);
}

ssize_t SimBoard::mtd_pwrite(const void* buf, size_t count, off_t offset) {
    ++flash_writes_;
    if (fault_hits(FaultKind::flash_write)) return -1;
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
    flash_log_.push_back({'w', static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(n)});
    const bool cut = power_cut_now();
    if (cut) n /= 2;
    // NOR: programming can only clear bits. The file holds complements, so it can only set them.
    const auto* in = static_cast<const std::uint8_t*>(buf);
    std::uint8_t* dst = flash_ + off;
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(dst[i] | ~in[i]);
    if (cut) {
        char h[64];
        std::snprintf(h, sizeof h, "power cut during a flash write at 0x%zx", off);
        note(h);
        end(kExitPowerCut);
    }
    return static_cast<ssize_t>(n);
}

int SimBoard::mtd_erase(std::uint32_t start, std::uint32_t length) {
    ++flash_erases_;
    if (fault_hits(FaultKind::flash_erase)) return -1;
    if (length == 0 || start % kFlashEraseSize != 0 || length % kFlashEraseSize != 0 ||
        static_cast<std::size_t>(start) + length > kFlashSize) {
        errno = EINVAL;
        return -1;
    }
    flash_log_.push_back({'e', start, length});
    const bool cut = power_cut_now();
    std::memset(flash_ + start, 0, cut ? length / 2 : length);
    if (cut) {
        char h[64];
        std::snprintf(h, sizeof h, "power cut during a flash erase at 0x%x", start);
        note(h);
        end(kExitPowerCut);
    }
    return 0;
}

std::FILE* SimBoard::open_rfs_view() {
    cookie_io_functions_t io{};
    io.read = &SimBoard::rfs_cookie_read;
    io.seek = &SimBoard::rfs_cookie_seek;
    io.close = &SimBoard::rfs_cookie_close;
    auto* cookie = new RfsCookie{this, 0};
    std::FILE* f = ::fopencookie(cookie, "r", io);
    if (f == nullptr) delete cookie;
    return f;
}

ssize_t SimBoard::rfs_cookie_read(void* cookie, char* buf, size_t size) {
    auto* c = static_cast<RfsCookie*>(cookie);
    if (c->pos >= kRfsSize) return 0;
    const std::size_t n = std::min(size, kRfsSize - c->pos);
    const std::uint8_t* src = c->board->flash_ + kRfsOffset + c->pos;
    for (std::size_t i = 0; i < n; ++i) buf[i] = static_cast<char>(~src[i]);
    c->board->flash_log_.push_back(
        {'R', static_cast<std::uint32_t>(kRfsOffset + c->pos), static_cast<std::uint32_t>(n)});
    ++c->board->rfs_reads_;
    c->pos += n;
    return static_cast<ssize_t>(n);
}

int SimBoard::rfs_cookie_seek(void* cookie, off64_t* offset, int whence) {
    auto* c = static_cast<RfsCookie*>(cookie);
    off64_t base = whence == SEEK_SET   ? 0
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

int SimBoard::rfs_cookie_close(void* cookie) {
    delete static_cast<RfsCookie*>(cookie);
    return 0;
}

int SimBoard::ioctl(int fd, unsigned long request, void* arg) {
    DevState* d = device(fd);
    if (d == nullptr) {
        if (serial_ != nullptr && serial_->owns(fd)) return ::ioctl(fd, request, arg);
        errno = ENOTTY;
        return -1;
    }
    if (d->kind == Dev::i2c) {
        if (request != kI2cSlave) {
            errno = ENOTTY;
            return -1;
        }
        const auto addr = reinterpret_cast<std::uintptr_t>(arg);
        if (addr > 0x7F) {
            errno = EINVAL;
            return -1;
        }
        if (fault_hits(FaultKind::i2c_select, static_cast<int>(addr))) return -1;
        d->addr7 = static_cast<int>(addr);
        return 0;
    }
    if (d->kind == Dev::mtd) {
        if (request == MEMGETINFO) {
            if (fault_hits(FaultKind::flash_info)) return -1;
            auto* info = static_cast<mtd_info_user*>(arg);
            *info = mtd_info_user{};
            info->type = MTD_NORFLASH;
            info->flags = MTD_CAP_NORFLASH;
            info->size = static_cast<std::uint32_t>(kFlashSize);
            info->erasesize = static_cast<std::uint32_t>(kFlashEraseSize);
            info->writesize = 1;
            return 0;
        }
        if (request == MEMERASE) {
            const auto* e = static_cast<const erase_info_user*>(arg);
            return mtd_erase(e->start, e->length);
        }
        errno = ENOTTY;
        return -1;
    }
    if (d->kind == Dev::socket) {
        // eth0 is the attached management port; a board without one has no such interface.
        if (network_ != nullptr) return network_->ioctl(request, arg);
        errno = ENODEV;
        return -1;
    }
    errno = ENOTTY;
    return -1;
}

int SimBoard::socket(int domain, int type, int) {
    if (domain != AF_INET || (type & 0xF) != SOCK_DGRAM) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return new_device_fd({Dev::socket, 0, -1});
}

// ---------------------------------------------------------------------------------------------
// Files

std::FILE* SimBoard::fopen(const char* path, const char* mode) {
    const std::string_view p(path);
    if (p == "/dev/mtd-rfs") {
        record("fopen", std::string(p) + " " + mode);
        if (std::strpbrk(mode, "wa+") != nullptr) {
            errno = EROFS;
            return nullptr;
        }
        return open_rfs_view();
    }
    if (is_host_device(p)) return std::fopen(path, mode);
    const std::string host = host_path(p);
    if (host.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    record("fopen", std::string(p) + " " + mode);
    if (std::strpbrk(mode, "wa") != nullptr && fault_hits(FaultKind::create_path, -1, p))
        return nullptr;
    return std::fopen(host.c_str(), mode);
}

int SimBoard::stat(const char* path, struct stat* st) {
    const std::string_view p(path);
    if (p == "/bin/dhclient" && network_ != nullptr) {
        if (!network_->dhcp_client()) {
            errno = ENOENT;
            return -1;
        }
        *st = {};
        st->st_mode = S_IFREG | 0755;
        return 0;
    }
    if (p == "/dev/i2c-0" || p == "/dev/i2c-1" || p == "/dev/mtd0" || p == "/dev/mtd-rfs" ||
        p == "/dev/ttyS0") {
        *st = {};
        st->st_mode = S_IFCHR | 0600;
        return 0;
    }
    if (is_host_device(p)) return ::stat(path, st);
    const std::string host = host_path(p);
    if (host.empty()) {
        errno = ENOENT;
        return -1;
    }
    return ::stat(host.c_str(), st);
}

int SimBoard::remove(const char* path) {
    const std::string host = host_path(path);
    if (host.empty()) {
        errno = ENOENT;
        return -1;
    }
    record("remove", path);
    return std::remove(host.c_str());
}

// ---------------------------------------------------------------------------------------------
// Processes

int SimBoard::run_shell(const std::string& text, bool interactive) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::chdir(root_.c_str()) != 0) ::_exit(127);
        ::setenv("BOARD_ROOT", root_.c_str(), 1);
        for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
        if (capturing_) {
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out_fd_, 1);
            ::dup2(err_fd_, 2);
        }
        if (interactive) {
            ::execl("/bin/sh", "sh", "-i", static_cast<char*>(nullptr));
        } else {
            ::execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

int SimBoard::system(const char* command) {
    std::string_view text(command);
    record("system", text);
    if (fault_hits(FaultKind::shell, -1, text)) return -1;
    const std::size_t start = text.find_first_not_of(" \t\n");
    const std::string_view body =
        start == std::string_view::npos ? std::string_view{} : text.substr(start);
    for (const auto& [prefix, handler] : commands_) {
        if (body.substr(0, prefix.size()) == prefix) return handler(*this, text);
    }

    // Programs of the root file system that act on the board rather than on files: recorded.
    struct Recorded {
        std::string_view prefix;
        bool whole_word;
    };
    static constexpr std::array<Recorded, 10> recorded{{{"date", true},
                                                        {"reboot", true},
                                                        {"ifconfig", true},
                                                        {"route", true},
                                                        {"dhclient", true},
                                                        {"tftp", true},
                                                        {"/usr/bin/rx", true},
                                                        {"/bin/gdbserver", true},
                                                        {"/tmp/gdb", true},
                                                        {"LD_PRELOAD=", false}}};
    for (const auto& r : recorded) {
        if (body.substr(0, r.prefix.size()) != r.prefix) continue;
        if (r.whole_word && body.size() > r.prefix.size() &&
            std::strchr(" \t\n", body[r.prefix.size()]) == nullptr) {
            continue;
        }
        if (r.prefix == "reboot") {
            reboot_requested_ = true;
            note("reboot requested");
        }
        return 0;
    }
    if (body == "/bin/sh\n" || body == "/bin/sh") {
        if (interactive_shell_ && !capturing_) {
            note("shell on the board's root; leave it with exit");
            return run_shell({}, true);
        }
        note("shell (recorded, not run)");
        return 0;
    }
    return run_shell(rewrite_command(text), false);
}

int SimBoard::execv(const char* path, char* const argv[]) {
    if (fault_hits(FaultKind::exec)) return -1;
    record("exec", path);
    std::string line = std::string("exec ") + path;
    for (int i = 0; argv != nullptr && argv[i] != nullptr; ++i) {
        record("argv", std::to_string(i) + " " + argv[i]);
        if (i > 0) {
            line += ' ';
            line += argv[i];
        }
    }
    for (const auto& [name, value] : env_) {
        std::string assignment = name;
        assignment += '=';
        assignment += value;
        record("env", assignment);
    }
    note(line);
    end(0);
}

int SimBoard::setenv(const char* name, const char* value, int overwrite) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (overwrite != 0 || env_.find(name) == env_.end()) env_[name] = value;
    return 0;
}

void SimBoard::exit(int status) {
    if (reboot_requested_) {
        note("reboot: the board restarts");
        end(kExitReboot);
    }
    end(status);
}

void SimBoard::end(int status) {
    if (before_end_) before_end_();
    ::_exit(status);
}

void SimBoard::sleep_ms(unsigned milliseconds) {
    clock_ms_ += milliseconds;
    record("sleep", std::to_string(milliseconds));
    if (real_sleep_) {
        timespec left{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
}

std::uint64_t SimBoard::monotonic_ms() {
    return clock_ms_;
}

}  // namespace sim
