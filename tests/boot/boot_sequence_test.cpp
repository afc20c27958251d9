#include "boot/boot_sequence.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "board/reboot.h"
#include "boot/boot_settings.h"
#include "boot/launch.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"

namespace {

std::vector<std::uint8_t> app_archive() {
    return make_archive({{"home/bin/mp.elf.strip", "app", 0755}});
}

std::vector<std::uint8_t> good_image(std::uint32_t magic = IMG_KIND_APPLICATION,
                                     int header_version = 1) {
    return make_image(magic, "1.2.3.4", app_archive(), header_version);
}

std::vector<std::uint8_t> bad_crc_image() {
    auto image = good_image();
    image.back() ^= 0x01;
    return image;
}

// The 16 bytes of a version-1 header with the given words, CRC made good over them.
std::vector<std::uint8_t> header_only(std::uint32_t len, std::uint32_t magic) {
    std::vector<std::uint8_t> h(16);
    be::store32(h.data() + 4, len);
    be::store32(h.data() + 8, magic);
    fix_crc(h);
    return h;
}

// A version-3 header whose header length runs past the image it describes.
std::vector<std::uint8_t> negative_payload_image() {
    auto image = good_image(IMG_KIND_APPLICATION, 3);
    be::store16(image.data() + 22, 0xFFF0);
    fix_crc(image);
    return image;
}

enum class Slot { empty, good, good_diags, bad_crc, ext_flag, huge_len, negative_payload };

std::vector<std::uint8_t> slot_bytes(Slot s) {
    switch (s) {
        case Slot::good:
            return good_image();
        case Slot::good_diags:
            return make_image(IMG_KIND_DIAGS, "1.0.0.1",
                              make_archive({{"mpdiag.elf.strip", "diag", 0755}}));
        case Slot::bad_crc:
            return bad_crc_image();
        case Slot::ext_flag:
            return good_image(IMG_KIND_APPLICATION, 2);  // version 2 sets the flag in magic
        case Slot::huge_len:
            return header_only(0xFFFFFF00u, IMG_KIND_APPLICATION);
        case Slot::negative_payload:
            return negative_payload_image();
        case Slot::empty:
            break;
    }
    return {};
}

const std::string kDate = "date 010112002025.00\n";
const std::string kUnpack =
    "cd /tmp \ntar mxzf /tmp/zariximage.tar.gz \nrm /tmp/zariximage.tar.gz\n";
std::string invalid(std::uint32_t magic, int slot, int other) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Image has invalid header 0x%x. (0x673636f)\n"
                  "Image%d has invalid header... trying Image%d.\n",
                  magic, slot, other);
    return text;
}
std::string crc_failed(int slot, int other) {
    return "Image" + std::to_string(slot) + " CRC failed, trying Image" + std::to_string(other) +
           " now.\n";
}
const std::string kNoValid = "No valid application image found. Trying rescue image\n";
const std::string kBoth = "Both image1 and image2 failed.\n";

struct BootCase {
    const char* name;
    std::uint8_t boot_slot;
    Slot slot1;
    Slot slot2;
    std::vector<std::string> env;
    std::optional<sim::Fault> fault;
    // Expected:
    int status;
    std::string boot_lines;  // the "Booting image" lines on standard output, in order
    std::string err;
    std::vector<std::string> commands;  // after the date command
    bool exec;
};

