#include "rescue/tftp_download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "sim/sim_network.h"
#include "tests/support/board_fixture.h"

namespace {

using testing::HasSubstr;
using testing::Not;

// What the stand-in client does on each attempt: write a file or not, and its exit code.
struct Attempt {
    bool writes;
    int code;
};

constexpr const char* kInstallStart = "Extracting images ... Do *NOT* power cycle the switch.";

class TftpTest : public testing::Test {
  protected:
    TftpTest() : net(b.board()) {
        install_interrupt_handler();
        boot_settings.break_flag = 0;
    }
    ~TftpTest() override { boot_settings.break_flag = 0; }

    // The client replaced by a script of attempts; the network emulation is not involved.
    void script_client(std::vector<Attempt> attempts) {
        attempts_ = std::move(attempts);
        b->add_command("tftp", [this](sim::SimBoard&, std::string_view) {
            const Attempt a = calls_ < attempts_.size() ? attempts_[calls_] : Attempt{false, 1};
            ++calls_;
            if (a.writes) b.write_file("/tmp/image", "not a package");
            return a.code << 8;
        });
    }
    TestBoard b;
    sim::SimNetwork net;
    std::vector<Attempt> attempts_;
    std::size_t calls_ = 0;
};

constexpr const char* kAnswers = "10.0.0.5\n\n\n10.0.0.9\nfw.img\n";

struct LeaveCase {
    const char* name;
    sim::ConsoleScript input;
};

TEST_F(TftpTest, LeavingAnyPromptRunsNothing) {
    const std::vector<LeaveCase> table{
        {"ip", "q\n"},
        {"netmask", "10.0.0.5\nq\n"},
        {"gateway", "10.0.0.5\n\nq\n"},
        {"server", "10.0.0.5\n\n\nq\n"},
        {"file name", "10.0.0.5\n\n\n10.0.0.9\nq\n"},
        {"break at server", sim::ConsoleScript("10.0.0.5\n\n\n10.0").interrupt().keys("\n")},
        {"break at file name",
         sim::ConsoleScript("10.0.0.5\n\n\n10.0.0.9\nfw.i").interrupt().keys("mg\n")},
        {"break then short name",
         sim::ConsoleScript("10.0.0.5\n\n\n10.0.0.9\n").interrupt().keys("\n")},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        boot_settings.break_flag = 0;
        b.clear_output();
        b.clear_events();
        b.input(row.input);
        EXPECT_EQ(rescue_tftp_download(), 0);
        EXPECT_TRUE(b.commands().empty());
        EXPECT_THAT(b.out(), Not(HasSubstr("DHCP"))) << "never offered here";
    }
}

struct NameCase {
    const char* typed;
    bool accepted;
};

// The checker itself has its own table; these rows show the dialogue applies it.
TEST_F(TftpTest, FileNamesThatReachTheCommandAreChecked) {
    const std::vector<NameCase> table{
        {"ab", true}, {"x", false}, {"", false}, {"fw.img;reboot", false}, {"qq", true},
    };
    script_client({});
    for (const auto& row : table) {
        SCOPED_TRACE(row.typed);
        b.clear_output();
        b.clear_events();
        // A refused name is asked again; "q" then leaves before any command runs.
        b.input(std::string("10.0.0.5\n\n\n10.0.0.9\n") + row.typed + "\nq\n");
        rescue_tftp_download();
        const std::string out = b.out();
        const bool refused = out.find("Invalid filename. Try again please\n") != std::string::npos;
        EXPECT_EQ(refused, !row.accepted);
        bool ran = false;
        for (const auto& c : b.commands()) ran |= c.rfind("tftp ", 0) == 0;
        EXPECT_EQ(ran, row.accepted);
    }
}

struct AttemptCase {
    const char* name;
    std::vector<Attempt> attempts;
    int runs;           // client runs
    int timed_out;      // "Attempt n/3 of tftp timed out" lines
    bool installed;     // the installation was started
    bool stale_before;  // a file from an earlier download lies in /tmp/image
};

TEST_F(TftpTest, AttemptsTable) {
    const std::vector<AttemptCase> table{
        {"first attempt", {{true, 0}}, 1, 0, true, false},
        {"third attempt", {{false, 1}, {false, 1}, {true, 0}}, 3, 2, true, false},
        {"never", {{false, 1}, {false, 1}, {false, 1}}, 3, 3, false, false},
        {"stale file is not a download", {{false, 1}, {false, 1}, {false, 1}}, 3, 3, false, true},
        {"partial files are not downloads", {{true, 1}, {true, 1}, {true, 1}}, 3, 3, false, false},
        {"partial then whole", {{true, 1}, {true, 0}}, 2, 1, true, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TestBoard fresh;
        sim::SimNetwork port(fresh.board());
        calls_ = 0;
        attempts_ = row.attempts;
        fresh->add_command("tftp", [&](sim::SimBoard&, std::string_view) {
            const Attempt a = attempts_[calls_++];
            EXPECT_FALSE(fresh.exists("/tmp/image")) << "removed before every attempt";
            if (a.writes) fresh.write_file("/tmp/image", "not a package");
            return a.code << 8;
        });
        if (row.stale_before) fresh.write_file("/tmp/image", "an earlier download");
        fresh.input(kAnswers);
        const std::uint64_t start = fresh->virtual_ms();
        EXPECT_EQ(rescue_tftp_download(), 0) << "nothing here is a valid package";
        const std::string out = fresh.out();
        EXPECT_EQ(static_cast<int>(calls_), row.runs);
        int timed_out = 0;
        for (int n = 1; n <= 3; ++n) {
            const std::string line = "Attempt " + std::to_string(n) + "/3 of tftp timed out\n";
            if (out.find(line) != std::string::npos) ++timed_out;
        }
        EXPECT_EQ(timed_out, row.timed_out);
        EXPECT_EQ(out.find(kInstallStart) != std::string::npos, row.installed);
        EXPECT_EQ(out.find("Tftp download failed. Aborting\n") != std::string::npos,
                  !row.installed);
        EXPECT_THAT(out, HasSubstr("Installing image fw.img from TFTP server 10.0.0.9\n"));
        // 26 s of port configuration, then 3 s after every failed attempt.
        EXPECT_EQ(fresh->virtual_ms() - start, 26000u + 3000u * row.timed_out);
        if (!row.installed) {
            EXPECT_FALSE(fresh.exists("/tmp/image"));
        }
        EXPECT_FALSE(fresh.exists("/user/install.log")) << "nothing was installed";
    }
}

TEST_F(TftpTest, NoLinkMeansNoTransfer) {
    script_client({{true, 0}});
    net.set_link(false);
    b.input(kAnswers);
    EXPECT_EQ(rescue_tftp_download(), 0);
    EXPECT_THAT(b.out(), HasSubstr("Mgmt link not available. Quitting.\n"));
    EXPECT_EQ(calls_, 0u);
}

}  // namespace
