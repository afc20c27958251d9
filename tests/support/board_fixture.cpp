#include "tests/support/board_fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/byte_order.h"

namespace fs = std::filesystem;

#ifdef BOOTMGR_GCOV_DUMP
// Coverage builds (-DBOOTMGR_GCOV_DUMP with --coverage) count what children ran, too: a child
// leaves by _exit, which skips the counters' exit handler.
extern "C" void __gcov_dump();
#endif

std::string file_text(const fs::path& path, std::uintmax_t from) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(from));
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {

std::uintmax_t size_of(const fs::path& path) {
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

fs::path make_temp_dir(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / stem).string() + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

}  // namespace

TestBoard::TestBoard(const sim::CreateOptions& options) : dir_(make_temp_dir("bootmgr-board")) {
    std::string error;
    if (sim::SimBoard::create(dir_, options, &error))
        board_ = std::make_unique<sim::SimBoard>(dir_);
    if (!board_ || !board_->ok()) {
        std::fprintf(stderr, "TestBoard: %s\n", board_ ? board_->error().c_str() : error.c_str());
        std::abort();
    }
    // Time stamps and clock readings in tests are compared exactly: the board's clock holds.
    board_->set_rtc_running(false);
    board_->capture_console({});
    install();
}

TestBoard::~TestBoard() {
    board_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void TestBoard::clear_output() {
    out_mark_ = size_of(dir_ / "console.out");
    err_mark_ = size_of(dir_ / "console.err");
}

void TestBoard::clear_events() {
    std::ofstream(dir_ / "events.log", std::ios::trunc);
}

BoardRun TestBoard::run(const std::function<void()>& body, sim::ConsoleScript input) {
    const auto out_before = size_of(dir_ / "console.out"),
               err_before = size_of(dir_ / "console.err");
    const auto events_before = size_of(dir_ / "events.log");
    const fs::path report = dir_ / "run.report";
    std::error_code ec;
    fs::remove(report, ec);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        sim::SimBoard& b = *board_;
        bool returned = false;
        // The counters, then the flash log, for the parent: sent however the child ends.
        auto send = [&b, &report, &returned] {
            const BoardCounters c{returned,         b.flash_reads(), b.flash_writes(),
                                  b.flash_erases(), b.rfs_reads(),   b.led_blinks(),
                                  b.virtual_ms()};
            std::ofstream f(report, std::ios::binary);
            f.write(reinterpret_cast<const char*>(&c), sizeof c);
            f.write(reinterpret_cast<const char*>(b.flash_log().data()),
                    static_cast<std::streamsize>(b.flash_log().size() * sizeof(sim::FlashOp)));
#ifdef BOOTMGR_GCOV_DUMP
            __gcov_dump();
#endif
        };
        b.set_before_end(send);
        b.set_console_input(std::move(input));
        install();
        body();
        returned = true;
        send();
        ::_exit(0);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    BoardRun result;
    result.exited = pid > 0 && WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = pid > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (const std::string data = file_text(report); data.size() >= sizeof(BoardCounters)) {
        std::memcpy(static_cast<BoardCounters*>(&result), data.data(), sizeof(BoardCounters));
        result.flash_log.resize((data.size() - sizeof(BoardCounters)) / sizeof(sim::FlashOp));
        if (!result.flash_log.empty())  // an empty vector's data() may be null
            std::memcpy(static_cast<void*>(result.flash_log.data()),
                        data.data() + sizeof(BoardCounters),
                        result.flash_log.size() * sizeof(sim::FlashOp));
    }
    result.out = file_text(dir_ / "console.out", out_before);
    result.err = file_text(dir_ / "console.err", err_before);
    result.events = sim::parse_events(file_text(dir_ / "events.log", events_before));
    return result;
}

bool TestBoard::write_file(std::string_view system_path, std::string_view content) {
    const fs::path host = host_path(system_path);
    std::error_code ec;
    if (!host.empty()) fs::create_directories(host.parent_path(), ec);
    return !host.empty() && (std::ofstream(host, std::ios::binary) << content);
}

std::optional<std::string> TestBoard::read_file(std::string_view system_path) const {
    std::error_code ec;
    if (!fs::is_regular_file(host_path(system_path), ec)) return std::nullopt;
    return file_text(host_path(system_path));
}

std::uint32_t jamcrc(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

void fix_crc(std::vector<std::uint8_t>& image) {
    if (image.size() >= 4) be::store32(image.data(), jamcrc(std::span(image).subspan(4)));
}

HeaderEntry signature_entry(std::span<const std::uint8_t> signature) {
    HeaderEntry e{3, {0, 0}};
    be::store16(e.body.data(), static_cast<std::uint16_t>(signature.size()));
    e.body.insert(e.body.end(), signature.begin(), signature.end());
    return e;
}

std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                     std::span<const std::uint8_t> payload, int header_version,
                                     const std::vector<HeaderEntry>& entries) {
    unsigned v[4] = {};
    if (std::sscanf(std::string(version).c_str(), "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) != 4)
        v[0] = v[1] = v[2] = v[3] = 0;
    std::vector<std::uint8_t> image(header_version == 3 ? 24 : header_version == 2 ? 20 : 16);
    if (header_version == 2) {
        magic |= 0x80000000u;
        be::store16(image.data() + 18, 20);
    }
    for (const auto& e : header_version == 3 ? entries : std::vector<HeaderEntry>{}) {
        const std::size_t at = image.size();
        image.resize(at + 4);
        be::store16(image.data() + at, e.type);
        be::store16(image.data() + at + 2, static_cast<std::uint16_t>(4 + e.body.size()));
        image.insert(image.end(), e.body.begin(), e.body.end());
    }
    if (header_version == 3) {
        be::store32(image.data() + 16, 0x48445233u);
        be::store16(image.data() + 22, static_cast<std::uint16_t>(image.size()));
    }
    // Versions 1 and 2 count only the payload; version 3 everything past the first 16 bytes.
    const std::size_t counted = header_version == 3 ? image.size() - 16 : 0;
    be::store32(image.data() + 4, static_cast<std::uint32_t>(counted + payload.size()));
    be::store32(image.data() + 8, magic);
    be::store32(image.data() + 12,
                v[0] << 24 | (v[1] & 0xFFu) << 16 | (v[2] & 0xFFu) << 8 | (v[3] & 0xFFu));
    image.insert(image.end(), payload.begin(), payload.end());
    fix_crc(image);
    return image;
}

std::vector<std::uint8_t> make_archive(const std::vector<ArchiveFile>& files) {
    const fs::path dir = make_temp_dir("bootmgr-archive");
    std::string cmd = "tar czf '" + (dir / "a.tar.gz").string() + "' -C '" +
                      (dir / "content").string() + "' --owner=0 --group=0 --mtime=@0";
    bool ok = true;
    for (const auto& f : files) {
        const fs::path p = dir / "content" / f.path;
        std::error_code ec;
        fs::create_directories(p.parent_path(), ec);
        ok = ok && static_cast<bool>(std::ofstream(p, std::ios::binary) << f.content) &&
             ::chmod(p.c_str(), f.mode) == 0;
        cmd += " '" + f.path + "'";
    }
    std::vector<std::uint8_t> result;
    if (ok && std::system(cmd.c_str()) == 0) result = bytes_of(file_text(dir / "a.tar.gz"));
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}
