// The signature check of a whole image in memory: the version-3 header entry walk and the
// signature entry, against the key store of a simulated board.
//
// Input: byte 0 sets the board's state (bit 0: low security mode on), the rest is the image,
// held in a buffer of exactly its size so that any read past it is caught. Hostile entry lengths
// (0 to 3, past the header, past the buffer) and signature lengths up to 65535 must end in a plain
// 0 or 1.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/support/fuzz_board.h"
#include "security/lowsec.h"
#include "security/signature_policy.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    auto& fb = fuzz::FuzzBoard::get();
    fb.reset("n\n");
    if ((data[0] & 1) != 0) {
        const std::uint8_t on = 1;
        fb.write_file(LOWSEC_MARKER_PATH, std::span<const std::uint8_t>(&on, 1));
    }
    const std::vector<std::uint8_t> image(data + 1, data + size);
    const int result =
        imgsign_verify_image(std::span<const std::uint8_t>(image.data(), image.size()));
    check(result == 0 || result == 1);
    return 0;
}
