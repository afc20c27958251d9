#include "boot/boot_sequence.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "board/i2c_devices.h"
#include "board/reboot.h"
#include "boot/boot_settings.h"
#include "boot/launch.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes app_image(int header_version = 1) {
    return make_image(IMG_KIND_APPLICATION, "1.2.3.4",
                      make_archive({{"home/bin/mp.elf.strip", "app", 0755}}), header_version);
}

// The slot contents a row names.
const std::map<std::string, std::function<Bytes()>> kImages = {
    {"", [] { return Bytes{}; }},
    {"app", [] { return app_image(); }},
    {"diags",
     [] {
         return make_image(IMG_KIND_DIAGS, "1.0.0.1",
                           make_archive({{"mpdiag.elf.strip", "diag", 0755}}));
     }},
    {"bad-crc",
     [] {
         auto image = app_image();
         image.back() ^= 0x01;
         return image;
     }},
    {"ext-flag", [] { return app_image(2); }},  // version 2 sets the flag in the magic
    {"huge-length",
     [] {
         Bytes h(16);
         be::store32(h.data() + 4, 0xFFFFFF00u);
         be::store32(h.data() + 8, IMG_KIND_APPLICATION);
         fix_crc(h);
         return h;
     }},
    {"negative-payload",  // a version-3 header length past the image
     [] {
         auto image = app_image(3);
         be::store16(image.data() + 22, 0xFFF0);
         fix_crc(image);
         return image;
     }},
};

TABLE_TEST(BootSequence, "tests/boot/data/boot_sequence.tsv") {
    sim::CreateOptions options;
    options.boot_slot = static_cast<std::uint8_t>(row.num("slot"));
    options.boot_env = row.list("env", ' ');
    const auto rtc = hex_bytes(row["rtc"]);
    std::copy(rtc.begin(), rtc.end(), options.rtc.begin());
    TestBoard board(options);
    board->flash_write(FLASH_SLOT1_OFFSET, kImages.at(row.key("image1", kImages))());
    board->flash_write(FLASH_SLOT2_OFFSET, kImages.at(row.key("image2", kImages))());
    const auto faults = faults_of(row["faults"]);
    const bool reboot = row.choice("op", {"boot", "reboot"}) == "reboot";
    const BoardRun r = board.run(
        [&] {
            for (const auto& fault : faults) board->inject(fault);
            reboot ? reboot_system() : boot_main();
        },
        console_script(row["input"]));
    std::string touched;
    for (const auto& op : r.flash_log) {
        const char* slot = op.offset < FLASH_SLOT2_OFFSET ? "1" : "2";
        if (touched.find(slot) == std::string::npos) touched += slot;
    }
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(r.status, row.num("status"));
    EXPECT_EQ(r.exec_seen("/bin/backtrace"), row.num("exec") == 1);
    EXPECT_EQ(touched, row["touched"]) << "flash slots read";
    EXPECT_EQ(board.read_file("/tmp/home/bin/mp.elf.strip").value_or(""), row["app"]);
    EXPECT_EQ(r.virtual_ms, static_cast<std::uint64_t>(row.num("ms")));
    EXPECT_EQ(r.commands(), row.list("commands"));
    EXPECT_EQ(r.err, row["err"]);
    EXPECT_EQ(r.out, row["out"]);
}

TEST(BootSequence, CrcAndSlotNumbers) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(image_crc_mismatch(digits, 9, 0x340BC6D9u), 0);
    EXPECT_EQ(image_crc_mismatch(digits, 9, 0xCBF43926u), 1);  // the zlib convention fails
    EXPECT_EQ(image_crc_mismatch(digits, 0, 0xFFFFFFFFu), 0);
    TestBoard board;
    for (int slot : {0, 3, -1}) EXPECT_EQ(boot_image_slot(slot), 0);
    EXPECT_EQ(board.out() + board.err(), "");
    EXPECT_FALSE(board.exists(APPLICATION_ARCHIVE));
}

}  // namespace
