#include "sim/sim_board.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "board/i2c_devices.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kMaxEmptyReads = 1000;

bool is_board_device(std::string_view p) {
    return p == "/dev/i2c-0" || p == "/dev/i2c-1" || p == "/dev/mtd0" || p == "/dev/mtd-rfs" ||
           p == "/dev/ttyS0";
}

std::string speed_text(const struct termios* settings) {
    const speed_t s = cfgetospeed(settings);
    return "speed " + std::to_string(s == B115200 ? 115200 : s == B9600 ? 9600 : 0);
}

}  // namespace

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
    if (!PathRoot(dir).make(error)) return false;
    if (!SimEeprom::create(dir, options.serial, options.boot_slot, options.boot_env, error) ||
        !SimRtc::create(dir, options.rtc, error) || !SimLed::create(dir, error) ||
        !EventLog::create(dir, error) || !SimFlash::create(dir, error))
        return false;
    fs::remove(dir / "console.out", ec);
    fs::remove(dir / "console.err", ec);
    return true;
}

SimBoard::SimBoard(fs::path dir) : dir_(std::move(dir)) {
    std::error_code ec;
    dir_ = fs::absolute(dir_, ec);
    paths_ = PathRoot(dir_);
    if (!exists(dir_)) {
        error_ = "no board in " + dir_.string() + " (create one with --new)";
        return;
    }
    if (!flash_.open(dir_, &error_) || !eeprom_.open(dir_, &error_) || !rtc_.open(dir_, &error_) ||
        !led_.open(dir_, &error_) || !log_.open(dir_, &error_) || !paths_.make(&error_))
        return;
    buses_.attach(1, kEepromAddr7, &eeprom_);
    buses_.attach(1, kRtcAddr7, &rtc_);
    buses_.attach(1, kLedAddr7, &led_);
    flash_.on_power_cut([this](const std::string& what) {
        note(what);
        end(kExitPowerCut);
    });
    led_.on_led_change([this](std::uint8_t before, std::uint8_t after, unsigned blinks) {
        char text[64];
        std::snprintf(text, sizeof text, "0x%02x 0x%02x", before, after);
        record("led", text);
        if (!capturing_) {
            char line[80];
            std::snprintf(line, sizeof line, "[board] LED 0x%02x -> 0x%02x (blink %u)\n", before,
                          after, blinks);
            [[maybe_unused]] const ssize_t n = ::write(2, line, std::strlen(line));
        }
    });
    console_tio_.c_iflag = ICRNL | IXON;
    console_tio_.c_oflag = OPOST | ONLCR;
    console_tio_.c_cflag = CS8 | CREAD | CLOCAL;
    console_tio_.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK;
    cfsetispeed(&console_tio_, B9600);
    cfsetospeed(&console_tio_, B9600);
    serial_tio_ = console_tio_;
}

SimBoard::~SimBoard() {
    for (int fd : {out_fd_, err_fd_}) {
        if (fd >= 0) ::close(fd);
    }
}

void SimBoard::power_up() {
    paths_.empty_tmp();
    faults_.clear();
    flash_.clear_log();
    led_.reset_blinks();
    clock_ms_ = 0;
    reboot_requested_ = false;
    commands_.clear_environment();
    rtc_.power_up();
    const auto t = rtc_.time();
    char text[RTC_TEXT_LEN];
    rtc_time_text(t.data(), text);
    record("power-up", std::string("rtc ") + text);
}

