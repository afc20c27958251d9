// The whole installation of an arbitrary "/tmp/image" into a simulated board.
//
// Input: byte 0 chooses how the board and the installer are set up, the rest is the file.
//   bit 0: install an application image as image 1 or image 2 (the slot is given, so no dialogue
//          can boot the download and end the process);
//   bit 1: skip images of the version already installed;
//   bit 2: low security mode on, so that unsigned images get as far as flash;
//   bit 3: mend the CRC of every image of the file before it is installed, so that mutated
//          headers and payloads reach the checks after the CRC;
//   bit 4: answer yes to every question (else "q", then "1").
// After the run, when the boot slot byte was changed, the slot it names must hold an image whose
// CRC is good: an install reported done must really be in flash. A Q-ORB image is the exception
// by design: it names the slot for the application that takes its payload from /tmp, and writes
// no flash, so a package that installed one is not held to this.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "flash/flash.h"
#include "fuzz/support/fuzz_board.h"
#include "image/image_format.h"
#include "image/install.h"
#include "platform/byte_order.h"
#include "security/lowsec.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void mend_crcs(std::vector<std::uint8_t>& file) {
    std::size_t offset = 0;
    while (file.size() - offset >= IMG_PROBE_LEN) {
        std::uint8_t* p = file.data() + offset;
        const ImageHeader h =
            image_header_decode(std::span<const std::uint8_t, IMG_PROBE_LEN>(p, IMG_PROBE_LEN));
        const std::uint64_t length = image_length(h);
        if (!image_header_consistent(h) || length > file.size() - offset || length < IMG_PROBE_LEN)
            return;
        be::store32(p, image_crc32(p + 4, static_cast<std::size_t>(length - 4), IMG_CRC_SEED));
        offset += static_cast<std::size_t>(length);
    }
}

bool slot_holds_good_image(sim::SimBoard& board, int slot) {
    const std::uint32_t offset = slot == 2 ? FLASH_SLOT2_OFFSET : FLASH_SLOT1_OFFSET;
    const auto probe = board.flash_read(offset, IMG_PROBE_LEN);
    const ImageHeader h = image_header_decode(
        std::span<const std::uint8_t, IMG_PROBE_LEN>(probe.data(), IMG_PROBE_LEN));
    const std::uint64_t length = image_length(h);
    if (!image_header_consistent(h) || length < IMG_PROBE_LEN || length > FLASH_SLOT1_ROOM)
        return false;
    const auto image = board.flash_read(offset, static_cast<std::size_t>(length));
    return image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED) == h.crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    const int slot = (mode & 1) != 0 ? 2 : 1;
    std::vector<std::uint8_t> file(data + 1, data + size);
    if ((mode & 8) != 0) mend_crcs(file);

    auto& fb = fuzz::FuzzBoard::get();
    // Enough answers for every question a package of many images can ask.
    std::string answers;
    for (int i = 0; i < 64; ++i) answers += (mode & 16) != 0 ? "y" : "q\n1\n";
    fb.reset(answers);
    if ((mode & 4) != 0) {
        const std::uint8_t on = 1;
        fb.write_file(LOWSEC_MARKER_PATH, std::span<const std::uint8_t>(&on, 1));
    }
    fb.write_file(DOWNLOAD_IMAGE_PATH, file);
    const int before = fb.board().eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];

    const int result = image_install_package(DOWNLOAD_IMAGE_PATH, (mode & 2) != 0 ? 1 : 0, slot);
    check(result == 0 || result == 1);

    const int after = fb.board().eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];
    const bool qorb_installed =
        fb.out().find("Installing Q-ORB application: ") != std::string::npos;
    if (after != before && !qorb_installed) {
        check(after == 1 || after == 2);
        check(slot_holds_good_image(fb.board(), after));
    }
    return 0;
}
