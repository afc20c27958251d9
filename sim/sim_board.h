// The simulated board: a Platform back end composed, as a hardware team models a board, of device
// emulators behind the board's buses and the services around them, so that the boot manager runs
// unchanged on a desktop and tests can look at every device afterwards.
//
//   sim_eeprom.h, sim_rtc.h, sim_led.h   the devices on I2C bus 1 (sim_i2c_bus.h)
//   sim_flash.h                          the NOR flash behind "/dev/mtd0" and "/dev/mtd-rfs"
//   sim_serial.h, sim_network.h          ttyS0 and the management port eth0 (attached when used)
//   sim_commands.h                       what becomes of the commands handed to the shell
//   sim_paths.h                          the board's own file system under root/
//   sim_faults.h, sim_event_log.h        the fault plan and the event log
//
// Board directory:
//   eeprom.bin   8 KiB EEPROM image (I2C 0x54 on "/dev/i2c-1", 2-byte register offsets)
//   flash.bin    64 MiB NOR flash, each byte's complement (use flash_read()/flash_write())
//   rtc.bin      7 BCD bytes: seconds, minutes, hours, weekday, day, month, year (I2C 0x68);
//                rtc.host: the host time the clock was last brought up to date (it runs)
//   led.bin      16 LED controller registers (I2C 0x60); register 5 drives the main-board LED
//   root/        the board's own file system: "/tmp", "/user" and "/dev/..." live under it
//   events.log   one line per recorded event, "<kind> <text>" (newlines in text escaped as \n):
//                  power-up <rtc time>  a new power-up begins
//                  system <command>     every command handed to the shell
//                  exec <program>       the process was replaced; followed by
//                  argv <i> <arg>       its arguments and
//                  env <NAME=VALUE>     the variables set through setenv
//                  sleep <ms>           a (virtual) sleep
//                  fopen <path> <mode>  a file opened through the standard file functions
//                  led <old> <new>      a change of LED register 5 (hex)
//                  serial <text>        settings applied to "/dev/ttyS0"
//                  board <text>         the board's own notes: reboot, power cut, ...
//   console.out / console.err   standard output / error when the board captures the console
//
// Exit statuses of a process that runs on the board:
//   0   the application was started (exec) -- or the code exited 0 itself
//   kExitReboot (10)           "reboot" was run and the process then exited: the board reboots
//   kExitPowerCut (11)         the power was cut by fault injection in the middle of flash work
//   kExitInputExhausted (12)   the console input ended (end of file, a hang-up, or the end of a
//                              test's scripted input) while the code kept reading
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/sim_commands.h"
#include "sim/sim_eeprom.h"
#include "sim/sim_event_log.h"
#include "sim/sim_faults.h"
#include "sim/sim_flash.h"
#include "sim/sim_i2c_bus.h"
#include "sim/sim_led.h"
#include "sim/sim_paths.h"
#include "sim/sim_random.h"
#include "sim/sim_rtc.h"

namespace sim {

// What the board hands to an attached management port (SimNetwork, sim_network.h) and serial
// line (SimSerial, sim_serial.h). They sit above the board and attach themselves to it, so the
// board knows them only by these faces.
class AttachedNetwork {
  public:
    virtual ~AttachedNetwork() = default;
    virtual int ioctl(unsigned long request, void* arg) = 0;
    virtual bool dhcp_client() const = 0;
};

class AttachedSerial {
  public:
    virtual ~AttachedSerial() = default;
    virtual bool attached() const = 0;
    virtual int open(int flags) = 0;
    virtual bool owns(int fd) const = 0;
    virtual ssize_t read(int fd, void* buf, std::size_t count) = 0;
    virtual int close(int fd) = 0;
};

inline constexpr int kExitReboot = 10;
inline constexpr int kExitPowerCut = 11;
inline constexpr int kExitInputExhausted = 12;

inline constexpr unsigned long kI2cSlave = 0x0703;

// How a fresh board starts out.
struct CreateOptions {
    std::string serial = "SIM000000001";  // 12 bytes at EEPROM 13 (shorter texts are NUL-padded)
    std::uint8_t boot_slot = 1;           // EEPROM 0x100
    std::vector<std::string> boot_env;    // "name=value" strings for the boot loader environment
    std::array<std::uint8_t, kRtcSize> rtc{0x00, 0x00, 0x12, 0x01, 0x01, 0x01, 0x25};
};

// Scripted console input for tests: bytes, reads that deliver nothing (key 0), and breaks.
class ConsoleScript {
  public:
    ConsoleScript() = default;
    ConsoleScript(const char* bytes) { keys(bytes); }  // NOLINT: plain text is the usual script
    ConsoleScript(const std::string& bytes) { keys(bytes); }  // NOLINT
    ConsoleScript& keys(std::string_view bytes);
    ConsoleScript& nothing();    // the next read returns 0 bytes
    ConsoleScript& interrupt();  // the next read raises SIGINT and fails with EINTR
    bool empty() const { return items_.empty(); }

