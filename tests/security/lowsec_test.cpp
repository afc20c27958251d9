#include "security/lowsec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "tests/security/security_board.h"

namespace {

using security_test::Board;

const std::string QUESTION =
    "WARNING: the following test is used to determine physical presence and if completed will put "
    "the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string HIT = "Hit a key to start the test. The MB LED will blink a number of times.";
const std::string HOW_MANY = "\nHow many times did the LED blink? ";
const std::string CORRECT =
    "Correct. Physical presence established and low security mode enabled\n";
const std::string DISABLE = "Switch is in low security mode. Confirm disabling Y/n? ";

// Whether the parts appear in the text in this order.
bool in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& part : parts) {
        const std::size_t found = text.find(part, at);
        if (found == std::string::npos) {
            ADD_FAILURE() << "missing \"" << part << "\" after offset " << at << " in:\n" << text;
            return false;
        }
        at = found + part.size();
    }
    return true;
}

TEST(LowSecurity, PresenceTest) {
    struct Row {
        const char* name;
        std::uint8_t seconds;  // BCD seconds of the clock
        sim::ConsoleScript input;
        int result;
        std::vector<std::string> transcript;  // in order
        unsigned blinks;                      // as the board's LED saw them
        bool marker;
    };
    using Parts = std::vector<std::string>;
    const std::string dots11(11, '.');
    const std::string first_wrong = "Incorrect. Try again (attempt 1 of 3)\n";
    const Parts declined = {QUESTION + "n\n"}, quick = {dots11 + HOW_MANY, CORRECT};
    const Row rows[] = {
        {"right answer, 37 s: 10 blinks", 0x37, "y 10\r", 1,
         Parts{QUESTION + "y\n", HIT + " \n", dots11 + HOW_MANY, "10", CORRECT}, 10, true},
        {"00 s: one blink", 0x00, "Y 1\r", 1, quick, 1, true},
        {"10 s: one blink", 0x10, "y 1\r", 1, quick, 1, true},
        {"59 s: 14 blinks, 14 dots", 0x59, "y 14\r", 1,
         Parts{std::string(14, '.') + HOW_MANY, CORRECT}, 14, true},
        {"declined", 0x37, "n", 0, declined, 0, false},
        {"Enter declines", 0x37, "\r", 0, Parts{QUESTION + "\r\n"}, 0, false},
        {"no key", 0x37, sim::ConsoleScript().nothing(), 0,
         Parts{QUESTION + std::string(1, '\0') + "\n"}, 0, false},
        {"wrong then right", 0x37, "y x9\r 10\r", 1, Parts{first_wrong, HIT, CORRECT}, 20, true},
        {"text without digits is wrong", 0x01, "y abc\r 1\r", 1, Parts{first_wrong, CORRECT}, 2,
         true},
        {"break during the blinks", 0x37, sim::ConsoleScript("y").interrupt(), 0,
         Parts{QUESTION + "y\n", HIT}, 0, false},
        {"break before the answer is judged", 0x37,
         sim::ConsoleScript("y 1").interrupt().keys("\r"), 0, Parts{HOW_MANY}, 10, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board(security_test::with_clock(row.seconds), row.input);
        install_interrupt_handler();
        EXPECT_EQ(physical_presence_test(), row.result);
        const std::string out = board.out();
        in_order(out, row.transcript);
        EXPECT_EQ(board.sim().led_blinks(), row.blinks);
        EXPECT_EQ(board.exists(LOWSEC_MARKER_PATH), row.marker);
        if (row.marker) {
            EXPECT_EQ(board.file(LOWSEC_MARKER_PATH), "tolvrine\n");
            EXPECT_EQ(lowsec_active(), true);
        }
        if (row.result == 1) {
            EXPECT_EQ(out.substr(out.size() - CORRECT.size()), CORRECT);
        }
        // A declined test never touches the LED; once started, it rests in field 01.
        const bool started = out.find(HIT) != std::string::npos;
        EXPECT_EQ(sim::event_texts(board.sim().events(), "led").empty(), !started);
    }
}

// Every attempt lasts at least eleven two-second ticks, whatever the count, so the display's
// length gives nothing away; the LED rests in field 01 after the test.
TEST(LowSecurity, PresenceTestTimingAndLed) {
    Board board(security_test::with_clock(0x02), "y 2\r");
    board.sim().set_led_register(5, 0xFF);
    ASSERT_EQ(physical_presence_test(), 1);
    EXPECT_GE(board.sim().virtual_ms(), 22000u);
    EXPECT_EQ(board.sim().led_register(5), 0xDF);  // other bits kept, field 01
    EXPECT_EQ(board.sim().led_blinks(), 2u);
}

TEST(LowSecurity, ThreeWrongAnswersResetTheBoard) {
    Board board(security_test::with_clock(0x37));
    const BoardRun r = board.run([] { physical_presence_test(); }, "y 1\r 2\r 3\r");
    EXPECT_EQ(r.status, sim::kExitReboot);
    in_order(r.out, {"Incorrect. Try again (attempt 1 of 3)\n", HIT,
                     "Incorrect. Try again (attempt 2 of 3)\n", HIT,
                     "Incorrect. Try again (attempt 3 of 3)\n"
                     "Maximum number of test failed. Board is resetting\n"});
    EXPECT_FALSE(board.exists(LOWSEC_MARKER_PATH));
    EXPECT_EQ(r.commands(), std::vector<std::string>{"reboot"});
}

TEST(LowSecurity, DisableQuestion) {
    struct Row {
        const char* name;
        bool override;
        sim::ConsoleScript input;
        int result;
        bool marker_after;
        bool active_after;
        std::string transcript;
    };
    const std::string note = "NOTE: Uboot low security mode override enabled\n";
    const Row rows[] = {
        {"Y disables", false, "Y", 1, false, false, DISABLE + "Y\n"},
        {"Enter disables", false, "\r", 1, false, false, DISABLE + "\r\n"},
        {"n keeps it", false, "n", 1, true, true, DISABLE + "n\n"},
        {"no key keeps it", false, sim::ConsoleScript().nothing(), 0, true, true,
         DISABLE + std::string(1, '\0') + "\n"},
        {"override stays on", true, "y", 1, false, true, note + DISABLE + "y\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board({}, row.input);
        if (row.override) {
            boot_settings.lowsec_authorised = 1;
        } else {
            ASSERT_EQ(lowsec_marker_set(1), 0);
        }
        EXPECT_EQ(physical_presence_test(), row.result);
        EXPECT_EQ(board.out(), row.transcript);
        EXPECT_EQ(board.exists(LOWSEC_MARKER_PATH), row.marker_after);
        EXPECT_EQ(lowsec_active(), row.active_after);
    }
}

TEST(LowSecurity, ActiveAndMarker) {
    struct Row {
        const char* name;
        std::uint32_t authorised;
        bool marker;
        bool active;
        const char* output;  // of one lowsec_active call
    };
    const Row rows[] = {
        {"off", 0, false, false, ""},
        {"marker", 0, true, true, ""},
        {"override", 1, false, true, "NOTE: Uboot low security mode override enabled\n"},
        {"override and marker", 1, true, true, "NOTE: Uboot low security mode override enabled\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Board board;
        boot_settings.lowsec_authorised = row.authorised;
        if (row.marker) {
            ASSERT_EQ(lowsec_marker_set(1), 0);
        }
        EXPECT_EQ(lowsec_active(), row.active);
        EXPECT_EQ(board.out(), row.output);
    }
    // Removing a marker that is not there is no error; one that cannot be created is reported.
    Board board;
    EXPECT_EQ(lowsec_marker_set(0), 0);
    board.sim().inject(security_test::fail_creating(LOWSEC_MARKER_PATH));
    EXPECT_EQ(lowsec_marker_set(1), -1);
    EXPECT_EQ(board.out(), "ERROR creating file /tmp/lowsec\n");
    EXPECT_FALSE(lowsec_active());
}

// A test passed while the marker cannot be written does not claim the mode is on.
TEST(LowSecurity, MarkerThatCannotBeWritten) {
    Board board(security_test::with_clock(0x01), "y 1\r");
    board.sim().inject(security_test::fail_creating(LOWSEC_MARKER_PATH));
    EXPECT_EQ(physical_presence_test(), 0);
    const std::string out = board.out();
    EXPECT_EQ(out.find("Correct."), std::string::npos);
    EXPECT_NE(out.find("ERROR creating file /tmp/lowsec\n"), std::string::npos);
    EXPECT_FALSE(lowsec_active());
}

}  // namespace
