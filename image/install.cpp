// Installation of downloaded image packages: each image is checked whole in memory (CRC, size,
// signature) before a single block of its destination is erased, then written and read back.
#include "image/install.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "board/boot_slot.h"
#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "boot/launch.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/image_format.h"
#include "image/state_record.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "security/signature_policy.h"

namespace {

constexpr std::size_t kFilePiece = 0x10000;
constexpr std::size_t kVerifyPiece = 0x10000;
constexpr std::size_t kSlotAnswerLen = 31;

constexpr const char* kSameVersion = "Image has same version as existing image. Skipping update...";

// What the console shows of each installed kind: its title and its CRC failure line.
struct KindTexts {
    std::uint32_t kind;
    const char* title;
    const char* bad_crc;
};

constexpr std::array<KindTexts, 5> kKindTexts{{
    {IMG_KIND_BOOTLOADER,
     "Installing Boot Loader: ", "Bad crc for UBOOT: 0x%08x, voiding download\n"},
    {IMG_KIND_KERNEL, "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n"},
    {IMG_KIND_RFS, "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n"},
    {IMG_KIND_APPLICATION,
     "Installing Application: ", "Bad crc for APPLICATION: 0x%08x, voiding download\n"},
    {IMG_KIND_QORB,
     "Installing Q-ORB application: ", "Bad crc for Q-ORB APPLICATION: 0x%08x, voiding download\n"},
}};

const KindTexts& texts_of(std::uint32_t kind) {
    const auto* t = std::find_if(kKindTexts.begin(), kKindTexts.end(),
                                 [kind](const KindTexts& k) { return k.kind == kind; });
    return t != kKindTexts.end() ? *t : kKindTexts.back();
}

std::uint32_t slot_offset(int slot) {
    return slot == 1 ? FLASH_SLOT1_OFFSET : FLASH_SLOT2_OFFSET;
}

std::uint32_t slot_room(int slot) {
    return slot == 1 ? FLASH_SLOT1_ROOM : FLASH_SLOT2_ROOM;
}

// Where an image of the package goes. Each is written at most once per package: a package of a
// thousand tiny images for one region would otherwise erase its blocks a thousand times.
enum class Destination : unsigned { slot1, slot2, kernel, rfs, bootloader, qorb_file };

constexpr const char* kDestinationNames[] = {
    "image slot 1",           "image slot 2", "the kernel region", "the root file system region",
    "the boot loader region", QORB_IMAGE_PATH};

class Destinations {
  public:
    // False, with the console told why, when an earlier image of the package went there.
    bool claim(Destination d) {
        const unsigned bit = 1u << static_cast<unsigned>(d);
        if ((claimed_ & bit) != 0) {
            out_printf(
                "Second image for %s in this package refused: each destination is written "
                "once per package, voiding download\n",
                kDestinationNames[static_cast<unsigned>(d)]);
            return false;
        }
        claimed_ |= bit;
        return true;
    }

