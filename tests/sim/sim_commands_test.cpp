// The board's own file system and its command runner (rows of tests/sim/data/): where system
// paths land, which commands run for real and which are recorded, and the break while one runs.
#include "sim/sim_commands.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TEST(SimPaths, SystemPathsAndCommandTextsMoveIntoTheBoardRoot) {
    TestBoard b;
    const std::string root = (b.dir() / "root").string();
    for (const auto& row : read_table("tests/sim/data/path.tsv"))
        EXPECT_EQ(b->host_path(row["path"]), row["lands"].empty() ? "" : root + row["lands"])
            << row.where();
    for (const auto& row : read_table("tests/sim/data/rewrite.tsv")) {
        std::string runs = row["runs"];
        for (std::size_t at; (at = runs.find("R/")) != std::string::npos;)
            runs.replace(at, 1, root);
        EXPECT_EQ(b->rewrite_command(row["command"]), runs);
    }
}

TEST(SimCommands, RealCommandsRunInTheRootOthersAreRecordedOrHandled) {
    for (const auto& row : read_table("tests/sim/data/command.tsv")) {
        TestBoard b;
        b->setenv("A", "1", 1);
        b->add_command("tftp", [](sim::SimBoard&, std::string_view) { return 7 << 8; });
        EXPECT_EQ(b->system(row["command"].c_str()), row.num("status")) << row.where();
        EXPECT_EQ(b.out(), row["output"]) << row.where();
        EXPECT_EQ(b.commands(), std::vector<std::string>{row["command"]});
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
