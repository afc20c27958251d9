// The boot path on the simulated board, power-up to the exec of the application, against its
// floor: reading the image's bytes from the flash file once, zlib's crc32 over them and writing the
// payload once to a new file, the archive that every boot must hand to the unpacking.
//
// boot_main() never returns, so every boot runs in a forked child on the board (board opened in
// the child, /tmp emptied as after a reboot, sleeps virtual); the child notes its own CPU clock
// at the points it passes (see TimedPlatform) in memory shared with this process:
//   slot     opening of the application archive (the first act of a slot attempt) to the start
//            of the launch: header read, image buffer, whole-image flash read, CRC-32, archive
//            write. This is "our share" that the target is about.
//   startup  process start to the slot attempt: I2C, flash, library start-up, boot settings,
//            clock, key check (loads and decrypts both key files).
//   ours     everything of the boot manager's own thread up to the exec (startup + slot + launch),
//            without the shell commands.
//   unpack   wall time inside the shell commands (tar unpacking the archive in /tmp).
//   total    wall time from process start to the exec of the application.
// The floor is measured in this process, alternating with the boots, on the same clock (CPU time
// of the thread): a fresh buffer of the image length, one pread of the slot's bytes from the
// board's flash file (in the page cache), zlib's crc32 over bytes 4 to the end, and one write of
// the payload to a new file beside the board's archive (the fall-back boot's floor: the bad slot
// read and checked, then the good slot's floor).
#include <zlib.h>

#include "bench/board_bench.h"
#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "flash/flash.h"
#include "image/image_format.h"

namespace {

using bench::kMiB;

struct BootBoard {
    std::filesystem::path dir;
    std::size_t image_len = 0;
    bool ok = false;

