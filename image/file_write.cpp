#include "image/file_write.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/console_io.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kFilePiece = 0x10000;

}  // namespace

int file_write_progress(const char* path, const std::uint8_t* data, std::size_t length) {
    std::FILE* file = platform::os().fopen(path, "wb");
    if (file == nullptr) {
        out_printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                   errno, 0, static_cast<int>(length), 0);
        return 0;
    }
    ProgressDisplay display(true, "    ", false);
    std::size_t written = 0;
    const std::size_t units = length >> 8;
    while (written < length) {
        const std::size_t piece = std::min(length - written, kFilePiece);
        if (std::fwrite(data + written, piece, 1, file) != 1) {
            out_printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                       errno, static_cast<int>(written), static_cast<int>(length),
                       static_cast<int>(piece));
            std::fclose(file);
            return 0;
        }
        written += piece;
        // Below 256 bytes there is no unit to count in; only the final 100% is shown.
        if (units == 0) continue;
        display.step(static_cast<unsigned>((written >> 8) * 100 / units));
    }
    // Buffered data reaches the file only here; a failure now is a failed write, not a success.
    if (std::fclose(file) != 0) {
        out_printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                   errno, static_cast<int>(written), static_cast<int>(length), 0);
        return 0;
    }
    display.finish();
    return 1;
}
