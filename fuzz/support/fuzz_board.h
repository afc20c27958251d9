// One simulated board per fuzz process, for targets whose code needs devices and files: the board
// lives in a temporary directory removed at exit, its console is captured, and each input starts
// from the same board state so that any finding replays exactly.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sim/sim_board.h"

namespace fuzz {

class FuzzBoard {
  public:
    // Creates the board, installs it as the platform back end, opens the I2C buses and the flash,
    // and starts the cryptographic library -- what start-up does before anything else runs.
    static FuzzBoard& get();
    FuzzBoard(const FuzzBoard&) = delete;
    FuzzBoard& operator=(const FuzzBoard&) = delete;

    sim::SimBoard& board() { return *board_; }
    // Back to the state of a fresh power-up: /tmp emptied, console output dropped, the install
    // log removed, every flash range written since the last reset erased again, the boot slot
    // byte 1, no faults. console_answers are the keys every dialogue gets.
    void reset(const std::string& console_answers);
    // Writes a file of the board's own file system ("/tmp/...", "/user/...").
    void write_file(const std::string& system_path, std::span<const std::uint8_t> bytes);
    std::string out() const;
    // With BOOTMGR_FUZZ_SHOW set: the console output of the last input on standard error.
    void show() const;

  private:
    FuzzBoard();
    std::string dir_;
    sim::SimBoard* board_ = nullptr;
};

}  // namespace fuzz
