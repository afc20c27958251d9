#include "image/install.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "security/keystore.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::array<std::uint8_t, 7> kRtc{0x59, 0x45, 0x12, 0x06, 0x05, 0x03, 0x11};
constexpr std::size_t kSignedHeaderLen = 24 + 262;  // a 2048-bit signature entry

// Signs with the test production key through the host tool, as a vendor signs images.
Bytes sign(const Bytes& image) {
    const fs::path in = fs::temp_directory_path() / ("install_test_" + std::to_string(getpid()));
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    const char* tool = std::getenv("BOOTIMG");  // builds without host tools name one
    const std::string command = (tool ? std::string(tool) : BOOTMGR_BINARY_DIR "/bin/bootimg") +
                                " sign --key " BOOTMGR_SOURCE_DIR
                                "/keys/test/test_production_key.pem " +
                                in.string() + " -o " + in.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream f(in, std::ios::binary);
    Bytes signed_image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    fs::remove(in);
    return signed_image;
}

struct Item {
    Bytes bytes, payload;
};

// KIND[:option]...: options vN (header version, default 3), s (signed), n=PAYLOAD, len=IMAGE,
// id=A.B.C.D, rec (the boot loader's version record), then changes that keep the stored CRC:
// flip=AT, cut=N, crc=XOR, set=AT=HEX. Or fill=HH*COUNT: raw bytes.
Item build(const std::string& spec, std::uint8_t seed) {
    const auto opts = split(spec, ':');
    if (opts[0].starts_with("fill=")) {
        const auto star = opts[0].find('*');
        return {Bytes(std::stoul(opts[0].substr(star + 1)),
                      std::stoul(opts[0].substr(5, 2), nullptr, 16)),
                {}};
    }
    static const std::map<std::string, std::uint32_t> kinds{
        {"app", IMG_KIND_APPLICATION}, {"boot", IMG_KIND_BOOTLOADER}, {"kernel", IMG_KIND_KERNEL},
        {"rfs", IMG_KIND_RFS},         {"dft", IMG_KIND_DFT},         {"diags", IMG_KIND_DIAGS},
        {"qorb", IMG_KIND_QORB}};
    std::map<std::string, std::string> o;
    for (const auto& opt : opts)
        o[opt.substr(0, opt.find('='))] =
            opt.find('=') == std::string::npos ? "" : opt.substr(opt.find('=') + 1);
    const int version = o.count("v1") ? 1 : o.count("v2") ? 2 : 3;
    const bool signed_ = o.count("s") != 0;
    const std::size_t header = signed_ ? kSignedHeaderLen : 12 + 4 * version;
    const std::size_t n = o.count("len") ? number_of(o["len"]) - header
                          : o.count("n") ? number_of(o["n"])
                                         : 1000;
    Item item{{}, pattern_bytes(n, seed)};
    const auto kind = kinds.count(opts[0]) ? kinds.at(opts[0]) : std::stoul(opts[0], nullptr, 0);
    item.bytes = make_image(kind, o.count("id") ? o["id"] : "1.2.3.4",
                            std::span<const std::uint8_t>(item.payload), version);
    if (o.count("rec")) {  // the installed boot loader's version lies at payload offset 0xF0
        std::copy_n(item.bytes.begin() + 4, 12, item.bytes.end() - n + 0xF4);
        fix_crc(item.bytes);
        item.payload.assign(item.bytes.end() - n, item.bytes.end());
    }
    if (signed_) item.bytes = sign(item.bytes);
    auto& b = item.bytes;
    if (o.count("flip")) b[number_of(o["flip"])] ^= 1;
    if (o.count("cut")) b.resize(b.size() - number_of(o["cut"]));
    if (o.count("crc")) be::store32(b.data(), be::load32(b.data()) ^ number_of(o["crc"]));
    const auto set = split(o["set"], '=');  // AT=HEX: bytes written from AT on
    for (std::size_t i = 0; set.size() == 2 && i < set[1].size() / 2; ++i)
        b[number_of(set[0]) + i] = std::stoul(set[1].substr(2 * i, 2), nullptr, 16);
    return item;
}

const std::map<std::string, std::uint32_t> kRegions{{"slot1", FLASH_SLOT1_OFFSET},
                                                    {"slot2", FLASH_SLOT2_OFFSET},
                                                    {"kernel", FLASH_KERNEL_OFFSET},
                                                    {"rfs", FLASH_RFS_OFFSET},
                                                    {"boot", FLASH_BOOTLOADER_OFFSET}};