  private:
    unsigned claimed_ = 0;
};

Destination slot_destination(int slot) {
    return slot == 1 ? Destination::slot1 : Destination::slot2;
}

// The flash kinds that are installed without an operator question.
struct FlashKindRule {
    std::uint32_t kind;
    Destination destination;
    bool limit_on_payload;  // else on the whole image
    std::uint32_t limit;
    const char* too_big;
    bool signature;
    bool payload_only;  // only the payload reaches flash
    std::uint32_t offset;
    const char* failed;
};

constexpr std::array<FlashKindRule, 3> kFlashKinds{{
    {IMG_KIND_BOOTLOADER, Destination::bootloader, true, 0x100000,
     "UBOOT image is too big for flash (%d > %d)\n", false, true, FLASH_BOOTLOADER_OFFSET,
     "Uboot image update failed"},
    {IMG_KIND_KERNEL, Destination::kernel, false, 0x800000,
     "KERNEL image is too big for flash (%d > %d)\n", true, false, FLASH_KERNEL_OFFSET,
     "kernel image update failed"},
    {IMG_KIND_RFS, Destination::rfs, false, 0xA00000, "RFS image is too big for flash (%d > %d)\n",
     true, false, FLASH_RFS_OFFSET, "RFS image update failed"},
}};

constexpr std::uint32_t kApplicationLimit = 0xA00000;

// The package file, closed on every way out.
class PackageFile final : public PackageSource {
  public:
    explicit PackageFile(const char* path) : fd_(platform::os().open(path, O_RDONLY)) {
        struct stat st {};
        if (fd_ >= 0 && platform::os().stat(path, &st) == 0 && st.st_size > 0)
            size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~PackageFile() override { close(); }
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;

    void close() {
        if (fd_ >= 0) platform::os().close(fd_);
        fd_ = -1;
    }
    std::uint64_t size() const override { return size_; }

    bool read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (fd_ < 0) return false;
        std::uint8_t* buf = out.data();
        std::size_t length = out.size();
        while (length > 0) {
            const ssize_t n = platform::os().pread(fd_, buf, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buf += n;
            offset += static_cast<std::uint64_t>(n);
            length -= static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// The CRC check of every kind, with the kind's own failure line.
bool crc_good(std::span<const std::uint8_t> image, const ImageHeader& header) {
    const std::uint32_t crc = image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED);
    if (crc == header.crc) return true;
    out_printf(texts_of(image_kind(header.magic)).bad_crc, crc);
    return false;
}

// An image that runs past the end of the package fails its CRC check with the kind's own line,
// computed over the bytes that are there; nothing past the end is read or allocated.
void report_cut_short(PackageFile& package, const PackageItem& item) {
    const KindTexts& texts = texts_of(image_kind(item.header.magic));
    out_printf("%s", texts.title);
    std::array<std::uint8_t, 0x4000> piece{};
    std::uint32_t crc = IMG_CRC_SEED;
    for (std::uint64_t done = 4; done < item.left;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), item.left - done));
        if (!package.read_at(item.offset + done, std::span(piece.data(), n))) break;
        crc = image_crc32(piece.data(), n, crc);
        done += n;
    }
    out_printf(texts.bad_crc, crc);
}

// Whether the flash at offset holds exactly data: the read-back after a write, and the proof
// that an image of the same version is intact before an update is skipped.
bool flash_holds(std::uint32_t offset, std::span<const std::uint8_t> data) {
    std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kVerifyPiece]);
    if (!piece) return false;
    for (std::size_t done = 0; done < data.size();) {
        const std::size_t n = std::min(kVerifyPiece, data.size() - done);
        if (flash_region_read(piece.get(), mtd_fd, offset + static_cast<std::uint32_t>(done),
                              static_cast<std::uint32_t>(n)) != 0 ||
            std::memcmp(piece.get(), data.data() + done, n) != 0)
            return false;
        done += n;
    }
    return true;
}

// Writes to flash and reads it back; a write the device did not complete is a failure.
bool flash_install(std::uint32_t offset, std::span<const std::uint8_t> data) {
    if (flash_region_write(data.data(), mtd_fd, offset, static_cast<std::uint32_t>(data.size()),
                           1) != 0)
        return false;
    if (flash_holds(offset, data)) return true;
    out_printf("Flash verify failed: region at 0x%x does not hold the image written\n", offset);
    return false;
}

// The same-version skip, only when the installed copy is also intact: a slot whose first block
// holds the new header but whose write was cut short must be written again.
bool same_version_installed(std::span<const std::uint8_t> image, int slot, std::uint32_t offset,
                            std::span<const std::uint8_t> stored) {
    if (!image_same_version(image.data(), slot)) return false;
    if (flash_holds(offset, stored)) return true;
    out_puts("Installed image has the same version but does not match it; updating.");
    return false;
}

enum class Answer { line, closed, broken };

// One line of the operator's answer from the console, at most kSlotAnswerLen characters kept;
// the rest of an overlong line is consumed so that it cannot answer the next question. An
// operator's break (Ctrl-C), before or during the answer, ends the question: a break must never
// start anything.
Answer read_answer(char (&line)[kSlotAnswerLen + 1]) {
    std::memset(line, 0, sizeof line);
    std::size_t used = 0;
    for (;;) {
        if (boot_settings.break_flag) {
            out_printf("\n");
            return Answer::broken;
        }
        char c = 0;
        const ssize_t n = platform::os().read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return used > 0 ? Answer::line : Answer::closed;
        if (c == '\x03') boot_settings.break_flag = 1;  // Ctrl-C as a byte (no ISIG, a pipe)
        if (c == '\n') return Answer::line;
        if (used < kSlotAnswerLen) line[used++] = c;
    }
}

// Whether an image slot holds a whole image that the boot path would start: an application or
// diagnostics header and a good CRC.
bool slot_holds_image(int slot) {
    std::array<std::uint8_t, IMG_PROBE_LEN> probe{};
    if (flash_region_read(probe.data(), mtd_fd, slot_offset(slot), IMG_PROBE_LEN) != 0)
        return false;
    const ImageHeader h = image_header_decode(probe);
    const std::uint64_t length = image_length(h);
    if (!image_slot_bootable(h, slot_room(slot))) return false;
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[length]);
    return image &&
           flash_region_read(image.get(), mtd_fd, slot_offset(slot),
                             static_cast<std::uint32_t>(length)) == 0 &&
           image_crc32(image.get() + 4, length - 4, IMG_CRC_SEED) == h.crc;
}

