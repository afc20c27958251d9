#include "rescue/rescue_menu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "sim/sim_network.h"
#include "sim/sim_serial.h"
#include "tests/support/board_fixture.h"

namespace {

using testing::HasSubstr;

const std::string kMenu =
    "Please select one of the following options:\n"
    "\tT) Configure networking and tftp download an image\n"
    "\tX) Use xmodem 1K to serial download an image\n"
    "\tP) Physical presence (low security mode)\n"
    "\tR) Reboot\n"
    "\tE) Exit\n";
const std::string kPrompt = "\nOption? : ";

struct MenuCase {
    const char* name;
    sim::ConsoleScript input;
    int menus;           // times the full menu is shown
    int prompts;         // times the option prompt is shown
    const char* marker;  // a text the chosen action (or the menu) prints, or ""
};

TEST(RescueMenu, DispatchTable) {
    const std::vector<MenuCase> table{
        {"exit", "E", 1, 1, ""},
        {"lower case exit", "e", 1, 1, ""},
        {"unknown key", "qE", 1, 2, "q\nunknown option \"Q\". Please try again\n"},
        {"unknown digit", "9E", 1, 2, "unknown option \"9\". Please try again\n"},
        {"hidden U", "uE", 2, 2, "u\nUnknown option 85. Quitting\n"},
        {"hidden D", "DE", 2, 2, "D\nUnknown option 68. Quitting\n"},
        {"break at the prompt", sim::ConsoleScript().interrupt().keys("E"), 1, 2,
         "\nOption? : \n\nOption? : E\n"},
        {"empty read", sim::ConsoleScript().nothing().keys("E"), 1, 2,
         "\nOption? : \n\nOption? : E\n"},
        {"hidden M", "Mq\nE", 2, 2, "MAC address (format nn:nn:nn:nn:nn:nn): q\n"},
        {"break in M", sim::ConsoleScript("m").interrupt().keys("\nE"), 2, 2,
         "MAC address (format nn:nn:nn:nn:nn:nn): "},
        {"hidden V", "vE", 2, 2, ""},
        {"tftp left", "tq\nE", 2, 2,
         "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):\n"},
        {"tftp break", sim::ConsoleScript("t1.2").interrupt().keys("\nE"), 2, 2, "IP addr    :"},
        {"serial break", sim::ConsoleScript("x").interrupt().keys("\nE"), 2, 2,
         "Running xmodem rescue.....\n"},
        {"presence declined", "pnE", 2, 2, "Do you wish to continue y/N? n\n"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TestBoard b;
        sim::SimNetwork net(b.board());
        sim::SimSerial serial(b.board());
        install_interrupt_handler();
        boot_settings.break_flag = 0;
        b.input(row.input);
        EXPECT_EQ(rescue_menu(), 1);
        const std::string out = b.out();
        EXPECT_EQ(out.rfind("Entering Rescue Mode.\n" + kMenu + kPrompt, 0), 0u);
        EXPECT_EQ(count_of(out, "Entering Rescue Mode."), 1);
        EXPECT_EQ(count_of(out, kMenu), row.menus);
        EXPECT_EQ(count_of(out, kPrompt), row.prompts);
        EXPECT_THAT(out, HasSubstr(row.marker));
        EXPECT_EQ(out.substr(out.size() - 4, 3), kPrompt.substr(kPrompt.size() - 2) +
                                                     row.input.items().back().data.substr(
                                                         row.input.items().back().data.size() - 1))
            << "ends at the Exit key";
        EXPECT_EQ(boot_settings.break_flag, 0) << "the menu leaves no break behind";
        EXPECT_TRUE(b.commands().empty()) << "no action here runs a command";
    }
}

TEST(RescueMenu, ExitIsExact) {
    TestBoard b;
    b.input("E");
    EXPECT_EQ(rescue_menu(), 1);
    EXPECT_EQ(b.out(), "Entering Rescue Mode.\n" + kMenu + kPrompt + "E\n");
}

TEST(RescueMenu, RebootWaitsASecondAndDoesNotReturn) {
    TestBoard b;
    const BoardRun r = b.run([] { rescue_menu(); }, "R");
    EXPECT_FALSE(r.returned);
    EXPECT_EQ(r.status, sim::kExitReboot);
    EXPECT_EQ(r.commands(), std::vector<std::string>{"reboot"});
    EXPECT_GE(r.virtual_ms, 2000u) << "one second here, one in reboot_system";
    EXPECT_THAT(r.out, HasSubstr(kPrompt + "R\n"));
}

}  // namespace
