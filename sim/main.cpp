// bootmgr-sim: the boot manager on a simulated board.
//
// The command line is CLI11's: each option names its argument, explains itself for --help and
// either sets something for the run or queues an action on the board. Actions run in the order
// given, after the board is opened; the board then powers up and boots unless the options only
// prepared it (see --help). Unknown, repeated and orphaned options are errors.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "boot/version.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/image_format.h"
#include "sim/front/status_json.h"
#include "sim/install_cmd.h"
#include "sim/sim_board.h"
#include "sim/sim_network.h"
#include "sim/sim_serial.h"
#include "sim/status_report.h"

namespace {

// Exit statuses of the simulator itself (the board's own: sim_board.h, install_cmd.h).
constexpr int kExitBoard = 1;  // the board directory cannot be created, opened or written
constexpr int kExitUsage = 2;  // bad options, or a file named in them cannot be read or used

struct Run {
    std::string board_dir;
    bool fresh = false;
    sim::CreateOptions create;
    bool boot = false;      // --boot: power up after the preparing actions
    bool prepared = false;  // some action only prepares the board
    bool installs = false;  // --install: a power-up of its own
    bool json = false;      // --json: --status as JSON
    bool real_time = false;
    bool interactive_shell = false;
    std::optional<std::uint64_t> seed;  // --seed: the board's random source repeats
    // The management port and the serial line (sim_network.h, sim_serial.h).
    std::vector<bool> link_schedule;
    unsigned tftp_port = 69;
    std::string serial_device;
    bool dhclient = true;
    std::vector<sim::Fault> faults;
    std::vector<std::function<int(sim::SimBoard&)>> actions;
    // --install
    std::string install_file;
    int install_slot = 0;  // 0: the installer asks on the console, as after a rescue download
    bool skip_same = false;
};

// A bad option: the message goes out as "bootmgr-sim: MESSAGE" with exit status 2.
[[noreturn]] void fail(const char* format, const std::string& what) {
    const int n = std::snprintf(nullptr, 0, format, what.c_str());
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, what.c_str());
    text.pop_back();
    throw CLI::ValidationError(text);
}

std::optional<unsigned long> parse_number(std::string_view text, unsigned long max) {
    if (text.empty()) return std::nullopt;
    const std::string s(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-' || v > max) return std::nullopt;
    return v;
}

// A flash region by the board map's name, or from a byte offset to the end of flash.
struct Region {
    std::string_view name;
    std::uint32_t offset;
    std::uint32_t room;
};

// "slot1, slot2, ..., bootloader": the map's names, for help texts and errors.
std::string region_names() {
    std::string names;
    for (const FlashRegionInfo& r : FLASH_REGIONS) {
        if (!names.empty()) names += ", ";
        names += r.name;
    }
    return names;
}

std::optional<Region> parse_region(std::string_view text) {
    for (const FlashRegionInfo& r : FLASH_REGIONS) {
        if (r.name == text) return Region{r.name, r.offset, r.room};
    }
    if (auto off = parse_number(text, sim::kFlashSize - 1)) {
        return Region{text, static_cast<std::uint32_t>(*off),
                      static_cast<std::uint32_t>(sim::kFlashSize - *off)};
    }
    return std::nullopt;
}

std::optional<std::array<std::uint8_t, RTC_TIME_LEN>> parse_rtc(std::string_view text) {
    std::array<std::uint8_t, RTC_TIME_LEN> time{};
    if (text == "now") {
        const std::time_t now = std::time(nullptr);
        std::tm t{};
        localtime_r(&now, &t);
        if (!rtc_time_of_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                              t.tm_sec, time.data()))
            return std::nullopt;
    } else {
        // "YYYY-MM-DD hh:mm:ss": six decimal fields, each followed by its separator.
        int fields[6] = {};
        constexpr char separators[6] = {'-', '-', ' ', ':', ':', '\0'};
        const char* at = text.data();
        const char* const end = text.data() + text.size();
        for (int i = 0; i < 6; ++i) {
            const auto [next, error] = std::from_chars(at, end, fields[i]);
            if (error != std::errc{} || next == at) return std::nullopt;
            at = next;
            if (separators[i] == '\0') break;
            if (at == end || *at != separators[i]) return std::nullopt;
            ++at;
        }
        if (at != end || !rtc_time_of_date(fields[0], fields[1], fields[2], fields[3], fields[4],
                                           fields[5], time.data()))
            return std::nullopt;
    }
    return time;
}

