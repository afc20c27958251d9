#include "sim/status_report.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "board/boot_slot.h"
#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/image_format.h"
#include "image/install.h"
#include "platform/byte_order.h"
#include "security/builtin_keys.h"
#include "security/keyfile_crypt.h"
#include "security/keystore.h"

namespace sim {

namespace {

// One value of the report: a section, a name, the text shown, and whether JSON gets it as a
// number or boolean rather than a string.
struct Item {
    std::string section, name, text;
    bool raw_json = false;
};

class Report {
  public:
    void add(std::string section, std::string name, std::string text, bool raw = false) {
        items_.push_back({std::move(section), std::move(name), std::move(text), raw});
    }
    void print_text(std::FILE* to) const {
        std::string section;
        for (const auto& i : items_) {
            if (i.section != section) {
                section = i.section;
                std::fprintf(to, "%s:\n", section.c_str());
            }
            std::fprintf(to, "  %-14s %s\n", (i.name + ":").c_str(), i.text.c_str());
        }
    }
    void print_json(std::FILE* to) const {
        std::string out = "{";
        std::string section;
        for (const auto& i : items_) {
            if (i.section != section) {
                if (!section.empty()) out += "},";
                section = i.section;
                out += quote(section) + ":{";
            } else {
                out += ",";
            }
            out += quote(i.name) + ":" + (i.raw_json ? i.text : quote(i.text));
        }
        if (!section.empty()) out += "}";
        out += "}\n";
        std::fputs(out.c_str(), to);
    }

