// The board's own file system and its command runner (rows of tests/sim/data/): where system
// paths land, which commands run for real and which are recorded, and the break while one runs.
#include "sim/sim_commands.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(SimPaths, "tests/sim/data/path.tsv") {
    TestBoard b;
    const std::string lands = row["lands"];
    EXPECT_EQ(b->host_path(row["path"]), lands.empty() ? "" : (b.dir() / "root").string() + lands);
}

TABLE_TEST(SimCommandTexts, "tests/sim/data/rewrite.tsv") {
    TestBoard b;
    // R/ stands for the board's root. The search goes on after each replacement: the scratch
    // directory's random name can itself end in R.
    const std::string root = (b.dir() / "root").string();
    std::string runs = row["runs"];
    for (std::size_t at = 0; (at = runs.find("R/", at)) != std::string::npos; at += root.size())
        runs.replace(at, 1, root);
    EXPECT_EQ(b->rewrite_command(row["command"]), runs);
}

TABLE_TEST(SimCommands, "tests/sim/data/command.tsv") {
    TestBoard b;
    b->setenv("A", "1", 1);
    b->add_command("tftp", [](sim::SimBoard&, std::string_view) { return 7 << 8; });
    EXPECT_EQ(b->system(row["command"].c_str()), row.num("status"));
    EXPECT_EQ(b.out(), row["output"]);
    EXPECT_EQ(b.commands(), std::vector<std::string>{row["command"]});
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

TEST(SimCommands, EnvironmentNamesAndTheRebootCommand) {
    TestBoard b;
    EXPECT_EQ(b->setenv("C=D", "x", 1), -1);
    b->system("reboot");
    EXPECT_TRUE(b->reboot_requested());
}

}  // namespace
