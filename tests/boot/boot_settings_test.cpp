#include "boot/boot_settings.h"

#include <gtest/gtest.h>

#include "board/i2c_devices.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TABLE_TEST(BootSettings, "tests/boot/data/boot_settings.tsv") {
    TestBoard board;
    const std::string window = row["window"];
    std::vector<std::uint8_t> bytes(EEPROM_BOOT_ENV_LEN, window == "start" ? 0 : window.back());
    std::size_t at = 0;
    for (const auto& entry : row.list("entries")) {
        if (window != "start") at = bytes.size() - entry.size();
        std::copy(entry.begin(), entry.end(), bytes.begin() + static_cast<long>(at));
        at += entry.size() + 1;
    }
    bytes.insert(bytes.end(), {'n', 0});
    board->eeprom_write(EEPROM_BOOT_ENV_OFFSET, bytes);
    for (const auto& fault : faults_of(row["faults"])) board->inject(fault);
    ASSERT_EQ(i2c_open_buses(), 0);
    boot_settings = BootSettings{};
    EXPECT_EQ(parse_boot_settings(), 1);
    i2c_close_buses();
    const BootSettings& s = boot_settings;
    EXPECT_EQ(std::to_string(s.gdb_enabled) + " " + std::to_string(s.gdbserver_enabled) + " " +
                  std::to_string(s.gdb_port) + " " + std::to_string(s.shell_enabled) + " " +
                  std::to_string(s.memchk_enabled) + " " + std::to_string(s.rescue_requested) +
                  " " + std::to_string(s.lowsec_authorised),
              row["want"]);
    EXPECT_EQ(s.second_attempt, 0);
}

}  // namespace