  private:
    static std::string quote(const std::string& s) {
        std::string out = "\"";
        for (const unsigned char c : s) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }
    std::vector<Item> items_;
};

struct Region {
    const char* name;
    std::uint32_t offset;
    std::uint32_t room;
    int slot;  // image slot number, 0 for other regions
};

constexpr std::array<Region, 4> kImageRegions{{
    {"slot1", FLASH_SLOT1_OFFSET, FLASH_SLOT1_ROOM, 1},
    {"slot2", FLASH_SLOT2_OFFSET, FLASH_SLOT2_ROOM, 2},
    {"kernel", FLASH_KERNEL_OFFSET, FLASH_KERNEL_ROOM, 0},
    {"rfs", FLASH_RFS_OFFSET, FLASH_RFS_ROOM, 0},
}};

const char* kind_name(std::uint32_t kind) {
    switch (kind) {
        case IMG_KIND_APPLICATION:
            return "application";
        case IMG_KIND_BOOTLOADER:
            return "bootloader";
        case IMG_KIND_KERNEL:
            return "kernel";
        case IMG_KIND_RFS:
            return "rfs";
        case IMG_KIND_DFT:
            return "dft";
        case IMG_KIND_DIAGS:
            return "diags";
        case IMG_KIND_QORB:
            return "qorb";
        default:
            return "unknown";
    }
}

std::string version(std::uint32_t id) {
    return std::to_string(id >> 24) + "." + std::to_string((id >> 16) & 0xFF) + "." +
           std::to_string((id >> 8) & 0xFF) + "." + std::to_string(id & 0xFF);
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        char h[4];
        std::snprintf(h, sizeof h, "%s%02x", out.empty() ? "" : " ", b);
        out += h;
    }
    return out;
}

std::string bcd_time(const std::vector<std::uint8_t>& t) {
    char text[40];
    std::snprintf(text, sizeof text, "20%02x-%02x-%02x %02x:%02x:%02x", t[6], t[5] & 0x1F,
                  t[4] & 0x3F, t[2] & 0x3F, t[1] & 0x7F, t[0] & 0x7F);
    return text;
}

void region(Report& r, const SimBoard& board, const Region& reg) {
    const auto probe = board.flash_read(reg.offset, IMG_PROBE_LEN);
    const std::string section = reg.name;
    if (std::all_of(probe.begin(), probe.end(), [](std::uint8_t b) { return b == 0xFF; })) {
        r.add(section, "holds", "erased");
    } else {
        const ImageHeader h = image_header_decode(
            std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
        const std::uint64_t length = image_length(h);
        r.add(section, "holds", kind_name(image_kind(h.magic)));
        r.add(section, "version", version(h.id));
        r.add(section, "header", std::to_string(h.header_version), true);
        if (!image_header_consistent(h) || length > reg.room) {
            r.add(section, "crc", "no valid image (lengths do not fit the region)");
        } else {
            const auto image = board.flash_read(reg.offset, static_cast<std::size_t>(length));
            r.add(section, "length", std::to_string(length), true);
            r.add(section, "crc",
                  image_crc_mismatch(image.data() + 4, static_cast<std::uint32_t>(length - 4),
                                     h.crc) == 0
                      ? "good"
                      : "BAD");
        }
    }
    if (reg.slot == 0) return;
    // The boot path's own checks, in its order: the header, then the CRC over the whole image.
    const ImageHeader h = image_header_decode(
        std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
    std::string verdict;
    if (boot_header_accepted(h, reg.room) == 0) {
        char m[96];
        std::snprintf(
            m, sizeof m, "refused: invalid header 0x%x%s", h.magic,
            (h.magic & IMG_EXT_HEADER) != 0 && (image_kind(h.magic) == IMG_KIND_APPLICATION ||
                                                image_kind(h.magic) == IMG_KIND_DIAGS)
                ? " (a version-2 header never boots)"
                : "");
        verdict = m;
    } else {
        const auto image = board.flash_read(reg.offset, static_cast<std::size_t>(image_length(h)));
        verdict = image_crc_mismatch(image.data() + 4, static_cast<std::uint32_t>(image.size() - 4),
                                     h.crc) == 0
                      ? "accepted"
                      : "refused: CRC failed";
    }
    r.add(section, "boot", verdict);
}

void stamp(Report& r, const SimBoard& board, const char* name, std::uint16_t offset) {
    const auto t = board.eeprom_read(offset, RTC_TIME_LEN);
    const bool never =
        std::all_of(t.begin(), t.end(), [](std::uint8_t b) { return b == 0xFF || b == 0; });
    r.add("eeprom", name, never ? "never" : bcd_time(t));
}

// Whether the key file decrypts, under this board's serial number, to a public key.
std::string key_file(const SimBoard& board, const char* path, const char* builtin) {
    const auto serial = board.eeprom_read(EEPROM_SERIAL_OFFSET, EEPROM_SERIAL_LEN);
    const bool blank = std::all_of(serial.begin(), serial.end(), [](auto b) { return b == 0; });
    std::ifstream f(board.host_path(path), std::ios::binary);
    if (!f) {
        return blank ? "missing (not needed: a blank serial number uses the built-in keys)"
                     : "missing (the start-up writes it from the built-in key)";
    }
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(f)), {});
    if (blank) return "present, not read: a blank serial number uses the built-in keys";
    std::size_t length = 0;
    std::uint8_t* text =
        imgsign_decrypt(serial.data(), serial.size(), data.data(), data.size(), &length);
    if (text == nullptr) return "present, does NOT decrypt under this board's serial number";
    const bool key = length != 0 && CA_MGMT_convertPublicKey(
                                        text, static_cast<std::uint32_t>(length), nullptr) == 0;
    const bool same = key && std::string_view(reinterpret_cast<const char*>(text),
                                              strnlen(reinterpret_cast<const char*>(text),
                                                      length)) == std::string_view(builtin);
    std::free(text);
    if (!key) return "present, does NOT decrypt to a key under this board's serial number";
    return same ? "decrypts to a key under this board's serial number (the built-in key)"
                : "decrypts to a key under this board's serial number (not the built-in key)";
}

// The settings the boot manager reads from the environment, by its own parser.
std::string settings_read(SimBoard& board) {
    platform::set_os(board);
    boot_settings = BootSettings{};
    i2c_open_buses();
    parse_boot_settings();
    i2c_close_buses();
    const BootSettings s = boot_settings;
    boot_settings = BootSettings{};
    std::string out;
    const std::pair<const char*, bool> flags[] = {
        {"rescue", s.rescue_requested != 0},     {"gdb", s.gdb_enabled != 0},
        {"gdbserver", s.gdbserver_enabled != 0}, {"shell", s.shell_enabled != 0},
        {"memchk", s.memchk_enabled != 0},       {"lowsec", s.lowsec_authorised != 0}};
    for (const auto& [name, on] : flags) {
        if (!on) continue;
        out += out.empty() ? "" : " ";
        out += name;
    }
    if (s.gdb_enabled != 0) out += " gdbport=" + std::to_string(s.gdb_port);
    return out.empty() ? "none (normal boot)" : out;
}

// Whether the next installation boots on trial, and where the trial of the last one stands.
std::string trial_state(SimBoard& board) {
    platform::set_os(board);
    boot_settings = BootSettings{};
    i2c_open_buses();
    parse_boot_settings();
    i2c_close_buses();
    const std::uint32_t limit = boot_settings.bootlimit;
    boot_settings = BootSettings{};
    if (limit == 0) return "off (no bootlimit in the environment)";
    if (limit == TRIAL_LIMIT_BAD) return "off (bootlimit= holds no number of boots)";
    const std::string of = " (bootlimit " + std::to_string(limit) + ")";
    TrialRecord t;
    switch (boot_trial_read(&t)) {
        case RecordRead::missing:
            return "no image on trial" + of;
        case RecordRead::damaged:
            return std::string(TRIAL_RECORD_PATH) +
                   " cannot be read: boots go by the boot slot byte";
        case RecordRead::ok:
            break;
    }
    const std::string slot = "image" + std::to_string(t.slot), boots = std::to_string(t.boots);
    const std::string other = "image" + std::to_string(t.slot == 1 ? 2 : 1);
    if (t.state == TrialState::confirmed)
        return slot + " confirmed after " + boots + " trial boots";
    if (t.state == TrialState::returned)
        return slot + " not confirmed after " + boots + " trial boots: returned to " + other;
    return slot + " on trial, " + boots + " of " + std::to_string(limit) +
           " boots: unless confirmed it returns to " + other + of;
}

}  // namespace

