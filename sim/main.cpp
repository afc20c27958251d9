// bootmgr-sim: the boot manager on a simulated board.
//
// Options are rows of one table (kOptions): each names its argument, explains itself for --help
// and either sets something for the run or queues an action on the board. Actions run in the
// order given, after the board is opened; the board then powers up and boots unless the
// options only prepared it (see --help).
#include <fcntl.h>
#include <unistd.h>

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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boot/boot_sequence.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "sim/install_cmd.h"
#include "sim/sim_board.h"
#include "sim/sim_network.h"
#include "sim/sim_serial.h"
#include "sim/status_report.h"

namespace {

// Exit statuses of the simulator itself (the board's own: sim_board.h, install_cmd.h).
constexpr int kExitBoard = 1;  // the board directory cannot be created, opened or written
constexpr int kExitUsage = 2;  // bad options, or a file named in them cannot be read

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

int fail(const char* format, const std::string& what) {
    std::fprintf(stderr, "bootmgr-sim: ");
    std::fprintf(stderr, format, what.c_str());
    std::fprintf(stderr, "\n");
    return kExitUsage;
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

// Flash regions by name, as the board's map places them.
struct Region {
    std::string_view name;
    std::uint32_t offset;
    std::uint32_t room;
};
constexpr std::array<Region, 5> kRegions{{
    {"slot1", FLASH_SLOT1_OFFSET, FLASH_SLOT1_ROOM},
    {"slot2", FLASH_SLOT2_OFFSET, FLASH_SLOT2_ROOM},
    {"kernel", FLASH_KERNEL_OFFSET, FLASH_KERNEL_ROOM},
    {"rfs", FLASH_RFS_OFFSET, FLASH_RFS_ROOM},
    {"bootloader", FLASH_BOOTLOADER_OFFSET,
     static_cast<std::uint32_t>(sim::kFlashSize) - FLASH_BOOTLOADER_OFFSET},
}};

std::optional<Region> parse_region(std::string_view text) {
    for (const auto& r : kRegions) {
        if (r.name == text) return r;
    }
    if (auto off = parse_number(text, sim::kFlashSize - 1)) {
        return Region{text, static_cast<std::uint32_t>(*off),
                      static_cast<std::uint32_t>(sim::kFlashSize - *off)};
    }
    return std::nullopt;
}

std::uint8_t bcd(int v) {
    return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
}

std::optional<std::array<std::uint8_t, 7>> parse_rtc(std::string_view text) {
    std::tm t{};
    if (text == "now") {
        const std::time_t now = std::time(nullptr);
        localtime_r(&now, &t);
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
        if (at != end) return std::nullopt;
        const int y = fields[0], mo = fields[1], d = fields[2], h = fields[3], mi = fields[4],
                  s = fields[5];
        if (y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
            s > 59 || h < 0 || mi < 0 || s < 0) {
            return std::nullopt;
        }
        t.tm_year = y - 1900;
        t.tm_mon = mo - 1;
        t.tm_mday = d;
        t.tm_hour = h;
        t.tm_min = mi;
        t.tm_sec = s;
        t.tm_isdst = -1;
        std::tm probe = t;
        if (std::mktime(&probe) == -1 || probe.tm_mday != d) return std::nullopt;  // 31 April
        t.tm_wday = probe.tm_wday;
    }
    return std::array<std::uint8_t, 7>{
        bcd(t.tm_sec),  bcd(t.tm_min),     bcd(t.tm_hour),      bcd(t.tm_wday == 0 ? 7 : t.tm_wday),
        bcd(t.tm_mday), bcd(t.tm_mon + 1), bcd(t.tm_year % 100)};
}

std::optional<std::vector<std::uint8_t>> read_host_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// "kind[@N][:ARG][=ERRNO]", as sim_faults.h reads it.
int parse_fault(Run& run, std::string_view spec) {
    std::string error;
    const auto fault = sim::parse_fault(spec, &error);
    if (!fault) return fail("--fault %s", error);
    run.faults.push_back(*fault);
    return 0;
}

struct Option {
    const char* name;
    const char* arg;  // nullptr for a flag
    const char* help;
    int (*apply)(Run& run, const char* arg);
};

// Queues a preparing action.
void prepare(Run& run, std::function<int(sim::SimBoard&)> action) {
    run.prepared = true;
    run.actions.push_back(std::move(action));
}

// The option table. New options are new rows.
const Option kOptions[] = {
    {"--board", "DIR", "the board directory (required)",
     [](Run& r, const char* a) {
         r.board_dir = a;
         return 0;
     }},
    {"--new", nullptr, "create a fresh board in DIR first (replaces a board there)",
     [](Run& r, const char*) {
         r.fresh = true;
         r.prepared = true;
         return 0;
     }},
    {"--serial", "TEXT", "unit serial number, up to 12 characters (EEPROM offset 13)",
     [](Run& r, const char* a) {
         const std::string serial = a;
         if (serial.size() > 12) return fail("--serial %s: at most 12 characters", serial);
         r.create.serial = serial;
         prepare(r, [serial](sim::SimBoard& b) {
             std::vector<std::uint8_t> bytes(12, 0);
             std::copy(serial.begin(), serial.end(), bytes.begin());
             b.eeprom_write(13, bytes);
             return 0;
         });
         return 0;
     }},
    {"--env", "NAME=VALUE",
     "boot loader environment entry (repeatable; the given entries replace the whole\n"
     "environment, stored NUL-separated at EEPROM offset 3332, 1280 bytes); e.g.\n"
     "--env diagnostics=rescue, --env gdbserver=on, --env shell=on, --env lowsec=authorised\n"
     "(flags take effect when their value begins with \"on\")",
     [](Run& r, const char* a) {
         const std::string entry = a;
         if (entry.find('=') == std::string::npos || entry.front() == '=') {
             return fail("--env %s: give NAME=VALUE", entry);
         }
         if (r.create.boot_env.empty()) {
             prepare(r, [&r](sim::SimBoard& b) {
                 if (!b.set_boot_env(r.create.boot_env)) {
                     std::fprintf(stderr,
                                  "bootmgr-sim: the --env entries do not fit in 1280 bytes\n");
                     return kExitUsage;
                 }
                 return 0;
             });
         }
         r.create.boot_env.push_back(entry);
         return 0;
     }},
    {"--env-clear", nullptr, "empty the boot loader environment",
     [](Run& r, const char*) {
         prepare(r, [](sim::SimBoard& b) { return b.set_boot_env({}) ? 0 : 1; });
         return 0;
     }},
    {"--boot-slot", "N", "the boot slot byte (EEPROM 0x100), 0..255; 1 and 2 name a slot",
     [](Run& r, const char* a) {
         const auto v = parse_number(a, 255);
         if (!v) return fail("--boot-slot %s: give a number 0..255", a);
         const std::uint8_t byte = static_cast<std::uint8_t>(*v);
         r.create.boot_slot = byte;
         prepare(r, [byte](sim::SimBoard& b) {
             b.eeprom_write(0x100, std::span<const std::uint8_t>(&byte, 1));
             return 0;
         });
         return 0;
     }},
    {"--rtc", "'YYYY-MM-DD hh:mm:ss'|now", "set the real-time clock",
     [](Run& r, const char* a) {
         const auto t = parse_rtc(a);
         if (!t) return fail("--rtc %s: give 'YYYY-MM-DD hh:mm:ss' (2000..2099) or now", a);
         r.create.rtc = *t;
         prepare(r, [t](sim::SimBoard& b) {
             b.set_rtc(*t);
             return 0;
         });
         return 0;
     }},
    {"--write", "REGION=FILE",
     "program FILE into a flash region as the factory would (the blocks it touches are\n"
     "erased first); REGION is slot1, slot2, kernel, rfs, bootloader or a byte offset",
     [](Run& r, const char* a) {
         const std::string spec = a;
         const std::size_t eq = spec.find('=');
         if (eq == std::string::npos) return fail("--write %s: give REGION=FILE", spec);
         const auto region = parse_region(std::string_view(spec).substr(0, eq));
         if (!region)
             return fail(
                 "--write %s: unknown region (slot1, slot2, kernel, rfs, bootloader or an offset)",
                 spec);
         const std::string file = spec.substr(eq + 1);
         const Region reg = *region;
         prepare(r, [reg, file](sim::SimBoard& b) {
             const auto data = read_host_file(file);
             if (!data) {
                 std::fprintf(stderr, "bootmgr-sim: cannot read %s: %s\n", file.c_str(),
                              std::strerror(errno));
                 return kExitBoard;
             }
             if (data->size() > reg.room) {
                 std::fprintf(stderr, "bootmgr-sim: %s holds %zu bytes; %.*s has room for %u\n",
                              file.c_str(), data->size(), static_cast<int>(reg.name.size()),
                              reg.name.data(), reg.room);
                 return kExitBoard;
             }
             const std::size_t first = reg.offset / sim::kFlashEraseSize * sim::kFlashEraseSize;
             const std::size_t end = reg.offset + data->size();
             const std::size_t last =
                 (end + sim::kFlashEraseSize - 1) / sim::kFlashEraseSize * sim::kFlashEraseSize;
             // Bytes of the touched blocks outside the file keep their value, as a block rewrite
             // does.
             auto block = b.flash_read(first, last - first);
             std::copy(data->begin(), data->end(),
                       block.begin() + static_cast<std::ptrdiff_t>(reg.offset - first));
             b.flash_write(first, block);
             std::printf("bootmgr-sim: wrote %zu bytes of %s at flash 0x%07x (%.*s)\n",
                         data->size(), file.c_str(), reg.offset, static_cast<int>(reg.name.size()),
                         reg.name.data());
             return 0;
         });
         return 0;
     }},
    {"--erase", "REGION", "erase a whole flash region (to 0xFF)",
     [](Run& r, const char* a) {
         const auto region = parse_region(a);
         if (!region) return fail("--erase %s: unknown region", a);
         const Region reg = *region;
         prepare(r, [reg](sim::SimBoard& b) {
             const std::size_t n = std::min<std::size_t>(reg.room, sim::kFlashSize - reg.offset);
             b.flash_write(reg.offset, std::vector<std::uint8_t>(n, 0xFF));
             return 0;
         });
         return 0;
     }},
    {"--corrupt", "REGION[+OFFSET]",
     "invert one byte of a region and say which: OFFSET from the region's start, or by\n"
     "default the first payload byte of the image there (never a header or signature byte),\n"
     "so that the image fails its CRC check; --corrupt slot1 breaks slot 1",
     [](Run& r, const char* a) {
         const std::string spec = a;
         const std::size_t plus = spec.find('+');
         const auto region = parse_region(std::string_view(spec).substr(0, plus));
         std::optional<unsigned long> at;
         if (plus != std::string::npos) {
             at = parse_number(std::string_view(spec).substr(plus + 1), 0xFFFFFF);
             if (!at) return fail("--corrupt %s: give REGION or REGION+OFFSET", spec);
         }
         if (!region) return fail("--corrupt %s: give REGION or REGION+OFFSET", spec);
         if (at && region->offset + *at >= sim::kFlashSize)
             return fail("--corrupt %s: beyond the flash", spec);
         const Region reg = *region;
         prepare(r, [reg, at](sim::SimBoard& b) {
             std::size_t where = reg.offset + at.value_or(64);
             std::string what = at ? "given byte" : "region byte 64: no image header there";
             if (!at) {
                 const auto probe = b.flash_read(reg.offset, IMG_PROBE_LEN);
                 const ImageHeader h = image_header_decode(
                     std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
                 if (image_header_consistent(h) && h.payload_len > 0 &&
                     image_length(h) <= reg.room) {
                     where = reg.offset + h.header_len;
                     what = "first payload byte, after the " + std::to_string(h.header_len) +
                            "-byte header";
                 }
             }
             auto byte = b.flash_read(where, 1);
             const std::uint8_t before = byte[0];
             byte[0] = static_cast<std::uint8_t>(~before);
             b.flash_write(where, byte);
             std::printf(
                 "bootmgr-sim: corrupted %.*s+0x%zx (flash 0x%07zx, %s): 0x%02x -> 0x%02x\n",
                 static_cast<int>(reg.name.size()), reg.name.data(), where - reg.offset, where,
                 what.c_str(), before, byte[0]);
             return 0;
         });
         return 0;
     }},
    {"--install", "FILE",
     "install an image package file as a rescue download would (\"/tmp/image\"); the\n"
     "application image goes to --slot N, or the installer asks (Enter boots it at once);\n"
     "--skip-same skips installed versions",
     [](Run& r, const char* a) {
         r.install_file = a;
         r.installs = true;
         prepare(r, [&r](sim::SimBoard& b) {
             platform::set_os(b);
             // A power-up of its own: --fault applies to it.
             const int rc =
                 sim::run_install_command(b, r.install_file, r.install_slot, r.skip_same, r.faults);
             b.clear_faults();
             return rc;
         });
         return 0;
     }},
    {"--slot", "N", "the slot for --install (1 or 2)",
     [](Run& r, const char* a) {
         const auto v = parse_number(a, 2);
         if (!v || *v == 0) return fail("--slot %s: give 1 or 2", a);
         r.install_slot = static_cast<int>(*v);
         return 0;
     }},
    {"--skip-same", nullptr, "with --install: skip images whose version is installed already",
     [](Run& r, const char*) {
         r.skip_same = true;
         return 0;
     }},
    {"--status", nullptr,
     "show the board: serial number, RTC, boot environment and the settings read from it,\n"
     "boot slot byte and the slot it boots, each flash region and whether the boot path\n"
     "accepts each slot, install time stamps, LED registers, whether each key file decrypts\n"
     "under this serial number, the end of the install log",
     [](Run& r, const char*) {
         prepare(r, [&r](sim::SimBoard& b) { return sim::print_status_report(b, stdout, r.json); });
         return 0;
     }},
    {"--json", nullptr, "with --status: the same as one JSON object, for scripts",
     [](Run& r, const char*) {
         r.json = true;
         return 0;
     }},
    {"--fault", "SPEC",
     "inject a fault into this power-up or --install (repeatable; an error without a\n"
     "power-up). SPEC is KIND[@N][:ARG]; @N hits only the Nth matching operation (default:\n"
     "every one). KINDs:\n"
     "  i2c-open[:BUS]      opening /dev/i2c-BUS fails (e.g. i2c-open:0)\n"
     "  i2c-select[:ADDR] i2c-write[:ADDR] i2c-read[:ADDR]  I2C transfer fails (7-bit ADDR)\n"
     "  i2c-short:BYTES     an I2C read delivers only BYTES bytes\n"
     "  flash-info flash-read flash-write flash-erase        the MTD request fails\n"
     "  create:PATH         creating the system path PATH fails (e.g. /tmp/zariximage.tar.gz)\n"
     "  shell[:PREFIX]      the shell cannot be started (for commands starting with PREFIX)\n"
     "  exec                starting the application fails\n"
     "  power-cut@N         the power goes in the middle of the Nth flash erase or write",
     [](Run& r, const char* a) { return parse_fault(r, a); }},
    {"--link", "up|down|LIST",
     "carrier of the management port eth0 (default up); a LIST such as down,down,up answers\n"
     "the successive link tests in turn, its last entry holding from then on",
     [](Run& r, const char* a) {
         if (!sim::parse_link_schedule(a, &r.link_schedule))
             return fail("--link %s: give up, down or a list such as down,up", a);
         return 0;
     }},
    {"--tftp-port", "N",
     "UDP port of the TFTP server the board's tftp client talks to (default 69); the server\n"
     "address typed on the board is kept, e.g. 127.0.0.1 for a local test server",
     [](Run& r, const char* a) {
         const auto v = parse_number(a, 65535);
         if (!v || *v == 0) return fail("--tftp-port %s: give a port 1..65535", a);
         r.tftp_port = static_cast<unsigned>(*v);
         return 0;
     }},
    {"--ttyS0", "PATH",
     "a terminal (e.g. one end of a pseudo-terminal pair) that stands for the board's serial\n"
     "line /dev/ttyS0; \"/usr/bin/rx\" then runs lrzsz's receiver on it. Without it the\n"
     "rescue menu's X is refused at once (\"Can't open serial port!\" and a [board] line):\n"
     "the terminal the simulator runs on cannot carry the download",
     [](Run& r, const char* a) {
         if (::access(a, R_OK | W_OK) != 0) return fail("--ttyS0 %s: cannot open it", a);
         r.serial_device = a;
         return 0;
     }},
    {"--no-dhclient", nullptr, "the root file system has no /bin/dhclient (no DHCP question)",
     [](Run& r, const char*) {
         r.dhclient = false;
         return 0;
     }},
    {"--real-time", nullptr, "sleeps take real time (watch the LED blink); default: virtual",
     [](Run& r, const char*) {
         r.real_time = true;
         return 0;
     }},
    {"--seed", "N",
     "seed the board's random source (0..4294967295) so that a run repeats (the presence\n"
     "test's blink count); default: the host's random source",
     [](Run& r, const char* a) {
         const auto v = parse_number(a, 0xFFFFFFFFul);
         if (!v) return fail("--seed %s: give a number 0..4294967295", a);
         r.seed = *v;
         return 0;
     }},
    {"--shell", nullptr,
     "\"/bin/sh\" opens a real shell in the board's root instead of being recorded",
     [](Run& r, const char*) {
         r.interactive_shell = true;
         return 0;
     }},
    {"--boot", nullptr, "power up and boot after the preparing options",
     [](Run& r, const char*) {
         r.boot = true;
         return 0;
     }},
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: bootmgr-sim --board DIR [options]\n"
                 "\n"
                 "Runs one power-up of the boot manager on the simulated board kept in DIR, with\n"
                 "the console on this terminal. Options that prepare the board (--new, --serial,\n"
                 "--env, --boot-slot, --rtc, --write, --erase, --corrupt, --install, --status) do\n"
                 "only that, in the order given, unless --boot is added; without them the board\n"
                 "powers up and boots.\n\nOptions:\n");
    for (const Option& o : kOptions) {
        std::string head = std::string("  ") + o.name + (o.arg ? std::string(" ") + o.arg : "");
        std::fprintf(to, "%s\n", head.c_str());
        std::string_view help = o.help;
        while (!help.empty()) {
            const std::size_t nl = help.find('\n');
            std::fprintf(to, "        %.*s\n", static_cast<int>(help.substr(0, nl).size()),
                         help.data());
            if (nl == std::string_view::npos) break;
            help.remove_prefix(nl + 1);
        }
    }
    std::fprintf(
        to,
        "  --help\n        this text\n"
        "\n"
        "Board directory: eeprom.bin (8 KiB), flash.bin (64 MiB, holding the complement of\n"
        "each flash byte so a fresh board is a sparse file), rtc.bin, led.bin, root/ (the\n"
        "board's /tmp, /user and /dev), events.log (commands, exec, reboot, LED, sleeps).\n"
        "/tmp is emptied at every power-up, as on the real board.\n"
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
        "  2   bad options, or a file named in them cannot be read\n"
        "  %d   --install: the package was not installed (a bad image, a failed flash\n"
        "      write, or the operator left the installation)\n"
        "  %d  the boot manager ran \"reboot\": the board reboots\n"
        "  %d  the power was cut by --fault power-cut@N\n"
        "  %d  the console input ended (end of file or a hang-up) while the boot manager\n"
        "      waited for a key; a \"[board] console input ended\" line says so\n"
        "  other  the boot manager's own exit status\n",
        sim::kExitInstallFailed, sim::kExitReboot, sim::kExitPowerCut, sim::kExitInputExhausted);
}

}  // namespace

int main(int argc, char** argv) {
    Run run;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        const Option* match = nullptr;
        for (const Option& o : kOptions) {
            if (arg == o.name) match = &o;
        }
        if (match == nullptr) {
            std::fprintf(stderr, "bootmgr-sim: unknown option %s (see --help)\n", argv[i]);
            return kExitUsage;
        }
        const char* value = nullptr;
        if (match->arg != nullptr) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "bootmgr-sim: %s needs %s\n", match->name, match->arg);
                return kExitUsage;
            }
            value = argv[++i];
        }
        if (const int rc = match->apply(run, value); rc != 0) return rc;
    }
    if (run.board_dir.empty()) {
        std::fprintf(stderr, "bootmgr-sim: name the board with --board DIR (see --help)\n");
        return kExitUsage;
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
