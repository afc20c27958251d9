#include "boot/launch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "boot/boot_settings.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"

namespace {

const std::string kUnpack =
    "cd /tmp \ntar mxzf /tmp/zariximage.tar.gz \nrm /tmp/zariximage.tar.gz\n";
const std::string kApp = "/tmp/home/bin/mp.elf.strip";

std::vector<ArchiveFile> application_files(bool with_install, const std::string& env) {
    std::vector<ArchiveFile> files = {{"home/bin/mp.elf.strip", "app", 0755}};
    if (with_install)
        files.push_back({"home/bin/install.sh", "#!/bin/sh\ntouch /tmp/installed\n", 0755});
    if (!env.empty()) files.push_back({"home/bin/env-setup", env, 0644});
    return files;
}

struct Settings {
    std::uint8_t shell = 0;
    std::uint32_t gdb = 0;
    std::uint32_t gdbserver = 0;
    std::uint8_t memchk = 0;
    std::int32_t port = 1234;
};

struct LaunchCase {
    const char* name;
    Settings settings;
    std::vector<ArchiveFile> files;
    int is_diagnostics = 0;
    std::optional<sim::Fault> fault;
    bool gdb_present = false;
    // Expected:
    int status;
    std::string out;
    std::string err;
    std::vector<std::string> commands;   // after the unpack command
    std::vector<std::string> exec_argv;  // empty: no exec
    std::vector<std::string> env;        // "NAME=VALUE" handed to the exec
};

TEST(LaunchApplication, EveryModeByItsCommandsFilesAndExec) {
    using Strings = std::vector<std::string>;
    const std::string env_text = "A 1\nB";
    const std::string long_word(600, 'w');
    const Strings none, backtrace = {"0 /bin/backtrace"}, install = {"/tmp/home/bin/install.sh"},
                        reboot = {"reboot"};
    const auto plain = application_files(false, ""), with_install = application_files(true, "");
    const std::optional<sim::Fault> no_fault;
    const int R = sim::kExitReboot;
    const LaunchCase rows[] = {
        {"normal start", Settings{}, application_files(true, env_text), 0, no_fault, false, 0,
         "Running install script\n", "", install, backtrace, Strings{"A=1", "B="}},
        {"environment file without install script is not read", Settings{},
         application_files(false, env_text), 0, no_fault, false, 0, "", "", none, backtrace, none},
        {"overlong word is cut after 511", Settings{}, application_files(true, "LONG " + long_word),
         0, no_fault, false, 0, "Running install script\n", "", install, backtrace,
         Strings{"LONG=" + long_word.substr(0, 511), long_word.substr(511) + "="}},
        {"shell before the start", Settings{.shell = 1}, with_install, 0, no_fault, false, 0,
         "Running install script\nDropping into shell\nDropping out of shell\n", "",
         Strings{"/tmp/home/bin/install.sh", "/bin/sh\n"}, backtrace, none},
        {"debug server with memory checker", Settings{.gdb = 1, .gdbserver = 1, .memchk = 1}, plain,
         0, no_fault, false, R, "", "",
         Strings{"LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 " + kApp + "\n", "reboot"}, none,
         none},
        {"debug server on its port", Settings{.gdb = 1, .gdbserver = 1, .port = 4321}, plain, 0,
         no_fault, false, R, "", "", Strings{"/bin/gdbserver :4321 " + kApp + "\n", "reboot"}, none,
         none},
        {"debugger present", Settings{.gdb = 1}, plain, 0, no_fault, true, R,
         "*** Launching under GDB ***\n", "", Strings{"/tmp/gdb " + kApp, "reboot"}, none, none},
        {"debugger missing falls back to the plain start", Settings{.gdb = 1, .memchk = 1}, plain,
         0, no_fault, false, 0,
         "**** GDB mode selected but GDB not available. Please install GDB image ***\n", "", none,
         backtrace, none},
        {"memory checker", Settings{.memchk = 1}, plain, 0, no_fault, false, 0, "", "", none,
         Strings{"0 sh", "1 -c", "2 LD_PRELOAD=libduma.so.0.0.0 " + kApp + "\n"}, none},
        {"diagnostics image", Settings{},
         std::vector<ArchiveFile>{{"mpdiag.elf.strip", "diag", 0755}}, 1, no_fault, false, 0,
         "install diags image\n", "",
         Strings{"mkdir -p /tmp/home/bin", "mv /tmp/mpdiag.elf.strip " + kApp}, backtrace, none},
        {"unpack shell fails", Settings{}, with_install, 0,
         sim::Fault{sim::FaultKind::shell, 0, -1, 0, "cd /tmp"}, false, R, "",
         "Failed to gunzip Application OS.\n", reboot, none, none},
        {"exec fails", Settings{}, plain, 0, sim::Fault{sim::FaultKind::exec}, false, R, "",
         "Failed to start Application OS.\n", reboot, none, none},
    };
    for (const auto& row : rows) {
        TestBoard board;
        const auto archive = make_archive(row.files);
        ASSERT_FALSE(archive.empty()) << row.name;
        ASSERT_TRUE(
            board.write_file(APPLICATION_ARCHIVE, std::string(archive.begin(), archive.end())));
        if (row.gdb_present) {
            ASSERT_TRUE(board.write_file("/tmp/gdb", "#!/bin/sh\n"));
        }
        const BoardRun r = board.run([&] {
            if (row.fault) board->inject(*row.fault);
            boot_settings = BootSettings{};
            boot_settings.shell_enabled = row.settings.shell;
            boot_settings.gdb_enabled = row.settings.gdb;
            boot_settings.gdbserver_enabled = row.settings.gdbserver;
            boot_settings.memchk_enabled = row.settings.memchk;
            boot_settings.gdb_port = row.settings.port;
            launch_application(row.is_diagnostics);
        });
        EXPECT_FALSE(r.returned) << row.name;
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.out, row.out) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        std::vector<std::string> commands = r.commands();
        ASSERT_FALSE(commands.empty()) << row.name;
        EXPECT_EQ(commands.front(), kUnpack) << row.name;
        commands.erase(commands.begin());
        EXPECT_EQ(commands, row.commands) << row.name;
        EXPECT_EQ(r.texts("argv"), row.exec_argv) << row.name;
        if (!row.exec_argv.empty()) {
            EXPECT_EQ(r.texts("exec").at(0),
                      row.exec_argv.size() == 1 ? "/bin/backtrace" : "/bin/sh")
                << row.name;
        }
        EXPECT_EQ(r.texts("env"), row.env) << row.name;
        // The launch waits a second before it starts.
        EXPECT_GE(r.virtual_ms, 1000u) << row.name;
        if (!row.fault) {
            EXPECT_FALSE(board.exists(APPLICATION_ARCHIVE)) << row.name;
        }
        if (row.is_diagnostics) {
            EXPECT_EQ(board.read_file(kApp), "diag") << row.name;
        }
    }
}

