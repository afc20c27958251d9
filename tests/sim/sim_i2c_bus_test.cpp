// The devices behind I2C bus 1 (EEPROM, RTC, LED controller) as the boot manager's transfers meet
// them, the LED's blinks and the clock that runs: rows of tests/sim/data/.
#include "sim/sim_i2c_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(SimI2cDevices, "tests/sim/data/i2c.tsv") {
    TestBoard b;
    auto& os = b.board();
    const int fd = os.open(row["bus"].c_str(), O_RDWR);
    const auto addr = static_cast<std::uintptr_t>(std::stoul(row["address"], nullptr, 16));
    ASSERT_EQ(os.ioctl(fd, sim::kI2cSlave, reinterpret_cast<void*>(addr)), 0);
    const auto message = hex_bytes(row["write"]), offset = hex_bytes(row["offset"]);
    const auto expected = hex_bytes(row["read"]);
    const int error = static_cast<int>(row.num("errno"));
    errno = 0;
    EXPECT_EQ(os.write(fd, message.data(), message.size()),
              error ? -1 : static_cast<ssize_t>(message.size()));
    EXPECT_EQ(errno, error);
    os.write(fd, offset.data(), offset.size());
    std::vector<std::uint8_t> got(expected.size());
    EXPECT_EQ(error ? 0 : os.read(fd, got.data(), got.size()), ssize_t(got.size()));
    EXPECT_EQ(got, expected);
}

std::array<std::uint8_t, sim::kRtcSize> bcd(const std::string& text) {
    std::array<std::uint8_t, sim::kRtcSize> t{};
    const auto b = hex_bytes(text);
    std::copy(b.begin(), b.end(), t.begin());
    return t;
}

TABLE_TEST(SimRtc, "tests/sim/data/rtc.tsv") {
    TestBoard b;
    b->set_rtc(bcd(row["start"]));
    b->set_rtc_running(row["running"] == "1");
    std::istringstream sleeps(row["sleeps"]);
    for (unsigned ms; sleeps >> ms;) b->sleep_ms(ms);
    EXPECT_EQ(b->rtc(), bcd(row["after"]));
}

TEST(SimI2cDevices, NoThirdBusAndTheEepromAccessLog) {
    TestBoard b;
    EXPECT_EQ(b->open("/dev/i2c-2", O_RDWR), -1);
    b->eeprom().write(hex_bytes("00 10 09"));
    EXPECT_EQ(b->eeprom().access_log(), (std::vector<sim::I2cAccess>{{'w', 0x10, 1}}));
}

TABLE_TEST(SimLed, "tests/sim/data/led.tsv") {
    TestBoard led;
    for (const std::uint8_t v : hex_bytes(row["values"]))
        led->led().write(std::vector<std::uint8_t>{5, v});
    EXPECT_EQ(led->led_blinks(), row.num("blinks"));
}

TEST(SimRtc, RunsOnBetweenPowerUpsWithHostTime) {
    TestBoard b;  // five seconds of host time since the clock was last seen
    b->set_rtc(bcd("00 00 12 01 01 01 25"));
    b->set_rtc_running(true);
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::ofstream(b.dir() / "rtc.host") << now.count() - 5200 << "\n";
    b->power_up();
    EXPECT_EQ(b.events().back(), (sim::Event{"power-up", "rtc 2025-01-01 12:00:05"}));
}

}  // namespace
