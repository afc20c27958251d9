#include "sim/status_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include "board/boot_slot.h"
#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/image_format.h"
#include "image/install_log.h"
#include "platform/byte_order.h"
#include "security/builtin_keys.h"
#include "security/keystore.h"

namespace sim {

namespace {

using Type = StatusValue::Type;

// Builds one section; every value says once what it is, for the screen and for JSON alike.
class Section {
  public:
    explicit Section(const std::string& name) { section_.name = name; }
    Section& str(const std::string& name, const std::string& value) {
        add(name, value, Type::string).string = value;
        return *this;
    }
    // A string that is null in JSON when absent (the screen shows `absent`).
    Section& str_or_null(const std::string& name, bool present, const std::string& value,
                         const std::string& absent) {
        if (present) return str(name, value);
        add(name, absent, Type::null);
        return *this;
    }
    Section& num(const std::string& name, std::int64_t value, const std::string& text = {}) {
        add(name, text.empty() ? std::to_string(value) : text, Type::number).number = value;
        return *this;
    }
    Section& flag(const std::string& name, bool value, const std::string& text = {}) {
        add(name, text, Type::boolean).boolean = value;
        return *this;
    }
    Section& strs(const std::string& name, const std::vector<std::string>& values,
                  const std::string& text) {
        add(name, text, Type::strings).strings = values;
        return *this;
    }
    Section& nums(const std::string& name, const std::vector<std::int64_t>& values,
                  const std::string& text) {
        add(name, text, Type::numbers).numbers = values;
        return *this;
    }
    Section& screen(const std::string& name, const std::string& text) {
        add(name, text, Type::null).screen_only = true;
        return *this;
    }
    // Keeps the value just added off the screen: its line there says it in words.
    Section& hide() {
        section_.values.back().text.clear();
        return *this;
    }
    StatusSection take() { return std::move(section_); }

