// The I2C buses and the board devices behind them: EEPROM fields, real-time clock, LED controller.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t I2C_EEPROM_DEV8 = 0xA8;
inline constexpr std::uint8_t I2C_RTC_DEV8 = 0xD0;
inline constexpr std::uint8_t I2C_LED_DEV8 = 0xC0;

inline constexpr std::uint16_t EEPROM_SERIAL_OFFSET = 13;
inline constexpr int EEPROM_SERIAL_LEN = 12;
inline constexpr std::uint16_t EEPROM_BOOT_SLOT_OFFSET = 0x100;
inline constexpr std::uint16_t EEPROM_SLOT1_TIMESTAMP_OFFSET = 0x108;
inline constexpr std::uint16_t EEPROM_SLOT2_TIMESTAMP_OFFSET = 0x110;
inline constexpr std::uint16_t EEPROM_BOOT_ENV_OFFSET = 3332;
inline constexpr int EEPROM_BOOT_ENV_LEN = 1280;
inline constexpr int RTC_TIME_LEN = 7;
inline constexpr std::uint8_t LED_PRESENCE_REGISTER = 5;

// Descriptors of "/dev/i2c-0" and "/dev/i2c-1"; 0 when not open.
extern int i2c_bus_fd[2];

int i2c_open_buses();
int i2c_close_buses();
int i2c_read_registers(int bus, std::uint8_t dev8, std::uint16_t offset, int length,
                       int offset_width, std::uint8_t* buf);
int eeprom_read(std::uint16_t offset, int length, std::uint8_t* buf);
int eeprom_write_byte(std::uint16_t offset, std::uint8_t value);
int eeprom_read_boot_slot();
int eeprom_write_boot_slot(std::uint8_t slot);
int eeprom_read_serial_number(std::uint8_t* buf);
int rtc_read_time(std::uint8_t* buf);
// The RTC's 7 BCD bytes as seconds since 2000-01-01 00:00:00, the clock's own epoch; false when a
// field is no BCD number in its range (a clock never set, a failed read). The console cannot set
// this clock, so spans measured on it are the board's own.
bool rtc_seconds(const std::uint8_t* time, std::uint64_t* seconds);
// The time fields of the RTC's 7 bytes without the oscillator and 12-hour bits, still in BCD:
// printed with %x each gives its decimal digits, as the console and the install log show them.
struct RtcFields {
    unsigned second, minute, hour, day, month, year;  // year 0..99 of the clock's century
};
RtcFields rtc_fields(const std::uint8_t* time);
// "20YY-MM-DD hh:mm:ss" into text (20 bytes with the NUL).
inline constexpr std::size_t RTC_TEXT_LEN = 20;
void rtc_time_text(const std::uint8_t* time, char* text);
// The 7 BCD bytes of a calendar time in 2000..2099, its weekday worked out; false when there is
// no such time (31 April, hour 24, year 1999).
bool rtc_time_of_date(int year, int month, int day, int hour, int minute, int second,
                      std::uint8_t* time);
// The inverse of rtc_seconds: the 7 BCD bytes of a time (weekday 1 Monday .. 7 Sunday); seconds
// past the clock's century (2099) wrap into it.
void rtc_time_of_seconds(std::uint64_t seconds, std::uint8_t* time);
// rtc_read_time and rtc_seconds in one: 1 when the clock was read and holds a time, else 0.
int rtc_read_seconds(std::uint64_t* seconds);
int image_timestamp_write(std::uint8_t slot, const std::uint8_t* time);
int image_timestamp_set(std::uint8_t slot);
int led_read_register(std::uint8_t reg, std::uint8_t* value);
int led_write_register(std::uint8_t reg, std::uint8_t value);
