// The board's own file system and its command runner: where system paths land, which commands run
// for real and which are recorded, and the break while a command runs.
#include "sim/sim_commands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/support/board_fixture.h"

namespace {

TEST(SimPaths, SystemPathsAndCommandTextsMoveIntoTheBoardRoot) {
    TestBoard b;
    const std::string r = (b.dir() / "root").string();
    const std::pair<const char*, std::string> paths[] = {
        {"/tmp/zariximage.tar.gz", r + "/tmp/zariximage.tar.gz"}, {"/user", r + "/user"},
        {"/dev/ttyS0", r + "/dev/ttyS0"}, {"/etc/passwd", ""}, {"/tmpx/a", ""},
        {"/tmp/../etc/passwd", ""}, {"tmp/relative", ""}, {"", ""}};
    for (const auto& [path, host] : paths) EXPECT_EQ(b->host_path(path), host) << path;
    const std::pair<std::string, std::string> commands[] = {
        {"cd /tmp \nrm /tmp/a.gz\n", "cd " + r + "/tmp \nrm " + r + "/tmp/a.gz\n"},
        {"cp /user/a '/tmp/b'", "cp " + r + "/user/a '" + r + "/tmp/b'"},
        {"X=/tmp/y sh", "X=" + r + "/tmp/y sh"},
        {"echo >/dev/null 2>/dev/null", "echo >/dev/null 2>/dev/null"},
        {"ls /tmpfile /usr/bin a/tmp/b", "ls /tmpfile /usr/bin a/tmp/b"},
    };
    for (const auto& [text, moved] : commands) EXPECT_EQ(b->rewrite_command(text), moved);
}

TEST(SimCommands, RealCommandsRunInTheRootOthersAreRecordedOrHandled) {
    struct Row {
        const char* command;
        int status;
        const char* out;
    };
    const Row rows[] = {
        {"mkdir -p /tmp/d && echo hi > /tmp/d/f && cat /tmp/d/f", 0, "hi\n"},
        {"echo $BOARD_ROOT $A | grep -c '/root 1$'", 0, "1\n"},
        {"date 122413452025.30\n", 0, ""},
        {"/bin/gdbserver :1234 /tmp/x\n", 0, ""},
        {"/bin/sh\n", 0, ""},
        {"exit 3", 3 << 8, ""},
        {"kill -INT $$", SIGINT, ""},  // the command gets the default handling of a break
        {"tftp -g -r f -l /tmp/image 1.2.3.4\n", 7 << 8, ""},
    };
    for (const auto& row : rows) {
        TestBoard b;
        b->setenv("A", "1", 1);
        b->add_command("tftp", [](sim::SimBoard&, std::string_view) { return 7 << 8; });
        EXPECT_EQ(b->system(row.command), row.status) << row.command;
        EXPECT_EQ(b.out(), row.out) << row.command;
        EXPECT_EQ(b.commands(), std::vector<std::string>{row.command});
    }
    TestBoard b;
    EXPECT_EQ(b->setenv("C=D", "x", 1), -1);
    EXPECT_FALSE(b->reboot_requested());
    b->system("reboot");
    EXPECT_TRUE(b->reboot_requested());
}

volatile sig_atomic_t breaks = 0;

TEST(SimCommands, TheCallerIgnoresABreakWhileACommandRuns) {
    TestBoard b;
    struct sigaction count {}, before{};
    count.sa_handler = [](int) { breaks = breaks + 1; };
    ::sigaction(SIGINT, &count, &before);
    EXPECT_EQ(b->system("kill -INT $PPID; sleep 0.2"), 0);
    EXPECT_EQ(breaks, 0);
    ::raise(SIGINT);  // the caller's handler is back once the command is over
    EXPECT_EQ(breaks, 1);
    ::sigaction(SIGINT, &before, nullptr);
}

}  // namespace
