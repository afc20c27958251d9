// The simulated board: a Platform back end that keeps the board's state in a directory, so that the
// boot manager runs unchanged on a desktop and tests can look at every device afterwards.
//
// Board directory:
//   eeprom.bin   8 KiB EEPROM image (I2C 0x54 on "/dev/i2c-1", 2-byte register offsets)
//   flash.bin    64 MiB NOR flash behind "/dev/mtd0" (128 KiB erase blocks). The file holds the
//                COMPLEMENT of every flash byte, so that a fresh, fully erased flash (0xFF) is a
//                sparse file of zeros and costs nothing to create. Use flash_read()/flash_write()
//                or `bootmgr-sim --dump-flash` rather than reading the file directly.
//   rtc.bin      7 BCD bytes: seconds, minutes, hours, weekday, day, month, year (I2C 0x68)
//   led.bin      16 LED controller registers (I2C 0x60); register 5 drives the main-board LED
//   root/        the board's own file system: "/tmp", "/user" and "/dev/..." live under it
//   events.log   one line per recorded event, "<kind> <text>" (newlines in text escaped as \n):
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
//   kExitInputExhausted (12)   scripted console input ran out while the code kept reading
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/sim_random.h"

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

inline constexpr std::size_t kEepromSize = 8 * 1024;
inline constexpr std::size_t kFlashSize = 64u * 1024 * 1024;
inline constexpr std::size_t kFlashEraseSize = 128u * 1024;
inline constexpr std::size_t kRtcSize = 7;
inline constexpr std::size_t kLedRegisters = 16;

inline constexpr std::uint8_t kEepromAddr7 = 0x54;
inline constexpr std::uint8_t kRtcAddr7 = 0x68;
inline constexpr std::uint8_t kLedAddr7 = 0x60;
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

enum class FaultKind {
    i2c_select,      // the I2C_SLAVE request fails
    i2c_write,       // a write to the selected device fails
    i2c_read,        // a read from the selected device fails
    i2c_short_read,  // a read delivers only `bytes` bytes
    flash_info,      // MEMGETINFO fails
    flash_read,      // a pread of "/dev/mtd0" fails
    flash_write,     // a pwrite of "/dev/mtd0" fails
    flash_erase,     // a MEMERASE fails
    create_path,     // creating the system path `path` fails
    shell,           // system() cannot start the shell (commands starting with `path`, "" = any)
    exec,            // execv() fails
    power_cut,       // the power goes during the nth flash erase or write (half of it done)
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
    int device = -1;     // I2C faults: 7-bit address, -1 = any device
    unsigned bytes = 0;  // i2c_short_read: bytes delivered
    std::string path;    // create_path: system path; shell: command prefix ("" = any command)
    int error = 5;       // errno reported (EIO)
    unsigned seen = 0;   // matching operations so far (kept by the board)
};

struct FlashOp {
    char op;  // 'r' read, 'w' write, 'e' erase, 'R' read through "/dev/mtd-rfs"
    std::uint32_t offset;
    std::uint32_t length;
};

struct Event {
    std::string kind;
    std::string text;
    bool operator==(const Event&) const = default;
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

    // Console: by default descriptors 0/1/2 are the real ones. Capture sends standard output and
    // error into console.out / console.err of the board directory and reads input from a script.
    void capture_console(ConsoleScript input);
    void set_console_input(ConsoleScript input);
    bool capturing() const { return capturing_; }
    // A new power-up: the board's /tmp is emptied (it does not survive a reboot) and the
    // process-local state (faults, logs, clock, environment) starts afresh.
    void power_up();
    // Sleeps take real time as well (the simulator on a terminal, for the presence test's blinks).
    void set_real_sleep(bool on) { real_sleep_ = on; }
    // "/bin/sh\n" runs a real interactive shell in the board's root instead of being recorded.
    void set_interactive_shell(bool on) { interactive_shell_ = on; }

    // The host path of a system path ("/tmp/x" -> <dir>/root/tmp/x); empty when the board has no
    // such place (paths outside "/tmp", "/user" and "/dev", or climbing out with "..").
    std::string host_path(std::string_view system_path) const;
    // A command text with its absolute /tmp, /user and /dev paths moved into the board's root.
    std::string rewrite_command(std::string_view command) const;

    // Direct device access, for tests and the simulator's options.
    std::vector<std::uint8_t> eeprom_read(std::size_t offset, std::size_t length) const;
    void eeprom_write(std::size_t offset, std::span<const std::uint8_t> bytes);
    std::vector<std::uint8_t> flash_read(std::size_t offset, std::size_t length) const;
    // Stores bytes as they are (not NOR-and): the board as the factory programmed it.
    void flash_write(std::size_t offset, std::span<const std::uint8_t> bytes);
    void flash_erase_all();
    std::array<std::uint8_t, kRtcSize> rtc() const;
    void set_rtc(const std::array<std::uint8_t, kRtcSize>& bcd);
    std::uint8_t led_register(std::size_t reg) const;
    void set_led_register(std::size_t reg, std::uint8_t value);
    // Stores "name=value" strings NUL-separated in the boot environment copy (zero-filled
    // behind them). False when they do not fit in its 1280 bytes; nothing is changed then.
    bool set_boot_env(const std::vector<std::string>& entries);
    // The management port and the serial line of sim_network.h / sim_serial.h take over eth0's
    // interface requests and "/dev/ttyS0" (when it names a device) once attached.
    void attach_network(AttachedNetwork* network) { network_ = network; }
    void attach_serial(AttachedSerial* serial) { serial_ = serial; }

