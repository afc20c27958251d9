// Installation of downloaded image packages, in two passes over the package. The check pass
// takes every image as the board would: its structure, its CRC, its size limit and destination,
// the boot path's rule for slots and the signature policy, with the operator's questions in the
// order of the images; nothing is written then. Only when every image passed does the write pass
// read each image again, check its CRC again and write it, so a package that fails anywhere,
// even in its last byte, leaves the board as it was.
#include "image/install.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "board/boot_slot.h"
#include "board/i2c_devices.h"
#include "boot/boot_settings.h"
#include "boot/launch.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/file_write.h"
#include "image/image_format.h"
#include "image/installed.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "security/signature_policy.h"

namespace {

constexpr std::size_t kSlotAnswerLen = 31;

constexpr const char* kSameVersion = "Image has same version as existing image. Skipping update...";

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

// One image of the package in memory, read from its place in the package.
class ImageBuffer {
  public:
    // False, with the console told why, when the image cannot be held or read.
    bool load(PackageFile& package, std::uint64_t offset, std::uint64_t length) {
        const auto n = static_cast<std::size_t>(length);
        data_.reset(new (std::nothrow) std::uint8_t[n]);
        if (!data_) {
            out_printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(n));
            return false;
        }
        size_ = n;
        if (!package.read_at(offset, bytes())) {
            out_printf("Package read failed at offset %llu (err %d), voiding download\n",
                       static_cast<unsigned long long>(offset), errno);
            return false;
        }
        return true;
    }
    std::span<std::uint8_t> bytes() const { return {data_.get(), size_}; }
    void release() {
        data_.reset();
        size_ = 0;
    }

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

// Where the images of the package go. Each destination is written at most once per package: a
// package of a thousand tiny images for one region would otherwise erase it a thousand times.
class Destinations {
  public:
    bool claim_region(FlashRegion region) {
        return claim(static_cast<unsigned>(region), flash_region(region).label);
    }
    bool claim_file(const char* path) { return claim(kFileBit, path); }

  private:
    static constexpr unsigned kFileBit = FLASH_REGIONS.size();
    // False, with the console told why, when an earlier image of the package went there.
    bool claim(unsigned bit, const char* name) {
        if ((claimed_ & (1u << bit)) != 0) {
            out_printf(
                "Second image for %s in this package refused: each destination is written "
                "once per package, voiding download\n",
                name);
            return false;
        }
        claimed_ |= 1u << bit;
        return true;
    }
    unsigned claimed_ = 0;
};

// An image that passed the check pass, and what the write pass does with it.
struct Checked {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    ImageHeader header;
    const ImageKind* kind = nullptr;
    bool skip = false;  // the same version is installed and intact
};

// The CRC check of every kind, with the kind's own failure line.
bool crc_good(std::span<const std::uint8_t> image, const ImageHeader& header,
              const ImageKind& kind) {
    const std::uint32_t crc = image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED);
    if (crc == header.crc) return true;
    out_printf(kind.bad_crc, crc);
    return false;
}

// An image that runs past the end of the package fails its CRC check with the kind's own line,
// computed over the bytes that are there; nothing past the end is read or allocated.
void report_cut_short(PackageFile& package, const PackageItem& item, const ImageKind& kind) {
    std::array<std::uint8_t, 0x4000> piece{};
    std::uint32_t crc = IMG_CRC_SEED;
    for (std::uint64_t done = 4; done < item.left;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), item.left - done));
        if (!package.read_at(item.offset + done, std::span(piece.data(), n))) break;
        crc = image_crc32(piece.data(), n, crc);
        done += n;
    }
    out_printf(kind.bad_crc, crc);
}

// Writes to flash and reads it back; a write the device did not complete is a failure.
bool flash_install(std::uint32_t offset, std::span<const std::uint8_t> data) {
    if (flash_region_write(data.data(), mtd_fd, offset, static_cast<std::uint32_t>(data.size()),
                           1) != 0)
        return false;
    if (image_flash_holds(offset, data)) return true;
    out_printf("Flash verify failed: region at 0x%x does not hold the image written\n", offset);
    return false;
}

// What of an image reaches its destination.
std::span<const std::uint8_t> stored_part(std::span<const std::uint8_t> image, const Checked& c) {
    return c.kind->payload_only ? image.subspan(c.header.header_len) : image;
}

