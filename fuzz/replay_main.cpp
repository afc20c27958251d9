// Replays fuzz inputs through a fuzz target without libFuzzer, so that the seed corpus and every
// input that once crashed a target run as ordinary regression cases with the normal compiler (and
// under the sanitizers of the ASan build).   replay_<target> DIR|FILE...
// Every regular file under each argument is one input. A missing directory counts as empty; the
// run fails when no input at all was found, since a replay of nothing proves nothing.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "tests/support/board_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    std::error_code ec;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i], ec)) inputs.emplace_back(argv[i]);
        for (auto it = fs::recursive_directory_iterator(argv[i], ec); !ec && it != fs::end(it);
             it.increment(ec))
            if (it->is_regular_file(ec) && it->path().filename().string().front() != '.')
                inputs.push_back(it->path());
    }
    // Directory order varies between file systems; a fixed order makes failures reproducible.
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
        // Announced before the run, so that the input that crashes is the last one named.
        std::fprintf(stderr, "replay: %s\n", path.c_str());
        const std::string data = file_text(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    }
    if (inputs.empty()) return std::fprintf(stderr, "replay: no input found\n"), 1;
    std::printf("replay: %zu inputs, no fault\n", inputs.size());
    return 0;
}
