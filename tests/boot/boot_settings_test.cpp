#include "boot/boot_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "tests/support/board_fixture.h"

namespace {

struct Expect {
    std::uint32_t gdb = 0;
    std::uint32_t gdbserver = 0;
    std::int32_t port = 1234;
    std::uint8_t shell = 0;
    std::uint8_t memchk = 0;
    std::uint32_t rescue = 0;
    std::uint32_t lowsec = 0;
};

struct SettingsCase {
    const char* name;
    std::vector<std::string> env;
    Expect want;
};

class BootSettingsParse : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(i2c_open_buses(), 0); }
    void TearDown() override { i2c_close_buses(); }

    // Writes the raw 1280-byte window and parses it into a fresh record.
    BootSettings parse_window(const std::vector<std::uint8_t>& window) {
        board->eeprom_write(EEPROM_BOOT_ENV_OFFSET, window);
        boot_settings = BootSettings{};
        parse_boot_settings();
        return boot_settings;
    }
    BootSettings parse_env(const std::vector<std::string>& entries) {
        std::vector<std::uint8_t> window(EEPROM_BOOT_ENV_LEN, 0);
        std::size_t at = 0;
        for (const auto& e : entries) {
            std::copy(e.begin(), e.end(), window.begin() + static_cast<long>(at));
            at += e.size() + 1;
        }
        return parse_window(window);
    }
    TestBoard board;
};

void expect_settings(const BootSettings& s, const Expect& w, const char* name) {
    EXPECT_EQ(s.gdb_enabled, w.gdb) << name;
    EXPECT_EQ(s.gdbserver_enabled, w.gdbserver) << name;
    EXPECT_EQ(s.gdb_port, w.port) << name;
    EXPECT_EQ(s.shell_enabled, w.shell) << name;
    EXPECT_EQ(s.memchk_enabled, w.memchk) << name;
    EXPECT_EQ(s.rescue_requested, w.rescue) << name;
    EXPECT_EQ(s.lowsec_authorised, w.lowsec) << name;
    EXPECT_EQ(s.second_attempt, 0) << name;
}

TEST_F(BootSettingsParse, KeysAndValuesAsTheBootLoaderWritesThem) {
    const SettingsCase rows[] = {
        {"empty", {}, {}},
        {"gdbserver alone", {"gdbserver=on"}, {.gdb = 1, .gdbserver = 1}},
        {"gdb on, gdbserver off", {"gdb=on", "gdbserver=off"}, {.gdb = 1}},
        {"gdb off, gdbserver on", {"gdb=off", "gdbserver=on"}, {.gdb = 1, .gdbserver = 1}},
        {"online counts as on", {"shell=online"}, {.shell = 1}},
        {"ON and o do not", {"shell=ON", "memchk=o"}, {}},
        {"memchk", {"memchk=on"}, {.memchk = 1}},
        {"port", {"gdbport=4321"}, {.port = 4321}},
        {"port with blanks and sign", {"gdbport=  -17"}, {.port = -17}},
        {"port not a number", {"gdbport=abc"}, {}},
        {"port then another variable", {"gdbport=", "shell=on"}, {.shell = 1}},
        {"port out of int range", {"gdbport=99999999999"}, {}},
        {"port junk after digits", {"gdbport=80x"}, {.port = 80}},
        {"key inside another value", {"bootargs=console=ttyS0 shell=on"}, {.shell = 1}},
        {"rescue1", {"diagnostics=rescue1"}, {.rescue = 1}},
        {"Rescue", {"diagnostics=Rescue"}, {}},
        {"authorisedX", {"lowsec=authorisedX"}, {.lowsec = 1}},
        {"authorized", {"lowsec=authorized"}, {}},
        {"first occurrence counts", {"shell=off", "shell=on"}, {}},
        {"everything",
         {"gdb=on", "gdbport=2000", "shell=on", "memchk=on", "diagnostics=rescue",
          "lowsec=authorised"},
         {.gdb = 1, .port = 2000, .shell = 1, .memchk = 1, .rescue = 1, .lowsec = 1}},
    };
    for (const auto& row : rows) expect_settings(parse_env(row.env), row.want, row.name);
}

TEST_F(BootSettingsParse, WindowsWithoutTerminatorsOrWithJunkAreSafe) {
    struct RawCase {
        const char* name;
        std::vector<std::uint8_t> window;
        Expect want;
    };
    std::vector<std::uint8_t> erased(EEPROM_BOOT_ENV_LEN, 0xFF);
    std::vector<std::uint8_t> tail_key(EEPROM_BOOT_ENV_LEN, 'x');
    const std::string key = "shell=on";  // the very last bytes of the window, no terminator
    std::copy(key.begin(), key.end(), tail_key.end() - static_cast<long>(key.size()));
    std::vector<std::uint8_t> cut_key(EEPROM_BOOT_ENV_LEN, 'x');
    const std::string partial = "gdbport=12";  // a value cut by the window's end
    std::copy(partial.begin(), partial.end(), cut_key.end() - static_cast<long>(partial.size()));
    std::vector<std::uint8_t> beyond(EEPROM_BOOT_ENV_LEN, 'x');
    const std::string half = "shell=o";  // "n" would lie past the window
    std::copy(half.begin(), half.end(), beyond.end() - static_cast<long>(half.size()));
    const RawCase rows[] = {
        {"all 0xFF", erased, {}},
        {"key at the very end", tail_key, {.shell = 1}},
        {"value cut by the end", cut_key, {.port = 12}},
        {"word cut by the end", beyond, {}},
    };
    for (const auto& row : rows) {
        board->eeprom_write(EEPROM_BOOT_ENV_OFFSET + EEPROM_BOOT_ENV_LEN,
                            std::vector<std::uint8_t>{'n', 0});
        expect_settings(parse_window(row.window), row.want, row.name);
    }
}

TEST_F(BootSettingsParse, AFailedReadKeepsEveryDefault) {
    const std::vector<std::string> env = {"shell=on", "gdb=on", "gdbport=99"};
    const sim::Fault faults[] = {
        {sim::FaultKind::i2c_read},
        {sim::FaultKind::i2c_select},
        {sim::FaultKind::i2c_short_read, 0, -1, 9}};  // "shell=on" and its NUL
    for (const auto& fault : faults) {
        board->clear_faults();
        board->inject(fault);
        expect_settings(parse_env(env), {}, "failed read");
    }
}

}  // namespace
