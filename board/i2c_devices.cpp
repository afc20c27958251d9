#include "board/i2c_devices.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/console_io.h"
#include "platform/platform.h"

#if defined(__powerpc__)
static_assert(I2C_SLAVE == 0x0703, "I2C_SLAVE request number of the board");
#endif

int i2c_bus_fd[2] = {0, 0};

namespace {

constexpr int kDeviceBus = 1;
constexpr unsigned kWriteSettleMs = 100;  // the EEPROM and LED controller need it after a write

int bus_fd(int bus) {
    return (bus == 0 || bus == 1) ? i2c_bus_fd[bus] : -1;
}

// I2C_SLAVE takes the 7-bit address itself as the argument, not a pointer to it.
int select_device(int fd, std::uint8_t addr7) {
    if (fd <= 0) {
        errno = EBADF;
        return -1;
    }
    return platform::os().ioctl(fd, I2C_SLAVE,
                                reinterpret_cast<void*>(static_cast<std::uintptr_t>(addr7)));
}

// One register write (register address bytes then value) to a device of bus 1, then the settle
// time whether or not it worked. A short transfer counts as a failure: a caller that sees a
// non-negative count would otherwise take a half-written byte for a stored one.
int write_device_register(std::uint8_t addr7, const std::uint8_t* message, int length,
                          const char* select_error, const char* write_error, int offset) {
    const int fd = bus_fd(kDeviceBus);
    const int selected = select_device(fd, addr7);
    if (selected < 0) {
        out_printf(select_error, kDeviceBus, errno);
        return selected;
    }
    ssize_t written = platform::os().write(fd, message, static_cast<std::size_t>(length));
    const int saved_errno = errno;
    platform::os().sleep_ms(kWriteSettleMs);
    if (written >= 0 && written != length) {
        written = -1;
        errno = EIO;
    } else {
        errno = saved_errno;
    }
    if (written < 0) out_printf(write_error, kDeviceBus, offset, errno);
    return static_cast<int>(written);
}

}  // namespace

int i2c_open_buses() {
    for (int bus = 0; bus < 2; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        const int fd = platform::os().open(path, O_RDWR);
        if (fd < 0) {
            out_printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
        i2c_bus_fd[bus] = fd;
    }
    return 0;
}

int i2c_close_buses() {
    for (int& fd : i2c_bus_fd) {
        if (fd > 0) {
            platform::os().close(fd);
            fd = 0;
        }
    }
    return 0;
}

int i2c_read_registers(int bus, std::uint8_t dev8, std::uint16_t offset, int length,
                       int offset_width, std::uint8_t* buf) {
    std::uint8_t offset_bytes[2];
    int width = 1;
    if (offset_width == 2) {
        offset_bytes[0] = static_cast<std::uint8_t>(offset >> 8);
        offset_bytes[1] = static_cast<std::uint8_t>(offset);
        width = 2;
    } else {
        offset_bytes[0] = static_cast<std::uint8_t>(offset);
    }

    const int fd = bus_fd(bus);
    if (select_device(fd, static_cast<std::uint8_t>(dev8 >> 1)) < 0) {
        out_printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, dev8, errno);
        return 0;
    }
    const ssize_t sent = platform::os().write(fd, offset_bytes, static_cast<std::size_t>(width));
    if (sent != width) {
        if (sent >= 0) errno = EIO;  // a short transfer reports an I/O error, not a stale errno
        out_printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", dev8, bus, offset,
                   errno);
        return 0;
    }
    if (length <= 0) return 1;
    const ssize_t got = platform::os().read(fd, buf, static_cast<std::size_t>(length));
    if (got != length) {
        if (got >= 0) errno = EIO;
        out_printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", dev8, offset, length, errno);
        return 0;
    }
    return static_cast<int>(got);
}

int eeprom_read(std::uint16_t offset, int length, std::uint8_t* buf) {
    i2c_read_registers(kDeviceBus, I2C_EEPROM_DEV8, offset, length, 2, buf);
    return buf[0];
}

int eeprom_write_byte(std::uint16_t offset, std::uint8_t value) {
    const std::uint8_t message[3] = {static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset), value};
    return write_device_register(I2C_EEPROM_DEV8 >> 1, message, 3,
                                 "I2C error when setting bus %d: %d\n",
                                 "I2C error when writing bus %d offset %d: %d\n", offset);
}

int eeprom_read_boot_slot() {
    std::uint8_t slot = 0;
    eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1, &slot);
    return slot;
}

int eeprom_write_boot_slot(std::uint8_t slot) {
    return eeprom_write_byte(EEPROM_BOOT_SLOT_OFFSET, slot);
}

int eeprom_read_serial_number(std::uint8_t* buf) {
    return eeprom_read(EEPROM_SERIAL_OFFSET, EEPROM_SERIAL_LEN, buf);
}

int rtc_read_time(std::uint8_t* buf) {
    return i2c_read_registers(kDeviceBus, I2C_RTC_DEV8, 0, RTC_TIME_LEN, 1, buf);
}

namespace {

// A BCD byte as its number, or -1 when a nibble is no decimal digit.
int from_bcd(std::uint8_t b) {
    return (b >> 4) > 9 || (b & 0x0F) > 9 ? -1 : (b >> 4) * 10 + (b & 0x0F);
}

// Days from 2000-01-01 to the first of the given month; every year of the clock's century
// divisible by four is a leap year (2000 included).
std::uint64_t days_before(int year, int month) {
    static constexpr int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const bool leap = year % 4 == 0;
    return static_cast<std::uint64_t>(year) * 365 + static_cast<std::uint64_t>((year + 3) / 4) +
           static_cast<std::uint64_t>(kBefore[month - 1]) + ((leap && month > 2) ? 1 : 0);
}

std::uint8_t to_bcd(std::uint64_t v) {
    return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
}

}  // namespace