TEST(BootMain, SlotChoiceFallBackAndReboot) {
    using Strings = std::vector<std::string>;
    const Strings launched = {kUnpack}, none, shell = {"shell=on"}, reboot = {"reboot"},
                  shell_reboot = {"/bin/sh\n", "reboot"};
    const std::optional<sim::Fault> no_fault;
    const sim::Fault no_archive{sim::FaultKind::create_path, 0, -1, 0, APPLICATION_ARCHIVE};
    const std::string b1 = "Booting image '1'\n", b2 = "Booting image '2'\n";
    const std::string b12 = b1 + b2, b21 = b2 + b1;
    const std::uint32_t blank = 0xFFFFFFFFu;
    const int R = sim::kExitReboot;
    const BootCase rows[] = {
        {"good slot 1", 1, Slot::good, Slot::empty, none, no_fault, 0, b1, "", launched, true},
        {"slot byte 2 boots slot 2 only", 2, Slot::empty, Slot::good, none, no_fault, 0, b2, "",
         launched, true},
        {"slot byte 0 means slot 1", 0, Slot::good, Slot::empty, none, no_fault, 0, b1, "",
         launched, true},
        {"slot byte 3 means slot 1", 3, Slot::good, Slot::empty, none, no_fault, 0, b1, "",
         launched, true},
        {"slot byte 0xFF means slot 1", 0xFF, Slot::good, Slot::empty, none, no_fault, 0, b1, "",
         launched, true},
        {"unreadable slot byte means slot 1", 2, Slot::good, Slot::empty, none,
         sim::Fault{sim::FaultKind::i2c_read, 0, sim::kEepromAddr7}, 0, b1, "", launched, true},
        {"invalid slot 1, good slot 2", 1, Slot::empty, Slot::good, none, no_fault, 0, b12,
         invalid(blank, 1, 2), launched, true},
        {"invalid slot 2, good slot 1", 2, Slot::good, Slot::empty, none, no_fault, 0, b21,
         invalid(blank, 2, 1), launched, true},
        {"bad CRC slot 1, good slot 2", 1, Slot::bad_crc, Slot::good, none, no_fault, 0, b12,
         crc_failed(1, 2), launched, true},
        {"both invalid", 1, Slot::empty, Slot::empty, none, no_fault, R, b12,
         invalid(blank, 1, 2) + kNoValid, reboot, false},
        {"bad CRC then invalid", 1, Slot::bad_crc, Slot::empty, none, no_fault, R, b12,
         crc_failed(1, 2) + kNoValid, reboot, false},
        {"invalid then bad CRC", 1, Slot::empty, Slot::bad_crc, none, no_fault, R, b12,
         invalid(blank, 1, 2) + kBoth, reboot, false},
        {"both bad CRC with shell", 1, Slot::bad_crc, Slot::bad_crc, shell, no_fault, R, b12,
         crc_failed(1, 2) + kBoth, shell_reboot, false},
        {"both invalid with shell", 2, Slot::empty, Slot::empty, shell, no_fault, R, b21,
         invalid(blank, 2, 1) + kNoValid, shell_reboot, false},
        {"extended flag is an invalid header", 1, Slot::ext_flag, Slot::good, none, no_fault, 0,
         b12, invalid(0x8173636Fu, 1, 2), launched, true},
        {"length past the slot is an invalid header", 1, Slot::huge_len, Slot::good, none, no_fault,
         0, b12, invalid(IMG_KIND_APPLICATION, 1, 2), launched, true},
        {"negative payload is an invalid header", 1, Slot::negative_payload, Slot::good, none,
         no_fault, 0, b12, invalid(IMG_KIND_APPLICATION, 1, 2), launched, true},
        {"unreadable image counts as a CRC failure", 1, Slot::good, Slot::good, none,
         sim::Fault{sim::FaultKind::flash_read, 2}, 0, b12, crc_failed(1, 2), launched, true},
        {"unreadable header counts as invalid", 1, Slot::good, Slot::good, none,
         sim::Fault{sim::FaultKind::flash_read, 1}, 0, b12, invalid(0, 1, 2), launched, true},
        {"archive cannot be created", 1, Slot::good, Slot::good, none, no_archive, R, b1,
         "Failed to open application image output file.\n", reboot, false},
        {"archive cannot be created, shell first", 1, Slot::good, Slot::good, shell, no_archive, R,
         b1, "Failed to open application image output file.\n", shell_reboot, false},
        {"diagnostics image", 1, Slot::good_diags, Slot::empty, none, no_fault, 0, b1, "",
         Strings{kUnpack, "mkdir -p /tmp/home/bin",
                 "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"},
         true},
    };
    for (const auto& row : rows) {
        sim::CreateOptions options;
        options.boot_slot = row.boot_slot;
        options.boot_env = row.env;
        TestBoard board(options);
        board->flash_write(FLASH_SLOT1_OFFSET, slot_bytes(row.slot1));
        board->flash_write(FLASH_SLOT2_OFFSET, slot_bytes(row.slot2));
        const BoardRun r = board.run([&] {
            if (row.fault) board->inject(*row.fault);
            boot_main();
        });
        EXPECT_FALSE(r.returned) << row.name;
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        std::string boot_lines;
        for (std::size_t at = r.out.find("Booting image '"); at != std::string::npos;
             at = r.out.find("Booting image '", at + 1)) {
            boot_lines += r.out.substr(at, r.out.find('\n', at) - at + 1);
        }
        EXPECT_EQ(boot_lines, row.boot_lines) << row.name << "\n" << r.out;
        auto commands = r.commands();
        ASSERT_FALSE(commands.empty()) << row.name;
        EXPECT_EQ(commands.front(), kDate) << row.name;
        commands.erase(commands.begin());
        if (row.exec) {
            ASSERT_GE(commands.size(), row.commands.size()) << row.name;
            commands.resize(row.commands.size());
        }
        EXPECT_EQ(commands, row.commands) << row.name;
        EXPECT_EQ(r.exec_seen("/bin/backtrace"), row.exec) << row.name;
    }
}

TEST(BootMain, AChosenSlotTwoNeverTouchesSlotOne) {
    sim::CreateOptions options;
    options.boot_slot = 2;
    TestBoard board(options);
    board->flash_write(FLASH_SLOT2_OFFSET, good_image());
    const BoardRun r = board.run([] { boot_main(); });
    EXPECT_TRUE(r.exec_seen("/bin/backtrace"));
    for (const auto& op : r.flash_log) {
        EXPECT_GE(op.offset, FLASH_SLOT2_OFFSET) << op.op << " " << op.offset;
    }
    // The payload reached the launcher intact: the archive's program is unpacked.
    EXPECT_EQ(board.read_file("/tmp/home/bin/mp.elf.strip"), "app");
}