    // Observation.
    const std::vector<FlashOp>& flash_log() const { return flash_log_; }
    unsigned flash_reads() const { return flash_reads_; }
    unsigned flash_writes() const { return flash_writes_; }
    unsigned flash_erases() const { return flash_erases_; }
    unsigned rfs_reads() const { return rfs_reads_; }
    void clear_flash_log();
    unsigned led_blinks() const { return led_blinks_; }
    std::uint64_t virtual_ms() const { return clock_ms_; }
    bool reboot_requested() const { return reboot_requested_; }
    const std::map<std::string, std::string>& environment() const { return env_; }
    std::vector<Event> events() const;
    static std::vector<Event> read_events(const std::filesystem::path& dir);
    void record(std::string_view kind, std::string_view text) const;

    // Fault injection; faults apply in this process from now on.
    void inject(Fault fault);
    void clear_faults();

    // A command runner for commands the board records instead of running. The first handler
    // whose prefix starts the command (after leading blanks) decides; it returns the status.
    using CommandHandler = std::function<int(SimBoard&, std::string_view command)>;
    void add_command(std::string prefix, CommandHandler handler);

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
    int system(const char* command) override;
    int execv(const char* path, char* const argv[]) override;
    int setenv(const char* name, const char* value, int overwrite) override;
    [[noreturn]] void exit(int status) override;
    void sleep_ms(unsigned milliseconds) override;
    std::uint64_t monotonic_ms() override;
    int install_sigint_handler(void (*handler)(int)) override;
    ssize_t random_bytes(void* buf, size_t count) override { return random_.read(buf, count); }
    // The board's random source: seed it, or put the bytes the next reads deliver.
    SimRandom& random() { return random_; }
    // Called with every piece of console output, on the board's clock (virtual_ms() is its time).
    void set_console_tap(std::function<void(int fd, std::string_view text)> tap) {
        console_tap_ = std::move(tap);
    }

    // Board side lines ("[board] ..."): on the real standard error, or only in the events when
    // the console is captured.
    void note(std::string_view text) const;

  private:
    enum class Dev : std::uint8_t { none, i2c, mtd, serial, socket };
    struct DevState {
        Dev kind = Dev::none;
        int bus = 0;
        int addr7 = -1;
    };

    bool fault_hits(FaultKind kind, int device = -1, std::string_view text = {});
    const Fault* last_fault_ = nullptr;
    int new_device_fd(DevState state);
    DevState* device(int fd);
    ssize_t console_read(void* buf, size_t count);
    ssize_t console_write(int fd, const void* buf, size_t count);
    ssize_t i2c_write(DevState& dev, const std::uint8_t* data, size_t count);
    ssize_t i2c_read(DevState& dev, std::uint8_t* data, size_t count);
    ssize_t mtd_pread(void* buf, size_t count, off_t offset);
    ssize_t mtd_pwrite(const void* buf, size_t count, off_t offset);
    int mtd_erase(std::uint32_t start, std::uint32_t length);
    bool power_cut_now();
    [[noreturn]] void end(int status);
    int run_shell(const std::string& text, bool interactive);
    void led_changed(std::uint8_t before, std::uint8_t after);
    std::FILE* open_rfs_view();
    static ssize_t rfs_cookie_read(void* cookie, char* buf, size_t size);
    static int rfs_cookie_seek(void* cookie, off64_t* offset, int whence);
    static int rfs_cookie_close(void* cookie);

    std::filesystem::path dir_;
    std::string root_;
    std::string error_;
    std::uint8_t* flash_ = nullptr;  // complement of the flash contents
    std::uint8_t* eeprom_ = nullptr;
    std::uint8_t* rtc_ = nullptr;
    std::uint8_t* led_ = nullptr;
    std::array<std::uint16_t, 128> reg_pointer_{};  // per 7-bit address
    std::vector<DevState> devices_;                 // indexed by descriptor
    std::vector<Fault> faults_;
    std::vector<std::pair<std::string, CommandHandler>> commands_;
    std::vector<FlashOp> flash_log_;
    unsigned flash_reads_ = 0, flash_writes_ = 0, flash_erases_ = 0, rfs_reads_ = 0;
    unsigned flash_changes_ = 0;  // erase and write operations, for the power cut
    unsigned led_blinks_ = 0;
    std::uint64_t clock_ms_ = 0;
    bool real_sleep_ = false;
    bool interactive_shell_ = false;
    bool reboot_requested_ = false;
    bool capturing_ = false;
    int out_fd_ = -1, err_fd_ = -1, events_fd_ = -1;
    ConsoleScript script_;
    std::size_t script_item_ = 0, script_pos_ = 0;
    unsigned empty_reads_ = 0;
    struct termios console_tio_ {};
    struct termios serial_tio_ {};
    void (*sigint_handler_)(int) = nullptr;
    std::map<std::string, std::string> env_;
    std::function<void()> before_end_;
    AttachedNetwork* network_ = nullptr;
    AttachedSerial* serial_ = nullptr;
    SimRandom random_;
    std::function<void(int fd, std::string_view text)> console_tap_;
};

// Parses events.log text.
std::vector<Event> parse_events(std::string_view text);
// The texts of the events of one kind, in order.
std::vector<std::string> event_texts(const std::vector<Event>& events, std::string_view kind);

}  // namespace sim