    struct Item {
        enum Kind { bytes, nothing, interrupt } kind;
        std::string data;
    };
    const std::vector<Item>& items() const { return items_; }

  private:
    std::vector<Item> items_;
};

class SimBoard final : public platform::Platform {
  public:
    // Makes a fresh board in dir (created if missing; an existing board there is replaced).
    // Returns false with a message in *error when the directory cannot be set up.
    static bool create(const std::filesystem::path& dir, const CreateOptions& options,
                       std::string* error);
    static bool exists(const std::filesystem::path& dir);

    // Opens the board in dir. ok() tells whether that worked; error() says why not.
    explicit SimBoard(std::filesystem::path dir);
    ~SimBoard() override;
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::filesystem::path& dir() const { return dir_; }

    // The units the board is made of.
    SimEeprom& eeprom() { return eeprom_; }
    SimRtc& rtc_device() { return rtc_; }
    SimLed& led() { return led_; }
    SimFlash& flash() { return flash_; }
    FaultPlan& faults() { return faults_; }
    const PathRoot& paths() const { return paths_; }
    CommandRunner& commands() { return commands_; }
    const EventLog& event_log() const { return log_; }

    // Console: by default descriptors 0/1/2 are the real ones. Capture sends standard output and
    // error into console.out / console.err of the board directory and reads input from a script.
    void capture_console(ConsoleScript input);
    void set_console_input(ConsoleScript input);
    bool capturing() const { return capturing_; }
    // A new power-up: the board's /tmp is emptied (it does not survive a reboot), the clock
    // catches up with the host time since the last one, the process-local state (faults, logs,
    // clock, environment) starts afresh, and events.log gets a "power-up" line.
    void power_up();
    // Sleeps take real time as well (the simulator on a terminal, for the presence test's blinks).
    void set_real_sleep(bool on) { real_sleep_ = on; }
    // "/bin/sh\n" runs a real interactive shell in the board's root instead of being recorded.
    void set_interactive_shell(bool on) { interactive_shell_ = on; }
    // Whether the real-time clock runs (default) or stands still (tests comparing time stamps).
    void set_rtc_running(bool on) { rtc_.set_running(on); }

    std::string host_path(std::string_view system_path) const {
        return paths_.host_path(system_path);
    }
    std::string rewrite_command(std::string_view command) const {
        return paths_.rewrite_command(command);
    }

    // Direct device access, for tests and the simulator's options.
    std::vector<std::uint8_t> eeprom_read(std::size_t offset, std::size_t length) const {
        return eeprom_.read_bytes(offset, length);
    }
    void eeprom_write(std::size_t offset, std::span<const std::uint8_t> bytes) {
        eeprom_.write_bytes(offset, bytes);
    }
    std::vector<std::uint8_t> flash_read(std::size_t offset, std::size_t length) const {
        return flash_.read_bytes(offset, length);
    }
    // Stores bytes as they are (not NOR-and): the board as the factory programmed it.
    void flash_write(std::size_t offset, std::span<const std::uint8_t> bytes) {
        flash_.write_bytes(offset, bytes);
    }
    void flash_erase_all() { flash_.erase_all(); }
    std::array<std::uint8_t, kRtcSize> rtc() const { return rtc_.time(); }
    void set_rtc(const std::array<std::uint8_t, kRtcSize>& bcd) { rtc_.set_time(bcd); }
    std::uint8_t led_register(std::size_t reg) const { return led_.reg(reg); }
    void set_led_register(std::size_t reg, std::uint8_t value) { led_.set_reg(reg, value); }
    // Stores "name=value" strings NUL-separated in the boot environment copy (zero-filled
    // behind them). False when they do not fit in its 1280 bytes; nothing is changed then.
    bool set_boot_env(const std::vector<std::string>& entries) {
        return eeprom_.set_boot_env(entries);
    }
    // The management port and the serial line of sim_network.h / sim_serial.h take over eth0's
    // interface requests and "/dev/ttyS0" (when it names a device) once attached.
    void attach_network(AttachedNetwork* network) { network_ = network; }
    void attach_serial(AttachedSerial* serial) { serial_ = serial; }

    // Observation.
    const std::vector<FlashOp>& flash_log() const { return flash_.log(); }
    unsigned flash_reads() const { return flash_.reads(); }
    unsigned flash_writes() const { return flash_.writes(); }
    unsigned flash_erases() const { return flash_.erases(); }
    unsigned rfs_reads() const { return flash_.rfs_reads(); }
    void clear_flash_log() { flash_.clear_log(); }
    unsigned led_blinks() const { return led_.blinks(); }
    std::uint64_t virtual_ms() const { return clock_ms_; }
    bool reboot_requested() const { return reboot_requested_; }
    const std::map<std::string, std::string>& environment() const {
        return commands_.environment();
    }
    std::vector<Event> events() const { return log_.read(); }
    static std::vector<Event> read_events(const std::filesystem::path& dir) {
        return EventLog::read(dir);
    }
    void record(std::string_view kind, std::string_view text) const { log_.record(kind, text); }

