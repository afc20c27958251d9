// Installing a 10 MiB signed application package into image slot 1 of the simulated flash,
// against its floor: the same checks done with zlib and OpenSSL (its SHA, AES and vector
// extensions masked, the fair peer for the board's CPU) plus moving the bytes once each way.
//
//   install   image_install_package("/tmp/image", 0, 1), in this process, CPU time of the thread:
//             package read, CRC-32, signature check (SHA-256 of the payload, key file load and
//             decryption, key decoding, RSA-2048), then the block-wise flash write (read, erase,
//             1024-byte writes per block) and the read-back that proves the slot holds the image,
//             the boot slot byte and the install time stamp.
//   checks    the start to the first flash device operation; flash: the rest.
//   floor     a fresh buffer, one pread of the package file, zlib's crc32 over bytes 4 on,
//             OpenSSL's SHA-256 of the payload, PEM key decoding and RSA verification, and one
//             pwrite of the image into a file of the same size in the page cache.
// Also the flash operations per region (each touched erase block must be erased exactly once,
// nothing outside the slot touched), the memory of an install in a child process, and the walk
// over a package built to make it slow.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <map>

#include "bench/board_bench.h"
#include "board/i2c_devices.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "image/install.h"

namespace {

using bench::kMiB;

constexpr std::size_t kImageLen = 10 * kMiB;  // the largest application image a slot takes
constexpr const char* kPackage = "/tmp/image";
constexpr const char* kMasked = "~0x1A00020200000000:~0x20090128";

std::string read_text(const std::string& path) {
    const auto bytes = bench::slurp(path);
    return {bytes.begin(), bytes.end()};
}

// A version-3 application image of kImageLen bytes whose signature entry carries an RSA-2048
// PKCS#1 v1.5 SHA-256 signature of the payload under the repository's test production key.
struct SignedImage {
    std::vector<std::uint8_t> image;
    std::string public_pem;
    std::size_t header_len = 0;

