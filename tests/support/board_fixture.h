// The one test fixture: a fresh simulated board in a temporary directory, installed as the
// platform back end with its console captured (b.input("y\n"), b.out()); and the one way to build
// images and archives. Used by the unit tests, the power-loss test and the fuzz harness.
// Code that ends the process (reboot_system, boot_main) runs in a child with b.run(body, keys);
// assertions belong in the parent: a failure inside the child's body is not reported.
#pragma once

#include <algorithm>
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

// The bytes of a host file from offset `from` on; empty when it cannot be read.
std::string file_text(const std::filesystem::path& path, std::uintmax_t from = 0);

// A child run's board counters at its end; whether its body returned (did not end the process).
struct BoardCounters {
    bool returned = false;
    unsigned flash_reads = 0, flash_writes = 0, flash_erases = 0, rfs_reads = 0, led_blinks = 0;
    std::uint64_t virtual_ms = 0;
};

// What a run of code in a child process on the board produced.
struct BoardRun : BoardCounters {
    bool exited = false;  // the process exited (else: killed by `signal`)
    int status = -1;      // exit status (sim::kExitReboot, sim::kExitPowerCut, 0 after exec, ...)
    int signal = 0;
    std::string out, err;            // standard output and error written during the run
    std::vector<sim::Event> events;  // events recorded during the run
    std::vector<sim::FlashOp> flash_log;

    std::vector<std::string> texts(std::string_view kind) const {
        return sim::event_texts(events, kind);
    }
    std::vector<std::string> commands() const { return texts("system"); }  // shell commands
    // Whether the application was started by exec (with program `program` when given).
    bool exec_seen(std::string_view program = {}) const {
        return std::ranges::any_of(texts("exec"),
                                   [&](auto& t) { return program.empty() || t == program; });
    }
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
    void install() { platform::set_os(*board_); }
    // Scripted console input for what runs next in this process.
    void input(sim::ConsoleScript script) { board_->set_console_input(std::move(script)); }

    // Console output captured since the last clear_output; events and shell commands so far.
    std::string out() const { return file_text(dir_ / "console.out", out_mark_); }
    std::string err() const { return file_text(dir_ / "console.err", err_mark_); }
    void clear_output();
    std::vector<sim::Event> events() const { return board_->events(); }
    std::vector<std::string> commands() const { return sim::event_texts(events(), "system"); }
    void clear_events();

    // Runs body in a forked child on this board with the given console input.
    BoardRun run(const std::function<void()>& body, sim::ConsoleScript input = {});

    // Files of the board's own file system, by their system paths ("/tmp/...", "/user/...").
    std::string host_path(std::string_view path) const { return board_->host_path(path); }
    bool write_file(std::string_view system_path, std::string_view content);
    bool write_file(std::string_view system_path, std::span<const std::uint8_t> content) {
        return write_file(system_path,
                          {reinterpret_cast<const char*>(content.data()), content.size()});
    }
    std::optional<std::string> read_file(std::string_view system_path) const;
    bool exists(std::string_view system_path) const {
        std::error_code ec;
        return std::filesystem::exists(host_path(system_path), ec);
    }

  private:
    std::filesystem::path dir_;
    std::unique_ptr<sim::SimBoard> board_;
    std::uintmax_t out_mark_ = 0, err_mark_ = 0;
};

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

// A version-3 header entry; the signature entry (type 3) holds a 16-bit length, then the bytes.
// `length` is the entry's declared length when given (else 4 + the body), for damaged entries.
struct HeaderEntry {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> body;
    int length = -1;
};
// `declared`: the signature length S the entry states, when not the signature's own.
HeaderEntry signature_entry(std::span<const std::uint8_t> signature, int declared = -1);

// Builds an image: header of version 1, 2 or 3 (entries only in version 3), payload, and CRC.
// `magic` is the image kind; version 2 sets IMG_EXT_HEADER itself. `version` is "a.b.c.d".
std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                     std::span<const std::uint8_t> payload, int header_version = 1,
                                     const std::vector<HeaderEntry>& entries = {});
inline std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                            std::string_view payload, int header_version = 1,
                                            const std::vector<HeaderEntry>& entries = {}) {
    return make_image(magic, version, bytes_of(payload), header_version, entries);
}

// The test payload of tests/security/data/signatures.txt (byte i = i * 37 + 11, 1000 bytes), and
// the signature of it by "production", "development" or "unknown" (empty for another name).
std::vector<std::uint8_t> signed_payload();
std::vector<std::uint8_t> test_signature(std::string_view signer);

// An image as the data files write it, "KIND[:OPTION]...". KIND: app, boot, kernel, rfs, dft,
// diags, qorb or a number; or fill=HH*N alone: N raw bytes HH. Options: v1, v2 (header version,
// else 3); n=N (payload length, default 1000) or len=N (image length); id=A.B.C.D; e=TYPE (an
// empty header entry); sig=SIGNER[/S] (a signature entry with test_signature(SIGNER) and the
// payload it signs; S the declared length); elen=N (the last entry's declared length); rec (the
// payload carries the boot loader's version record); s (signed by bootimg with the test production
// key). Then, in order, changes after the CRC: flip=AT (negative: from the end), cut=N, crc=XOR,
// set=AT=HEX, recrc (the CRC made right again).
struct SpecImage {
    std::vector<std::uint8_t> bytes, payload;
};
SpecImage image_of(std::string_view spec, std::uint8_t seed = 1);

// Recomputes the stored CRC (bytes 4 to the end) after a test changed an image.
void fix_crc(std::vector<std::uint8_t>& image);
// The reflected CRC-32 register without final inversion, as images store it; bit by bit on
// purpose, as the reference that the product's table-driven CRC is held to.
std::uint32_t jamcrc(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0xFFFFFFFFu);

// A file for make_archive, which makes a gzip-compressed tar archive with the host's tar (empty
// on failure).
struct ArchiveFile {
    std::string path;  // relative, e.g. "home/bin/install.sh"
    std::string content;
    unsigned mode = 0644;
};
std::vector<std::uint8_t> make_archive(const std::vector<ArchiveFile>& files);

// Deterministic bytes that differ from block to block, for payloads and flash contents.
inline std::vector<std::uint8_t> pattern_bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}
