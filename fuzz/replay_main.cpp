// Replays fuzz inputs through a fuzz target without libFuzzer, so that the seed corpus and every
// input that once crashed a target run as ordinary regression cases with the normal compiler (and
// under the sanitizers of the ASan build).
//
//   replay_<target> DIR|FILE...
//
// Every regular file under each argument is one input. A missing directory counts as empty; the
// run fails when no input at all was found, since a replay of nothing proves nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> inputs_under(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    if (std::filesystem::is_regular_file(root, ec)) {
        found.push_back(root);
        return found;
    }
    if (!std::filesystem::is_directory(root, ec)) {
        return found;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (entry.is_regular_file(ec) && entry.path().filename().string().front() != '.') {
            found.push_back(entry.path());
        }
    }
    // Directory order varies between file systems; a fixed order makes failures reproducible.
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& path : inputs_under(argv[i])) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
                return 1;
            }
            const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                                 std::istreambuf_iterator<char>()};
            // Announced before the run, so that the input that crashes is the last one named.
            std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), data.size());
            LLVMFuzzerTestOneInput(data.data(), data.size());
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    std::printf("replay: %zu inputs, no fault\n", replayed);
    return 0;
}
