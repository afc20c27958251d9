#include "fuzz/support/fuzz_board.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "board/i2c_devices.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/install.h"

namespace fuzz {

namespace {

std::string board_dir;

void remove_board() {
    if (board_dir.empty()) return;
    FuzzBoard::get().show();
    if (!board_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(board_dir, ec);
    }
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz board: %s\n", why.c_str());
    std::abort();
}

}  // namespace

FuzzBoard::FuzzBoard() {
    char pattern[] = "/tmp/bootmgr-fuzz-board-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fail("cannot make a temporary directory");
    dir_ = pattern;
    board_dir = dir_;
    std::atexit(remove_board);
    std::string error;
    if (!sim::SimBoard::create(dir_, sim::CreateOptions{}, &error)) fail(error);
    // Never destroyed: the platform back end must outlive every static that may still use it.
    board_ = new sim::SimBoard(dir_);
    if (!board_->ok()) fail(board_->error());
    board_->capture_console({});
    platform::set_os(*board_);
    if (i2c_open_buses() != 0) fail("I2C buses do not open");
    if (mtd_open() < 0) fail("flash does not open");
    if (CRYPTO_LIB_initialize() != 0) fail("the cryptographic library does not start");
}

FuzzBoard& FuzzBoard::get() {
    static FuzzBoard* instance = new FuzzBoard();
    return *instance;
}

void FuzzBoard::reset(const std::string& console_answers) {
    show();
    for (const auto& op : board_->flash_log()) {
        if (op.op == 'w' || op.op == 'e') {
            board_->flash_write(op.offset, std::vector<std::uint8_t>(op.length, 0xFF));
        }
    }
    board_->power_up();
    board_->capture_console(sim::ConsoleScript(console_answers));
    const std::uint8_t slot = 1;
    board_->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::span<const std::uint8_t>(&slot, 1));
    std::error_code ec;
    std::filesystem::resize_file(std::filesystem::path(dir_) / "console.out", 0, ec);
    std::filesystem::resize_file(std::filesystem::path(dir_) / "console.err", 0, ec);
    std::filesystem::remove(board_->host_path(INSTALL_LOG_PATH), ec);
}

void FuzzBoard::write_file(const std::string& system_path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(board_->host_path(system_path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + system_path);
}

void FuzzBoard::show() const {
    // For triage: BOOTMGR_FUZZ_SHOW=1 shows what the board printed for each input.
    if (std::getenv("BOOTMGR_FUZZ_SHOW") == nullptr) return;
    const std::string text = out();
    std::fprintf(stderr, "---- board console\n%s\n----\n", text.c_str());
}

std::string FuzzBoard::out() const {
    std::ifstream in(std::filesystem::path(dir_) / "console.out", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace fuzz