// After a failed write into the slot that the next power-up boots, point the boot slot byte at
// the other slot, but only when the failed slot no longer holds a whole image (a write can fail
// before it touches the slot) and the other one does.
void keep_boot_slot_good(int failed_slot) {
    if (choose_boot_slot() != failed_slot || slot_holds_image(failed_slot)) return;
    const int other = failed_slot == 1 ? 2 : 1;
    if (!slot_holds_image(other)) return;
    if (eeprom_write_boot_slot(static_cast<std::uint8_t>(other)) >= 0)
        out_printf("Boot slot set to image%d, which still holds a good image\n", other);
}

enum class Outcome { installed, skipped, failed };

// The checks a flash kind gets from its header alone, before any memory is taken for the image:
// one destination per package, and the size limit (a 200 MB kernel is refused without reading).
bool flash_kind_fits(const FlashKindRule& rule, const ImageHeader& h, std::uint64_t length,
                     Destinations& destinations) {
    if (!destinations.claim(rule.destination)) return false;
    const std::uint64_t size = rule.limit_on_payload ? h.payload_len : length;
    if (size > rule.limit) {
        out_printf(rule.too_big, static_cast<int>(size), static_cast<int>(rule.limit));
        return false;
    }
    return true;
}

// A boot loader is the whole board: what it boots and whether low security mode is forced on.
bool bootloader_accepted(std::span<const std::uint8_t> image, const ImageHeader& h) {
    // The record lies inside the signed payload, so a kernel or root file system relabelled as
    // a boot loader fails here even though its signature would pass.
    if (!image_bootloader_record_present(image.subspan(h.header_len))) {
        out_printf(
            "Boot loader payload holds no boot loader version record at 0x%zx, voiding "
            "download\n",
            IMG_BOOTLOADER_RECORD_OFFSET);
        return false;
    }
    return imgsign_verify_bootloader(image) != 0;
}

Outcome install_flash_kind(const FlashKindRule& rule, std::span<const std::uint8_t> image,
                           const ImageHeader& h, std::uint8_t skip_same_version, int slot) {
    if (!crc_good(image, h)) return Outcome::failed;
    if (rule.kind == IMG_KIND_BOOTLOADER && !bootloader_accepted(image, h)) return Outcome::failed;
    if (rule.signature && imgsign_verify_image(image) == 0) return Outcome::failed;
    const auto stored = rule.payload_only ? image.subspan(h.header_len) : image;
    if (skip_same_version && same_version_installed(image, slot, rule.offset, stored)) {
        out_puts(kSameVersion);
        return Outcome::skipped;
    }
    if (!flash_install(rule.offset, stored)) {
        out_puts(rule.failed);
        return Outcome::failed;
    }
    return Outcome::installed;
}

// Ends the process by booting the application archive; returns only when the archive could not
// be written.
void boot_download(std::span<const std::uint8_t> payload, PackageFile& package) {
    out_puts("Booting downloaded image");
    std::FILE* archive = platform::os().fopen(APPLICATION_ARCHIVE, "wb");
    bool written =
        archive != nullptr &&
        (payload.empty() || std::fwrite(payload.data(), payload.size(), 1, archive) == 1);
    int error = errno;
    if (archive != nullptr && std::fclose(archive) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        out_printf("Image unpack failed (err %d)\n", error);
        return;
    }
    out_puts("Image ready to boot...");
    package.close();
    launch_application(0);
}