struct RtcCase {
    std::array<std::uint8_t, 7> rtc;
    std::optional<sim::Fault> fault;
    std::vector<std::string> date;  // the date command, if any
};

TEST(BootMain, ClockIsSetFromTheRtcOrLeftAlone) {
    const RtcCase rows[] = {
        {{0xB0, 0x45, 0x13, 0x05, 0x24, 0x92, 0x25}, {}, {"date 122413452025.30\n"}},
        {{0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99}, {}, {"date 123123592099.59\n"}},
        {{0x00, 0x00, 0xC0, 0x00, 0xC1, 0xE1, 0x00}, {}, {"date 010100002000.00\n"}},
        {{0x00, 0x00, 0x12, 0x01, 0x01, 0x01, 0x25},
         sim::Fault{sim::FaultKind::i2c_read, 0, sim::kRtcAddr7},
         {}},
    };
    for (const auto& row : rows) {
        sim::CreateOptions options;
        options.rtc = row.rtc;
        TestBoard board(options);
        board->flash_write(FLASH_SLOT1_OFFSET, good_image());
        const BoardRun r = board.run([&] {
            if (row.fault) board->inject(*row.fault);
            boot_main();
        });
        std::vector<std::string> dates;
        for (const auto& c : r.commands()) {
            if (c.rfind("date", 0) == 0) dates.push_back(c);
        }
        EXPECT_EQ(dates, row.date);
        EXPECT_TRUE(r.exec_seen("/bin/backtrace"));
    }
}

TEST(BootMain, DebugModesOnTheBootPath) {
    struct Row {
        const char* name;
        std::vector<std::string> env;
        std::string expect_command;  // a command that must appear
        bool extracted;              // the debugger was taken from the other slot
        std::string keys;            // answers to the network set-up
    };
    const Row rows[] = {
        {"gdb extracts from the other slot", {"gdb=on"}, "gunzip /tmp/gdb.gz", true, ""},
        {"gdbserver does not extract",
         {"gdbserver=on"},
         "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n",
         false,
         "10.1.2.3\n255.255.255.0\n\n"},
    };
    for (const auto& row : rows) {
        sim::CreateOptions options;
        options.boot_env = row.env;
        TestBoard board(options);
        board->flash_write(FLASH_SLOT1_OFFSET, good_image());
        board->flash_write(FLASH_SLOT2_OFFSET, good_image());
        const BoardRun r = board.run([] { boot_main(); }, row.keys);
        const auto commands = r.commands();
        EXPECT_NE(std::find(commands.begin(), commands.end(), row.expect_command), commands.end())
            << row.name << " status " << r.status << "\n"
            << r.out << r.err;
        EXPECT_EQ(r.out.find("Extracting GDB from image slot 2\n") != std::string::npos,
                  row.extracted)
            << row.name << r.out;
    }
}

TEST(RebootSystem, SleepsRunsRebootAndReportsAShellFailure) {
    struct Row {
        std::optional<sim::Fault> fault;
        int status;
        std::string err;
    };
    const Row rows[] = {
        {{}, sim::kExitReboot, ""},
        {sim::Fault{sim::FaultKind::shell, 0, -1, 0, "reboot"}, 0,
         "System reboot failed, please power-cycle.\n"},
    };
    for (const auto& row : rows) {
        TestBoard board;
        const BoardRun r = board.run([&] {
            if (row.fault) board->inject(*row.fault);
            reboot_system();
        });
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.commands(), std::vector<std::string>{"reboot"});
        EXPECT_EQ(r.virtual_ms, 1000u);
    }
}

TEST(ImageCrcMismatch, ComparesTheRegisterWithTheStoredWord) {
    const std::string digits = "123456789";
    const auto* p = reinterpret_cast<const std::uint8_t*>(digits.data());
    EXPECT_EQ(image_crc_mismatch(p, 9, 0x340BC6D9u), 0);
    EXPECT_EQ(image_crc_mismatch(p, 9, 0xCBF43926u), 1);  // the zlib convention fails
    EXPECT_EQ(image_crc_mismatch(p, 0, 0xFFFFFFFFu), 0);
}

TEST(BootImageSlot, OtherSlotNumbersReturnAtOnce) {
    TestBoard board;
    for (int slot : {0, 3, -1}) {
        EXPECT_EQ(boot_image_slot(slot), 0);
    }
    EXPECT_EQ(board.out(), "");
    EXPECT_EQ(board.err(), "");
    EXPECT_FALSE(board.exists(APPLICATION_ARCHIVE));
}

}  // namespace