// The whole file, or nothing with errno saying why (a directory is EISDIR, not an empty file).
std::optional<std::vector<std::uint8_t>> read_host_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::vector<std::uint8_t> data;
    std::uint8_t chunk[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) data.insert(data.end(), chunk, chunk + n);
    const int error = errno;
    ::close(fd);
    if (n < 0) {
        errno = error;
        return std::nullopt;
    }
    return data;
}

// "kind[@N][:ARG][=ERRNO]", as sim_faults.h reads it.
void parse_fault(Run& run, std::string_view spec) {
    std::string error;
    const auto fault = sim::parse_fault(spec, &error);
    if (!fault) fail("--fault %s", error);
    run.faults.push_back(*fault);
}

// Queues a preparing action.
void prepare(Run& run, std::function<int(sim::SimBoard&)> action) {
    run.prepared = true;
    run.actions.push_back(std::move(action));
}

// "NAME=VALUE" with a name; a name the boot manager does not read is allowed (the boot loader
// keeps its own entries there) but said, since it is most often a misspelt one.
std::string env_entry(const char* option, const std::string& entry) {
    const std::size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0)
        fail("%s: give NAME=VALUE", std::string(option) + " " + entry);
    if (!boot_env_key_known(std::string_view(entry).substr(0, eq))) {
        std::string known;
        for (const auto k : BOOT_ENV_KEYS) known += (known.empty() ? "" : ", ") + std::string(k);
        std::fprintf(stderr,
                     "bootmgr-sim: warning: %s %s: the boot manager reads no entry named '%s' "
                     "(it reads %s); stored all the same\n",
                     option, entry.c_str(), entry.substr(0, eq).c_str(), known.c_str());
    }
    return entry;
}

// Stores the environment, or says that it does not fit.
int store_env(sim::SimBoard& b, const std::vector<std::string>& entries) {
    if (b.set_boot_env(entries)) return 0;
    std::fprintf(stderr, "bootmgr-sim: the environment entries do not fit in %d bytes\n",
                 EEPROM_BOOT_ENV_LEN);
    return kExitUsage;
}

// Bytes of a region as the board reads them (the flash file holds their complement).
int read_region(sim::SimBoard& b, const Region& reg, std::size_t length, const std::string& file) {
    const auto bytes = b.flash_read(reg.offset, length);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "bootmgr-sim: --read: cannot write %s: %s\n", file.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    std::printf("bootmgr-sim: read %zu bytes at flash 0x%07x (%.*s) into %s\n", bytes.size(),
                reg.offset, static_cast<int>(reg.name.size()), reg.name.data(), file.c_str());
    return 0;
}

int write_region(sim::SimBoard& b, const Region& reg, const std::string& file) {
    const auto data = read_host_file(file);
    if (!data) {
        std::fprintf(stderr, "bootmgr-sim: --write: cannot read %s: %s\n", file.c_str(),
                     std::strerror(errno));
        return kExitUsage;
    }
    if (data->size() > reg.room) {
        std::fprintf(stderr, "bootmgr-sim: --write: %s holds %zu bytes; %.*s has room for %u\n",
                     file.c_str(), data->size(), static_cast<int>(reg.name.size()), reg.name.data(),
                     reg.room);
        return kExitUsage;
    }
    const std::size_t first = reg.offset / sim::kFlashEraseSize * sim::kFlashEraseSize;
    const std::size_t end = reg.offset + data->size();
    const std::size_t last =
        (end + sim::kFlashEraseSize - 1) / sim::kFlashEraseSize * sim::kFlashEraseSize;
    // Bytes of the touched blocks outside the file keep their value, as a block rewrite does.
    auto block = b.flash_read(first, last - first);
    std::copy(data->begin(), data->end(),
              block.begin() + static_cast<std::ptrdiff_t>(reg.offset - first));
    b.flash_write(first, block);
    std::printf("bootmgr-sim: wrote %zu bytes of %s at flash 0x%07x (%.*s)\n", data->size(),
                file.c_str(), reg.offset, static_cast<int>(reg.name.size()), reg.name.data());
    return 0;
}

