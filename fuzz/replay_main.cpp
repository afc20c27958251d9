// Replays fuzz inputs through a fuzz target without libFuzzer, so that the seed corpus and every
// input that once crashed a target run as ordinary regression cases with the normal compiler (and
// under the sanitizers of the ASan build).
//   replay_<target> DIR|FILE...
// Every regular file under each argument is one input. A missing directory counts as empty; the
// run fails when no input at all was found, since a replay of nothing proves nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    std::error_code ec;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i], ec)) inputs.emplace_back(argv[i]);
        if (!fs::is_directory(argv[i], ec)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(argv[i], ec))
            if (entry.is_regular_file(ec) && entry.path().filename().string().front() != '.')
                inputs.push_back(entry.path());
    }
    // Directory order varies between file systems; a fixed order makes failures reproducible.
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), {}};
        // Announced before the run, so that the input that crashes is the last one named.
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), data.size());
        if (!in) return std::fprintf(stderr, "replay: cannot read %s\n", path.c_str()), 1;
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    if (inputs.empty()) return std::fprintf(stderr, "replay: no input found\n"), 1;
    std::printf("replay: %zu inputs, no fault\n", inputs.size());
    return 0;
}
