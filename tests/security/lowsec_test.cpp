#include "security/lowsec.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "tests/support/security_fixture.h"

namespace {

const std::string QUESTION =
    "WARNING: the following test is used to determine physical presence and if completed will put "
    "the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string HIT = "Hit a key to start the test. The MB LED will blink a number of times.";
const std::string HOW_MANY = "\nHow many times did the LED blink? ";
const std::string CORRECT =
    "Correct. Physical presence established and low security mode enabled\n";
const std::string DISABLE = "Switch is in low security mode. Confirm disabling Y/n? ";
const std::string DOTS = std::string(11, '.') + HOW_MANY;

// Whether the parts appear in the text in this order.
void in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& part : parts) {
        const std::size_t found = text.find(part, at);
        ASSERT_NE(found, std::string::npos) << "no \"" << part << "\" after " << at << " in:\n"
                                            << text;
        at = found + part.size();
    }
}

// The board's random bytes decide the count: byte b < 253 gives b % 11 + 1, the rest are drawn
// again.
TEST(LowSecurity, PresenceTest) {
    const std::string wrong1 = "Incorrect. Try again (attempt 1 of 3)\n";
    const struct {
        const char* name;
        Bytes random;
        sim::ConsoleScript input;
        int result;
        std::vector<std::string> transcript;  // in order
        unsigned blinks;                      // as the board's LED saw them
        bool marker;
        bool marker_fails = false;
    } rows[] = {
        {"count 10",
         {9},
         "y 10\r",
         1,
         {QUESTION + "y\n", HIT + " \n", DOTS, "10", CORRECT},
         10,
         true},
        {"count 1", {0}, "Y 1\r", 1, {DOTS, CORRECT}, 1, true},
        {"count 11", {241}, "y 11\r", 1, {DOTS, CORRECT}, 11, true},
        {"bytes 253..255 are drawn again", {253, 255, 3}, "y 4\r", 1, {DOTS, CORRECT}, 4, true},
        {"declined", {}, "n", 0, {QUESTION + "n\n"}, 0, false},
        {"Enter declines", {}, "\r", 0, {QUESTION + "\r\n"}, 0, false},
        {"no key",
         {},
         sim::ConsoleScript().nothing(),
         0,
         {QUESTION + std::string(1, '\0') + "\n"},
         0,
         false},
        {"wrong then right", {9, 9}, "y x9\r 10\r", 1, {wrong1, HIT, CORRECT}, 20, true},
        {"text without digits is wrong", {0, 0}, "y abc\r 1\r", 1, {wrong1, CORRECT}, 2, true},
        {"break during the blinks",
         {9},
         sim::ConsoleScript("y").interrupt(),
         0,
         {QUESTION + "y\n", HIT},
         0,
         false},
        {"break before the answer is judged",
         {9},
         sim::ConsoleScript("y 1").interrupt().keys("\r"),
         0,
         {HOW_MANY},
         10,
         false},
        {"marker cannot be written",
         {0},
         "y 1\r",
         0,
         {DOTS, "ERROR creating file /tmp/lowsec\n"},
         1,
         false,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SecurityBoard board({}, row.input);
        board.sim().random().put(row.random);
        if (row.marker_fails)
            board.sim().inject(fault(sim::FaultKind::create_path, LOWSEC_MARKER_PATH));
        install_interrupt_handler();
        EXPECT_EQ(physical_presence_test(), row.result);
        const std::string out = board.out();
        in_order(out, row.transcript);
        EXPECT_EQ(board.sim().led_blinks(), row.blinks);
        EXPECT_EQ(board.exists(LOWSEC_MARKER_PATH), row.marker);
        EXPECT_EQ(lowsec_active(), row.marker);
        EXPECT_EQ(board.file(LOWSEC_MARKER_PATH), row.marker ? "tolvrine\n" : "");
        EXPECT_EQ(out.ends_with(CORRECT), row.result == 1);
        EXPECT_EQ(board.sim().random().queued(), 0u);  // every byte put was drawn
        // A declined test never touches the LED.
        EXPECT_EQ(sim::event_texts(board.events(), "led").empty(),
                  out.find(HIT) == std::string::npos);
    }
}

// On the board's clock every tick of an attempt takes the same time, blink or not, and every
// attempt shows 11 dots: the console gives nothing away. The LED rests in field 01 afterwards.
TEST(LowSecurity, PresenceTestTicksGiveNothingAway) {
    for (const int count : {1, 11}) {
        SCOPED_TRACE(count);
        SecurityBoard board({}, "y " + std::to_string(count) + "\r");
        board.sim().set_led_register(5, 0xFF);
        const std::uint8_t byte = static_cast<std::uint8_t>(count - 1);
        board.sim().random().put({&byte, 1});
        std::vector<std::uint64_t> dots;
        board.sim().set_console_tap([&](int, std::string_view text) {
            if (text == "." || text == HOW_MANY) dots.push_back(board.sim().virtual_ms());
        });
        ASSERT_EQ(physical_presence_test(), 1);
        ASSERT_EQ(dots.size(), 12u);  // 11 dots, then the question
        for (std::size_t i = 1; i < dots.size(); ++i) EXPECT_EQ(dots[i] - dots[i - 1], 2000u) << i;
        EXPECT_EQ(board.sim().led_register(5), 0xDF);  // other bits kept, field 01
        EXPECT_EQ(board.sim().led_blinks(), static_cast<unsigned>(count));
    }
}

// Each count 1..11 comes from exactly 23 of the 256 byte values; neither the clock nor anything
// but the random source moves it, and a source that cannot be read stops the test.
TEST(LowSecurity, BlinkCountIsUniformAndOnlyRandom) {
    std::set<std::vector<int>> runs;  // the same seed under three clocks: one run of counts
    for (const std::uint8_t seconds : {0x00, 0x37, 0x59}) {
        sim::CreateOptions clock;
        clock.rtc[0] = seconds;
        SecurityBoard board(clock);
        board.sim().random().seed(7);
        std::vector<int> counts(16);
        for (int& n : counts) n = presence_blink_count();
        runs.insert(counts);
        EXPECT_GT(std::set<int>(counts.begin(), counts.end()).size(), 4u);
    }
    EXPECT_EQ(runs.size(), 1u);
    SecurityBoard board;
    Bytes all(256);
    for (unsigned b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
    board.sim().random().put(all);
    std::vector<int> seen(12);
    for (int i = 0; i < 253; ++i) ++seen.at(static_cast<std::size_t>(presence_blink_count()));
    EXPECT_EQ(seen, std::vector<int>({0, 23, 23, 23, 23, 23, 23, 23, 23, 23, 23, 23}));
    board.sim().random().put(std::vector<std::uint8_t>{5});
    EXPECT_EQ(presence_blink_count(), 6);  // after the 3 bytes above 252, none of them counted
    board.sim().random().fail_with(EIO);
    board.input("y ");
    EXPECT_EQ(physical_presence_test(), 0);
    EXPECT_TRUE(board.out().ends_with(HIT + " \nERROR reading the random source: 5\n"));
    EXPECT_FALSE(lowsec_active());
}

TEST(LowSecurity, ThreeWrongAnswersResetTheBoard) {
    SecurityBoard board;
    board.sim().random().put(std::vector<std::uint8_t>{9, 9, 9});
    const BoardRun r = board.run([] { physical_presence_test(); }, "y 1\r 2\r 3\r");
    EXPECT_EQ(r.status, sim::kExitReboot);
    in_order(r.out, {"Incorrect. Try again (attempt 1 of 3)\n", HIT,
                     "Incorrect. Try again (attempt 2 of 3)\n", HIT,
                     "Incorrect. Try again (attempt 3 of 3)\nMaximum number of test failed. Board "
                     "is resetting\n"});
    EXPECT_FALSE(board.exists(LOWSEC_MARKER_PATH));
    EXPECT_EQ(r.commands(), std::vector<std::string>{"reboot"});
}

TEST(LowSecurity, DisableQuestionAndOverride) {
    const std::string note = "NOTE: Uboot low security mode override enabled\n";
    const struct {
        const char* name;
        bool override;
        sim::ConsoleScript input;
        int result;
        bool marker_after;
        bool active_after;
        std::string transcript;
    } rows[] = {
        {"Y disables", false, "Y", 1, false, false, DISABLE + "Y\n"},
        {"Enter disables", false, "\r", 1, false, false, DISABLE + "\r\n"},
        {"n keeps it", false, "n", 1, true, true, DISABLE + "n\n"},
        {"no key keeps it", false, sim::ConsoleScript().nothing(), 0, true, true,
         DISABLE + std::string(1, '\0') + "\n"},
        {"override stays on", true, "y", 1, false, true, note + DISABLE + "y\n" + note},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SecurityBoard board({}, row.input);
        if (row.override) {
            boot_settings.lowsec_authorised = 1;
        } else {
            ASSERT_EQ(lowsec_marker_set(1), 0);
        }
        EXPECT_EQ(physical_presence_test(), row.result);
        EXPECT_EQ(board.exists(LOWSEC_MARKER_PATH), row.marker_after);
        EXPECT_EQ(lowsec_active(), row.active_after);
        EXPECT_EQ(board.out(), row.transcript);
    }
    // Removing a marker that is not there is no error; one that cannot be created is reported.
    SecurityBoard board;
    EXPECT_EQ(lowsec_marker_set(0), 0);
    EXPECT_FALSE(lowsec_active());
    board.sim().inject(fault(sim::FaultKind::create_path, LOWSEC_MARKER_PATH));
    EXPECT_EQ(lowsec_marker_set(1), -1);
    EXPECT_EQ(board.out(), "ERROR creating file /tmp/lowsec\n");
}

}  // namespace