// One package per row on a fresh board with its key files, installed in a child process (an
// application may be booted from the download); see data/install.tsv for the columns.
TEST(ImageInstallPackage, Table) {
    for (auto& row : read_table("tests/image/data/install.tsv")) {
        SCOPED_TRACE(row["name"]);
        sim::CreateOptions options;
        options.rtc = kRtc;
        TestBoard b(options);
        i2c_open_buses();
        mtd_fd = mtd_open();
        CRYPTO_LIB_initialize();
        imgsign_keys_present();
        install_interrupt_handler();
        std::vector<Item> items;
        Bytes package;
        for (const auto& spec : split(row["package"], ' ')) {
            items.push_back(build(spec, static_cast<std::uint8_t>(items.size() + 1)));
            package.insert(package.end(), items.back().bytes.begin(), items.back().bytes.end());
        }
        ASSERT_TRUE(b.write_file(DOWNLOAD_IMAGE_PATH, std::string(package.begin(), package.end())));
        const int slot = std::stoi(row["slot"]);
        const std::uint8_t skip = row["skip"] == "1";
        const auto install = [&] {
            b.write_file("/tmp/rc",
                         std::to_string(image_install_package(DOWNLOAD_IMAGE_PATH, skip, slot)));
        };
        std::map<std::string, Item> old;
        for (const auto& step : split(row["setup"], ' ')) {
            const auto eq = step.find('=');
            const std::string key = step.substr(0, eq),
                              value = eq == std::string::npos ? "" : step.substr(eq + 1);
            if (key == "first") b.run(install);
            if (key == "tear") b->flash_write(number_of(value), Bytes(16, 0));
            if (key == "bootslot")
                b->eeprom_write(EEPROM_BOOT_SLOT_OFFSET,
                                Bytes{static_cast<std::uint8_t>(std::stoi(value))});
            if (kRegions.count(key))
                b->flash_write(kRegions.at(key), (old[key] = build(value, 100)).bytes);
            if (key == "fault" && value == "create") {
                sim::Fault fault{sim::FaultKind::create_path};
                fault.path = QORB_IMAGE_PATH;
                b->inject(fault);
            } else if (key == "fault")
                b->inject({value.starts_with("write") ? sim::FaultKind::flash_write
                                                      : sim::FaultKind::flash_read,
                           static_cast<unsigned>(std::stoul(value.substr(value.find(':') + 1)))});
        }
        b.write_file("/tmp/rc", "-");
        sim::ConsoleScript input;
        const std::string keys = row["input"];
        for (std::size_t at = 0; at < keys.size(); ++at) {
            if (keys.compare(at, 2, "^C") == 0 || keys.compare(at, 2, "^D") == 0) {
                keys[at + 1] == 'C' ? input.interrupt() : input.nothing();
                ++at;
            } else {
                input.keys(std::string(1, keys[at]));
            }
        }
        std::map<std::uint16_t, Bytes> stamps;
        for (std::uint16_t at : {EEPROM_SLOT1_TIMESTAMP_OFFSET, EEPROM_SLOT2_TIMESTAMP_OFFSET})
            stamps[at] = b->eeprom_read(at, 7);
        const BoardRun r = b.run(install, input);
        // "-" in the table (an empty field) means the boot road never ran.
        EXPECT_EQ(b.read_file("/tmp/rc"), row["rc"].empty() ? "-" : row["rc"]);
        std::size_t from = 0;
        for (auto piece : split(row["out"], '|')) {
            for (std::size_t at; (at = piece.find("{crc#")) != std::string::npos;) {
                const Bytes& image = items[std::stoul(piece.substr(at + 5)) - 1].bytes;
                char hex[16];
                std::snprintf(hex, sizeof hex, "0x%08x", jamcrc(std::span(image).subspan(4)));
                piece.replace(at, piece.find('}', at) - at + 1, hex);
            }
            piece = unescape(piece);
            if (piece[0] == '!') {
                EXPECT_EQ(r.out.find(piece.substr(1)), std::string::npos) << piece << " in\n"
                                                                          << r.out;
            } else {
                const auto at = r.out.find(piece, from);
                EXPECT_NE(at, std::string::npos) << piece << " after " << from << " in\n" << r.out;
                from = at == std::string::npos ? from : at + piece.size();
            }
        }
        for (const auto& check : split(row["checks"], ' ')) {
            const auto eq = check.find('=');
            const std::string key = check.substr(0, eq), value = check.substr(eq + 1);
            const auto stamp = [&](std::uint16_t at) {
                const Bytes got = b->eeprom_read(at, 7);
                return got == Bytes(kRtc.begin(), kRtc.end()) ? "rtc"
                       : got == stamps[at]                    ? "same"
                                                              : "other";
            };
            const std::map<std::string, std::string> facts{
                {"exec", r.exec_seen() ? "yes" : "no"},
                {"erases", std::to_string(r.flash_erases)},
                {"bootslot", std::to_string(b->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0])},
                {"asked", std::to_string(count_of(r.out, "Install image as image 1 or 2"))},
                {"stamp1", stamp(EEPROM_SLOT1_TIMESTAMP_OFFSET)},
                {"stamp2", stamp(EEPROM_SLOT2_TIMESTAMP_OFFSET)}};
            if (facts.count(key)) {
                EXPECT_EQ(facts.at(key), value) << key;
                continue;
            }
            if (!kRegions.count(key) && key != "qorb") continue;
            const Bytes want = value == "erased" ? Bytes(4096, 0xFF)
                               : value == "none" ? Bytes{}
                               : value == "old"  ? old[key].bytes
                               : value.ends_with('p')
                                   ? items[std::stoul(value.substr(1)) - 1].payload
                                   : items[std::stoul(value.substr(1)) - 1].bytes;
            if (key == "qorb") {
                const auto text = b.read_file(QORB_IMAGE_PATH);
                EXPECT_EQ(text ? Bytes(text->begin(), text->end()) : Bytes{}, want);
            } else {
                EXPECT_EQ(b->flash_read(kRegions.at(key), want.size()), want) << key;
            }
        }
    }
}

TEST(InstallLog, EntriesFromTheRtc) {
    TestBoard b;
    i2c_open_buses();
    const std::pair<std::array<std::uint8_t, 7>, const char*> rows[] = {
        {kRtc, "File image installed from xmodem at 12:45:59 on 5-3-2011\n"},
        // Control bits above the BCD digits (oscillator stop, century, 12-hour) are masked.
        {{0x81, 0x82, 0xC3, 0x01, 0xC4, 0xE5, 0x09},
         "File image installed from xmodem at 03:02:01 on 4-5-209\n"}};
    std::string log;
    for (const auto& [rtc, line] : rows) {
        b->set_rtc(rtc);
        EXPECT_EQ(install_log_append("image", "xmodem"), 1);
        EXPECT_NE(b.out().find(std::string("Updating install log. ") + line), std::string::npos);
        log += line;
    }
    EXPECT_EQ(b.read_file(INSTALL_LOG_PATH), log);
}

}  // namespace