// The slot is the package's: the operator's answer holds for every later image of the package,
// so one question covers an application and a Q-ORB image downloaded together.
Outcome install_application(std::span<const std::uint8_t> image, const ImageHeader& h,
                            std::uint8_t skip_same_version, int& slot, PackageFile& package,
                            Destinations& destinations) {
    if (!crc_good(image, h)) return Outcome::failed;
    if (imgsign_verify_image(image) == 0) return Outcome::failed;
    if (slot == 0) {
        out_printf("Install image as image 1 or 2 (hit return to just boot image): ");
        char line[kSlotAnswerLen + 1];
        const Answer answer = read_answer(line);
        if (answer == Answer::broken) return Outcome::failed;
        if (answer == Answer::line && (line[0] == '1' || line[0] == '2')) slot = line[0] - '0';
    }
    if (slot == 0) {
        boot_download(image.subspan(h.header_len), package);
        return Outcome::failed;
    }
    if (!destinations.claim(slot_destination(slot))) return Outcome::failed;
    // A slot image the boot path would not start (bit 31 of its magic set, say) would take the
    // boot slot byte and leave the board resetting at every power-up.
    if (!image_slot_bootable(h, slot_room(slot))) {
        out_printf("Image header 0x%08x is not one that image%d can boot, voiding download\n",
                   h.magic, slot);
        return Outcome::failed;
    }
    out_printf("Installing image as image%d: ", slot);
    const std::uint32_t offset = slot_offset(slot);
    if (skip_same_version && same_version_installed(image, slot, offset, image)) {
        out_printf("Image%d has same version as existing image. Skipping update...\n", slot);
        return Outcome::skipped;
    }
    if (image.size() > kApplicationLimit) {
        out_printf("Application image is too big for flash (%d > %d)\n",
                   static_cast<int>(image.size()), static_cast<int>(kApplicationLimit));
        return Outcome::failed;
    }
    if (!flash_install(offset, image)) {
        out_printf("Image%d update failed\n", slot);
        keep_boot_slot_good(slot);
        return Outcome::failed;
    }
    out_printf("\nImage%d updated succeeded\n", slot);
    boot_trial_begin(slot, boot_settings.bootlimit);
    eeprom_write_boot_slot(static_cast<std::uint8_t>(slot));
    image_timestamp_set(static_cast<std::uint8_t>(slot));
    return Outcome::installed;
}

// Q-ORB: the slot question repeats until 1, 2 or q; q abandons the package.
Outcome install_qorb(std::span<const std::uint8_t> image, const ImageHeader& h, int& slot) {
    if (!crc_good(image, h)) return Outcome::failed;
    while (slot == 0) {
        out_printf("Install image as image 1 or 2 (q to quit): ");
        char line[kSlotAnswerLen + 1];
        // A closed console can never answer; asking again would never end.
        if (read_answer(line) != Answer::line) return Outcome::failed;
        if (line[0] == '1' || line[0] == '2') slot = line[0] - '0';
        if (line[0] == 'q' || line[0] == 'Q') return Outcome::failed;
    }
    out_printf("Installing image as image%d: ", slot);
    out_printf("Preparing image for installation: ");
    const auto payload = image.subspan(h.header_len);
    if (file_write_progress(QORB_IMAGE_PATH, payload.data(), payload.size()) == 0) {
        out_printf("WARNING: writing image file failed (err %d)\n", errno);
        return Outcome::failed;
    }
    out_printf("\nImage%d updated succeeded\n", slot);
    eeprom_write_boot_slot(static_cast<std::uint8_t>(slot));
    return Outcome::installed;
}

}  // namespace

int image_install_package(const char* path, std::uint8_t skip_same_version, int slot) {
    // Slot numbers other than 1 and 2 go to slot 2's region; record them as 2 as well, since the
    // boot path accepts no other number in the boot slot byte.
    if (slot != 0 && slot != 1) slot = 2;
    PackageFile package(path);
    out_puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    int installed = 0;
    std::uint64_t at = 0;
    Destinations destinations;
    for (;;) {
        const PackageItem item = image_package_next(package, at);
        const ImageHeader& h = item.header;
        switch (item.step) {
            case PackageStep::end:
                package.close();
                if (!installed) out_puts("ERROR: No valid image found");
                return installed;
            case PackageStep::skip:
                at += item.length;
                continue;
            case PackageStep::cut_short:
                report_cut_short(package, item);
                return 0;
            case PackageStep::inconsistent:
                // Lengths come from the download: a header that cannot describe an image is
                // refused before any buffer is sized from it.
                out_printf("%s", texts_of(image_kind(h.magic)).title);
                out_printf(
                    "Invalid image at offset %llu: header length %u and length field %u do not "
                    "fit a version %u header, voiding download\n",
                    static_cast<unsigned long long>(at), static_cast<unsigned>(h.header_len),
                    static_cast<unsigned>(h.len), static_cast<unsigned>(h.header_version));
                return 0;
            case PackageStep::image:
                break;
        }
        const std::uint32_t kind = image_kind(h.magic);
        const auto rule = std::find_if(kFlashKinds.begin(), kFlashKinds.end(),
                                       [&](const FlashKindRule& r) { return r.kind == kind; });
        out_printf("%s", texts_of(kind).title);
        if (rule != kFlashKinds.end() && !flash_kind_fits(*rule, h, item.length, destinations))
            return 0;
        if (kind == IMG_KIND_QORB && !destinations.claim(Destination::qorb_file)) return 0;
        // A slot given by the caller fixes the application's limit before the image is read; an
        // operator's answer may still boot it from the download, where no limit applies.
        if (kind == IMG_KIND_APPLICATION && slot != 0 && item.length > kApplicationLimit) {
            out_printf("Application image is too big for flash (%d > %d)\n",
                       static_cast<int>(item.length), static_cast<int>(kApplicationLimit));
            return 0;
        }
        const auto length = static_cast<std::size_t>(item.length);
        std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[length]);
        if (!buffer) {
            out_printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(length));
            return 0;
        }
        const std::span<std::uint8_t> image(buffer.get(), length);
        if (!package.read_at(at, image)) {
            out_printf("Package read failed at offset %llu (err %d), voiding download\n",
                       static_cast<unsigned long long>(at), errno);
            return 0;
        }
        at += item.length;

        Outcome outcome = Outcome::skipped;
        if (rule != kFlashKinds.end())
            outcome = install_flash_kind(*rule, image, h, skip_same_version, slot);
        else if (kind == IMG_KIND_APPLICATION)
            outcome = install_application(image, h, skip_same_version, slot, package, destinations);
        else
            outcome = install_qorb(image, h, slot);
        if (outcome == Outcome::failed) return 0;
        if (outcome == Outcome::installed) installed = 1;
    }
}