// The same-version skip, only when the installed copy is also intact: a slot whose first block
// holds the new header but whose write was cut short must be written again.
bool same_version_installed(std::span<const std::uint8_t> image, int slot, std::uint32_t offset,
                            std::span<const std::uint8_t> stored) {
    if (!image_same_version(image.data(), slot)) return false;
    if (image_flash_holds(offset, stored)) return true;
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

// After a failed write into the slot that the next power-up boots, point the boot slot byte at
// the other slot, but only when the failed slot no longer holds a whole image (a write can fail
// before it touches the slot) and the other one does.
void keep_boot_slot_good(int failed_slot) {
    if (choose_boot_slot() != failed_slot || image_slot_holds_bootable(failed_slot)) return;
    const int other = failed_slot == 1 ? 2 : 1;
    if (!image_slot_holds_bootable(other)) return;
    if (eeprom_write_boot_slot(static_cast<std::uint8_t>(other)) >= 0)
        out_printf("Boot slot set to image%d, which still holds a good image\n", other);
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

class Installation {
  public:
    Installation(const char* path, std::uint8_t skip_same_version, int slot)
        : package_(path), skip_same_version_(skip_same_version), slot_(slot) {}

    int run();

  private:
    enum class Step { next, done, failed };

    Step check(const PackageItem& item);
    Step check_image(Checked& c, std::span<const std::uint8_t> image);
    bool ask_slot(const ImageKind& kind);
    bool write_all();
    bool write(const Checked& c);
    bool write_slot(const Checked& c, std::span<const std::uint8_t> image);
    bool write_file(const Checked& c, std::span<const std::uint8_t> image);

    PackageFile package_;
    std::uint8_t skip_same_version_;
    // The slot is the package's: the operator's answer holds for every later image of the
    // package, so one question covers an application and a Q-ORB image downloaded together.
    int slot_;
    Destinations destinations_;
    std::vector<Checked> checked_;
    ImageBuffer buffer_;
    bool boot_requested_ = false;  // the operator chose to boot the download
    int installed_ = 0;
};

int Installation::run() {
    out_puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    for (std::uint64_t at = 0;;) {
        const PackageItem item = image_package_next(package_, at);
        if (item.step == PackageStep::end) break;
        at += item.length;
        if (item.step == PackageStep::skip) continue;
        const Step step = check(item);
        buffer_.release();
        if (step == Step::failed) return 0;
        if (step == Step::done) break;
    }
    if (!write_all()) return 0;
    if (boot_requested_) {
        // The images before the application are written; the rest of the package is not
        // looked at, as the boot ends the installation.
        const Checked& app = checked_.back();
        if (!buffer_.load(package_, app.offset, app.length)) return 0;
        boot_download(buffer_.bytes().subspan(app.header.header_len), package_);
        return 0;
    }
    package_.close();
    if (!installed_) out_puts("ERROR: No valid image found");
    return installed_;
}

Installation::Step Installation::check(const PackageItem& item) {
    const ImageHeader& h = item.header;
    const ImageKind& kind = *image_kind_info(image_kind(h.magic));
    out_printf("%s", kind.title);
    if (item.step == PackageStep::cut_short) {
        report_cut_short(package_, item, kind);
        return Step::failed;
    }
    if (item.step == PackageStep::inconsistent) {
        // Lengths come from the download: a header that cannot describe an image is refused
        // before any buffer is sized from it.
        out_printf(
            "Invalid image at offset %llu: header length %u and length field %u do not fit a "
            "version %u header, voiding download\n",
            static_cast<unsigned long long>(item.offset), static_cast<unsigned>(h.header_len),
            static_cast<unsigned>(h.len), static_cast<unsigned>(h.header_version));
        return Step::failed;
    }
    // What the header alone decides comes before any memory is taken for the image: a 200 MB
    // kernel is refused without being read.
    if (kind.destination == KindDestination::region && !destinations_.claim_region(kind.region))
        return Step::failed;
    if (kind.destination == KindDestination::file && !destinations_.claim_file(kind.file))
        return Step::failed;
    const std::uint64_t size = kind.limit_on == KindLimit::payload ? h.payload_len : item.length;
    // A slot image's limit is known before the read only when the caller chose the slot; an
    // operator's answer may still boot it from the download, where no limit applies.
    const bool limited = kind.limit_on != KindLimit::none &&
                         (kind.destination != KindDestination::slot || slot_ != 0);
    if (limited && size > kind.limit) {
        out_printf(kind.too_big, static_cast<int>(size), static_cast<int>(kind.limit));
        return Step::failed;
    }
    if (!buffer_.load(package_, item.offset, item.length)) return Step::failed;
    Checked c{item.offset, item.length, h, &kind, false};
    const Step step = check_image(c, buffer_.bytes());
    if (step != Step::failed) checked_.push_back(c);
    return step;
}

Installation::Step Installation::check_image(Checked& c, std::span<const std::uint8_t> image) {
    const ImageKind& kind = *c.kind;
    const ImageHeader& h = c.header;
    if (!crc_good(image, h, kind)) return Step::failed;
    if (kind.signature == KindSignature::or_low_security) {
        // The record lies inside the signed payload, so a kernel or root file system relabelled
        // as a boot loader fails here even though its signature would pass.
        if (!image_bootloader_record_present(image.subspan(h.header_len))) {
            out_printf(
                "Boot loader payload holds no boot loader version record at 0x%zx, voiding "
                "download\n",
                IMG_BOOTLOADER_RECORD_OFFSET);
            return Step::failed;
        }
        if (imgsign_verify_bootloader(image) == 0) return Step::failed;
    }
    if (kind.signature == KindSignature::required && imgsign_verify_image(image) == 0)
        return Step::failed;

    std::uint32_t offset = 0;
    bool asked = false;
    if (kind.destination == KindDestination::slot || kind.destination == KindDestination::file) {
        asked = slot_ == 0;
        if (!ask_slot(kind)) return Step::failed;
        if (boot_requested_) return Step::done;
    }
    if (kind.destination == KindDestination::slot) {
        const FlashRegion region = flash_slot_region(slot_);
        if (!destinations_.claim_region(region)) return Step::failed;
        // A slot image the boot path would not start (bit 31 of its magic set, say) would take
        // the boot slot byte and leave the board resetting at every power-up.
        if (!image_slot_bootable(h, flash_region(region).room)) {
            out_printf("Image header 0x%08x is not one that image%d can boot, voiding download\n",
                       h.magic, slot_);
            return Step::failed;
        }
        offset = flash_region(region).offset;
    }
    if (kind.destination == KindDestination::region) offset = flash_region(kind.region).offset;
    if (skip_same_version_ && kind.destination != KindDestination::file &&
        same_version_installed(image, slot_, offset, stored_part(image, c))) {
        if (kind.destination == KindDestination::slot)
            out_printf("Image%d has same version as existing image. Skipping update...\n", slot_);
        else
            out_puts(kSameVersion);
        c.skip = true;
        return Step::next;
    }
    if (kind.destination == KindDestination::slot && image.size() > kind.limit) {
        out_printf(kind.too_big, static_cast<int>(image.size()), static_cast<int>(kind.limit));
        return Step::failed;
    }
    // The verdict's line ends here; an answer typed at a question ended it already.
    if (!asked) out_printf("\n");
    return Step::next;
}

// The slot question of an application (Enter boots the download) or a Q-ORB image (which
// repeats until 1, 2 or q). False when the operator left, broke off or quit.
bool Installation::ask_slot(const ImageKind& kind) {
    if (kind.destination == KindDestination::slot) {
        if (slot_ == 0) {
            out_printf("Install image as image 1 or 2 (hit return to just boot image): ");
            char line[kSlotAnswerLen + 1];
            const Answer answer = read_answer(line);
            if (answer == Answer::broken) return false;
            if (answer == Answer::line && (line[0] == '1' || line[0] == '2')) slot_ = line[0] - '0';
        }
        if (slot_ == 0) boot_requested_ = true;
        return true;
    }
    while (slot_ == 0) {
        out_printf("Install image as image 1 or 2 (q to quit): ");
        char line[kSlotAnswerLen + 1];
        // A closed console can never answer; asking again would never end.
        if (read_answer(line) != Answer::line) return false;
        if (line[0] == '1' || line[0] == '2') slot_ = line[0] - '0';
        if (line[0] == 'q' || line[0] == 'Q') return false;
    }
    return true;
}

bool Installation::write_all() {
    for (const Checked& c : checked_) {
        if (c.skip || (boot_requested_ && &c == &checked_.back())) continue;
        const bool written = write(c);
        buffer_.release();
        if (!written) return false;
        installed_ = 1;
    }
    return true;
}

bool Installation::write(const Checked& c) {
    const ImageKind& kind = *c.kind;
    out_printf("%s", kind.title);
    if (kind.destination == KindDestination::slot)
        out_printf("Installing image as image%d: ", slot_);
    // Read again, so checked again: what reaches flash is what passed.
    if (!buffer_.load(package_, c.offset, c.length)) return false;
    const std::span<const std::uint8_t> image = buffer_.bytes();
    if (!crc_good(image, c.header, kind)) return false;
    if (kind.destination == KindDestination::slot) return write_slot(c, image);
    if (kind.destination == KindDestination::file) return write_file(c, image);
    if (!flash_install(flash_region(kind.region).offset, stored_part(image, c))) {
        out_puts(kind.failed);
        return false;
    }
    return true;
}

bool Installation::write_slot(const Checked& c, std::span<const std::uint8_t> image) {
    if (!flash_install(flash_region(flash_slot_region(slot_)).offset, image)) {
        out_printf(c.kind->failed, slot_);
        keep_boot_slot_good(slot_);
        return false;
    }
    out_printf("\nImage%d updated succeeded\n", slot_);
    boot_trial_begin(slot_, boot_settings.bootlimit);
    eeprom_write_boot_slot(static_cast<std::uint8_t>(slot_));
    image_timestamp_set(static_cast<std::uint8_t>(slot_));
    return true;
}

bool Installation::write_file(const Checked& c, std::span<const std::uint8_t> image) {
    out_printf("Installing image as image%d: ", slot_);
    out_printf("Preparing image for installation: ");
    const auto payload = stored_part(image, c);
    if (file_write_progress(c.kind->file, payload.data(), payload.size()) == 0) {
        out_printf(c.kind->failed, errno);
        return false;
    }
    out_printf("\nImage%d updated succeeded\n", slot_);
    eeprom_write_boot_slot(static_cast<std::uint8_t>(slot_));
    return true;
}

}  // namespace

int image_install_package(const char* path, std::uint8_t skip_same_version, int slot) {
    // Slot numbers other than 1 and 2 go to slot 2's region; record them as 2 as well, since the
    // boot path accepts no other number in the boot slot byte.
    if (slot != 0 && slot != 1) slot = 2;
    return Installation(path, skip_same_version, slot).run();
}
