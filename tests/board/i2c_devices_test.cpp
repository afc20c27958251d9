#include "board/i2c_devices.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/board_fixture.h"

namespace {

using sim::FaultKind;

class I2c : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(i2c_open_buses(), 0);
        board.clear_output();
    }
    void TearDown() override { i2c_close_buses(); }
    TestBoard board;
};

struct ReadCase {
    const char* name;
    std::optional<sim::Fault> fault;
    std::function<int(std::uint8_t*)> op;
    std::vector<std::uint8_t> want;  // buffer afterwards (preset 0xEE)
    std::string out;
};

TEST_F(I2c, ReadsAndTheirMessagesUnderFaults) {
    board->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::vector<std::uint8_t>{2});
    board->eeprom_write(EEPROM_SERIAL_OFFSET, bytes_of("AB0123456789"));
    board->set_rtc({0x30, 0x45, 0x13, 0x05, 0x24, 0x12, 0x25});
    board->set_led_register(5, 0x31);
    const std::vector<std::uint8_t> untouched(7, 0xEE);
    auto slot = [](std::uint8_t* b) { return eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1, b); };
    auto rtc = [](std::uint8_t* b) { return rtc_read_time(b); };
    auto led = [](std::uint8_t* b) { return led_read_register(5, b); };
    auto serial = [](std::uint8_t* b) { return eeprom_read_serial_number(b); };
    const ReadCase rows[] = {
        {"eeprom byte", std::nullopt, slot, {2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}, ""},
        {"rtc", std::nullopt, rtc, {0x30, 0x45, 0x13, 0x05, 0x24, 0x12, 0x25}, ""},
        {"led", std::nullopt, led, {0x31, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}, ""},
        {"eeprom select", sim::Fault{FaultKind::i2c_select}, slot, untouched,
         "I2C error when setting bus 1, device 0xa8: 5\n"},
        {"eeprom offset write", sim::Fault{FaultKind::i2c_write}, slot, untouched,
         "I2C error - device 0xa8 writing bus 1 offset 256: 5\n"},
        {"eeprom read", sim::Fault{FaultKind::i2c_read}, slot, untouched,
         "I2C error - device 0xa8 @ 256, 1 bytes : 5\n"},
        {"rtc short read", sim::Fault{FaultKind::i2c_short_read, 0, -1, 3}, rtc,
         std::vector<std::uint8_t>{0x30, 0x45, 0x13, 0xEE, 0xEE, 0xEE, 0xEE},
         "I2C error - device 0xd0 @ 0, 7 bytes : 5\n"},
        {"led select", sim::Fault{FaultKind::i2c_select}, led, untouched,
         "I2C error when setting bus 1, device 0xc0: 5\n"},
        {"led read", sim::Fault{FaultKind::i2c_read, 0, 0x60, 0, {}, 110}, led, untouched,
         "I2C error - device 0xc0 @ 5, 1 bytes : 110\n"},
    };
    for (const auto& row : rows) {
        board->clear_faults();
        if (row.fault) board->inject(*row.fault);
        board.clear_output();
        std::vector<std::uint8_t> buf(7, 0xEE);
        row.op(buf.data());
        EXPECT_EQ(buf, row.want) << row.name;
        EXPECT_EQ(board.out(), row.out) << row.name;
    }

    board->clear_faults();
    std::array<std::uint8_t, 12> sn{};
    EXPECT_EQ(serial(sn.data()), 'A');
    EXPECT_EQ(std::string(sn.begin(), sn.end()), "AB0123456789");
}

TEST_F(I2c, BootSlotIsZeroWhenTheEepromCannotBeRead) {
    board->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::vector<std::uint8_t>{2});
    EXPECT_EQ(eeprom_read_boot_slot(), 2);
    const sim::Fault faults[] = {{FaultKind::i2c_select},
                                 {FaultKind::i2c_write},
                                 {FaultKind::i2c_read},
                                 {FaultKind::i2c_short_read, 0, -1, 0}};
    for (const auto& fault : faults) {
        board->clear_faults();
        board->inject(fault);
        EXPECT_EQ(eeprom_read_boot_slot(), 0) << static_cast<int>(fault.kind);
    }
}

struct WriteCase {
    const char* name;
    std::optional<sim::Fault> fault;
    bool led;
    int result_sign;  // 1: count written, -1: negative
    std::string out;
};