int print_status_report(SimBoard& board, std::FILE* to, bool json) {
    CRYPTO_LIB_initialize();
    Report r;
    r.add("board", "directory", board.dir().string());
    const auto serial = board.eeprom_read(EEPROM_SERIAL_OFFSET, EEPROM_SERIAL_LEN);
    std::string serial_text;
    for (const std::uint8_t b : serial) {
        if (b == 0) break;
        serial_text += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '?';
    }
    r.add("board", "serial", serial_text.empty() ? "blank" : serial_text);
    r.add("board", "serial_hex", hex_bytes(serial));
    board.rtc_device().catch_up();
    const auto t = board.rtc();
    r.add("board", "rtc", bcd_time({t.begin(), t.end()}));

    std::string env;
    for (const auto& e : board.eeprom().boot_env()) env += (env.empty() ? "" : " ") + e;
    r.add("environment", "entries", env.empty() ? "(empty)" : env);
    r.add("environment", "settings", settings_read(board));
    r.add("trial", "state", trial_state(board));

    const int byte = board.eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];
    const int slot = boot_slot_for_byte(byte);
    r.add("eeprom", "boot_slot_byte", std::to_string(byte), true);
    r.add("eeprom", "boots",
          "slot " + std::to_string(slot) +
              (byte == slot ? "" : " (the byte names no slot: slot 1 is booted first)"));
    stamp(r, board, "image1_installed", EEPROM_SLOT1_TIMESTAMP_OFFSET);
    stamp(r, board, "image2_installed", EEPROM_SLOT2_TIMESTAMP_OFFSET);

    for (const auto& reg : kImageRegions) region(r, board, reg);
    const auto record = board.flash_read(FLASH_BOOTLOADER_VERSION_OFFSET, IMG_FIXED_HEADER_LEN);
    r.add("bootloader", "version",
          be::load32(record.data() + 8) == IMG_KIND_BOOTLOADER
              ? version(be::load32(record.data() + 12)) + " (version record)"
              : "no version record");

    std::vector<std::uint8_t> leds;
    for (std::size_t i = 0; i < kLedRegisters; ++i) leds.push_back(board.led_register(i));
    r.add("led", "registers", hex_bytes(leds));
    r.add("led", "main_led",
          (board.led_register(LED_PRESENCE_REGISTER) & 0x30) != 0 ? "on" : "off");

    r.add("keys", "production", key_file(board, PRODUCTION_KEY_PATH, builtin_production_key));
    r.add("keys", "development", key_file(board, DEVELOPMENT_KEY_PATH, builtin_development_key));

    constexpr std::size_t kLogLines = 5;
    std::ifstream log(board.host_path(INSTALL_LOG_PATH));
    std::deque<std::string> last;
    for (std::string line; std::getline(log, line);) {
        last.push_back(line);
        if (last.size() > kLogLines) last.pop_front();
    }
    if (last.empty()) r.add("install_log", "last", "(empty)");
    for (std::size_t i = 0; i < last.size(); ++i)
        r.add("install_log", "line" + std::to_string(i + 1), last[i]);

    if (json) {
        r.print_json(to);
    } else {
        r.print_text(to);
    }
    return 0;
}

}  // namespace sim