    SignedImage() {
        const std::string dir = std::string(BOOTMGR_SOURCE_DIR) + "/keys/test/";
        const std::string private_pem = read_text(dir + "test_production_key.pem");
        public_pem = read_text(dir + "test_production_key.pub.pem");
        BIO* bio = BIO_new_mem_buf(private_pem.data(), static_cast<int>(private_pem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        if (key == nullptr) return;

        constexpr std::size_t kSig = 256;
        constexpr std::size_t kEntry = 4 + 2 + kSig;
        header_len = 24 + kEntry;
        image.assign(kImageLen, 0);
        const auto payload = bench::noise(kImageLen - header_len, 7);
        std::copy(payload.begin(), payload.end(), image.begin() + static_cast<long>(header_len));
        std::uint8_t* h = image.data();
        be::store32(h + 4, static_cast<std::uint32_t>(kImageLen - 16));
        be::store32(h + 8, IMG_KIND_APPLICATION);
        be::store32(h + 12, 0x02000001u);
        be::store32(h + 16, IMG_HDR3_MAGIC);
        be::store16(h + 22, static_cast<std::uint16_t>(header_len));
        be::store16(h + 24, 3);
        be::store16(h + 26, static_cast<std::uint16_t>(kEntry));
        be::store16(h + 28, static_cast<std::uint16_t>(kSig));

        EVP_MD_CTX* md = EVP_MD_CTX_new();
        std::size_t len = kSig;
        const bool signed_ok =
            EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(md, h + 30, &len, payload.data(), payload.size()) == 1 && len == kSig;
        EVP_MD_CTX_free(md);
        EVP_PKEY_free(key);
        if (!signed_ok) {
            image.clear();
            return;
        }
        bench::seal(image);
    }
};

const SignedImage& signed_image() {
    static const SignedImage s;
    return s;
}

struct InstallBoard {
    std::filesystem::path dir;
    std::filesystem::path package;  // host path of "/tmp/image"
    std::filesystem::path scratch;  // the floor's write target
    bool ok = false;

    InstallBoard() {
        const auto& s = signed_image();
        dir = bench::scratch_dir("install-bench");
        std::string error;
        if (s.image.empty() || dir.empty() || !sim::SimBoard::create(dir, {}, &error)) return;
        sim::SimBoard board(dir);
        package = board.host_path(kPackage);
        scratch = dir / "floor-target.bin";
        ok = bench::spill(package, s.image.data(), s.image.size()) &&
             bench::spill(scratch, s.image.data(), s.image.size());
    }
    ~InstallBoard() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

double floor_once(const InstallBoard& b) {
    const auto& s = signed_image();
    const int in = ::open(b.package.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(b.scratch.c_str(), O_WRONLY | O_CLOEXEC);
    const double c0 = bench::thread_cpu_s();
    auto* buf = static_cast<std::uint8_t*>(std::malloc(kImageLen));
    std::size_t got = 0;
    while (got < kImageLen) {
        const ssize_t n = ::pread(in, buf + got, kImageLen - got, static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    bool good =
        (crc32(0, buf + 4, static_cast<uInt>(kImageLen - 4)) ^ 0xFFFFFFFFu) == be::load32(buf);
    std::uint8_t digest[32];
    unsigned dl = 0;
    EVP_Digest(buf + s.header_len, kImageLen - s.header_len, digest, &dl, EVP_sha256(), nullptr);
    BIO* bio = BIO_new_mem_buf(s.public_pem.data(), static_cast<int>(s.public_pem.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    good = good && EVP_PKEY_verify(ctx, buf + 30, 256, digest, 32) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    good = good && ::pwrite(out, buf, kImageLen, 0) == static_cast<ssize_t>(kImageLen);
    std::free(buf);
    const double c1 = bench::thread_cpu_s();
    ::close(in);
    ::close(out);
    return good ? c1 - c0 : -1;
}

// Flash operations of one install, by region.
struct FlashCounts {
    unsigned erases = 0, writes = 0, reads = 0;
    unsigned blocks_touched = 0;    // erase blocks the image covers
    unsigned max_erases_block = 0;  // most erases of any one block
    unsigned outside = 0;           // erases and writes outside image slot 1
};

FlashCounts count_ops(const std::vector<sim::FlashOp>& log, std::size_t len) {
    FlashCounts c;
    std::map<std::uint32_t, unsigned> per_block;
    for (const sim::FlashOp& op : log) {
        const bool in_slot = op.offset < FLASH_SLOT1_OFFSET + FLASH_SLOT1_ROOM;
        if (op.op == 'e') {
            if (!in_slot) ++c.outside;
            ++c.erases;
            for (std::uint32_t at = op.offset; at < op.offset + op.length;
                 at += sim::kFlashEraseSize)
                ++per_block[at];
        } else if (op.op == 'w') {
            if (!in_slot) ++c.outside;
            ++c.writes;
        } else {
            ++c.reads;
        }
    }
    for (const auto& [block, n] : per_block) c.max_erases_block = std::max(c.max_erases_block, n);
    c.blocks_touched =
        static_cast<unsigned>((len + sim::kFlashEraseSize - 1) / sim::kFlashEraseSize);
    return c;
}

void install(benchmark::State& state) {
    const InstallBoard b;
    if (!b.ok) {
        state.SkipWithError("cannot make the board or the signed image");
        return;
    }
    sim::SimBoard board(b.dir);
    board.capture_console({});
    bench::Timeline t;
    bench::TimedPlatform timed(board, t);
    platform::set_os(timed);
    i2c_open_buses();
    mtd_open();
    CRYPTO_LIB_initialize();
    // The first install writes the key files; it is not measured.
    if (image_install_package(kPackage, 0, 1) != 1) {
        state.SkipWithError("the package was not installed (see console.out of the board)");
        return;
    }

    std::vector<double> total, checks, flash, floor;
    FlashCounts counts;
    for (auto _ : state) {
        board.clear_flash_log();
        t = bench::Timeline{};
        timed.begin();
        const int rc = image_install_package(kPackage, 0, 1);
        timed.finish();
        if (rc != 1 || t.first_flash == 0) {
            state.SkipWithError("the package was not installed");
            return;
        }
        total.push_back(t.end - t.start);
        checks.push_back(t.first_flash - t.start);
        flash.push_back(t.end - t.first_flash);
        counts = count_ops(board.flash_log(), kImageLen);
        const double f = floor_once(b);
        if (f < 0) {
            state.SkipWithError("the floor's checks refused the image");
            return;
        }
        floor.push_back(f);
        state.SetIterationTime(total.back());
    }
    state.counters["ours"] = bench::median(total);
    state.counters["floor"] = bench::median(floor);
    state.counters["checks"] = bench::median(checks);
    state.counters["flash"] = bench::median(flash);
    state.counters["erases"] = counts.erases;
    state.counters["writes"] = counts.writes;
    state.counters["reads"] = counts.reads;
    state.counters["blocks_touched"] = counts.blocks_touched;
    state.counters["max_erases_block"] = counts.max_erases_block;
    state.counters["outside"] = counts.outside;
    state.counters["bytes"] = static_cast<double>(kImageLen);
}

// Peak heap and anonymous resident memory of an install in a child process, over what the
// process held before it, against the image length plus one erase block plus 1 MiB.
void install_memory(benchmark::State& state) {
    const InstallBoard b;
    if (!b.ok) {
        state.SkipWithError("cannot make the board or the signed image");
        return;
    }
    const auto body = [] {
        i2c_open_buses();
        mtd_open();
        CRYPTO_LIB_initialize();
        return image_install_package(kPackage, 0, 1) == 1 ? 0 : 1;
    };
    std::int64_t heap = 0, anon = 0;
    for (auto _ : state) {
        bench::Timeline t;
        if (bench::run_on_board(b.dir, true, false, body, &t) != 0) {
            state.SkipWithError("the package was not installed");
            return;
        }
        heap = std::max(heap, t.peak.heap - t.base.heap);
        anon = std::max(anon, t.peak.anon - t.base.anon);
        state.SetIterationTime(1e-3);
    }
    state.counters["ours"] = static_cast<double>(std::max(heap, anon));
    state.counters["heap"] = static_cast<double>(heap);
    state.counters["anon_rss"] = static_cast<double>(anon);
    state.counters["floor"] = static_cast<double>(kImageLen + sim::kFlashEraseSize + kMiB);
    state.counters["bytes"] = static_cast<double>(kImageLen);
}

// A package of 8 MiB of zero bytes and one other byte: 524 287 empty images of a kind the
// installer steps over, each step once a scan of the whole tail. Walked by the board's installer
// (wall time on the simulated board, with the package read through its file) and by `bootimg
// inspect` (wall time of the tool). The floor is one read of the package.
constexpr std::size_t kWalkLen = 8 * kMiB + 1;

void package_walk(benchmark::State& state) {
    const auto dir = bench::scratch_dir("walk-bench");
    std::string error;
    if (dir.empty() || !sim::SimBoard::create(dir, {}, &error)) {
        state.SkipWithError("cannot make the board");
        return;
    }
    std::vector<std::uint8_t> bytes(kWalkLen, 0);
    bytes.back() = 1;
    sim::SimBoard board(dir);
    board.capture_console({});
    platform::set_os(board);
    const auto package = board.host_path(kPackage);
    if (!bench::spill(package, bytes.data(), bytes.size())) {
        state.SkipWithError("cannot write the package");
        return;
    }
    i2c_open_buses();
    mtd_open();
    const std::string inspect =
        std::string(BOOTMGR_BINARY_DIR) + "/bin/bootimg inspect " + package + " >/dev/null 2>&1";
    std::vector<double> board_s, tool_s, floor_s;
    for (auto _ : state) {
        double w0 = bench::wall_s();
        const int rc = image_install_package(kPackage, 0, 1);
        board_s.push_back(bench::wall_s() - w0);
        w0 = bench::wall_s();
        const int tool = std::system(inspect.c_str());
        tool_s.push_back(bench::wall_s() - w0);
        w0 = bench::wall_s();
        const auto read_back = bench::slurp(package);
        floor_s.push_back(bench::wall_s() - w0);
        if (rc != 0 || tool == -1 || read_back.size() != kWalkLen) {
            state.SkipWithError("the walk did not end as a package without images");
            break;
        }
        state.SetIterationTime(board_s.back());
    }
    state.counters["ours"] = bench::median(board_s);
    state.counters["bootimg"] = bench::median(tool_s);
    state.counters["floor"] = bench::median(floor_s);
    state.counters["bytes"] = static_cast<double>(kWalkLen);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(package_walk)
    ->Name("package_walk/8MiB+1")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(install)
    ->Name("install/10MiB")
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(install_memory)
    ->Name("install_memory/10MiB")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // OpenSSL reads its capability mask when the library loads, before main: set it and start
    // again, so that the floor's SHA-256 and RSA run without the CPU's SHA and vector extensions.
    if (std::getenv("OPENSSL_ia32cap") == nullptr) {
        ::setenv("OPENSSL_ia32cap", kMasked, 1);
        ::execv("/proc/self/exe", argv);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