TEST_F(I2c, RegisterWritesSettleAndReportFailures) {
    const WriteCase rows[] = {
        {"eeprom ok", std::nullopt, false, 1, ""},
        {"eeprom select", sim::Fault{FaultKind::i2c_select}, false, -1,
         "I2C error when setting bus 1: 5\n"},
        {"eeprom write", sim::Fault{FaultKind::i2c_write}, false, -1,
         "I2C error when writing bus 1 offset 256: 5\n"},
        {"led ok", std::nullopt, true, 1, ""},
        {"led select", sim::Fault{FaultKind::i2c_select}, true, -1,
         "I2C error when setting LED on bus 1: 5\n"},
        {"led write", sim::Fault{FaultKind::i2c_write}, true, -1,
         "I2C error when writing LED on bus 1 offset 5: 5\n"},
    };
    for (const auto& row : rows) {
        board->clear_faults();
        board->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::vector<std::uint8_t>{1});
        board->set_led_register(5, 0);
        if (row.fault) board->inject(*row.fault);
        board.clear_output();
        const auto before_ms = board->virtual_ms();
        const int r = row.led ? led_write_register(5, 0x30) : eeprom_write_boot_slot(2);
        EXPECT_EQ(r > 0 ? 1 : (r < 0 ? -1 : 0), row.result_sign) << row.name;
        EXPECT_EQ(board.out(), row.out) << row.name;
        const bool written = row.result_sign > 0;
        if (row.led) {
            EXPECT_EQ(board->led_register(5), written ? 0x30 : 0) << row.name;
        } else {
            EXPECT_EQ(board->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0], written ? 2 : 1)
                << row.name;
        }
        // The settle time follows every write attempt, not a failed selection.
        const bool attempted = !row.fault || row.fault->kind != FaultKind::i2c_select;
        EXPECT_EQ(board->virtual_ms() - before_ms, attempted ? 100u : 0u) << row.name;
    }
}

TEST_F(I2c, TimestampsGoToTheirSlotAndStopAtAFailedByte) {
    const std::uint8_t t[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(image_timestamp_write(1, t), 1);
    EXPECT_EQ(board->eeprom_read(0x108, 7), std::vector<std::uint8_t>(t, t + 7));

    board.clear_output();
    const auto ms = board->virtual_ms();
    EXPECT_EQ(image_timestamp_write(3, t), 0);
    EXPECT_EQ(image_timestamp_write(0, t), 0);
    EXPECT_EQ(board->virtual_ms(), ms);  // no transfer at all
    EXPECT_EQ(board.out(), "");

    board->eeprom_write(0x110, std::vector<std::uint8_t>(7, 0));
    board->inject({FaultKind::i2c_write, 5, sim::kEepromAddr7});
    EXPECT_EQ(image_timestamp_write(2, t), 0);
    EXPECT_EQ(board.out(),
              "I2C error when writing bus 1 offset 276: 5\n"
              "Error setting image timestamp at offset 0x110 byte 4\n");
    EXPECT_EQ(board->eeprom_read(0x110, 7), (std::vector<std::uint8_t>{1, 2, 3, 4, 0, 0, 0}));
}

TEST_F(I2c, TimestampSetStoresTheClockOrNothing) {
    board->set_rtc({0x59, 0x58, 0x23, 0x07, 0x31, 0x12, 0x99});
    ASSERT_EQ(image_timestamp_set(2), 1);
    EXPECT_EQ(board->eeprom_read(0x110, 7),
              (std::vector<std::uint8_t>{0x59, 0x58, 0x23, 0x07, 0x31, 0x12, 0x99}));

    board->eeprom_write(0x108, std::vector<std::uint8_t>(7, 0xAB));
    board->inject({FaultKind::i2c_read, 0, sim::kRtcAddr7});
    EXPECT_EQ(image_timestamp_set(1), 0);
    EXPECT_EQ(board->eeprom_read(0x108, 7), std::vector<std::uint8_t>(7, 0xAB));
}

TEST_F(I2c, ClosedBusesFailAtSelectionAndCloseTwiceIsHarmless) {
    EXPECT_EQ(i2c_close_buses(), 0);
    EXPECT_EQ(i2c_bus_fd[0], 0);
    EXPECT_EQ(i2c_bus_fd[1], 0);
    EXPECT_EQ(i2c_close_buses(), 0);
    std::uint8_t b = 0x77;
    EXPECT_EQ(eeprom_read_boot_slot(), 0);
    rtc_read_time(&b);
    EXPECT_EQ(eeprom_write_byte(0x100, 1), -1);
    const std::string out = board.out();
    EXPECT_NE(out.find("I2C error when setting bus 1, device 0xa8: "), std::string::npos) << out;
    EXPECT_NE(out.find("I2C error when setting bus 1, device 0xd0: "), std::string::npos) << out;
    EXPECT_NE(out.find("I2C error when setting bus 1: "), std::string::npos) << out;
    EXPECT_EQ(b, 0x77);
}

}  // namespace
