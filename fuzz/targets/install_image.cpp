// The whole installation of an arbitrary "/tmp/image" into a simulated board. The mode byte:
//   bit 0: install an application image as image 1 or image 2 (the slot is given, so no dialogue
//          can boot the download and end the process);
//   bit 1: skip images of the version already installed;
//   bit 2: low security mode on, so that unsigned images get as far as flash;
//   bit 3: mend the CRC of every image of the file first, so that mutated headers and payloads
//          reach the checks after the CRC;
//   bit 4: answer yes to every question (else "q", then "1").
// When the boot slot byte was changed, the slot it names must hold an image whose CRC is good: an
// install reported done must really be in flash. A Q-ORB image is the exception by design: it
// names the slot for the application that takes its payload from /tmp and writes no flash.
#include "board/i2c_devices.h"
#include "flash/flash.h"
#include "fuzz/support/fuzz_board.h"
#include "image/image_format.h"
#include "image/install.h"
#include "platform/byte_order.h"
#include "security/lowsec.h"

using fuzz::check;

// The length of the image `bytes` starts with if its header describes one that fits in `room`.
static std::uint64_t image_at(std::span<const std::uint8_t> bytes, std::size_t room) {
    if (bytes.size() < IMG_PROBE_LEN) return 0;
    const ImageHeader h = image_header_decode(bytes.first<IMG_PROBE_LEN>());
    const std::uint64_t length = image_length(h);
    return image_header_consistent(h) && length >= IMG_PROBE_LEN && length <= room ? length : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto in = fuzz::split(data, size);
    fuzz::Bytes file(in.data.begin(), in.data.end());
    for (std::size_t at = 0, n; (in.mode & 8) != 0; at += n) {
        if ((n = image_at(std::span(file).subspan(at), file.size() - at)) == 0) break;
        be::store32(file.data() + at, jamcrc(std::span(file).subspan(at + 4, n - 4)));
    }
    std::string answers;  // enough for every question a package of many images can ask
    for (int i = 0; i < 64; ++i) answers += (in.mode & 16) != 0 ? "y" : "q\n1\n";
    TestBoard& b = fuzz::reset(answers);
    if ((in.mode & 4) != 0) b.write_file(LOWSEC_MARKER_PATH, "\1");
    b.write_file(DOWNLOAD_IMAGE_PATH, std::span<const std::uint8_t>(file));

    const int result =
        image_install_package(DOWNLOAD_IMAGE_PATH, (in.mode & 2) != 0 ? 1 : 0, (in.mode & 1) + 1);
    check(result == 0 || result == 1);

    const int after = b->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];
    if (after != 1 && b.out().find("Installing Q-ORB application: ") == std::string::npos) {
        check(after == 1 || after == 2);
        const std::uint32_t offset = after == 2 ? FLASH_SLOT2_OFFSET : FLASH_SLOT1_OFFSET;
        const std::uint64_t n = image_at(b->flash_read(offset, IMG_PROBE_LEN), FLASH_SLOT1_ROOM);
        auto image = b->flash_read(offset, static_cast<std::size_t>(n));
        const auto stored = image;
        fix_crc(image);
        check(n != 0 && image == stored);
    }
    return 0;
}
