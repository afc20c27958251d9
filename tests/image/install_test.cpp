#include "image/install.h"
#include "image/install_log.h"

#include <gtest/gtest.h>

#include <map>
#include <string_view>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "image/image_kinds.h"
#include "security/keystore.h"
#include "tests/support/security_fixture.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::array<std::uint8_t, 7> kRtc{0x59, 0x45, 0x12, 0x06, 0x05, 0x03, 0x11};

// Where images go, by the names the rows use: every region of the board's map ("boot" is short
// for the boot loader's), and the file of every kind installed as a file, by the kind's name.
const std::map<std::string, std::uint32_t> kRegions = [] {
    std::map<std::string, std::uint32_t> regions;
    for (const FlashRegionInfo& r : FLASH_REGIONS)
        regions[r.id == FlashRegion::bootloader ? "boot" : r.name] = r.offset;
    return regions;
}();
const std::map<std::string, std::string> kFiles = [] {
    std::map<std::string, std::string> files;
    for (const ImageKind& k : image_kinds())
        if (k.destination == KindDestination::file) files[k.name] = k.file;
    return files;
}();
// The keys a row may use: its own, then every destination.
std::vector<std::string_view> keys_with_destinations(std::initializer_list<std::string_view> own,
                                                     bool files) {
    std::vector<std::string_view> keys(own);
    for (const auto& [name, offset] : kRegions) keys.push_back(name);
    if (files)
        for (const auto& [name, path] : kFiles) keys.push_back(name);
    return keys;
}

// One package per row on a fresh board with its key files, installed in a child process (an
// application may be booted from the download); see data/install.tsv for the columns.
TABLE_TEST(ImageInstallPackage, "tests/image/data/install.tsv") {
    sim::CreateOptions options;
    options.rtc = kRtc;
    TestBoard b(options);
    i2c_open_buses();
    mtd_fd = mtd_open();
    CRYPTO_LIB_initialize();
    imgsign_keys_present();
    install_interrupt_handler();
    std::vector<SpecImage> items;
    Bytes package;
    for (const auto& spec : split(row["package"], ' ')) {
        items.push_back(image_of(spec, static_cast<std::uint8_t>(items.size() + 1)));
        package.insert(package.end(), items.back().bytes.begin(), items.back().bytes.end());
    }
    ASSERT_TRUE(b.write_file(DOWNLOAD_IMAGE_PATH, std::string(package.begin(), package.end())));
    const int slot = std::stoi(row["slot"]);
    const std::uint8_t skip = row.choice("skip", {"0", "1"}) == "1";
    const auto install = [&] {
        b.write_file("/tmp/rc",
                     std::to_string(image_install_package(DOWNLOAD_IMAGE_PATH, skip, slot)));
    };
    std::map<std::string, SpecImage> old;
    for (const auto& [key, value] : row.words(
             "setup", keys_with_destinations({"first", "lowsec", "tear", "bootslot"}, false))) {
        if (key == "first") b.run(install);
        if (key == "lowsec") b.write_file("/tmp/lowsec", "tolvrine\n");
        if (key == "tear") b->flash_write(number_of(value), Bytes(16, 0));
        if (key == "bootslot")
            b->eeprom_write(EEPROM_BOOT_SLOT_OFFSET,
                            Bytes{static_cast<std::uint8_t>(std::stoi(value))});
        if (kRegions.count(key))
            b->flash_write(kRegions.at(key), (old[key] = image_of(value, 100)).bytes);
    }
    for (const auto& fault : faults_of(row["faults"])) b->inject(fault);
    b.write_file("/tmp/rc", "-");
    std::map<std::uint16_t, Bytes> stamps;
    for (std::uint16_t at : {EEPROM_SLOT1_TIMESTAMP_OFFSET, EEPROM_SLOT2_TIMESTAMP_OFFSET})
        stamps[at] = b->eeprom_read(at, 7);
    const BoardRun r = b.run(install, console_script(row["input"]));
    // "-" in the table (an empty field) means the boot road never ran.
    EXPECT_EQ(b.read_file("/tmp/rc"), row["rc"].empty() ? "-" : row["rc"]);
    std::map<std::string, std::string> crcs;  // {crc#N}: image N's CRC as the board computes it
    for (std::size_t i = 0; i < items.size(); ++i) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", jamcrc(std::span(items[i].bytes).subspan(4)));
        crcs["crc#" + std::to_string(i + 1)] = hex;
    }
    in_order(r.out, row["out"], crcs);
    for (const auto& [key, value] : row.words(
             "checks", keys_with_destinations(
                           {"exec", "erases", "bootslot", "asked", "stamp1", "stamp2"}, true))) {
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
        const Bytes want = value == "erased"      ? Bytes(4096, 0xFF)
                           : value == "none"      ? Bytes{}
                           : value == "old"       ? old[key].bytes
                           : value.ends_with('p') ? items[std::stoul(value.substr(1)) - 1].payload
                                                  : items[std::stoul(value.substr(1)) - 1].bytes;
        if (kFiles.count(key)) {
            const auto text = b.read_file(kFiles.at(key));
            EXPECT_EQ(text ? Bytes(text->begin(), text->end()) : Bytes{}, want);
        } else {
            EXPECT_EQ(b->flash_read(kRegions.at(key), want.size()), want) << key;
        }
    }
}

TEST(InstallLog, EntriesFromTheRtc) {
    TestBoard b;
    i2c_open_buses();
    std::string log;
    for (const auto& row : read_table("tests/image/data/install_log.tsv")) {
        const auto rtc = hex_bytes(row["rtc"]);
        b->set_rtc({rtc[0], rtc[1], rtc[2], rtc[3], rtc[4], rtc[5], rtc[6]});
        EXPECT_EQ(install_log_append("image", "xmodem"), 1);
        EXPECT_NE(b.out().find("Updating install log. " + row["line"]), std::string::npos);
        log += row["line"];
    }
    EXPECT_EQ(b.read_file(INSTALL_LOG_PATH), log);
}

}  // namespace
