#include "tests/support/board_fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/byte_order.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path, std::uintmax_t from = 0) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    f.seekg(static_cast<std::streamoff>(from));
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::uintmax_t size_of(const fs::path& path) {
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

fs::path make_temp_dir(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / stem).string() + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary directory: %s\n", std::strerror(errno));
        std::abort();
    }
    return pattern;
}

// What the child reports to the parent at its end, before the flash log.
struct ChildReport {
    std::uint32_t returned, flash_reads, flash_writes, flash_erases, rfs_reads, led_blinks;
    std::uint64_t virtual_ms;
    std::uint32_t log_entries;
};

void write_all(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0) return;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

bool BoardRun::exec_seen(std::string_view program) const {
    for (const auto& text : texts("exec")) {
        if (program.empty() || text == program) return true;
    }
    return false;
}

TestBoard::TestBoard(const sim::CreateOptions& options) : dir_(make_temp_dir("bootmgr-board")) {
    std::string error;
    if (!sim::SimBoard::create(dir_, options, &error)) {
        std::fprintf(stderr, "TestBoard: %s\n", error.c_str());
        std::abort();
    }
    board_ = std::make_unique<sim::SimBoard>(dir_);
    if (!board_->ok()) {
        std::fprintf(stderr, "TestBoard: %s\n", board_->error().c_str());
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

void TestBoard::install() {
    platform::set_os(*board_);
}

void TestBoard::input(sim::ConsoleScript script) {
    board_->set_console_input(std::move(script));
}

std::string TestBoard::out() const {
    return slurp(dir_ / "console.out", out_mark_);
}
std::string TestBoard::err() const {
    return slurp(dir_ / "console.err", err_mark_);
}

void TestBoard::clear_output() {
    out_mark_ = size_of(dir_ / "console.out");
    err_mark_ = size_of(dir_ / "console.err");
}

std::vector<sim::Event> TestBoard::events() const {
    return board_->events();
}

std::vector<std::string> TestBoard::commands() const {
    return sim::event_texts(events(), "system");
}

void TestBoard::clear_events() {
    std::ofstream truncate(dir_ / "events.log", std::ios::trunc);
}

BoardRun TestBoard::run(const std::function<void()>& body, sim::ConsoleScript input) {
    BoardRun result;
    const auto out_before = size_of(dir_ / "console.out");
    const auto err_before = size_of(dir_ / "console.err");
    const auto events_before = size_of(dir_ / "events.log");

    int report[2];
    if (::pipe(report) != 0) {
        result.err = "pipe failed";
        return result;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.err = "fork failed";
        ::close(report[0]);
        ::close(report[1]);
        return result;
    }
    if (pid == 0) {
        ::close(report[0]);
        sim::SimBoard& b = *board_;
        const int fd = report[1];
        bool returned = false;
        auto send = [&b, fd, &returned] {
            const ChildReport r{
                returned ? 1u : 0u, b.flash_reads(),
                b.flash_writes(),   b.flash_erases(),
                b.rfs_reads(),      b.led_blinks(),
                b.virtual_ms(),     static_cast<std::uint32_t>(b.flash_log().size())};
            write_all(fd, &r, sizeof r);
            write_all(fd, b.flash_log().data(), b.flash_log().size() * sizeof(sim::FlashOp));
            ::close(fd);
        };
        b.set_before_end(send);
        b.set_console_input(std::move(input));
        install();
        body();
        returned = true;
        send();
        ::_exit(0);
    }
    ::close(report[1]);
    std::string data;
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t n = ::read(report[0], chunk.data(), chunk.size());
        if (n > 0) {
            data.append(chunk.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(report[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (data.size() >= sizeof(ChildReport)) {
        ChildReport r{};
        std::memcpy(&r, data.data(), sizeof r);
        result.returned = r.returned != 0;
        result.flash_reads = r.flash_reads;
        result.flash_writes = r.flash_writes;
        result.flash_erases = r.flash_erases;
        result.rfs_reads = r.rfs_reads;
        result.led_blinks = r.led_blinks;
        result.virtual_ms = r.virtual_ms;
        const std::size_t have = (data.size() - sizeof r) / sizeof(sim::FlashOp);
        result.flash_log.resize(std::min<std::size_t>(have, r.log_entries));
        if (!result.flash_log.empty()) {  // an empty vector's data() may be null
            std::memcpy(result.flash_log.data(), data.data() + sizeof r,
                        result.flash_log.size() * sizeof(sim::FlashOp));
        }
    }
    result.out = slurp(dir_ / "console.out", out_before);
    result.err = slurp(dir_ / "console.err", err_before);
    result.events = sim::parse_events(slurp(dir_ / "events.log", events_before));
    return result;
}

std::string TestBoard::host_path(std::string_view system_path) const {
    return board_->host_path(system_path);
}

bool TestBoard::write_file(std::string_view system_path, std::string_view content) {
    const std::string host = host_path(system_path);
    if (host.empty()) return false;
    std::error_code ec;
    fs::create_directories(fs::path(host).parent_path(), ec);
    std::ofstream f(host, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(f);
}

std::optional<std::string> TestBoard::read_file(std::string_view system_path) const {
    const std::string host = host_path(system_path);
    std::error_code ec;
    if (host.empty() || !fs::is_regular_file(host, ec)) return std::nullopt;
    return slurp(host);
}

bool TestBoard::exists(std::string_view system_path) const {
    const std::string host = host_path(system_path);
    std::error_code ec;
    return !host.empty() && fs::exists(host, ec);
}

// ---------------------------------------------------------------------------------------------
// Images

std::uint32_t jamcrc(std::span<const std::uint8_t> bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8);
    return crc;
}

void fix_crc(std::vector<std::uint8_t>& image) {
    if (image.size() < 4) return;
    be::store32(image.data(), jamcrc(std::span(image).subspan(4)));
}

HeaderEntry signature_entry(std::span<const std::uint8_t> signature) {
    HeaderEntry e{3, std::vector<std::uint8_t>(2 + signature.size())};
    be::store16(e.body.data(), static_cast<std::uint16_t>(signature.size()));
    std::copy(signature.begin(), signature.end(), e.body.begin() + 2);
    return e;
}

std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                     std::span<const std::uint8_t> payload, int header_version,
                                     const std::vector<HeaderEntry>& entries) {
    std::array<unsigned, 4> v{};
    if (std::sscanf(std::string(version).c_str(), "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) != 4) {
        v = {};
    }
    const std::uint32_t id =
        (v[0] & 0xFFu) << 24 | (v[1] & 0xFFu) << 16 | (v[2] & 0xFFu) << 8 | (v[3] & 0xFFu);
    std::vector<std::uint8_t> header(16);
    std::uint32_t len = static_cast<std::uint32_t>(payload.size());
    if (header_version == 2) {
        magic |= 0x80000000u;
        header.resize(20);
        be::store16(header.data() + 18, 20);
    } else if (header_version == 3) {
        header.resize(24);
        be::store32(header.data() + 16, 0x48445233u);
        for (const auto& e : entries) {
            const std::size_t at = header.size();
            header.resize(at + 4 + e.body.size());
            be::store16(header.data() + at, e.type);
            be::store16(header.data() + at + 2, static_cast<std::uint16_t>(4 + e.body.size()));
            std::copy(e.body.begin(), e.body.end(),
                      header.begin() + static_cast<std::ptrdiff_t>(at + 4));
        }
        be::store16(header.data() + 22, static_cast<std::uint16_t>(header.size()));
        len = static_cast<std::uint32_t>(header.size() - 16 + payload.size());
    }
    be::store32(header.data() + 4, len);
    be::store32(header.data() + 8, magic);
    be::store32(header.data() + 12, id);
    std::vector<std::uint8_t> image = std::move(header);
    image.insert(image.end(), payload.begin(), payload.end());
    fix_crc(image);
    return image;
}

std::vector<std::uint8_t> make_image(std::uint32_t magic, std::string_view version,
                                     std::string_view payload, int header_version,
                                     const std::vector<HeaderEntry>& entries) {
    const auto bytes = bytes_of(payload);
    return make_image(magic, version, std::span<const std::uint8_t>(bytes), header_version,
                      entries);
}

std::vector<std::uint8_t> make_archive(const std::vector<ArchiveFile>& files) {
    const fs::path dir = make_temp_dir("bootmgr-archive");
    std::vector<std::uint8_t> result;
    std::string names;
    bool ok = true;
    for (const auto& f : files) {
        const fs::path p = dir / "content" / f.path;
        std::error_code ec;
        fs::create_directories(p.parent_path(), ec);
        std::ofstream o(p, std::ios::binary);
        o.write(f.content.data(), static_cast<std::streamsize>(f.content.size()));
        o.close();
        ok = ok && static_cast<bool>(o) && ::chmod(p.c_str(), f.mode) == 0;
        names += " '" + f.path + "'";
    }
    const std::string cmd = "tar czf '" + (dir / "a.tar.gz").string() + "' -C '" +
                            (dir / "content").string() + "' --owner=0 --group=0" + names;
    if (ok && std::system(cmd.c_str()) == 0) {
        const std::string data = slurp(dir / "a.tar.gz");
        result.assign(data.begin(), data.end());
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}

std::vector<std::vector<std::string>> read_table(const std::string& path, std::string_view table) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields(1);
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\t') {
                fields.emplace_back();
            } else if (line[i] == '\\' && i + 1 < line.size()) {
                const char c = line[++i];
                fields.back() += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            } else {
                fields.back() += line[i];
            }
        }
        if (fields[0] == table) rows.emplace_back(fields.begin() + 1, fields.end());
    }
    return rows;
}

std::vector<std::uint8_t> hex_bytes(std::string_view text) {
    std::vector<std::uint8_t> out;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) {
        if (word != "-") out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return out;
}
