// The board's own file system and its command runner (rows of sim_devices.tsv): where system
// paths land, which commands run for real and which are recorded, and the break while one runs.
#include "sim/sim_commands.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/board_fixture.h"

namespace {

const std::string kTable = BOOTMGR_SOURCE_DIR "/tests/sim/sim_devices.tsv";

TEST(SimPaths, SystemPathsAndCommandTextsMoveIntoTheBoardRoot) {
    TestBoard b;
    const std::string root = (b.dir() / "root").string();
    for (const auto& row : read_table(kTable, "path"))
        EXPECT_EQ(b->host_path(row[0]), row[1] == "-" ? "" : root + row[1]) << row[0];
    for (auto row : read_table(kTable, "rewrite")) {
        for (std::size_t at; (at = row[1].find("R/")) != std::string::npos;)
            row[1].replace(at, 1, root);
        EXPECT_EQ(b->rewrite_command(row[0]), row[1]);
    }
}

TEST(SimCommands, RealCommandsRunInTheRootOthersAreRecordedOrHandled) {
    for (const auto& row : read_table(kTable, "command")) {
        TestBoard b;
        b->setenv("A", "1", 1);
        b->add_command("tftp", [](sim::SimBoard&, std::string_view) { return 7 << 8; });
        EXPECT_EQ(b->system(row[0].c_str()), std::stoi(row[1])) << row[0];
        EXPECT_EQ(b.out(), row.size() > 2 ? row[2] : "") << row[0];
        EXPECT_EQ(b.commands(), std::vector<std::string>{row[0]});
    }
    TestBoard b;
    EXPECT_EQ(b->setenv("C=D", "x", 1), -1);
    b->system("reboot");
    EXPECT_TRUE(b->reboot_requested());
}

volatile sig_atomic_t breaks = 0;

TEST(SimCommands, TheCallerIgnoresABreakWhileACommandRuns) {
    TestBoard b;
    struct sigaction count {
    }, before{};
    count.sa_handler = [](int) { breaks = breaks + 1; };
    ::sigaction(SIGINT, &count, &before);
    EXPECT_EQ(b->system("kill -INT $PPID; sleep 0.2"), 0);
    EXPECT_EQ(breaks, 0);
    ::raise(SIGINT);  // the caller's handler is back once the command is over
    EXPECT_EQ(breaks, 1);
    ::sigaction(SIGINT, &before, nullptr);
}

}  // namespace