void SimBoard::capture_console(ConsoleScript input) {
    if (out_fd_ < 0) {
        out_fd_ =
            ::open((dir_ / "console.out").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        err_fd_ =
            ::open((dir_ / "console.err").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    capturing_ = true;
    log_.set_echo(false);
    commands_.set_console(out_fd_, err_fd_);
    set_console_input(std::move(input));
}

void SimBoard::set_console_input(ConsoleScript input) {
    script_ = std::move(input);
    script_item_ = 0;
    script_pos_ = 0;
    empty_reads_ = 0;
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
    if (p == "/dev/i2c-0" || p == "/dev/i2c-1") {
        const int bus = p.back() - '0';
        if (faults_.hits(FaultKind::i2c_open, bus) != nullptr) return -1;
        return new_device_fd({Dev::i2c, bus, -1});
    }
    if (p == "/dev/mtd0") return new_device_fd({Dev::mtd, 0, -1});
    if (p == "/dev/ttyS0") {
        if (serial_ != nullptr && serial_->attached()) return serial_->open(flags);
        // A test's scripted console stands for the line as well; a terminal cannot, since the
        // host's line discipline would keep the download's keys and bytes from the board.
        if (capturing_) return new_device_fd({Dev::serial, 0, -1});
        note("ttyS0 is not connected: the XMODEM download needs --ttyS0 PATH (see --help)");
        errno = ENODEV;
        return -1;
    }
    if (PathRoot::is_host_device(p)) return ::open(path, flags | O_CLOEXEC, mode);
    const std::string host = host_path(p);
    if (host.empty()) {
        errno = ENOENT;
        return -1;
    }
    if ((flags & O_CREAT) != 0 && faults_.hits(FaultKind::create_path, -1, p) != nullptr) return -1;
    record("open", p);
    std::error_code ec;
    const auto size = std::filesystem::file_size(host, ec);
    const int fd = ::open(host.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 && p.starts_with("/user/") && (flags & (O_WRONLY | O_RDWR)) != 0) {
        user_fds_[fd] = {host, std::string(p)};
        unsynced_.try_emplace(host, ec ? std::string::npos : (flags & O_TRUNC) != 0 ? 0 : size);
    }
    return fd;
}

void SimBoard::state_step(int fd, std::string_view what) {
    if (fd >= 0 && !user_fds_.contains(fd)) return;
    if (faults_.hits(FaultKind::state_power_cut) == nullptr) return;
    for (const auto& [host, size] : unsynced_) {
        std::error_code ec;
        if (size == std::string::npos)
            std::filesystem::remove(host, ec);
        else
            std::filesystem::resize_file(host, size, ec);
    }
    note(std::string("power cut during ") + std::string(what));
    end(kExitPowerCut);
}

int SimBoard::close(int fd) {
    if (DevState* d = device(fd)) {
        *d = DevState{};
        return ::close(fd);
    }
    if (capturing_ && fd >= 0 && fd <= 2) return 0;
    if (serial_ != nullptr && serial_->owns(fd)) return serial_->close(fd);
    user_fds_.erase(fd);
    return ::close(fd);
}

ssize_t SimBoard::read(int fd, void* buf, size_t count) {
    if (DevState* d = device(fd)) {
        switch (d->kind) {
            case Dev::i2c:
                return i2c_transfer(*d, static_cast<std::uint8_t*>(buf), count, false);
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
                return i2c_transfer(
                    *d, const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buf)), count,
                    true);
            case Dev::serial:
                return console_write(1, buf, count);
            default:
                errno = EINVAL;
                return -1;
        }
    }
    if (fd == 1 || fd == 2) return console_write(fd, buf, count);
    state_step(fd, "a write of a /user file");
    return ::write(fd, buf, count);
}

ssize_t SimBoard::pread(int fd, void* buf, size_t count, off_t offset) {
    if (DevState* d = device(fd)) {
        if (d->kind == Dev::mtd) return flash_.pread(buf, count, offset);
        errno = ESPIPE;
        return -1;
    }
    return ::pread(fd, buf, count, offset);
}

ssize_t SimBoard::pwrite(int fd, const void* buf, size_t count, off_t offset) {
    if (DevState* d = device(fd)) {
        if (d->kind == Dev::mtd) return flash_.pwrite(buf, count, offset);
        errno = ESPIPE;
        return -1;
    }
    return ::pwrite(fd, buf, count, offset);
}

ssize_t SimBoard::i2c_transfer(DevState& dev, std::uint8_t* data, size_t count, bool write) {
    if (faults_.hits(write ? FaultKind::i2c_write : FaultKind::i2c_read, dev.addr7) != nullptr)
        return -1;
    I2cDevice* target = buses_.find(dev.bus, dev.addr7);
    if (target == nullptr) {
        errno = ENXIO;
        return -1;
    }
    if (write && dev.addr7 == kEepromAddr7) state_step(-1, "an EEPROM write");
    if (write) return target->write({data, count});
    if (const Fault* f = faults_.hits(FaultKind::i2c_short_read, dev.addr7))
        count = std::min<size_t>(count, f->bytes);
    return target->read({data, count});
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
        if (faults_.hits(FaultKind::i2c_select, static_cast<int>(addr)) != nullptr) return -1;
        d->addr7 = static_cast<int>(addr);
        return 0;
    }
    if (d->kind == Dev::mtd) {
        if (request == MEMGETINFO) return flash_.info(static_cast<mtd_info_user*>(arg));
        if (request == MEMERASE) {
            const auto* e = static_cast<const erase_info_user*>(arg);
            return flash_.erase(e->start, e->length);
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
// Console

void SimBoard::input_ended(const char* why) {
    const std::string text = std::string("console input ended (") + why + "): the run stops";
    log_.record("board", text);
    // On a line of its own even when a prompt is waiting for its answer.
    const std::string line = "\n[board] " + text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
    end(kExitInputExhausted);
}

ssize_t SimBoard::console_read(void* buf, size_t count) {
    if (!capturing_) {
        // The console code reads with VMIN 1 or in canonical mode, so no bytes means the end of
        // the input; waiting on would only spin.
        const ssize_t n = ::read(0, buf, count);
        if (n == 0 && count > 0) input_ended("end of file");
        if (n < 0 && errno == EIO) input_ended("the terminal hung up");
        return n;
    }
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
    if (++empty_reads_ > kMaxEmptyReads) input_ended("the script ran out");
    return 0;
}

ssize_t SimBoard::console_write(int fd, const void* buf, size_t count) {
    if (console_tap_) console_tap_(fd, {static_cast<const char*>(buf), count});
    if (console_sink_ != nullptr) {
        console_sink_->append(static_cast<const char*>(buf), count);
        return static_cast<ssize_t>(count);
    }
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
        record("serial", speed_text(settings));
        return 0;
    }
    if (serial_ != nullptr && serial_->owns(fd)) {
        record("serial", speed_text(settings));
        return ::tcsetattr(fd, action, settings);
    }
    if (fd < 0 || fd > 2) return ::tcsetattr(fd, action, settings);
    console_tio_ = *settings;
    if (!capturing_ && ::isatty(fd)) return ::tcsetattr(fd, action, settings);
    return 0;
}

namespace {

// On the board the boot manager owns its console, so a background read never happens. A desktop
// run started with '&' is a background job, and a caught SIGTTIN would come back at every
// restarted read for ever: there the simulator stops as any background reader does, and goes
// on when brought to the foreground.
void on_background_console(int) {
    if (::tcgetpgrp(0) != ::getpgrp()) ::kill(::getpid(), SIGSTOP);
}

}  // namespace

int SimBoard::install_signal_handler(int signal, void (*handler)(int), int flags) {
    // A test's scripted console raises its breaks itself; it has no terminal to send signals.
    if (signal == SIGINT) sigint_handler_ = handler;
    if (capturing_) return 0;
    struct sigaction action {};
    action.sa_handler = signal == SIGTTIN || signal == SIGTTOU ? on_background_console : handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    return ::sigaction(signal, &action, nullptr);
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
        return flash_.open_rfs_view();
    }
    if (PathRoot::is_host_device(p)) return std::fopen(path, mode);
    const std::string host = host_path(p);
    if (host.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    record("fopen", std::string(p) + " " + mode);
    if (std::strpbrk(mode, "wa") != nullptr &&
        faults_.hits(FaultKind::create_path, -1, p) != nullptr)
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
    if (is_board_device(p)) {
        *st = {};
        st->st_mode = S_IFCHR | 0600;
        return 0;
    }
    if (PathRoot::is_host_device(p)) return ::stat(path, st);
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

int SimBoard::fsync(int fd) {
    // The flash file is the medium itself: what the board wrote is there already.
    if (DevState* d = device(fd)) {
        record("fsync", d->kind == Dev::mtd ? "/dev/mtd0" : "device");
        if (d->kind == Dev::mtd && faults_.hits(FaultKind::flash_sync) != nullptr) return -1;
        return 0;
    }
    record("fsync", std::to_string(fd));
    state_step(fd, "a sync of a /user file");
    const auto user = user_fds_.find(fd);
    if (user != user_fds_.end() &&
        faults_.hits(FaultKind::file_sync, -1, user->second.second) != nullptr)
        return -1;
    const int rc = ::fsync(fd);
    if (rc == 0 && user != user_fds_.end()) unsynced_.erase(user->second.first);
    return rc;
}

int SimBoard::rename(const char* from, const char* to) {
    const std::string host_from = host_path(from), host_to = host_path(to);
    if (host_from.empty() || host_to.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (faults_.hits(FaultKind::create_path, -1, to) != nullptr) return -1;
    record("rename", std::string(from) + " " + to);
    if (std::string_view(to).starts_with("/user/")) state_step(-1, "a rename of a /user file");
    // A name moved onto data that is not on the medium yet points at an empty file after a cut.
    if (unsynced_.erase(host_from) != 0) unsynced_[host_to] = 0;
    return std::rename(host_from.c_str(), host_to.c_str());
}

// ---------------------------------------------------------------------------------------------
// Processes

int SimBoard::system(const char* command) {
    const std::string_view text(command);
    record("system", text);
    if (faults_.hits(FaultKind::shell, -1, text) != nullptr) return -1;
    // As system() on the board: the break goes to the command, not to its caller.
    const SystemSignals as_system;
    if (const auto* handler = commands_.find(text)) return (*handler)(*this, text);
    bool reboot = false;
    if (const auto status = CommandRunner::recorded(text, &reboot)) {
        if (reboot) {
            reboot_requested_ = true;
            note("reboot requested");
        }
        return *status;
    }
    if (CommandRunner::is_shell(text)) {
        if (interactive_shell_ && !capturing_) {
            note("shell on the board's root; leave it with exit");
            return commands_.run_shell({}, true);
        }
        note("shell (recorded, not run)");
        return 0;
    }
    return commands_.run_shell(rewrite_command(text), false);
}

int SimBoard::execv(const char* path, char* const argv[]) {
    if (faults_.hits(FaultKind::exec) != nullptr) return -1;
    record("exec", path);
    std::string line = std::string("exec ") + path;
    for (int i = 0; argv != nullptr && argv[i] != nullptr; ++i) {
        record("argv", std::to_string(i) + " " + argv[i]);
        if (i > 0) {
            line += ' ';
            line += argv[i];
        }
    }
    for (const auto& [name, value] : commands_.environment()) {
        std::string entry = name;
        entry += '=';
        entry += value;
        record("env", entry);
    }
    note(line);
    end(0);
}

int SimBoard::setenv(const char* name, const char* value, int overwrite) {
    return commands_.setenv(name, value, overwrite);
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
    rtc_.advance_ms(milliseconds);
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
