#include "rescue/rescue_menu.h"

#include <gtest/gtest.h>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "sim/sim_network.h"
#include "sim/sim_serial.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(RescueMenu, "tests/rescue/data/rescue_menu.tsv") {
    TestBoard b;
    sim::SimNetwork net(b.board());
    sim::SimSerial serial(b.board());
    install_interrupt_handler();
    boot_settings.break_flag = 0;
    std::string result, out;
    std::vector<std::string> commands;
    std::uint64_t ms = 0;
    if (row["result"] == "reboot") {  // the process ends: run it in a child
        const BoardRun r = b.run([] { rescue_menu(); }, console_script(row["input"]));
        result = r.status == sim::kExitReboot && !r.returned ? "reboot" : "?";
        out = r.out, commands = r.commands(), ms = r.virtual_ms;
    } else {
        b.input(console_script(row["input"]));
        result = std::to_string(rescue_menu());
        out = b.out(), commands = b.commands(), ms = b->virtual_ms();
    }
    EXPECT_EQ(result, row["result"]);
    EXPECT_EQ(commands, row.list("commands"));
    EXPECT_EQ(ms, static_cast<std::uint64_t>(row.num("ms")));
    EXPECT_EQ(out, row["out"]);
    EXPECT_EQ(boot_settings.break_flag, 0) << "the menu leaves no break behind";
}

}  // namespace
