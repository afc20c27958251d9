// The devices behind I2C bus 1 (EEPROM, RTC, LED controller) as the boot manager's transfers meet
// them: one table of transfers, the LED's blinks, and the clock that runs.
#include "sim/sim_i2c_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include "tests/support/board_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// One write of `message` (offset bytes, then data), one write of `offset`, one read.
struct Transfer {
    const char* name;
    const char* bus;
    unsigned addr7;
    Bytes message, offset, expected;  // expected: what the read brings back
    int error;                        // errno of a failing write, or 0
};

TEST(SimI2cDevices, WritesStoreAfterTheOffsetAndReadsFetchFromThePointer) {
    const Transfer rows[] = {
        {"eeprom low", "/dev/i2c-1", 0x54, {0x00, 0x0D, 'S', 'N'}, {0x00, 0x0D}, {'S', 'N'}, 0},
        {"eeprom 3332", "/dev/i2c-1", 0x54, {0x0D, 0x04, 'g'}, {0x0D, 0x04}, {'g'}, 0},
        {"eeprom wraps", "/dev/i2c-1", 0x54, {0x1F, 0xFF, 1, 2}, {0x00, 0x00}, {2}, 0},
        {"rtc", "/dev/i2c-1", 0x68, {0x00, 0x30, 0x59}, {0x00}, {0x30, 0x59}, 0},
        {"led runs off its end", "/dev/i2c-1", 0x60, {0x0F, 7, 8}, {0x0F}, {7, 0}, 0},
        {"nobody at 0x50", "/dev/i2c-1", 0x50, {0, 0}, {}, {}, ENXIO},
        {"bus 0 has no devices", "/dev/i2c-0", 0x54, {0, 0}, {}, {}, ENXIO},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestBoard b;
        auto& os = b.board();
        const int fd = os.open(row.bus, O_RDWR);
        ASSERT_EQ(os.ioctl(fd, sim::kI2cSlave, reinterpret_cast<void*>(std::uintptr_t{row.addr7})),
                  0);
        errno = 0;
        EXPECT_EQ(os.write(fd, row.message.data(), row.message.size()),
                  row.error ? -1 : static_cast<ssize_t>(row.message.size()));
        EXPECT_EQ(errno, row.error);
        if (row.error) continue;
        os.write(fd, row.offset.data(), row.offset.size());
        Bytes got(row.expected.size());
        EXPECT_EQ(os.read(fd, got.data(), got.size()), static_cast<ssize_t>(got.size()));
        EXPECT_EQ(got, row.expected);
        os.close(fd);
    }
    TestBoard b;
    EXPECT_EQ(b->open("/dev/i2c-2", O_RDWR), -1);
    b->eeprom().write(Bytes{0x00, 0x10, 9});
    EXPECT_EQ(b->eeprom().access_log(), (std::vector<sim::I2cAccess>{{'w', 0x10, 1}}));
}

TEST(SimLed, RegisterFiveCountsBlinksFromLitToDark) {
    const std::pair<Bytes, unsigned> rows[] = {
        {{0x10, 0x00, 0x10, 0x00, 0x10}, 2},
        {{0x10, 0x10, 0x00, 0x00}, 1},
        {{0x20, 0x30, 0x00}, 1},
        {{0xC0, 0x00}, 0},  // bits outside 5..4 are not the LED
    };
    for (const auto& [writes, blinks] : rows) {
        TestBoard b;
        for (const std::uint8_t v : writes) b->led().write(Bytes{5, v});
        EXPECT_EQ(b->led_blinks(), blinks);
        EXPECT_EQ(b->led_register(5), writes.back());
    }
}

TEST(SimRtc, RunsWithTheBoardsClockAndBetweenPowerUps) {
    using T = std::array<std::uint8_t, sim::kRtcSize>;
    struct Row {
        const char* name;
        T start;
        std::vector<unsigned> sleeps_ms;
        bool running;
        T expected;
    };
    const Row rows[] = {
        {"into a new year", {0x59, 0x59, 0x23, 3, 0x31, 0x12, 0x25}, {1000}, true,
         {0x00, 0x00, 0x00, 4, 0x01, 0x01, 0x26}},
        {"half seconds add up", {0x10, 0, 0, 1, 1, 1, 0x25}, {500, 400, 100}, true,
         {0x11, 0, 0, 3, 1, 1, 0x25}},
        {"status bits kept", {0x80, 0, 0, 1, 0x28, 0x82, 0x24}, {86400000}, true,
         {0x80, 0, 0, 4, 0x29, 0x82, 0x24}},
        {"not a date: stands", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {5000}, true,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"held", {0x10, 0, 0, 1, 1, 1, 0x25}, {5000}, false, {0x10, 0, 0, 1, 1, 1, 0x25}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestBoard b;
        b->set_rtc(row.start);
        b->set_rtc_running(row.running);
        for (const unsigned ms : row.sleeps_ms) b->sleep_ms(ms);
        EXPECT_EQ(b->rtc(), row.expected);
    }
    TestBoard b;  // five seconds of host time since the clock was last seen
    b->set_rtc({0x00, 0x00, 0x12, 1, 1, 1, 0x25});
    b->set_rtc_running(true);
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::ofstream(b.dir() / "rtc.host") << now.count() - 5200 << "\n";
    b->power_up();
    EXPECT_EQ(b->rtc()[0], 0x05);
    EXPECT_EQ(b.events().back(), (sim::Event{"power-up", "rtc 2025-01-01 12:00:05"}));
}

}  // namespace
