// Shared pieces of the boot and install benchmarks on the simulated board: a platform back end
// that times the boot manager's calls on their way to the board, image builders, memory samples
// and the clocks. Benchmark code runs on the host, so it uses POSIX directly.
//
// Every figure is measured as CPU time of the measuring thread (user and system, so page faults
// and the copies of the kernel count), which keeps ratios against a floor measured the same way
// steady on a machine that other work shares. Wall-clock figures say so in their names.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/platform.h"
#include "sim/sim_board.h"

namespace bench {

inline constexpr std::size_t kMiB = 1u << 20;

// A fresh boot manager process gets its image buffer as new pages from the system (glibc maps
// large blocks). This program allocates and frees such blocks over and over, after which glibc
// would keep them in its heap; fix the threshold so that every large block, ours and the
// floor's, costs what it costs in a fresh process.
inline const bool fixed_mmap_threshold = ::mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1;

inline double thread_cpu_s() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline double wall_s() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Incompressible bytes, so that a gzip payload is as long as its content.
inline std::vector<std::uint8_t> noise(std::size_t n, std::uint64_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(v.data() + i, &x, 8);
    }
    for (; i < n; ++i) v[i] = static_cast<std::uint8_t>(x >> (8 * (i & 7)));
    return v;
}

inline std::vector<std::uint8_t> slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool spill(const std::filesystem::path& path, const std::uint8_t* data, std::size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

// A gzip-compressed tar archive of one file of random content, at most `limit` bytes long and
// close to it, made with the host's tar and gzip in `work`. Empty on failure.
inline std::vector<std::uint8_t> application_archive(const std::filesystem::path& work,
                                                     std::size_t limit) {
    std::filesystem::create_directories(work / "content/home/bin");
    std::size_t content = limit > 64 * 1024 ? limit - 64 * 1024 : limit / 2;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto bytes = noise(content, limit);
        if (!spill(work / "content/home/bin/mp.elf.strip", bytes.data(), bytes.size())) return {};
        const std::string cmd = "tar -C '" + (work / "content").string() +
                                "' -cf - home | gzip -1 -n > '" + (work / "app.tar.gz").string() +
                                "'";
        if (std::system(cmd.c_str()) != 0) return {};
        auto archive = slurp(work / "app.tar.gz");
        if (archive.size() <= limit && limit - archive.size() < 4096) return archive;
        // gzip of random data grows by a nearly constant fraction: correct by the difference.
        const auto diff =
            static_cast<std::ptrdiff_t>(limit) - static_cast<std::ptrdiff_t>(archive.size());
        content = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(content) + diff - 1024);
        if (attempt == 3 && archive.size() <= limit) return archive;
    }
    return {};
}

// Finishes an image: the stored CRC covers bytes 4 to the end (image_crc32 of the system).
inline void seal(std::vector<std::uint8_t>& image) {
    be::store32(image.data(), image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED));
}

// A version-1 image of the kind around the payload.
inline std::vector<std::uint8_t> v1_image(std::uint32_t magic,
                                          const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> image(16 + payload.size());
    be::store32(image.data() + 4, static_cast<std::uint32_t>(payload.size()));
    be::store32(image.data() + 8, magic);
    be::store32(image.data() + 12, 0x01020304u);
    std::copy(payload.begin(), payload.end(), image.begin() + 16);
    seal(image);
    return image;
}

// The board's directory for a benchmark: on a memory file system when there is one, so that the
// flash file and the unpacked files stay in the page cache.
inline std::filesystem::path scratch_dir(const char* name) {
    std::filesystem::path base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path();
    char pattern[256];
    std::snprintf(pattern, sizeof pattern, "%s/%s-XXXXXX", base.c_str(), name);
    const char* made = ::mkdtemp(pattern);
    return made != nullptr ? std::filesystem::path(made) : std::filesystem::path{};
}

// Heap in use (arena and mapped chunks) and anonymous resident memory of this process.
struct MemorySample {
    std::int64_t heap = 0;
    std::int64_t anon = 0;
};

