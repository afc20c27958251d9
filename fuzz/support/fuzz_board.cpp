#include "fuzz/support/fuzz_board.h"

#include <cstdio>
#include <filesystem>

#include "board/i2c_devices.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/install.h"

namespace fuzz {

TestBoard& board() {
    static TestBoard b;
    static const bool started =
        i2c_open_buses() == 0 && mtd_open() >= 0 && CRYPTO_LIB_initialize() == 0;
    check(started);
    return b;
}

void reset(const std::string& answers) {
    TestBoard& b = board();
    // For triage: BOOTMGR_FUZZ_SHOW=1 shows what the board printed for the last input.
    if (std::getenv("BOOTMGR_FUZZ_SHOW") != nullptr) std::fprintf(stderr, "%s", b.out().c_str());
    for (const auto& op : b->flash_log())
        if (op.op == 'w' || op.op == 'e')
            b->flash_write(op.offset, std::vector<std::uint8_t>(op.length, 0xFF));
    b->power_up();
    b.input(answers);
    const std::uint8_t slot = 1;
    b->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::span(&slot, 1));
    std::error_code ec;
    for (const char* name : {"console.out", "console.err"})
        std::filesystem::resize_file(b.dir() / name, 0, ec);
    std::filesystem::remove(b.host_path(INSTALL_LOG_PATH), ec);
    b.clear_output();
}

}  // namespace fuzz