  private:
    StatusValue& add(const std::string& name, const std::string& text, Type type) {
        StatusValue& v = section_.values.emplace_back();
        v.name = name;
        v.text = text;
        v.type = type;
        return v;
    }
    StatusSection section_;
};

// Whether a region of the map holds whole images, header and all: the image slots and the regions
// of kinds written whole (the boot loader's region holds only its payload).
bool holds_images(FlashRegion id) {
    for (const ImageKind& k : image_kinds()) {
        if (k.destination == KindDestination::region && k.region == id) return !k.payload_only;
    }
    return true;
}

const char* kind_name(std::uint32_t kind) {
    const ImageKind* k = image_kind_info(kind);
    return k != nullptr ? k->name : "unknown";
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
    char text[RTC_TEXT_LEN];
    rtc_time_text(t.data(), text);
    return text;
}

bool crc_good(const std::vector<std::uint8_t>& image, std::uint32_t stored) {
    return image_crc_mismatch(image.data() + 4, static_cast<std::uint32_t>(image.size() - 4),
                              stored) == 0;
}

StatusSection region(const SimBoard& board, const FlashRegionInfo& reg) {
    Section s(reg.name);
    const auto probe = board.flash_read(reg.offset, IMG_PROBE_LEN);
    const ImageHeader h = image_header_decode(
        std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
    const bool erased =
        std::all_of(probe.begin(), probe.end(), [](std::uint8_t b) { return b == 0xFF; });
    s.str_or_null("holds", !erased, kind_name(image_kind(h.magic)), "erased")
        .flag("erased", erased)
        .hide();
    if (!erased) {
        const std::uint64_t length = image_length(h);
        const bool fits = image_header_consistent(h) && length <= reg.room;
        s.num("magic", h.magic)
            .hide()
            .str("version", version(h.id))
            .num("header", h.header_version);
        if (fits) {
            const bool good =
                crc_good(board.flash_read(reg.offset, static_cast<std::size_t>(length)), h.crc);
            s.num("length", static_cast<std::int64_t>(length))
                .screen("crc", good ? "good" : "BAD")
                .flag("crc_good", good);
        } else {
            s.screen("crc", "no valid image (lengths do not fit the region)")
                .str_or_null("crc_good", false, {}, "");
        }
    }
    const int slot = flash_region_slot(reg.id);
    if (slot == 0) return s.take();
    // The boot path's own checks, in its order: the header, then the CRC over the whole image.
    std::string refusal;
    if (boot_header_accepted(h, reg.room) == 0) {
        char m[96];
        std::snprintf(
            m, sizeof m, "invalid header 0x%x%s", h.magic,
            (h.magic & IMG_EXT_HEADER) != 0 && (image_kind(h.magic) == IMG_KIND_APPLICATION ||
                                                image_kind(h.magic) == IMG_KIND_DIAGS)
                ? " (a version-2 header never boots)"
                : "");
        refusal = m;
    } else if (!crc_good(board.flash_read(reg.offset, static_cast<std::size_t>(image_length(h))),
                         h.crc)) {
        refusal = "CRC failed";
    }
    s.screen("boot", refusal.empty() ? "accepted" : "refused: " + refusal)
        .flag("boot.accepted", refusal.empty())
        .str_or_null("boot.refused", !refusal.empty(), refusal, "")
        .hide();
    return s.take();
}

void stamp(Section& s, const SimBoard& board, const char* name, std::uint16_t offset) {
    const auto t = board.eeprom_read(offset, RTC_TIME_LEN);
    const bool never =
        std::all_of(t.begin(), t.end(), [](std::uint8_t b) { return b == 0xFF || b == 0; });
    s.str_or_null(name, !never, bcd_time(t), "never");
}

// What the board's own key store makes of a key file under this board's serial number: the
// size limit, the decryption and the key decoding are its code, not a copy of its rules. A
// missing file is not loaded, since loading writes it.
void key_file(Section& s, SimBoard& board, const std::string& name, const char* path,
              const char* builtin) {
    const auto serial = board.eeprom_read(EEPROM_SERIAL_OFFSET, EEPROM_SERIAL_LEN);
    const bool blank = std::all_of(serial.begin(), serial.end(), [](auto b) { return b == 0; });
    struct stat st {};
    const bool present = ::stat(board.host_path(path).c_str(), &st) == 0;
    std::string verdict, said;
    bool usable = false, is_builtin = false;
    if (blank) {
        verdict = present ? "present, not read: a blank serial number uses the built-in keys"
                          : "missing (not needed: a blank serial number uses the built-in keys)";
        usable = is_builtin = true;
    } else if (!present) {
        verdict = "missing (the start-up writes it from the built-in key)";
        usable = is_builtin = true;
    } else {
        KeyRecord record;
        board.set_console_sink(&said);
        i2c_open_buses();
        const int loaded = imgsign_load_key(&record, path);
        i2c_close_buses();
        usable = loaded != 0 && record.length != 0 &&
                 CA_MGMT_convertPublicKey(record.data, record.length, nullptr) == 0;
        board.set_console_sink(nullptr);
        is_builtin = usable && std::string_view(reinterpret_cast<const char*>(record.data),
                                                record.length) == std::string_view(builtin);
        verdict = loaded == 0 ? "present, refused by the key store"
                  : !usable ? "present, does NOT decrypt to a key under this board's serial number"
                  : is_builtin
                      ? "decrypts to a key under this board's serial number (the built-in key)"
                      : "decrypts to a key under this board's serial number (not the "
                        "built-in key)";
    }
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    if (!said.empty()) verdict += " (the board says: " + said + ")";
    s.screen(name, verdict)
        .flag(name + ".present", present, "")
        .flag(name + ".usable", usable, "")
        .flag(name + ".builtin", is_builtin, "")
        .str(name + ".verdict", verdict)
        .hide()
        .str_or_null(name + ".board_says", !said.empty(), said, "")
        .hide();
}

// The settings the boot manager reads from the environment, by its own parser.
StatusSection settings(SimBoard& board) {
    std::string said;
    board.set_console_sink(&said);
    boot_settings = BootSettings{};
    i2c_open_buses();
    parse_boot_settings();
    i2c_close_buses();
    board.set_console_sink(nullptr);
    const BootSettings b = boot_settings;
    boot_settings = BootSettings{};
    Section s("settings");
    const std::pair<const char*, bool> flags[] = {
        {"rescue", b.rescue_requested != 0},     {"gdb", b.gdb_enabled != 0},
        {"gdbserver", b.gdbserver_enabled != 0}, {"shell", b.shell_enabled != 0},
        {"memchk", b.memchk_enabled != 0},       {"lowsec", b.lowsec_authorised != 0}};
    std::string line;
    for (const auto& [name, on] : flags) {
        s.flag(name, on);
        if (!on) continue;
        if (!line.empty()) line += ' ';
        line += name;
    }
    s.num("gdb_port", b.gdb_port).hide();
    if (b.gdb_enabled != 0) line += " gdbport=" + std::to_string(b.gdb_port);
    s.screen("read", line.empty() ? "none (normal boot)" : line);
    return s.take();
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

std::vector<StatusSection> status_report(SimBoard& board) {
    platform::set_os(board);
    CRYPTO_LIB_initialize();
    std::vector<StatusSection> report;

    Section b("board");
    b.str("directory", board.dir().string());
    const auto serial = board.eeprom_read(EEPROM_SERIAL_OFFSET, EEPROM_SERIAL_LEN);
    std::string serial_text;
    for (const std::uint8_t c : serial) {
        if (c == 0) break;
        serial_text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    b.str_or_null("serial", !serial_text.empty(), serial_text, "blank")
        .str("serial_hex", hex_bytes(serial));
    board.rtc_device().catch_up();
    const auto t = board.rtc();
    b.str("rtc", bcd_time({t.begin(), t.end()}));
    report.push_back(b.take());

    const auto entries = board.eeprom().boot_env();
    std::string env;
    std::vector<std::string> unknown;
    for (const auto& e : entries) {
        env += (env.empty() ? "" : " ") + e;
        if (!boot_env_key_known(e.substr(0, e.find('='))))
            unknown.push_back(e.substr(0, e.find('=')));
    }
    Section e("environment");
    e.strs("entries", entries, env.empty() ? "(empty)" : env);
    std::string unknown_text;
    for (const auto& u : unknown) unknown_text += (unknown_text.empty() ? "" : " ") + u;
    e.strs("unread", unknown,
           unknown.empty() ? "" : unknown_text + " (not read by the boot manager)");
    report.push_back(e.take());
    report.push_back(settings(board));
    Section trial("trial");
    trial.str("state", trial_state(board));
    report.push_back(trial.take());

    Section ee("eeprom");
    const int byte = board.eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];
    const int slot = boot_slot_for_byte(byte);
    ee.num("boot_slot_byte", byte)
        .num("boots", slot,
             "slot " + std::to_string(slot) +
                 (byte == slot ? "" : " (the byte names no slot: slot 1 is booted first)"));
    stamp(ee, board, "image1_installed", EEPROM_SLOT1_TIMESTAMP_OFFSET);
    stamp(ee, board, "image2_installed", EEPROM_SLOT2_TIMESTAMP_OFFSET);
    report.push_back(ee.take());

    for (const FlashRegionInfo& reg : FLASH_REGIONS) {
        if (holds_images(reg.id)) report.push_back(region(board, reg));
    }
    const auto record = board.flash_read(FLASH_BOOTLOADER_VERSION_OFFSET, IMG_FIXED_HEADER_LEN);
    const bool has_record = be::load32(record.data() + 8) == IMG_KIND_BOOTLOADER;
    Section bl("bootloader");
    bl.str_or_null("version", has_record, version(be::load32(record.data() + 12)),
                   "no version record");
    report.push_back(bl.take());

    std::vector<std::uint8_t> leds;
    std::vector<std::int64_t> led_values;
    for (std::size_t i = 0; i < kLedRegisters; ++i) {
        leds.push_back(board.led_register(i));
        led_values.push_back(board.led_register(i));
    }
    Section led("led");
    const bool on = (board.led_register(LED_PRESENCE_REGISTER) & 0x30) != 0;
    led.nums("registers", led_values, hex_bytes(leds)).flag("main_led", on, on ? "on" : "off");
    report.push_back(led.take());

    Section k("keys");
    key_file(k, board, "production", PRODUCTION_KEY_PATH, builtin_production_key);
    key_file(k, board, "development", DEVELOPMENT_KEY_PATH, builtin_development_key);
    report.push_back(k.take());

    constexpr std::size_t kLogLines = 5;
    std::ifstream log(board.host_path(INSTALL_LOG_PATH));
    std::deque<std::string> last;
    for (std::string line; std::getline(log, line);) {
        last.push_back(line);
        if (last.size() > kLogLines) last.pop_front();
    }
    Section il("install_log");
    il.strs("last", {last.begin(), last.end()}, last.empty() ? "(empty)" : "");
    for (std::size_t i = 0; i < last.size(); ++i)
        il.screen("line" + std::to_string(i + 1), last[i]);
    report.push_back(il.take());
    return report;
}

void print_status_text(const std::vector<StatusSection>& report, std::FILE* to) {
    for (const auto& section : report) {
        std::fprintf(to, "%s:\n", section.name.c_str());
        for (const auto& v : section.values) {
            if (v.text.empty()) continue;
            std::fprintf(to, "  %-14s %s\n", (v.name + ":").c_str(), v.text.c_str());
        }
    }
}

}  // namespace sim
