// Replays fuzz inputs without libFuzzer: each file given, and every file under each directory given
// (the seeds, the inputs that once crashed the target), runs as a regression case, under the
// sanitizers in the ASan build. A missing directory counts as empty; no input at all fails.
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
        for (fs::recursive_directory_iterator it(argv[i], ec), end; !ec && it != end;
             it.increment(ec))
            if (it->is_regular_file(ec) && it->path().filename().string().front() != '.')
                inputs.push_back(it->path());
    }
    std::sort(inputs.begin(), inputs.end());  // a fixed order makes a failure reproducible
    for (const auto& path : inputs) {
        std::fprintf(stderr, "replay: %s\n", path.c_str());  // a crash follows its input's name
        const std::string data = file_text(path);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    }
    if (inputs.empty()) return std::fprintf(stderr, "replay: no input found\n"), 1;
    std::printf("replay: %zu inputs, no fault\n", inputs.size());
    return 0;
}