int image_installed_header(std::uint32_t kind, std::uint8_t* header, int slot) {
    if (header == nullptr) return 0;
    std::memset(header, 0, IMG_FIXED_HEADER_LEN);
    std::uint32_t offset = 0;
    switch (kind) {
        case IMG_KIND_APPLICATION:
            offset = slot_offset(slot);
            break;
        case IMG_KIND_KERNEL:
            offset = FLASH_KERNEL_OFFSET;
            break;
        case IMG_KIND_RFS:
            offset = FLASH_RFS_OFFSET;
            break;
        case IMG_KIND_BOOTLOADER:
            offset = FLASH_BOOTLOADER_VERSION_OFFSET;
            break;
        default:
            out_printf("Unknown image type 0x%x \n", kind);
            return 0;
    }
    // A failed read shows as an empty header rather than half of one.
    if (flash_region_read(header, mtd_fd, offset, IMG_FIXED_HEADER_LEN) != 0)
        std::memset(header, 0, IMG_FIXED_HEADER_LEN);
    return 1;
}

int image_same_version(const std::uint8_t* header, int slot) {
    std::uint8_t installed[IMG_FIXED_HEADER_LEN];
    const std::uint32_t magic = be::load32(header + 8);
    if (image_installed_header(magic, installed, slot) == 0) return 0;
    // The boot loader's record lies inside its payload; its crc word says nothing about it.
    const std::size_t from = image_kind(magic) == IMG_KIND_BOOTLOADER ? 4 : 0;
    return std::memcmp(installed + from, header + from, IMG_FIXED_HEADER_LEN - from) == 0 ? 1 : 0;
}

int file_write_progress(const char* path, const std::uint8_t* data, std::size_t length) {
    std::FILE* file = platform::os().fopen(path, "wb");
    if (file == nullptr) {
        out_printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                   errno, 0, static_cast<int>(length), 0);
        return 0;
    }
    out_printf("    ");
    std::size_t written = 0;
    std::size_t last = 0;
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
        const std::size_t percent = (written >> 8) * 100 / units;
        if (percent != last) {
            out_printf("\b\b\b\b%3.3d%c", static_cast<int>(percent), '%');
            last = percent;
        }
    }
    // Buffered data reaches the file only here; a failure now is a failed write, not a success.
    if (std::fclose(file) != 0) {
        out_printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                   errno, static_cast<int>(written), static_cast<int>(length), 0);
        return 0;
    }
    out_printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int install_log_append(const char* file, const char* source) {
    std::uint8_t t[RTC_TIME_LEN] = {};
    rtc_read_time(t);
    constexpr const char* kEntry = "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%x\n";
    const unsigned hours = t[2] & 0x3F, minutes = t[1] & 0x7F, seconds = t[0] & 0x7F;
    const unsigned day = t[4] & 0x3F, month = t[5] & 0x1F, year = t[6];
    out_printf(
        "Updating install log. File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%x\n",
        file, source, hours, minutes, seconds, day, month, year);
    char entry[512];  // file names are at most 255 bytes
    const int n = std::snprintf(entry, sizeof entry, kEntry, file, source, hours, minutes, seconds,
                                day, month, year);
    state_file_append(INSTALL_LOG_PATH, std::span(reinterpret_cast<const std::uint8_t*>(entry),
                                                  static_cast<std::size_t>(std::clamp(n, 0, 511))));
    return 1;
}