inline MemorySample memory_now() {
    MemorySample m;
    const struct mallinfo2 mi = ::mallinfo2();
    m.heap = static_cast<std::int64_t>(mi.uordblks + mi.hblkhd);
    // statm: size resident shared ... in pages; resident - shared is the anonymous part.
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[128] = {};
        if (::read(fd, buf, sizeof buf - 1) > 0) {
            long size = 0, resident = 0, shared = 0;
            if (std::sscanf(buf, "%ld %ld %ld", &size, &resident, &shared) == 3)
                m.anon = static_cast<std::int64_t>(resident - shared) * ::sysconf(_SC_PAGESIZE);
        }
        ::close(fd);
    }
    return m;
}

// What one run of the boot manager's code on the board showed. Lives in memory shared with the
// child that runs the boot, since that child ends in exec or reboot and never returns.
struct Timeline {
    double start = 0;          // before the code under test
    double archive_open = 0;   // first opening of the application archive: a slot attempt begins
    double launch = 0;         // the first sleep after it: the launch of the application begins
    double first_flash = 0;    // first flash device operation after the start
    double end = 0;            // exec of the application, or the return of the operation
    double external = 0;       // inside shell commands (the unpacking, ...)
    double flash_read = 0;     // inside reads of the flash device
    double archive_write = 0;  // inside writes to the application archive
    double start_wall = 0, end_wall = 0, external_wall = 0;
    int execs = 0;
    bool sample_memory = false;
    MemorySample base, peak;
};

// Forwards every call to the board and notes when the boot manager reaches the points of a
// Timeline. With sample_memory on, it also takes a memory sample after every call, so the peak
// is seen while the image buffer is held (it is held across many calls).
class TimedPlatform final : public platform::Platform {
  public:
    TimedPlatform(sim::SimBoard& board, Timeline& t) : b_(board), t_(t) {}

    void begin() {
        if (t_.sample_memory) t_.base = t_.peak = memory_now();
        t_.start_wall = wall_s();
        t_.start = thread_cpu_s();
    }
    void finish() {
        t_.end = thread_cpu_s();
        t_.end_wall = wall_s();
        sample();
    }