int corrupt_region(sim::SimBoard& b, const Region& reg, std::optional<unsigned long> at) {
    std::size_t where = reg.offset + at.value_or(64);
    std::string what = at ? "given byte" : "region byte 64: no image header there";
    if (!at) {
        const auto probe = b.flash_read(reg.offset, IMG_PROBE_LEN);
        const ImageHeader h = image_header_decode(
            std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
        if (image_header_consistent(h) && h.payload_len > 0 && image_length(h) <= reg.room) {
            where = reg.offset + h.header_len;
            what = "first payload byte, after the " + std::to_string(h.header_len) + "-byte header";
        }
    }
    auto byte = b.flash_read(where, 1);
    const std::uint8_t before = byte[0];
    byte[0] = static_cast<std::uint8_t>(~before);
    b.flash_write(where, byte);
    std::printf("bootmgr-sim: corrupted %.*s+0x%zx (flash 0x%07zx, %s): 0x%02x -> 0x%02x\n",
                static_cast<int>(reg.name.size()), reg.name.data(), where - reg.offset, where,
                what.c_str(), before, byte[0]);
    return 0;
}

constexpr const char* kFaultHelp =
    "inject a fault into this power-up or --install (repeatable; an error without a power-up).\n"
    "SPEC is KIND[@N][:ARG]; @N hits only the Nth matching operation (default: every one).\n"
    "KINDs:\n"
    "  i2c-open[:BUS]      opening /dev/i2c-BUS fails (e.g. i2c-open:0)\n"
    "  i2c-select[:ADDR] i2c-write[:ADDR] i2c-read[:ADDR]  I2C transfer fails (7-bit ADDR)\n"
    "  i2c-short:BYTES     an I2C read delivers only BYTES bytes\n"
    "  flash-info flash-read flash-write flash-erase        the MTD request fails\n"
    "  flash-sync          syncing the MTD device fails\n"
    "  create:PATH         creating the system path PATH fails (e.g. /tmp/zariximage.tar.gz)\n"
    "  sync:PATH           syncing the /user file PATH fails (e.g. /user/install.log)\n"
    "  shell[:PREFIX]      the shell cannot be started (for commands starting with PREFIX)\n"
    "  exec                starting the application fails\n"
    "  power-cut@N         the power goes in the middle of the Nth flash erase or write";

constexpr const char* kFooter =
    "Board directory: eeprom.bin (8 KiB), flash.bin (64 MiB, holding the complement of\n"
    "each flash byte so a fresh board is a sparse file: read it with --read), rtc.bin,\n"
    "led.bin, root/ (the board's /tmp, /user and /dev), events.log (commands, exec, reboot,\n"
    "LED, sleeps). /tmp is emptied at every power-up, as on the real board.\n"
    "\n"
    "What the board does with the boot manager's commands: tar, gunzip, rm, mkdir, mv,\n"
    "chmod and the application's install script run for real inside root/; date,\n"
    "reboot, ifconfig, route, dhclient and the debugger are recorded; the application\n"
    "start prints \"[board] exec PROGRAM ARGS\". Lines starting with \"[board]\" on\n"
    "standard error come from the board, not from the boot manager (the LED of the\n"
    "presence test shows as \"[board] LED 0x10 -> 0x00 (blink N)\").\n"
    "\n"
    "Exit status:\n"
    "  0   the application was started, or the preparing options (--install\n"
    "      included) succeeded\n"
    "  1   the board directory cannot be used (created, opened or written)\n"
    "  2   bad options, or a file named in them cannot be read, written or does not fit\n"
    "  3   --install: the package was not installed (a bad image, a failed flash\n"
    "      write, or the operator left the installation)\n"
    "  10  the boot manager ran \"reboot\": the board reboots\n"
    "  11  the power was cut by --fault power-cut@N\n"
    "  12  the console input ended (end of file or a hang-up) while the boot manager\n"
    "      waited for a key; a \"[board] console input ended\" line says so\n"
    "  other  the boot manager's own exit status";

static_assert(sim::kExitInstallFailed == 3 && sim::kExitReboot == 10 && sim::kExitPowerCut == 11 &&
              sim::kExitInputExhausted == 12);

// The command line. Options that act on the board fire as CLI11 meets them, so their actions
// keep the order given; an option that may stand once says so when it comes again.
class CommandLine {
  public:
    explicit CommandLine(Run& run) : r_(run) {
        app_.description(
            "Runs one power-up of the boot manager on the simulated board kept in DIR, with the\n"
            "console on this terminal. Options that prepare the board (--new, --serial, --env,\n"
            "--env-set, --boot-slot, --rtc, --write, --read, --erase, --corrupt, --install,\n"
            "--status) do only that, in the order given, unless --boot is added; without them\n"
            "the board powers up and boots.");
        app_.footer(kFooter);
        app_.set_version_flag("--version", std::string("bootmgr-sim ") + BOOTMGR_VERSION +
                                               " (source revision " + BOOTMGR_REVISION + ")");
        app_.get_formatter()->column_width(30);
        add_options();
    }

    // 0 to go on, or the exit status: after --help or --version, 0; a bad line, 2.
    std::optional<int> parse(int argc, char** argv) {
        try {
            app_.parse(argc, argv);
        } catch (const CLI::CallForHelp&) {
            std::fputs(app_.help().c_str(), stdout);
            return 0;
        } catch (const CLI::CallForVersion&) {
            std::printf("%s\n", app_.version().c_str());
            return 0;
        } catch (const CLI::ExtrasError& e) {
            std::string what = e.what();
            what.erase(0, what.find(':') + 1);
            std::fprintf(stderr, "bootmgr-sim: unknown option or argument:%s (see --help)\n",
                         what.c_str());
            return kExitUsage;
        } catch (const CLI::ParseError& e) {
            std::fprintf(stderr, "bootmgr-sim: %s (see --help)\n", e.what());
            return kExitUsage;
        }
        return std::nullopt;
    }

  private:
    // Every option but the repeatable ones stands at most once.
    void once(const std::string& name) {
        if (++seen_[name] > 1) fail("%s may be given only once", name);
    }
    CLI::Option* flag(const std::string& name, const std::string& help,
                      const std::function<void()>& f) {
        return app_
            .add_flag_callback(
                name,
                [this, name, f] {
                    once(name);
                    f();
                },
                help)
            ->trigger_on_parse()
            ->disable_flag_override();
    }
    CLI::Option* value(const std::string& name, const std::string& arg, const std::string& help,
                       const std::function<void(const std::string&)>& f, bool repeatable = false) {
        return app_
            .add_option_function<std::string>(
                name,
                [this, name, f, repeatable](const std::string& v) {
                    if (!repeatable) once(name);
                    f(v);
                },
                help)
            ->type_name(arg)
            ->trigger_on_parse()
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }

    void add_options();

    Run& r_;
    CLI::App app_{"", "bootmgr-sim"};
    std::map<std::string, int> seen_;
};

void CommandLine::add_options() {
    Run& r = r_;
    value("--board", "DIR", "the board directory (required)", [&r](const std::string& a) {
        r.board_dir = a;
    })->required();
    flag("--new", "create a fresh board in DIR first (replaces a board there)", [&r] {
        r.fresh = true;
        r.prepared = true;
    });
    value("--serial", "TEXT",
          "unit serial number, up to " + std::to_string(EEPROM_SERIAL_LEN) +
              " characters (EEPROM offset " + std::to_string(EEPROM_SERIAL_OFFSET) + ")",
          [&r](const std::string& serial) {
              if (serial.size() > EEPROM_SERIAL_LEN)
                  throw CLI::ValidationError("--serial " + serial + ": at most " +
                                             std::to_string(EEPROM_SERIAL_LEN) + " characters");
              r.create.serial = serial;
              prepare(r, [serial](sim::SimBoard& b) {
                  std::vector<std::uint8_t> bytes(EEPROM_SERIAL_LEN, 0);
                  std::copy(serial.begin(), serial.end(), bytes.begin());
                  b.eeprom_write(EEPROM_SERIAL_OFFSET, bytes);
                  return 0;
              });
          });
    value(
        "--env", "NAME=VALUE",
        "boot loader environment entry (repeatable). The --env entries together REPLACE the\n"
        "whole environment (stored NUL-separated at EEPROM offset " +
            std::to_string(EEPROM_BOOT_ENV_OFFSET) + ", " + std::to_string(EEPROM_BOOT_ENV_LEN) +
            " bytes);\n"
            "--env-set changes one entry and keeps the others. E.g. --env diagnostics=rescue,\n"
            "--env gdbserver=on, --env shell=on, --env lowsec=authorised (flags take effect when\n"
            "their value begins with \"on\"). A name the boot manager does not read is stored\n"
            "with a warning",
        [&r](const std::string& a) {
            const std::string entry = env_entry("--env", a);
            if (r.create.boot_env.empty())
                prepare(r, [&r](sim::SimBoard& b) { return store_env(b, r.create.boot_env); });
            r.create.boot_env.push_back(entry);
        },
        true);
    value(
        "--env-set", "NAME=VALUE",
        "set one boot environment entry, keeping the others (repeatable): an entry of that\n"
        "name is replaced, else the entry is added at the end",
        [&r](const std::string& a) {
            const std::string entry = env_entry("--env-set", a);
            prepare(r, [entry](sim::SimBoard& b) {
                auto entries = b.eeprom().boot_env();
                const std::string name = entry.substr(0, entry.find('=') + 1);
                const auto same = std::find_if(entries.begin(), entries.end(),
                                               [&](const auto& e) { return e.starts_with(name); });
                if (same == entries.end())
                    entries.push_back(entry);
                else
                    *same = entry;
                return store_env(b, entries);
            });
        },
        true);
    flag("--env-clear", "empty the boot loader environment",
         [&r] { prepare(r, [](sim::SimBoard& b) { return store_env(b, {}); }); });
    value("--boot-slot", "N",
          "the boot slot byte (EEPROM offset " + std::to_string(EEPROM_BOOT_SLOT_OFFSET) +
              "), 0..255; 1 and 2 name a slot",
          [&r](const std::string& a) {
              const auto v = parse_number(a, 255);
              if (!v) fail("--boot-slot %s: give a number 0..255", a);
              const std::uint8_t byte = static_cast<std::uint8_t>(*v);
              r.create.boot_slot = byte;
              prepare(r, [byte](sim::SimBoard& b) {
                  b.eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::span<const std::uint8_t>(&byte, 1));
                  return 0;
              });
          });
    value("--rtc", "'YYYY-MM-DD hh:mm:ss'|now", "set the real-time clock",
          [&r](const std::string& a) {
              const auto t = parse_rtc(a);
              if (!t) fail("--rtc %s: give 'YYYY-MM-DD hh:mm:ss' (2000..2099) or now", a);
              r.create.rtc = *t;
              prepare(r, [t](sim::SimBoard& b) {
                  b.set_rtc(*t);
                  return 0;
              });
          });
    value(
        "--write", "REGION=FILE",
        "program FILE into a flash region as the factory would (the blocks it touches are\n"
        "erased first; repeatable); REGION is " +
            region_names() + " or a byte\noffset",
        [&r](const std::string& spec) {
            const std::size_t eq = spec.find('=');
            if (eq == std::string::npos) fail("--write %s: give REGION=FILE", spec);
            const auto region = parse_region(std::string_view(spec).substr(0, eq));
            if (!region)
                throw CLI::ValidationError("--write " + spec + ": unknown region (" +
                                           region_names() + " or an offset)");
            prepare(r, [reg = *region, file = spec.substr(eq + 1)](sim::SimBoard& b) {
                return write_region(b, reg, file);
            });
        },
        true);
    value(
        "--read", "REGION=FILE",
        "copy a flash region's bytes, as the board reads them, into FILE (repeatable);\n"
        "REGION is " +
            region_names() +
            " (the whole region), OFFSET (to the\nend of the flash) or OFFSET+LENGTH",
        [&r](const std::string& spec) {
            const std::size_t eq = spec.find('=');
            if (eq == std::string::npos || eq + 1 == spec.size())
                fail("--read %s: give REGION=FILE", spec);
            const std::string_view where = std::string_view(spec).substr(0, eq);
            const std::size_t plus = where.find('+');
            auto region = parse_region(where.substr(0, plus));
            if (!region) fail("--read %s: unknown region", spec);
            std::size_t length =
                std::min<std::size_t>(region->room, sim::kFlashSize - region->offset);
            if (plus != std::string_view::npos) {
                const auto n = parse_number(where.substr(plus + 1), length);
                if (!n || *n == 0)
                    fail("--read %s: LENGTH must be 1 up to the end of the flash", spec);
                length = *n;
            }
            prepare(r, [reg = *region, length, file = spec.substr(eq + 1)](sim::SimBoard& b) {
                return read_region(b, reg, length, file);
            });
        },
        true);
    value(
        "--erase", "REGION", "erase a whole flash region (to 0xFF; repeatable)",
        [&r](const std::string& a) {
            const auto region = parse_region(a);
            if (!region) fail("--erase %s: unknown region", a);
            prepare(r, [reg = *region](sim::SimBoard& b) {
                const std::size_t n = std::min<std::size_t>(reg.room, sim::kFlashSize - reg.offset);
                b.flash_write(reg.offset, std::vector<std::uint8_t>(n, 0xFF));
                return 0;
            });
        },
        true);
    value(
        "--corrupt", "REGION[+OFFSET]",
        "invert one byte of a region and say which (repeatable): OFFSET from the region's\n"
        "start, or by default the first payload byte of the image there (never a header or\n"
        "signature byte), so that the image fails its CRC check; --corrupt slot1 breaks slot 1",
        [&r](const std::string& spec) {
            const std::size_t plus = spec.find('+');
            const auto region = parse_region(std::string_view(spec).substr(0, plus));
            std::optional<unsigned long> at;
            if (plus != std::string::npos) {
                at = parse_number(std::string_view(spec).substr(plus + 1), 0xFFFFFF);
                if (!at) fail("--corrupt %s: give REGION or REGION+OFFSET", spec);
            }
            if (!region) fail("--corrupt %s: give REGION or REGION+OFFSET", spec);
            if (at && region->offset + *at >= sim::kFlashSize)
                fail("--corrupt %s: beyond the flash", spec);
            prepare(r,
                    [reg = *region, at](sim::SimBoard& b) { return corrupt_region(b, reg, at); });
        },
        true);
    CLI::Option* install =
        value("--install", "FILE",
              "install an image package file as a rescue download would (\"/tmp/image\"); the\n"
              "application image goes to --slot N, or the installer asks (Enter boots it at once)",
              [&r](const std::string& a) {
                  r.install_file = a;
                  r.installs = true;
                  prepare(r, [&r](sim::SimBoard& b) {
                      platform::set_os(b);
                      // A power-up of its own: --fault applies to it.
                      const int rc = sim::run_install_command(b, r.install_file, r.install_slot,
                                                              r.skip_same, r.faults);
                      b.clear_faults();
                      return rc;
                  });
              });
    value("--slot", "N", "with --install: the slot for the application image (1 or 2)",
          [&r](const std::string& a) {
              const auto v = parse_number(a, 2);
              if (!v || *v == 0) fail("--slot %s: give 1 or 2", a);
              r.install_slot = static_cast<int>(*v);
          })
        ->needs(install);
    flag("--skip-same", "with --install: skip images whose version is installed already", [&r] {
        r.skip_same = true;
    })->needs(install);
    CLI::Option* status =
        flag("--status",
             "show the board: serial number, RTC, boot environment and the settings read from it,\n"
             "boot slot byte and the slot it boots, each flash region and whether the boot path\n"
             "accepts each slot, install time stamps, LED registers, what the key store makes of\n"
             "each key file under this serial number, the end of the install log",
             [&r] {
                 prepare(r, [&r](sim::SimBoard& b) {
                     const auto report = sim::status_report(b);
                     if (r.json)
                         sim::print_status_json(report, stdout);
                     else
                         sim::print_status_text(report, stdout);
                     return 0;
                 });
             });
    flag("--confirm",
         "the application confirms its trial boot, as `bootmgr confirm` does on the board; the\n"
         "exit status is that command's (0 confirmed or nothing on trial, 1 the record cannot be\n"
         "read or written, 3 the trial already returned to the other slot)",
         [&r] {
             prepare(r, [](sim::SimBoard& b) {
                 platform::set_os(b);
                 return boot_trial_confirm();
             });
         });
    flag("--json", "with --status: the same as one JSON object (README: \"--status --json\")",
         [&r] { r.json = true; })
        ->needs(status);
    value(
        "--fault", "SPEC", kFaultHelp, [&r](const std::string& a) { parse_fault(r, a); }, true);
    value("--link", "up|down|LIST",
          "carrier of the management port eth0 (default up); a LIST such as down,down,up\n"
          "answers the successive link tests in turn, its last entry holding from then on",
          [&r](const std::string& a) {
              if (!sim::parse_link_schedule(a, &r.link_schedule))
                  fail("--link %s: give up, down or a list such as down,up", a);
          });
    value("--tftp-port", "N",
          "UDP port of the TFTP server the board's tftp client talks to (default 69); the\n"
          "server address typed on the board is kept, e.g. 127.0.0.1 for a local test server",
          [&r](const std::string& a) {
              const auto v = parse_number(a, 65535);
              if (!v || *v == 0) fail("--tftp-port %s: give a port 1..65535", a);
              r.tftp_port = static_cast<unsigned>(*v);
          });
    value("--ttyS0", "PATH",
          "a terminal (e.g. one end of a pseudo-terminal pair) that stands for the board's\n"
          "serial line /dev/ttyS0; \"/usr/bin/rx\" then runs lrzsz's receiver on it. Without it\n"
          "the rescue menu's X is refused at once (\"Can't open serial port!\" and a [board]\n"
          "line): the terminal the simulator runs on cannot carry the download",
          [&r](const std::string& a) {
              if (::access(a.c_str(), R_OK | W_OK) != 0)
                  fail("--ttyS0 %s", a + ": cannot open it: " + std::strerror(errno));
              r.serial_device = a;
          });
    flag("--no-dhclient", "the root file system has no /bin/dhclient (no DHCP question)",
         [&r] { r.dhclient = false; });
    flag("--real-time", "sleeps take real time (watch the LED blink); default: virtual",
         [&r] { r.real_time = true; });
    value("--seed", "N",
          "seed the board's random source (0..4294967295) so that a run repeats (the presence\n"
          "test's blink count); default: the host's random source",
          [&r](const std::string& a) {
              const auto v = parse_number(a, 0xFFFFFFFFul);
              if (!v) fail("--seed %s: give a number 0..4294967295", a);
              r.seed = *v;
          });
    flag("--shell", "\"/bin/sh\" opens a real shell in the board's root instead of being recorded",
         [&r] { r.interactive_shell = true; });
    flag("--boot", "power up and boot after the preparing options", [&r] { r.boot = true; });
}

