#include "board/i2c_devices.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kStamp[RTC_TIME_LEN] = {1, 2, 3, 4, 5, 6, 7};

TABLE_TEST(I2cDevices, "tests/board/data/i2c_devices.tsv") {
    using Op = std::function<int(std::uint8_t*)>;
    const std::map<std::string, Op> ops = {
        {"read-slot", [](std::uint8_t* b) { return eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1, b); }},
        {"read-rtc", rtc_read_time},
        {"read-led", [](std::uint8_t* b) { return led_read_register(LED_PRESENCE_REGISTER, b); }},
        {"read-serial", eeprom_read_serial_number},
        {"boot-slot", [](std::uint8_t*) { return eeprom_read_boot_slot(); }},
        {"write-slot", [](std::uint8_t*) { return eeprom_write_boot_slot(1); }},
        {"write-led",
         [](std::uint8_t*) { return led_write_register(LED_PRESENCE_REGISTER, 0x30); }},
        {"stamp-0", [](std::uint8_t*) { return image_timestamp_write(0, kStamp); }},
        {"stamp-1", [](std::uint8_t*) { return image_timestamp_write(1, kStamp); }},
        {"stamp-2", [](std::uint8_t*) { return image_timestamp_write(2, kStamp); }},
        {"stamp-3", [](std::uint8_t*) { return image_timestamp_write(3, kStamp); }},
        {"clock-stamp-1", [](std::uint8_t*) { return image_timestamp_set(1); }},
        {"clock-stamp-2", [](std::uint8_t*) { return image_timestamp_set(2); }},
    };
    TestBoard board;
    board->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, Bytes{2});
    board->eeprom_write(EEPROM_SERIAL_OFFSET, bytes_of("AB0123456789"));
    board->eeprom_write(EEPROM_SLOT1_TIMESTAMP_OFFSET, Bytes(16, 0));
    board->set_rtc({0x30, 0x45, 0x13, 0x05, 0x24, 0x12, 0x25});
    board->set_led_register(LED_PRESENCE_REGISTER, 0x31);
    ASSERT_EQ(i2c_open_buses(), 0);
    if (row.choice("buses", {"open", "closed"}) == "closed") {
        EXPECT_EQ(i2c_close_buses(), 0);
        EXPECT_EQ(i2c_bus_fd[0] + i2c_bus_fd[1], 0);
    }
    for (const auto& fault : faults_of(row["faults"])) board->inject(fault);
    board.clear_output();
    const auto ms = board->virtual_ms();
    Bytes buf(12, 0xEE);
    const std::string op = row.key("op", ops);
    EXPECT_EQ(ops.at(op)(buf.data()), row.num("result"));
    Bytes state = buf;
    if (op.starts_with("write-slot")) state = board->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1);
    if (op.starts_with("write-led")) state = {board->led_register(LED_PRESENCE_REGISTER)};
    if (op.find("stamp") != std::string::npos) {
        state = board->eeprom_read(EEPROM_SLOT1_TIMESTAMP_OFFSET, RTC_TIME_LEN);
        const auto two = board->eeprom_read(EEPROM_SLOT2_TIMESTAMP_OFFSET, RTC_TIME_LEN);
        state.insert(state.end(), two.begin(), two.end());
    }
    if (!row["bytes"].empty()) {
        EXPECT_EQ(state, hex_bytes(row["bytes"]));
    }
    EXPECT_EQ(board->virtual_ms() - ms, static_cast<unsigned long long>(row.num("ms")));
    EXPECT_EQ(board.out(), row["out"]);
    EXPECT_EQ(i2c_close_buses(), 0);
}

TABLE_TEST(RtcSeconds, "tests/board/data/rtc_seconds.tsv") {
    std::uint64_t seconds = 0;
    const bool holds_time = rtc_seconds(hex_bytes(row["rtc"]).data(), &seconds);
    EXPECT_EQ(holds_time ? std::to_string(seconds) : "", row["seconds"]);
    if (!holds_time) return;
    // And back: the same seconds, and the weekday the calendar gives.
    std::uint8_t time[RTC_TIME_LEN] = {};
    rtc_time_of_seconds(seconds, time);
    std::uint64_t again = 0;
    ASSERT_TRUE(rtc_seconds(time, &again));
    EXPECT_EQ(again, seconds);
    // The standard calendar, not time_t, which ends in 2038 on the board's 32-bit CPU.
    using namespace std::chrono;
    const sys_days day = sys_days{2000y / January / 1} + days{seconds / 86400};
    EXPECT_EQ(time[3], weekday{day}.iso_encoding());
}

TABLE_TEST(RtcTimeOfDate, "tests/board/data/rtc_dates.tsv") {
    int f[6] = {};
    ASSERT_EQ(std::sscanf(row["date"].c_str(), "%d-%d-%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3],
                          &f[4], &f[5]),
              6);
    std::uint8_t time[RTC_TIME_LEN] = {};
    const bool exists = rtc_time_of_date(f[0], f[1], f[2], f[3], f[4], f[5], time);
    if (row["rtc"].empty()) {
        EXPECT_FALSE(exists);
        return;
    }
    ASSERT_TRUE(exists);
    EXPECT_EQ(std::vector<std::uint8_t>(time, time + RTC_TIME_LEN), hex_bytes(row["rtc"]));
    char text[RTC_TEXT_LEN];
    rtc_time_text(time, text);
    EXPECT_EQ(std::string(text), row["date"]);
}

}  // namespace
