#include "boot/launch.h"

#include <gtest/gtest.h>

#include "boot/boot_settings.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(Launch, "tests/boot/data/launch.tsv") {
    TestBoard board;
    std::vector<ArchiveFile> files;
    for (const auto& f : row.list("files"))
        files.push_back({f.substr(0, f.find('=')), f.substr(f.find('=') + 1), 0755});
    if (!files.empty()) {
        const auto archive = make_archive(files);
        board.write_file(APPLICATION_ARCHIVE, std::string(archive.begin(), archive.end()));
    }
    if (row.num("gdb") == 1) board.write_file("/tmp/gdb", "#!/bin/sh\n");
    // The debugger image of an extraction: "MAGIC gz|empty|huge" in the slot it comes from.
    const auto debugger = row.list("debugger", ' ');
    const std::string op =
        row.choice("op", {"launch", "launch diagnostics", "extract 1", "extract 2", "extract 3"});
    const std::uint32_t source = op == "extract 2" ? FLASH_SLOT1_OFFSET : FLASH_SLOT2_OFFSET;
    if (!debugger.empty()) {
        const auto gz =
            debugger[1] == "gz" ? make_archive({{"gdb", "debugger"}}) : std::vector<std::uint8_t>{};
        std::vector<std::uint8_t> image(16);
        be::store32(image.data() + 4, debugger[1] == "huge" ? 0xFFFFFFF0u : gz.size());
        be::store32(image.data() + 8,
                    static_cast<std::uint32_t>(std::stoul(debugger[0], nullptr, 16)));
        image.insert(image.end(), gz.begin(), gz.end());
        board->flash_write(source, image);
    }
    for (const auto& fault : faults_of(row["faults"])) board->inject(fault);
    std::string result, out, err;
    std::vector<std::string> commands, argv, env;
    std::uint64_t ms = 0;
    std::vector<sim::FlashOp> reads;
    const auto settings = row.words("settings", {"shell", "gdb", "gdbserver", "memchk", "port"});
    if (op.starts_with("extract")) {
        mtd_open();
        board.clear_output();
        board.clear_events();
        board->clear_flash_log();
        result = std::to_string(extract_gdb(std::stoi(op.substr(8))));
        out = board.out(), err = board.err(), commands = board.commands(),
        reads = board->flash_log();
    } else {
        const BoardRun r = board.run([&] {
            boot_settings = BootSettings{};
            for (const auto& [key, value] : settings) {
                if (key == "shell") boot_settings.shell_enabled = 1;
                if (key == "gdb") boot_settings.gdb_enabled = 1;
                if (key == "gdbserver") boot_settings.gdbserver_enabled = 1;
                if (key == "memchk") boot_settings.memchk_enabled = 1;
                if (key == "port") boot_settings.gdb_port = std::stoi(value);
            }
            launch_application(op == "launch diagnostics" ? 1 : 0);
        });
        result = r.returned ? "returned" : std::to_string(r.status);
        out = r.out, err = r.err, commands = r.commands(), ms = r.virtual_ms;
        argv = r.texts("argv"), env = r.texts("env");
        if (!argv.empty()) argv.insert(argv.begin(), r.texts("exec").at(0));
    }
    std::string left;
    for (const std::string p : {APPLICATION_ARCHIVE, "/tmp/gdb", "/tmp/gdb.gz", "/tmp/installed"})
        if (board.exists(p)) left += (left.empty() ? "" : " ") + p;
    const std::string app = board.read_file("/tmp/home/bin/mp.elf.strip").value_or("");
    EXPECT_EQ(result, row["result"]);
    EXPECT_EQ(commands, row.list("commands"));
    EXPECT_EQ(argv, row.list("exec"));
    EXPECT_EQ(env, row.list("env"));
    EXPECT_EQ(ms, static_cast<std::uint64_t>(row.num("ms")));
    EXPECT_EQ(left, row["left"]);
    EXPECT_EQ(app, row["app"]);
    if (row["err"] != "(any)") {
        EXPECT_EQ(err, row["err"]);
    }
    EXPECT_EQ(out, row["out"]);
    for (const auto& op : reads)
        EXPECT_LE(op.offset + std::uint64_t{op.length}, source + FLASH_SLOT1_ROOM)
            << "within the slot";
}

}  // namespace