int run_simulator(int argc, char** argv) {
    Run run;
    {
        CommandLine line(run);
        if (const auto status = line.parse(argc, argv)) return *status;
    }
    if (!run.faults.empty() && run.prepared && !run.boot && !run.installs) {
        std::fprintf(stderr,
                     "bootmgr-sim: --fault needs a power-up to act on: add --boot or --install, or "
                     "leave out the preparing options\n");
        return kExitUsage;
    }

    if (run.fresh) {
        std::string error;
        if (!sim::SimBoard::create(run.board_dir, run.create, &error)) {
            std::fprintf(stderr, "bootmgr-sim: %s\n", error.c_str());
            return kExitBoard;
        }
        std::printf("bootmgr-sim: new board in %s\n", run.board_dir.c_str());
    }
    static sim::SimBoard board(run.board_dir);
    if (!board.ok()) {
        std::fprintf(stderr, "bootmgr-sim: %s\n", board.error().c_str());
        return kExitBoard;
    }
    platform::set_os(board);
    std::fflush(stdout);
    for (auto& action : run.actions) {
        if (const int rc = action(board); rc != 0) return rc;
        std::fflush(stdout);
    }
    if (run.prepared && !run.boot) return 0;

    board.power_up();
    board.set_real_sleep(run.real_time);
    if (run.seed) board.random().seed(*run.seed);
    board.set_interactive_shell(run.interactive_shell);
    static sim::SimNetwork network(board);
    static sim::SimSerial serial(board);
    if (!run.link_schedule.empty()) network.set_link_schedule(run.link_schedule);
    network.set_tftp_port(run.tftp_port);
    network.set_dhcp_client(run.dhclient);
    serial.set_device(run.serial_device);
    if (run.real_time) serial.set_read_wait_ms(0);
    for (const auto& f : run.faults) board.inject(f);
    std::fflush(stdout);
    boot_main();
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing of the boot manager throws; what could (the host's allocator, file system calls of
    // the front end) ends the run with a message rather than an abort.
    try {
        return run_simulator(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bootmgr-sim: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "bootmgr-sim: unexpected failure\n");
    }
    return kExitBoard;
}
