// The signature check of a whole image in memory -- the version-3 header entry walk and the
// signature entry -- against the key store of a simulated board. Mode bit 0: low security mode
// on. The image is held in a buffer of exactly its size, so any read past it is caught; hostile
// entry lengths (0 to 3, past the header, past the buffer) and signature lengths up to 65535 must
// end in a plain 0 or 1.
#include <vector>

#include "fuzz/support/fuzz_board.h"
#include "security/lowsec.h"
#include "security/signature_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto in = fuzz::split(data, size);
    TestBoard& b = fuzz::reset("n\n");
    if ((in.mode & 1) != 0) b.write_file(LOWSEC_MARKER_PATH, "\1");
    const std::vector<std::uint8_t> image(in.data.begin(), in.data.end());
    const int result = imgsign_verify_image(image);
    fuzz::check(result == 0 || result == 1);
    return 0;
}