    // slot1/slot2: the images of the two slots (empty = erased slot).
    BootBoard(const char* name, const std::vector<std::uint8_t>& slot1,
              const std::vector<std::uint8_t>& slot2) {
        dir = bench::scratch_dir(name);
        std::string error;
        sim::CreateOptions options;
        options.boot_slot = 1;
        if (dir.empty() || !sim::SimBoard::create(dir, options, &error)) return;
        sim::SimBoard board(dir);
        if (!board.ok()) return;
        if (!slot1.empty()) board.flash_write(FLASH_SLOT1_OFFSET, slot1);
        if (!slot2.empty()) board.flash_write(FLASH_SLOT2_OFFSET, slot2);
        image_len = slot1.empty() ? slot2.size() : slot1.size();
        ok = true;
    }
    ~BootBoard() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

// The application image of about `size` bytes (header and a real gzip tar payload), at most
// `size` so that the full-slot case fits its slot.
std::vector<std::uint8_t> app_image(std::size_t size) {
    const auto work = bench::scratch_dir("boot-bench-work");
    auto archive = bench::application_archive(work, size - IMG_FIXED_HEADER_LEN);
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    if (archive.empty()) return {};
    return bench::v1_image(IMG_KIND_APPLICATION, archive);
}

// The image with one payload bit changed: its stored CRC no longer fits.
[[gnu::noinline]] std::vector<std::uint8_t> damaged(std::vector<std::uint8_t> image) {
    if (image.size() > IMG_FIXED_HEADER_LEN) image.at(image.size() / 2) ^= 0x01;
    return image;
}

// One read of the slot's bytes from the flash file into a fresh buffer, zlib's crc32 and, when
// `archive`, one write of the payload to a new file in the board's /tmp.
double floor_once(const std::filesystem::path& dir, std::uint32_t offset, std::size_t len,
                  bool archive = true) {
    const int fd = ::open((dir / "flash.bin").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const auto out_path = dir / "root" / "tmp" / "floor-archive";
    ::unlink(out_path.c_str());
    const double c0 = bench::thread_cpu_s();
    auto* buf = static_cast<std::uint8_t*>(std::malloc(len));
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = ::pread(fd, buf + got, len - got, static_cast<off_t>(offset + got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    benchmark::DoNotOptimize(crc32(0, buf + 4, static_cast<uInt>(len - 4)));
    if (archive) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        for (std::size_t done = IMG_FIXED_HEADER_LEN; out >= 0 && done < len;) {
            const ssize_t n = ::write(out, buf + done, len - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (out >= 0) ::close(out);
    }
    std::free(buf);
    const double c1 = bench::thread_cpu_s();
    ::close(fd);
    ::unlink(out_path.c_str());
    return c1 - c0;
}

int boot() {
    boot_main();
}

struct Samples {
    std::vector<double> slot, startup, ours, unpack, total, floor, floor_check, read, write;
};

bool boot_once(benchmark::State& state, const BootBoard& b, Samples& s) {
    bench::Timeline t;
    const int status = bench::run_on_board(b.dir, false, true, boot, &t);
    if (status != 0 || t.execs != 1 || t.launch == 0) {
        state.SkipWithError(
            ("the boot did not reach the application, status " + std::to_string(status)).c_str());
        return false;
    }
    s.slot.push_back(t.launch - t.archive_open);
    s.read.push_back(t.flash_read);
    s.write.push_back(t.archive_write);
    s.startup.push_back(t.archive_open - t.start);
    s.ours.push_back(t.end - t.start - t.external);
    s.unpack.push_back(t.external_wall);
    s.total.push_back(t.end_wall - t.start_wall);
    return true;
}

void report_samples(benchmark::State& state, const Samples& s, std::size_t len) {
    state.counters["ours"] = bench::median(s.slot);
    state.counters["floor"] = bench::median(s.floor);
    state.counters["floor_check"] = bench::median(s.floor_check);
    state.counters["startup"] = bench::median(s.startup);
    state.counters["flash_read"] = bench::median(s.read);
    state.counters["archive_write"] = bench::median(s.write);
    state.counters["own_total"] = bench::median(s.ours);
    state.counters["unpack_wall"] = bench::median(s.unpack);
    state.counters["total_wall"] = bench::median(s.total);
    state.counters["bytes"] = static_cast<double>(len);
}

void boot_good(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const BootBoard b("boot-bench", app_image(size), {});
    if (!b.ok) {
        state.SkipWithError("cannot make the board or the image");
        return;
    }
    Samples s;
    if (!boot_once(state, b, s)) return;  // the first boot writes the key files
    s = Samples{};
    for (auto _ : state) {
        if (!boot_once(state, b, s)) return;
        s.floor.push_back(floor_once(b.dir, FLASH_SLOT1_OFFSET, b.image_len));
        s.floor_check.push_back(floor_once(b.dir, FLASH_SLOT1_OFFSET, b.image_len, false));
        state.SetIterationTime(s.slot.back());
    }
    report_samples(state, s, b.image_len);
}

// Slot 1 fails its CRC, slot 2 boots: against reading and checking both slots and one archive
// write.
void boot_fallback(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto good = app_image(size);
    const auto bad = damaged(good);
    const BootBoard b("boot-bench-fallback", bad, good);
    if (!b.ok || good.empty()) {
        state.SkipWithError("cannot make the board or the image");
        return;
    }
    Samples s;
    if (!boot_once(state, b, s)) return;
    s = Samples{};
    for (auto _ : state) {
        if (!boot_once(state, b, s)) return;
        s.floor.push_back(floor_once(b.dir, FLASH_SLOT1_OFFSET, b.image_len, false) +
                          floor_once(b.dir, FLASH_SLOT2_OFFSET, b.image_len));
        state.SetIterationTime(s.slot.back());
    }
    report_samples(state, s, b.image_len);
}

// Peak heap and anonymous resident memory of a boot, over what the process held at its start,
// against the image length plus one erase block plus 1 MiB.
void boot_memory(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const BootBoard b("boot-bench-memory", app_image(size), {});
    if (!b.ok) {
        state.SkipWithError("cannot make the board or the image");
        return;
    }
    std::int64_t heap = 0, anon = 0;
    for (auto _ : state) {
        bench::Timeline t;
        const int status = bench::run_on_board(b.dir, true, true, boot, &t);
        if (status != 0 || t.execs != 1) {
            state.SkipWithError("the boot did not reach the application");
            return;
        }
        heap = std::max(heap, t.peak.heap - t.base.heap);
        anon = std::max(anon, t.peak.anon - t.base.anon);
        state.SetIterationTime(1e-3);
    }
    state.counters["ours"] = static_cast<double>(std::max(heap, anon));
    state.counters["heap"] = static_cast<double>(heap);
    state.counters["anon_rss"] = static_cast<double>(anon);
    state.counters["floor"] = static_cast<double>(b.image_len + sim::kFlashEraseSize + kMiB);
    state.counters["bytes"] = static_cast<double>(b.image_len);
}

}  // namespace

BENCHMARK(boot_good)
    ->Name("boot/1MiB")
    ->Arg(1 * kMiB)
    ->Iterations(15)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(boot_good)
    ->Name("boot/4MiB")
    ->Arg(4 * kMiB)
    ->Iterations(11)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(boot_good)
    ->Name("boot/10MiB")
    ->Arg(10 * kMiB)
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(boot_good)
    ->Name("boot/17MiB")
    ->Arg(FLASH_SLOT1_ROOM)
    ->Iterations(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(boot_fallback)
    ->Name("boot_fallback/10MiB")
    ->Arg(10 * kMiB)
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(boot_memory)
    ->Name("boot_memory/10MiB")
    ->Arg(10 * kMiB)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