    int open(const char* path, int flags, mode_t mode) override {
        if (t_.archive_open == 0 && std::string_view(path) == "/tmp/zariximage.tar.gz")
            t_.archive_open = thread_cpu_s();
        const int fd = b_.open(path, flags, mode);
        if (std::string_view(path) == "/dev/mtd0") mtd_fd_ = fd;
        if (std::string_view(path) == "/tmp/zariximage.tar.gz") archive_fd_ = fd;
        return after(fd);
    }
    int close(int fd) override { return after(b_.close(fd)); }
    ssize_t read(int fd, void* buf, size_t n) override { return after(b_.read(fd, buf, n)); }
    ssize_t write(int fd, const void* buf, size_t n) override {
        const double c0 = thread_cpu_s();
        const ssize_t rc = b_.write(fd, buf, n);
        if (fd == archive_fd_ && fd >= 0) t_.archive_write += thread_cpu_s() - c0;
        return after(rc);
    }
    ssize_t pread(int fd, void* buf, size_t n, off_t off) override {
        flash_op(fd);
        const double c0 = thread_cpu_s();
        const ssize_t rc = b_.pread(fd, buf, n, off);
        if (fd == mtd_fd_ && fd >= 0) t_.flash_read += thread_cpu_s() - c0;
        return after(rc);
    }
    ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) override {
        flash_op(fd);
        return after(b_.pwrite(fd, buf, n, off));
    }
    int ioctl(int fd, unsigned long request, void* arg) override {
        flash_op(fd);
        return after(b_.ioctl(fd, request, arg));
    }
    int socket(int d, int type, int p) override { return after(b_.socket(d, type, p)); }
    int tcgetattr(int fd, struct termios* s) override { return after(b_.tcgetattr(fd, s)); }
    int tcsetattr(int fd, int a, const struct termios* s) override {
        return after(b_.tcsetattr(fd, a, s));
    }
    std::FILE* fopen(const char* path, const char* mode) override {
        std::FILE* f = b_.fopen(path, mode);
        sample();
        return f;
    }
    int stat(const char* path, struct stat* st) override { return after(b_.stat(path, st)); }
    int remove(const char* path) override { return after(b_.remove(path)); }
    int fsync(int fd) override { return after(b_.fsync(fd)); }
    int rename(const char* f, const char* t) override { return after(b_.rename(f, t)); }
    int system(const char* command) override {
        const double c0 = thread_cpu_s(), w0 = wall_s();
        const int rc = b_.system(command);
        // The shell's own work runs in other processes: it shows in wall time only. The thread's
        // own share of starting it (fork, wait) is counted as external as well.
        t_.external += thread_cpu_s() - c0;
        t_.external_wall += wall_s() - w0;
        return after(rc);
    }
    int execv(const char* path, char* const argv[]) override {
        ++t_.execs;
        finish();
        return b_.execv(path, argv);
    }
    int setenv(const char* n, const char* v, int o) override { return after(b_.setenv(n, v, o)); }
    [[noreturn]] void exit(int status) override {
        finish();
        b_.exit(status);
    }
    void sleep_ms(unsigned ms) override {
        if (t_.archive_open != 0 && t_.launch == 0) t_.launch = thread_cpu_s();
        b_.sleep_ms(ms);
    }
    std::uint64_t monotonic_ms() override { return b_.monotonic_ms(); }
    int install_signal_handler(int s, void (*h)(int), int f) override {
        return b_.install_signal_handler(s, h, f);
    }

  private:
    void flash_op(int fd) {
        if (fd == mtd_fd_ && fd >= 0 && t_.first_flash == 0) t_.first_flash = thread_cpu_s();
    }
    void sample() {
        if (!t_.sample_memory) return;
        const MemorySample m = memory_now();
        t_.peak.heap = std::max(t_.peak.heap, m.heap);
        t_.peak.anon = std::max(t_.peak.anon, m.anon);
    }
    template <typename T>
    T after(T result) {
        sample();
        return result;
    }

    sim::SimBoard& b_;
    Timeline& t_;
    int mtd_fd_ = -1;
    int archive_fd_ = -1;
};

// A Timeline in memory the child shares with this process.
class SharedTimeline {
  public:
    SharedTimeline()
        : p_(static_cast<Timeline*>(::mmap(nullptr, sizeof(Timeline), PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {}
    ~SharedTimeline() { ::munmap(p_, sizeof(Timeline)); }
    SharedTimeline(const SharedTimeline&) = delete;
    SharedTimeline& operator=(const SharedTimeline&) = delete;
    Timeline& operator*() { return *p_; }
    Timeline* operator->() { return p_; }

  private:
    Timeline* p_;
};

// Runs body in a child on the board in dir, with the console captured and the platform timed,
// and returns the child's exit status (-1 when it did not exit) and its Timeline. A body that
// returns (instead of ending the process in exec or reboot) gives its result as exit status.
// fresh_tmp empties the board's /tmp first, as a reboot does.
inline int run_on_board(const std::filesystem::path& dir, bool sample_memory, bool fresh_tmp,
                        const std::function<int()>& body, Timeline* out) {
    SharedTimeline shared;
    *shared = Timeline{};
    shared->sample_memory = sample_memory;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        sim::SimBoard board(dir);
        if (!board.ok()) ::_exit(100);
        if (fresh_tmp) board.power_up();
        board.capture_console({});
        TimedPlatform timed(board, *shared);
        platform::set_os(timed);
        // Free memory inherited from this process goes back to the system first, so that the
        // code under test cannot reuse pages that are already resident and hide its own.
        if (sample_memory) ::malloc_trim(0);
        timed.begin();
        const int status = body();
        timed.finish();
        ::_exit(status);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    *out = *shared;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reports one figure pair: ours against its floor, both in seconds (or plain numbers), for the
// table of tools/run-bench.sh.
inline void report(benchmark::State& state, double ours, double floor) {
    state.counters["ours"] = ours;
    state.counters["floor"] = floor;
}

}  // namespace bench
