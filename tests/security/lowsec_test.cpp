#include "security/lowsec.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "tests/support/security_fixture.h"

namespace {

const std::string HIT = texts().at("HIT"), HOW = texts().at("HOW");

TABLE_TEST(PresenceTest, "tests/security/data/presence.tsv") {
    SecurityBoard board({}, console_script(row["keys"]));
    auto& source = board->random();
    row["random"] == "fail" ? source.fail_with(EIO) : source.put(hex_bytes(row["random"]));
    for (const auto& f : faults_of(row["faults"])) board->inject(f);
    board->set_led_register(5, 0xFF);
    std::vector<std::uint64_t> ticks;
    board->set_console_tap([&](int, std::string_view text) {
        if (text == "." || text == HOW) ticks.push_back(board->virtual_ms());
    });
    install_interrupt_handler();
    EXPECT_EQ(physical_presence_test(), row.num("result"));
    if (!row["ticks"].empty()) {
        ASSERT_EQ(ticks.size(), static_cast<std::size_t>(row.num("ticks")));
        for (std::size_t i = 1; i < ticks.size(); ++i)
            EXPECT_EQ(ticks[i] - ticks[i - 1], 2000u) << i;
        EXPECT_EQ(board->led_register(5), row.num("led"));
    }
    const std::string out = board.out();
    in_order(out, row["transcript"]);
    EXPECT_EQ(board->led_blinks(), static_cast<unsigned>(row.num("blinks")));
    const bool marker = row.choice("marker", {"0", "1"}) == "1";
    EXPECT_EQ(lowsec_active(), marker);
    EXPECT_EQ(board.file(LOWSEC_MARKER_PATH), marker ? "tolvrine\n" : "");
    EXPECT_EQ(out.ends_with(texts().at("CORRECT")), row["result"] == "1");
    EXPECT_EQ(board->random().queued(), 0u);  // every byte put was drawn
    EXPECT_EQ(sim::event_texts(board.events(), "led").empty(), out.find(HIT) == std::string::npos);
}

// Only the random source moves the count (rows of presence.tsv hold the byte-to-count rule): the
// same seed under three clocks gives the same counts.
TEST(LowSecurity, BlinkCountIsOnlyRandom) {
    std::set<std::vector<int>> runs;
    for (const std::uint8_t seconds : {0x00, 0x37, 0x59}) {
        sim::CreateOptions clock;
        clock.rtc[0] = seconds;
        SecurityBoard board(clock);
        board->random().seed(7);
        std::vector<int> counts(16);
        for (int& n : counts) n = presence_blink_count();
        runs.insert(counts);
        EXPECT_GT(std::set<int>(counts.begin(), counts.end()).size(), 4u);
    }
    EXPECT_EQ(runs.size(), 1u);
}

TEST(LowSecurity, ThreeWrongAnswersResetTheBoard) {
    SecurityBoard board;
    board->random().put(std::vector<std::uint8_t>{9, 9, 9});
    const BoardRun r = board.run([] { physical_presence_test(); }, "y 1\r 2\r 3\r");
    EXPECT_EQ(r.status, sim::kExitReboot);
    in_order(r.out,
             "{W1} ; {HIT} ; Incorrect. Try again (attempt 2 of 3)\\n ; {HIT} ; Incorrect. Try "
             "again (attempt 3 of 3)\\nMaximum number of test failed. Board is resetting\\n",
             texts());
    EXPECT_FALSE(board.exists(LOWSEC_MARKER_PATH));
    EXPECT_EQ(r.commands(), std::vector<std::string>{"reboot"});
}

TABLE_TEST(LowSecurityDisable, "tests/security/data/disable.tsv") {
    SecurityBoard board({}, console_script(row["keys"]));
    const auto one = [&](const char* column) { return row.choice(column, {"0", "1"}) == "1"; };
    boot_settings.lowsec_authorised = one("override") ? 1 : 0;
    if (!one("override")) {
        ASSERT_EQ(lowsec_marker_set(1), 0);
    }
    EXPECT_EQ(physical_presence_test(), row.num("result"));
    EXPECT_EQ(board.exists(LOWSEC_MARKER_PATH), one("marker"));
    EXPECT_EQ(lowsec_active(), one("active"));
    EXPECT_EQ(board.out(), fill(row["transcript"]));
}

TEST(LowSecurity, RemovingAnAbsentMarkerIsNoError) {
    SecurityBoard board;
    EXPECT_EQ(lowsec_marker_set(0), 0);
    EXPECT_FALSE(lowsec_active());
}

}  // namespace
