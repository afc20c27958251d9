// Test fixture: a fresh simulated board in a temporary directory, installed as the platform back
// end, with its console captured; and builders for test images and application archives.
//
// In-process use (operations that return):
//     TestBoard b;                      // fresh board, console captured, set as platform::os(),
//                                       // its real-time clock held (b->set_rtc_running(true))
//     b.input("y\n");                   // scripted console input
//     EXPECT_EQ(some_operation(), 1);
//     EXPECT_EQ(b.out(), "...");        // what the code wrote on standard output
//     EXPECT_EQ(b->flash_read(0, 4), ...);
//
// Code that ends the process (reboot_system, launch_application, boot_main) runs in a child:
//     BoardRun r = b.run([] { boot_main(); }, "keys");
//     EXPECT_EQ(r.status, sim::kExitReboot);
//     EXPECT_EQ(r.err, "...");
//     EXPECT_EQ(r.commands(), (std::vector<std::string>{"date ...\n", "reboot"}));
// Assertions belong in the parent: a failure inside the child's body is not reported.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_board.h"

// What a run of code in a child process on the board produced.
struct BoardRun {
    bool returned = false;  // the body returned instead of ending the process
    bool exited = false;    // the process exited (else: killed by `signal`)
    int status = -1;        // exit status (sim::kExitReboot, sim::kExitPowerCut, 0 after exec, ...)
    int signal = 0;
    std::string out;                 // standard output written during the run
    std::string err;                 // standard error written during the run
    std::vector<sim::Event> events;  // events recorded during the run
    // The child's board counters at its end.
    unsigned flash_reads = 0, flash_writes = 0, flash_erases = 0, rfs_reads = 0, led_blinks = 0;
    std::uint64_t virtual_ms = 0;
    std::vector<sim::FlashOp> flash_log;

    std::vector<std::string> texts(std::string_view kind) const {
        return sim::event_texts(events, kind);
    }
    // The command texts handed to the shell, in order.
    std::vector<std::string> commands() const { return texts("system"); }
    // Whether the application was started by exec (with program `program` when given).
    bool exec_seen(std::string_view program = {}) const;
};

class TestBoard {
  public:
    explicit TestBoard(const sim::CreateOptions& options = {});
    ~TestBoard();
    TestBoard(const TestBoard&) = delete;
    TestBoard& operator=(const TestBoard&) = delete;

    sim::SimBoard& board() { return *board_; }
    sim::SimBoard* operator->() { return board_.get(); }
    const std::filesystem::path& dir() const { return dir_; }

    // Makes this board the platform back end again (after another board took over).
    void install();
    // Scripted console input for what runs next in this process.
    void input(sim::ConsoleScript script);

    // Console output captured so far (since the last clear_output).
    std::string out() const;
    std::string err() const;
    void clear_output();
    std::vector<sim::Event> events() const;
    // Shell command texts recorded so far.
    std::vector<std::string> commands() const;
    void clear_events();

    // Runs body in a forked child on this board with the given console input.
    BoardRun run(const std::function<void()>& body, sim::ConsoleScript input = {});

    // Files of the board's own file system, by their system paths ("/tmp/...", "/user/...").
    std::string host_path(std::string_view system_path) const;
    bool write_file(std::string_view system_path, std::string_view content);
    std::optional<std::string> read_file(std::string_view system_path) const;
    bool exists(std::string_view system_path) const;

  private:
    std::filesystem::path dir_;
    std::unique_ptr<sim::SimBoard> board_;
    std::uintmax_t out_mark_ = 0, err_mark_ = 0;
};

// A version-3 header entry.
struct HeaderEntry {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> body;
};

// The signature entry (type 3): 16-bit length S, then the S signature bytes.
HeaderEntry signature_entry(std::span<const std::uint8_t> signature);

// Builds an image: header of version 1, 2 or 3 (entries only in version 3), payload, and CRC.
// `magic` is the image kind; version 2 sets IMG_EXT_HEADER itself. `version` is "a.b.c.d".
std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                     std::span<const std::uint8_t> payload, int header_version = 1,
                                     const std::vector<HeaderEntry>& entries = {});
std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                     std::string_view payload, int header_version = 1,
                                     const std::vector<HeaderEntry>& entries = {});
// Recomputes the stored CRC (bytes 4 to the end) after a test changed an image.
void fix_crc(std::vector<std::uint8_t>& image);
// The reflected CRC-32 register without final inversion, as the images store it.
std::uint32_t jamcrc(std::span<const std::uint8_t> bytes);

// A file for make_archive.
struct ArchiveFile {
    std::string path;  // relative, e.g. "home/bin/install.sh"
    std::string content;
    unsigned mode = 0644;
};
// A gzip-compressed tar archive of the files, made with the host's tar. Empty on failure.
std::vector<std::uint8_t> make_archive(const std::vector<ArchiveFile>& files);

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

// How often `needle` occurs in `text`, without overlaps.
inline int count_of(std::string_view text, std::string_view needle) {
    int n = 0;
    for (auto at = text.find(needle); at != text.npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// The rows of one table of a tab-separated data file: lines "<table>\t<field>\t<field>...",
// without the table name; '#' lines and blank lines are skipped, and \n, \r, \t and \\ in a field
// stand for the character. A file that cannot be read gives no rows.
std::vector<std::vector<std::string>> read_table(const std::string& path, std::string_view table);
// "0d 04 ff" -> {0x0d, 0x04, 0xff}; "-" -> {}.
std::vector<std::uint8_t> hex_bytes(std::string_view text);
