#include "security/signature_policy.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include "boot/console.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "security/image_signature.h"
#include "security/keystore.h"
#include "security/lowsec.h"

namespace {

constexpr const char* RFS_DEVICE_PATH = "/dev/mtd-rfs";

// Cached answer of imgsign_developer_images: the installed root file system does not change
// while the program runs.
struct DeveloperImagesState {
    bool computed = false;
    int answer = 0;
};
DeveloperImagesState developer_images_state;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::span<const std::uint8_t> key_text(const KeyRecord& record) {
    return {record.data, std::min<std::size_t>(record.length, sizeof record.data)};
}

// The digest of the signed region; a failure is reported as the operator sees it and ends the
// check, whoever asked.
bool hash_payload(const ImageSignature& found, ImageDigest& digest, std::uint32_t& digest_length) {
    const std::int32_t rc = imgsign_payload_digest(found, digest, digest_length);
    if (rc != 0) {
        out_printf("HASH calculation for signed image failed: rc = %d \n", rc);
    }
    return rc == 0;
}

int developer_images_from_device() {
    std::unique_ptr<std::FILE, FileCloser> device(platform::os().fopen(RFS_DEVICE_PATH, "rb"));
    if (!device) {
        return 0;
    }
    std::array<std::uint8_t, IMG_PROBE_LEN> probe{};
    if (std::fread(probe.data(), 1, probe.size(), device.get()) != probe.size()) {
        // Header bytes that were never read must not pass for an old root file system: that
        // would open the development key to anything that merely fails to read.
        out_printf("ERROR reading %s: short read\n", RFS_DEVICE_PATH);
        return 0;
    }
    const ImageHeader header = image_header_decode(probe);
    if (header.header_version != 3) {
        // Only a root file system image from before signatures runs developer images. Erased
        // flash or an image of another kind is no root file system at all, and must not open
        // the development key to every download.
        const int answer =
            image_kind(header.magic) == IMG_KIND_RFS && image_header_consistent(header) ? 1 : 0;
        developer_images_state = {true, answer};
        return answer;
    }
    const std::uint64_t image_len = image_length(header);
    if (image_len > flash_region(FlashRegion::rfs).room) {
        out_printf("ERROR reading %s: image length %llu exceeds the region\n", RFS_DEVICE_PATH,
                   static_cast<unsigned long long>(image_len));
        return 0;
    }
    std::vector<std::uint8_t> image(static_cast<std::size_t>(image_len));
    std::copy(probe.begin(), probe.end(), image.begin());
    const std::size_t rest = image.size() - probe.size();
    if (std::fread(image.data() + probe.size(), 1, rest, device.get()) != rest) {
        out_printf("ERROR reading %s: short read\n", RFS_DEVICE_PATH);
        return 0;
    }
    device.reset();

    const ImageSignature found = imgsign_find_signature(image);
    if (!found.found || found.payload_outside) {
        return 0;
    }
    ImageDigest digest{};
    std::uint32_t digest_length = 0;
    if (!hash_payload(found, digest, digest_length)) {
        return 0;
    }
    KeyRecord key;
    if (imgsign_load_key(&key, DEVELOPMENT_KEY_PATH) == 0) {
        return 0;
    }
    const int answer =
        imgsign_verify_digest(found, digest, digest_length, key_text(key)) == 0 ? 1 : 0;
    developer_images_state = {true, answer};
    return answer;
}

}  // namespace

int imgsign_verify_image(std::span<const std::uint8_t> image) {
    const bool lowsec = lowsec_active();

    const ImageSignature found = imgsign_find_signature(image);
    if (found.damaged_entry != 0) {
        out_printf("WARNING: damaged header entry at offset %zu, entries from there on ignored\n",
                   found.damaged_entry);
    }
    if (!found.found) {
        return imgsign_check_unsigned();
    }
    if (found.payload_outside) {
        out_puts("ERROR: the image header's lengths do not fit the image");
        out_printf(" Image rejected. ");
        out_flush();
        return 0;
    }
    if (found.signature_outside) {
        out_printf("WARNING: signature length %zu runs past the end of the image\n",
                   found.signature_length);
    }

    ImageDigest digest{};
    std::uint32_t digest_length = 0;
    if (!hash_payload(found, digest, digest_length)) {
        return 0;
    }

    KeyRecord key;
    if (imgsign_load_key(&key, PRODUCTION_KEY_PATH) == 0) {
        return 0;
    }
    std::int32_t status = imgsign_verify_digest(found, digest, digest_length, key_text(key));

    // The developer-images state is only worked out once the production key has failed.
    if (status != 0) {
        const bool dev = imgsign_developer_images() != 0;
        if (lowsec || dev) {
            out_puts(
                dev ? "\nNOTE - developer images operational. Checking developer keys...."
                    : "\nNOTE - low security mode is operational. Checking developer keys....");
            if (imgsign_load_key(&key, DEVELOPMENT_KEY_PATH) == 0) {
                return 0;
            }
            status = imgsign_verify_digest(found, digest, digest_length, key_text(key));
        }
        if (status != 0 && dev && lowsec) {
            out_puts(
                "\nWARNING: All checks failed but you are running developer images and are "
                "in low security mode");
            if (console_confirm("Install image anyway?") != 0) {
                status = 0;
            }
        }
    }

    out_printf("%s", status != 0 ? " Image rejected. " : " Image signature verified. ");
    out_flush();
    return status == 0 ? 1 : 0;
}

int imgsign_check_unsigned() {
    const bool dev = imgsign_developer_images() != 0;
    const bool lowsec = lowsec_active();
    if (dev && lowsec) {
        out_puts(
            "\nWARNING: Image is unsigned but you are running developer images and are in "
            "low security mode");
        return console_confirm("Install image anyway?") != 0 ? 1 : 0;
    }
    out_puts(" Image rejected as it has no signature");
    return 0;
}

int imgsign_verify_bootloader(std::span<const std::uint8_t> image) {
    if (imgsign_find_signature(image).found) return imgsign_verify_image(image);
    // Boot loaders from before signatures carry none: only an operator who proved presence at
    // the board may put one in.
    if (lowsec_active()) {
        out_printf("\nNOTE - low security mode is operational. Unsigned boot loader accepted. ");
        return 1;
    }
    out_puts(" Image rejected as it has no signature");
    return 0;
}

int imgsign_developer_images() {
    if (developer_images_state.computed) {
        return developer_images_state.answer;
    }
    return developer_images_from_device();
}

void imgsign_developer_images_forget() {
    developer_images_state = {};
}
