#include "tests/support/board_fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "image/image_format.h"
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

std::uint32_t jamcrc(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

void fix_crc(std::vector<std::uint8_t>& image) {
    if (image.size() >= 4) be::store32(image.data(), jamcrc(std::span(image).subspan(4)));
}

HeaderEntry signature_entry(std::span<const std::uint8_t> signature, int declared) {
    // The body made at its size: growing a two-byte vector by the signature made GCC's -O3
    // -Warray-bounds see a copy past the old two bytes.
    HeaderEntry e{3, std::vector<std::uint8_t>(2 + signature.size())};
    be::store16(e.body.data(),
                static_cast<std::uint16_t>(declared < 0 ? signature.size() : declared));
    std::copy(signature.begin(), signature.end(), e.body.begin() + 2);
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
        be::store16(image.data() + at + 2,
                    static_cast<std::uint16_t>(e.length < 0 ? 4 + e.body.size() : e.length));
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

namespace {

std::vector<std::uint8_t> hex_of(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

// The image signed by the host tool with the test production key, as a vendor signs images.
std::vector<std::uint8_t> signed_by_tool(const std::vector<std::uint8_t>& image) {
    const fs::path dir = make_temp_dir("bootmgr-sign"), in = dir / "image";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    const char* tool = std::getenv("BOOTIMG");  // builds without host tools name one
    const std::string command = (tool ? std::string(tool) : BOOTMGR_BINARY_DIR "/bin/bootimg") +
                                " sign --key " BOOTMGR_SOURCE_DIR
                                "/keys/test/test_production_key.pem " +
                                in.string() + " -o " + in.string();
    const auto result =
        std::system(command.c_str()) == 0 ? bytes_of(file_text(in)) : std::vector<std::uint8_t>{};
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}

}  // namespace

std::vector<std::uint8_t> signed_payload() {
    std::vector<std::uint8_t> payload(1000);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return payload;
}

std::vector<std::uint8_t> test_signature(std::string_view signer) {
    std::ifstream f(BOOTMGR_SOURCE_DIR "/tests/security/data/signatures.txt");
    for (std::string name, hex; f >> name && std::getline(f, hex);)
        if (name == signer) return hex_of(hex.substr(1));
    return {};
}

SpecImage image_of(std::string_view spec, std::uint8_t seed) {
    std::vector<std::pair<std::string, std::string>> opts;  // KEY, VALUE after the first '='
    for (std::size_t at = 0; at <= spec.size();) {
        const std::size_t end = std::min(spec.find(':', at), spec.size());
        const std::string opt(spec.substr(at, end - at));
        const std::size_t eq = std::min(opt.find('='), opt.size());
        opts.emplace_back(opt.substr(0, eq), eq < opt.size() ? opt.substr(eq + 1) : "");
        at = end + 1;
    }
    const auto number = [](const std::string& text) { return std::stoll(text, nullptr, 0); };
    if (opts[0].first == "fill") {
        const std::string& v = opts[0].second;
        return {std::vector<std::uint8_t>(number(v.substr(v.find('*') + 1)),
                                          std::stoul(v.substr(0, 2), nullptr, 16)),
                {}};
    }
    // The kinds by the tools' names, and the data files' two short ones.
    const std::string& word = opts[0].first;
    const ImageKind* k =
        image_kind_named(word == "app" ? "application" : word == "boot" ? "bootloader" : word);
    const auto kind = k != nullptr ? k->kind : std::stoul(word, nullptr, 0);
    int version = 3;
    long long n = -1, len = -1;
    std::string id = "1.2.3.4";
    std::vector<HeaderEntry> entries;
    for (const auto& [key, value] : opts) {
        if (key == "v1" || key == "v2") version = key[1] - '0';
        if (key == "n") n = number(value);
        if (key == "len") len = number(value);
        if (key == "id") id = value;
        if (key == "e") entries.push_back({static_cast<std::uint16_t>(number(value)), {}});
        if (key == "elen") entries.back().length = static_cast<int>(number(value));
        if (key == "sig") {
            const auto slash = value.find('/');
            entries.push_back(signature_entry(
                test_signature(value.substr(0, slash)),
                slash == std::string::npos ? -1
                                           : static_cast<int>(number(value.substr(slash + 1)))));
        }
    }
    const auto has = [&](const char* key) {
        return std::ranges::any_of(opts, [&](auto& o) { return o.first == key; });
    };
    if (len >= 0)  // the tool's signature entry is 4 + 2 + 256 bytes
        n = len - static_cast<long long>(make_image(kind, id, "", version, entries).size()) -
            (has("s") ? 262 : 0);
    SpecImage image{
        {}, has("sig") && !has("n") ? signed_payload() : pattern_bytes(n < 0 ? 1000 : n, seed)};
    image.bytes = make_image(kind, id, image.payload, version, entries);
    auto& b = image.bytes;
    if (has("rec")) {  // the installed boot loader's version lies at payload offset 0xF0
        std::copy_n(b.begin() + 4, 12, b.end() - image.payload.size() + 0xF4);
        fix_crc(b);
        image.payload.assign(b.end() - image.payload.size(), b.end());
    }
    if (has("s")) b = signed_by_tool(b);
    for (const auto& [key, value] : opts) {
        if (key == "flip") b[number(value) < 0 ? b.size() + number(value) : number(value)] ^= 1;
        if (key == "cut") b.resize(b.size() - number(value));
        if (key == "crc") be::store32(b.data(), be::load32(b.data()) ^ number(value));
        if (key == "recrc") fix_crc(b);
        const auto eq = value.find('=');  // set=AT=HEX: bytes written from AT on
        if (key == "set")
            std::ranges::copy(hex_of(value.substr(eq + 1)),
                              b.begin() + number(value.substr(0, eq)));
    }
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
