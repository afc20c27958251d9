#include "security/presence_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "boot/boot_sequence.h"
#include "security/lowsec.h"
#include "tests/support/security_fixture.h"

namespace {

// 2026-12-09 12:00:00 plus seconds, as the RTC's BCD bytes.
std::array<std::uint8_t, 7> rtc_at(long long seconds) {
    std::tm start{};
    start.tm_year = 126;
    start.tm_mon = 11;
    start.tm_mday = 9;
    start.tm_hour = 12;
    const std::time_t t = ::timegm(&start) + static_cast<std::time_t>(seconds);
    std::tm at{};
    ::gmtime_r(&t, &at);
    const auto bcd = [](int v) { return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10)); };
    return {bcd(at.tm_sec),  bcd(at.tm_min),     bcd(at.tm_hour),      bcd(at.tm_wday),
            bcd(at.tm_mday), bcd(at.tm_mon + 1), bcd(at.tm_year % 100)};
}

// One power-up's presence test at a stopped clock: 0 or 1 as it returned, 'R' for a reset.
int presence_at(SecurityBoard& board, long long clock, const std::string& keys, std::string* out,
                const std::vector<sim::Fault>& faults = {}) {
    board->power_up();
    for (const auto& f : faults) board->inject(f);
    board->set_rtc(rtc_at(clock));
    board->random().put(Bytes(3, 0x00));  // every count is 1
    const BoardRun r = board.run(
        [&] {
            install_interrupt_handler();
            const int rc = physical_presence_test();
            board.write_file("/tmp/rc", std::to_string(rc));
        },
        console_script(keys == "-" ? "" : keys));
    if (out != nullptr) *out += r.out;
    if (r.status == sim::kExitReboot) return 'R';
    return std::stoi(board.read_file("/tmp/rc").value_or("-1"));
}

TABLE_TEST(PresenceGuardLedger, "tests/security/data/presence_guard.tsv") {
    SecurityBoard board;
    board->set_rtc_running(false);
    const std::string setup = row["setup"];
    std::vector<sim::Fault> faults;
    if (setup.starts_with("record="))
        ASSERT_TRUE(board.write_file(PRESENCE_RECORD_PATH, hex_bytes(setup.substr(7))));
    else
        faults = faults_of(setup);
    std::string out, results;
    for (const auto& step : row.list("steps")) {
        const std::string s = step.substr(step.find_first_not_of(' '));
        const std::size_t blank = s.find(' ');
        const int r =
            presence_at(board, std::stoll(s.substr(0, blank)),
                        s.substr(blank + 1, s.find_last_not_of(' ') - blank), &out, faults);
        results += (results.empty() ? "" : " ") + (r == 'R' ? std::string("R") : std::to_string(r));
    }
    EXPECT_EQ(results, row["results"]);
    in_order(out, row["out"]);
}

// A blind guesser who knows the rules: every round it breaks off, guesses and power-cycles as it
// likes, and comes back the moment the console says the lockout is over. The board grants three
// attempts a round, refuses every test in between, and the waits add up to the schedule.
TEST(PresenceGuard, BlindGuesserWaitsOutTheSchedule) {
    SecurityBoard board;
    board->set_rtc_running(false);
    long long clock = 0, waited = 0, scheduled = 0;
    for (std::uint32_t round = 1; round <= 6; ++round) {
        std::string out;
        // Break off the first attempt, power-cycle, guess twice more.
        EXPECT_EQ(presence_at(board, clock, "y 6{int}\r", &out), 0);
        EXPECT_EQ(presence_at(board, clock, "y 6\r 6\r", &out), 'R');
        EXPECT_EQ(count_of(out, "How many times did the LED blink?"), 3) << out;
        scheduled += presence_lockout_seconds(round);
        // Early returns are refused, and say how long is left.
        const long long lockout = presence_lockout_seconds(round);
        for (const long long early : {0LL, 1LL, lockout - 1}) {
            std::string refused;
            EXPECT_EQ(presence_at(board, clock + early, "-", &refused), 0);
            EXPECT_NE(refused.find("locked after failed attempts"), std::string::npos) << refused;
        }
        clock += lockout;
        waited = clock;
    }
    EXPECT_EQ(waited, scheduled);
    EXPECT_FALSE(lowsec_active());
    // And the one right answer still passes at the first attempt, with no wait after it.
    std::string out;
    EXPECT_EQ(presence_at(board, clock, "y 1\r", &out), 1);
    EXPECT_FALSE(board.exists(PRESENCE_RECORD_PATH));  // the rounds start from nothing again
}

// The schedule holds a blind guesser (each answer right with chance 1/11, three a round) to more
// than a day of lockouts on average, and an operator's first failed round to minutes.
TEST(PresenceGuard, ScheduleCostsAGuesserADay) {
    const double miss_round = std::pow(10.0 / 11.0, PRESENCE_ATTEMPTS);
    double expected = 0, reach = 1;
    for (std::uint32_t round = 1; round < 10000; ++round) {
        reach *= miss_round;  // the chance that the guesser fails this many rounds
        expected += reach * presence_lockout_seconds(round);
    }
    EXPECT_GE(expected, 24 * 3600.0);
    EXPECT_LE(presence_lockout_seconds(1), 15 * 60u);
    std::printf("expected lockout time of a blind guesser: %.1f h\n", expected / 3600);
}

}  // namespace