RtcFields rtc_fields(const std::uint8_t* time) {
    return {time[0] & 0x7Fu, time[1] & 0x7Fu, time[2] & 0x3Fu,
            time[4] & 0x3Fu, time[5] & 0x1Fu, time[6]};
}

void rtc_time_text(const std::uint8_t* time, char* text) {
    const RtcFields f = rtc_fields(time);
    std::snprintf(text, RTC_TEXT_LEN, "20%02x-%02x-%02x %02x:%02x:%02x", f.year & 0xFFu, f.month,
                  f.day, f.hour, f.minute, f.second);
}

bool rtc_time_of_date(int year, int month, int day, int hour, int minute, int second,
                      std::uint8_t* time) {
    if (year < 2000 || year > 2099 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    std::uint8_t given[RTC_TIME_LEN] = {
        to_bcd(static_cast<std::uint64_t>(second)),     to_bcd(static_cast<std::uint64_t>(minute)),
        to_bcd(static_cast<std::uint64_t>(hour)),       1,
        to_bcd(static_cast<std::uint64_t>(day)),        to_bcd(static_cast<std::uint64_t>(month)),
        to_bcd(static_cast<std::uint64_t>(year - 2000))};
    std::uint64_t seconds = 0;
    if (!rtc_seconds(given, &seconds)) return false;
    // Through seconds and back: that works out the weekday, and a day past the month's end
    // comes back as another date.
    rtc_time_of_seconds(seconds, time);
    return time[4] == given[4];
}

bool rtc_seconds(const std::uint8_t* time, std::uint64_t* seconds) {
    // The same fields as the clock command and the install log read.
    const RtcFields f = rtc_fields(time);
    const int sec = from_bcd(static_cast<std::uint8_t>(f.second));
    const int min = from_bcd(static_cast<std::uint8_t>(f.minute));
    const int hour = from_bcd(static_cast<std::uint8_t>(f.hour));
    const int day = from_bcd(static_cast<std::uint8_t>(f.day));
    const int month = from_bcd(static_cast<std::uint8_t>(f.month));
    const int year = from_bcd(static_cast<std::uint8_t>(f.year));
    if (sec < 0 || sec > 59 || min < 0 || min > 59 || hour < 0 || hour > 23 || day < 1 ||
        day > 31 || month < 1 || month > 12 || year < 0)
        return false;
    const std::uint64_t days = days_before(year, month) + static_cast<std::uint64_t>(day - 1);
    *seconds =
        ((days * 24 + static_cast<std::uint64_t>(hour)) * 60 + static_cast<std::uint64_t>(min)) *
            60 +
        static_cast<std::uint64_t>(sec);
    return true;
}

void rtc_time_of_seconds(std::uint64_t seconds, std::uint8_t* time) {
    std::uint64_t days = seconds / 86400;
    const std::uint64_t in_day = seconds % 86400;
    // 2000-01-01 was a Saturday (6 of 1..7 from Monday).
    const std::uint64_t weekday = (days + 5) % 7 + 1;
    // Four-year blocks of 1461 days, each starting with a leap year, as the clock counts them.
    std::uint64_t year = days / 1461 * 4;
    days %= 1461;
    if (days >= 366) {
        year += 1 + (days - 366) / 365;
        days = (days - 366) % 365;
    }
    int month = 12;
    while (month > 1 && days < days_before(static_cast<int>(year % 100), month) -
                                   days_before(static_cast<int>(year % 100), 1))
        --month;
    days -= days_before(static_cast<int>(year % 100), month) -
            days_before(static_cast<int>(year % 100), 1);
    time[0] = to_bcd(in_day % 60);
    time[1] = to_bcd(in_day / 60 % 60);
    time[2] = to_bcd(in_day / 3600);
    time[3] = to_bcd(weekday);
    time[4] = to_bcd(days + 1);
    time[5] = to_bcd(static_cast<std::uint64_t>(month));
    time[6] = to_bcd(year % 100);
}

int rtc_read_seconds(std::uint64_t* seconds) {
    std::uint8_t t[RTC_TIME_LEN] = {};
    return rtc_read_time(t) != 0 && rtc_seconds(t, seconds) ? 1 : 0;
}

int image_timestamp_write(std::uint8_t slot, const std::uint8_t* time) {
    std::uint16_t base = 0;
    if (slot == 1) {
        base = EEPROM_SLOT1_TIMESTAMP_OFFSET;
    } else if (slot == 2) {
        base = EEPROM_SLOT2_TIMESTAMP_OFFSET;
    } else {
        return 0;
    }
    for (int i = 0; i < RTC_TIME_LEN; ++i) {
        if (eeprom_write_byte(static_cast<std::uint16_t>(base + i), time[i]) < 0) {
            out_printf("Error setting image timestamp at offset 0x%x byte %d\n", base, i);
            return 0;
        }
    }
    return 1;
}

int image_timestamp_set(std::uint8_t slot) {
    // A failed clock read must not stamp stale or random bytes into the EEPROM.
    std::uint8_t time[RTC_TIME_LEN] = {};
    if (rtc_read_time(time) == 0) return 0;
    return image_timestamp_write(slot, time);
}

int led_read_register(std::uint8_t reg, std::uint8_t* value) {
    i2c_read_registers(kDeviceBus, I2C_LED_DEV8, reg, 1, 1, value);
    return *value;
}

int led_write_register(std::uint8_t reg, std::uint8_t value) {
    const std::uint8_t message[2] = {reg, value};
    return write_device_register(I2C_LED_DEV8 >> 1, message, 2,
                                 "I2C error when setting LED on bus %d: %d\n",
                                 "I2C error when writing LED on bus %d offset %d: %d\n", reg);
}
