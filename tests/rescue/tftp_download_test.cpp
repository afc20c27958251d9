#include "rescue/tftp_download.h"

#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "sim/sim_network.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(TftpDownload, "tests/rescue/data/tftp_download.tsv") {
    TestBoard b;
    sim::SimNetwork net(b.board());
    install_interrupt_handler();
    boot_settings.break_flag = 0;
    // The client replaced by the row's attempts: "file:CODE" writes a file, "none:CODE" not.
    const auto attempts = row.list("client", ' ');
    std::size_t runs = 0;
    b->add_command("tftp", [&](sim::SimBoard&, std::string_view) {
        const std::string a = runs < attempts.size() ? attempts[runs] : "none:1";
        ++runs;
        EXPECT_FALSE(b.exists("/tmp/image")) << "removed before every attempt";
        if (a.starts_with("file")) b.write_file("/tmp/image", "not a package");
        return std::stoi(a.substr(a.find(':') + 1)) << 8;
    });
    const std::string board = row.choice("board", {"", "stale", "nolink"});
    if (board == "stale") b.write_file("/tmp/image", "an earlier download");
    if (board == "nolink") net.set_link(false);
    b.input(console_script(row["input"]));
    EXPECT_EQ(rescue_tftp_download(), 0) << "nothing here is a valid package";
    EXPECT_EQ(runs, static_cast<std::size_t>(row.num("runs")));
    EXPECT_EQ(b.exists("/tmp/image"), row.num("left") == 1);
    EXPECT_FALSE(b.exists("/user/install.log")) << "nothing was installed";
    EXPECT_EQ(b->virtual_ms(), static_cast<std::uint64_t>(row.num("ms")));
    EXPECT_EQ(b.commands(), row.list("commands"));
    EXPECT_EQ(b.out(), row["out"]);
    boot_settings.break_flag = 0;
}

}  // namespace
