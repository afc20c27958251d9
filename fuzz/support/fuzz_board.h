// The base of every fuzz target: one simulated board per process (the test fixture's), set up as
// start-up leaves it, and one way to read an input -- a mode byte, then the data.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "board/i2c_devices.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/install.h"
#include "image/install_log.h"
#include "tests/support/board_fixture.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// A property the target holds its code to; a failed one is a finding.
inline void check(bool ok) {
    if (!ok) std::abort();
}

// The board, made on first use: platform back end installed, I2C buses and flash open, the
// cryptographic library started.
inline TestBoard& board() {
    static TestBoard b;
    static const bool up = i2c_open_buses() == 0 && mtd_open() >= 0 && CRYPTO_LIB_initialize() == 0;
    check(up);
    return b;
}

// Back to a fresh power-up before an input, so that any finding replays exactly: /tmp emptied,
// console output and the install log dropped, flash written since the last reset erased again,
// boot slot byte 1, no faults; `answers` are the console keys every dialogue gets.
inline TestBoard& reset(const std::string& answers = {}) {
    TestBoard& b = board();
    // For triage: BOOTMGR_FUZZ_SHOW=1 shows what the board printed for the last input.
    if (std::getenv("BOOTMGR_FUZZ_SHOW") != nullptr) std::fprintf(stderr, "%s", b.out().c_str());
    for (const auto& op : b->flash_log())
        if (op.op == 'w' || op.op == 'e') b->flash_write(op.offset, Bytes(op.length, 0xFF));
    b->power_up();
    b.input(answers);
    b->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, Bytes{1});
    std::error_code ec;
    for (const char* name : {"console.out", "console.err"})
        std::filesystem::resize_file(b.dir() / name, 0, ec);
    std::filesystem::remove(b.host_path(INSTALL_LOG_PATH), ec);
    b.clear_output();
    return b;
}

// Byte 0 chooses how a target sets up (a mode), the rest is the data.
struct Input {
    std::uint8_t mode = 0;
    std::span<const std::uint8_t> data;
};
inline Input split(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return {};
    return {bytes[0], {bytes + 1, size - 1}};
}

}  // namespace fuzz