    // Fault injection; faults apply in this process from now on.
    void inject(Fault fault) { faults_.inject(std::move(fault)); }
    void clear_faults() { faults_.clear(); }

    // A command runner for commands the board handles instead of running. The first handler
    // whose prefix starts the command (after leading blanks) decides; it returns the status.
    using CommandHandler = CommandRunner::Handler;
    void add_command(std::string prefix, CommandHandler handler) {
        commands_.add(std::move(prefix), std::move(handler));
    }

    // Called just before the process ends through exit, exec or a power cut.
    void set_before_end(std::function<void()> hook) { before_end_ = std::move(hook); }

    // platform::Platform
    int open(const char* path, int flags, mode_t mode = 0666) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    ssize_t write(int fd, const void* buf, size_t count) override;
    ssize_t pread(int fd, void* buf, size_t count, off_t offset) override;
    ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    int socket(int domain, int type, int protocol) override;
    int tcgetattr(int fd, struct termios* settings) override;
    int tcsetattr(int fd, int action, const struct termios* settings) override;
    std::FILE* fopen(const char* path, const char* mode) override;
    int stat(const char* path, struct stat* st) override;
    int remove(const char* path) override;
    int fsync(int fd) override;
    int rename(const char* from, const char* to) override;
    int system(const char* command) override;
    int execv(const char* path, char* const argv[]) override;
    int setenv(const char* name, const char* value, int overwrite) override;
    [[noreturn]] void exit(int status) override;
    void sleep_ms(unsigned milliseconds) override;
    std::uint64_t monotonic_ms() override;
    int install_signal_handler(int signal, void (*handler)(int), int flags) override;
    ssize_t random_bytes(void* buf, size_t count) override { return random_.read(buf, count); }
    // The board's random source: seed it, or put the bytes the next reads deliver.
    SimRandom& random() { return random_; }
    // Called with every piece of console output, on the board's clock (virtual_ms() is its time).
    void set_console_tap(std::function<void(int fd, std::string_view text)> tap) {
        console_tap_ = std::move(tap);
    }
    // While set, console output (both descriptors) goes into *sink instead of the console: for a
    // report that asks the boot manager's code something and shows what it said in a field.
    void set_console_sink(std::string* sink) { console_sink_ = sink; }

    // Board side lines ("[board] ..."): on the real standard error, or only in the events when
    // the console is captured.
    void note(std::string_view text) const { log_.note(text); }

  private:
    enum class Dev : std::uint8_t { none, i2c, mtd, serial, socket };
    struct DevState {
        Dev kind = Dev::none;
        int bus = 0;
        int addr7 = -1;
    };

    int new_device_fd(DevState state);
    DevState* device(int fd);
    ssize_t console_read(void* buf, size_t count);
    ssize_t console_write(int fd, const void* buf, size_t count);
    ssize_t i2c_transfer(DevState& dev, std::uint8_t* data, size_t count, bool write);
    [[noreturn]] void end(int status);
    [[noreturn]] void input_ended(const char* why);
    // A step that keeps the board's state; the state_power_cut fault ends the power-up there.
    void state_step(int fd, std::string_view what);

    std::filesystem::path dir_;
    std::string error_;
    EventLog log_;
    FaultPlan faults_;
    PathRoot paths_;
    CommandRunner commands_{paths_};
    SimEeprom eeprom_;
    SimRtc rtc_;
    SimLed led_;
    SimFlash flash_{faults_};
    I2cBuses buses_;
    std::vector<DevState> devices_;  // indexed by descriptor
    std::uint64_t clock_ms_ = 0;
    bool real_sleep_ = false;
    bool interactive_shell_ = false;
    bool reboot_requested_ = false;
    bool capturing_ = false;
    int out_fd_ = -1, err_fd_ = -1;
    ConsoleScript script_;
    std::size_t script_item_ = 0, script_pos_ = 0;
    unsigned empty_reads_ = 0;
    struct termios console_tio_ {};
    struct termios serial_tio_ {};
    void (*sigint_handler_)(int) = nullptr;
    std::function<void()> before_end_;
    AttachedNetwork* network_ = nullptr;
    AttachedSerial* serial_ = nullptr;
    SimRandom random_;
    std::function<void(int fd, std::string_view text)> console_tap_;
    std::string* console_sink_ = nullptr;
    // "/user" files open for writing (descriptor -> host path and board path), and the size each
    // written file has on the medium, for the files whose writes are not yet synced (npos: not
    // there).
    std::map<int, std::pair<std::string, std::string>> user_fds_;
    std::map<std::string, std::uintmax_t> unsynced_;
};

}  // namespace sim