std::vector<std::uint8_t> debugger_image(std::uint32_t magic, std::string_view data) {
    std::vector<std::uint8_t> image(16 + data.size());
    be::store32(image.data() + 4, static_cast<std::uint32_t>(data.size()));
    be::store32(image.data() + 8, magic);
    std::copy(data.begin(), data.end(), image.begin() + 16);
    return image;
}

struct ExtractCase {
    const char* name;
    int slot;
    std::uint32_t source_offset;
    std::uint32_t magic;
    bool gzip;  // the data is a real gzip stream
    std::optional<sim::Fault> fault;
    int result;
    std::string out;
    std::string err;
    std::vector<std::string> commands;
};

TEST(ExtractGdb, CopiesTheOtherSlotAndUnpacksIt) {
    const auto gz = make_archive({{"gdb", "debugger"}});
    const std::string gz_text(gz.begin(), gz.end());
    const std::string found2 = "Found GDB image 2 of length = " + std::to_string(gz.size()) + ".\n";
    const std::vector<std::string> unpack = {"gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb"};
    const std::optional<sim::Fault> no_fault;
    const std::vector<std::string> none;
    const std::string from2 = "Extracting GDB from image slot 2\n";
    const std::uint32_t app = IMG_KIND_APPLICATION;
    const ExtractCase rows[] = {
        {"slot 1 takes slot 2", 1, FLASH_SLOT2_OFFSET, app, true, no_fault, 1,
         from2 + found2 + "decompressing GDB....\n", "", unpack},
        {"slot 2 takes slot 1 (diagnostics kind)", 2, FLASH_SLOT1_OFFSET, IMG_KIND_DIAGS, true,
         no_fault, 1,
         "Extracting GDB from image slot 1\nFound GDB image 1 of length = " +
             std::to_string(gz.size()) + ".\ndecompressing GDB....\n",
         "", unpack},
        {"empty debugger", 1, FLASH_SLOT2_OFFSET, app, false, no_fault, 1,
         from2 + "Found GDB image 2 of length = 0.\ndecompressing GDB....\n", "", unpack},
        {"other slot not an application", 1, FLASH_SLOT2_OFFSET, IMG_KIND_KERNEL, true, no_fault, 0,
         from2, "Image has invalid header 0x373636f\n", none},
        {"extended flag refused", 2, FLASH_SLOT1_OFFSET, app | IMG_EXT_HEADER, true, no_fault, 0,
         "Extracting GDB from image slot 1\n", "Image has invalid header 0x8173636f\n", none},
        {"output file cannot be made", 1, FLASH_SLOT2_OFFSET, app, true,
         sim::Fault{sim::FaultKind::create_path, 0, -1, 0, "/tmp/gdb.gz"}, 0, from2,
         "Failed to open GDB output file.\n", none},
        {"no such slot", 3, 0, app, true, no_fault, 0, "", "", none},
    };
    for (const auto& row : rows) {
        TestBoard board;
        mtd_open();
        board->flash_write(row.source_offset,
                           debugger_image(row.magic, row.gzip ? gz_text : std::string()));
        if (row.fault) board->inject(*row.fault);
        board.clear_output();
        board.clear_events();
        EXPECT_EQ(extract_gdb(row.slot), row.result) << row.name;
        EXPECT_EQ(board.out(), row.out) << row.name;
        // An empty debugger makes the real gunzip complain; only our own messages are compared.
        if (row.gzip) {
            EXPECT_EQ(board.err(), row.err) << row.name;
        }
        EXPECT_EQ(board.commands(), row.commands) << row.name;
        if (row.result == 1 && row.gzip) {
            EXPECT_TRUE(board.exists("/tmp/gdb")) << row.name;
        }
        if (row.result == 1 && !row.gzip) {
            EXPECT_EQ(board.read_file("/tmp/gdb.gz"), "") << row.name;
        }
    }
}

// A length word beyond the slot is not followed into the next region.
TEST(ExtractGdb, ALengthPastTheSlotIsBounded) {
    TestBoard board;
    mtd_open();
    auto image = debugger_image(IMG_KIND_APPLICATION, "");
    be::store32(image.data() + 4, 0xFFFFFFF0u);
    board->flash_write(FLASH_SLOT1_OFFSET, image);
    board->clear_flash_log();
    extract_gdb(2);
    for (const auto& op : board->flash_log()) {
        if (op.op == 'r') {
            EXPECT_LE(std::uint64_t{op.offset} + op.length, FLASH_SLOT1_ROOM);
        }
    }
}

}  // namespace
