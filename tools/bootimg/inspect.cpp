// bootimg inspect: every image of an image file or package, with its CRC state and, given public
// keys, which of them verify its signature.
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/byte_order.h"
#include "security/image_signature.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"
#include "tools/bootimg/signing.h"

namespace bootimg {

namespace {

constexpr OptionSpec kOptions[] = {{"key", true}, {"help", false}, {"h", false}};

constexpr const char* kHelp =
    "usage: bootimg inspect [--key PUBLIC.pem]... FILE...\n"
    "Lists every image of each FILE (a single image or a package of images back to back):\n"
    "kind, version, header version, lengths, CRC good or bad, signature entry present.\n"
    "  --key PUBLIC.pem  an RSA public key (PEM); repeatable. Each image then gets a line\n"
    "                    \"verified by PUBLIC.pem\" for every given key its signature entry\n"
    "                    verifies with (found as the board finds it: SHA-256 of the payload,\n"
    "                    PKCS#1 v1.5), or \"verified by none of the given keys\".\n"
    "Bytes after the last image that the board steps over (padding, erased flash) are named.\n"
    "Exit status 1 when any image has a bad CRC (a value of no image kind, which the board\n"
    "steps over unread, excepted) or malformed lengths, or a file holds no image;\n"
    "2 when a FILE or a key cannot be read or a key is not an RSA public key. Whether a key\n"
    "verifies does not change the exit status.\n";

// A public key given with --key: the path as the user wrote it, for the report, and its text.
struct PublicKey {
    std::string path;
    std::string pem;
};

constexpr std::size_t kVersionRecordOffset = 0xF0;

bool inspect_one(const std::string& path, const Bytes& file, std::span<const PublicKey> keys) {
    const Walk walk = walk_images(file);
    bool good = !walk.items.empty();
    std::printf("%s: %zu bytes, %zu image%s\n", path.c_str(), file.size(), walk.items.size(),
                walk.items.size() == 1 ? "" : "s");
    int n = 0;
    for (const auto& item : walk.items) {
        const ImageHeader& h = item.header;
        const std::uint32_t kind = image_kind(h.magic);
        std::printf("[%d] offset 0x%08zx: %s (magic 0x%08x), version %s, header version %d\n", ++n,
                    item.offset, std::string(kind_name(kind)).c_str(), h.magic,
                    format_version(h.id).c_str(), h.header_version);
        if (!item.consistent) {
            std::printf("    MALFORMED: %s\n", item.problem.c_str());
            good = false;
            continue;
        }
        std::printf("    header %u bytes, payload %u bytes, image %zu bytes\n", h.header_len,
                    h.payload_len, item.image.size());
        const std::uint32_t crc =
            image_crc32(item.image.data() + 4, item.image.size() - 4, IMG_CRC_SEED);
        if (crc == h.crc) {
            std::printf("    crc 0x%08x good\n", h.crc);
        } else {
            std::printf("    crc 0x%08x BAD (computed 0x%08x)\n", h.crc, crc);
            // A value that is no kind at all is stepped over by the board unread, so its CRC
            // does not make the file bad.
            good = good && kind_name(kind) == "unknown";
        }
        if (item.step == PackageStep::skip)
            std::printf("    stepped over by the installer (not a kind it installs)\n");
        // The entry walk is the board's own, so inspect reports what the board will see.
        if (const ImageSignature sig = imgsign_find_signature(item.image); sig.found)
            std::printf("    signature entry present (%zu bytes)\n", sig.signature_length);
        else
            std::printf("    no signature entry\n");
        if (!keys.empty()) {
            bool any = false;
            for (const auto& key : keys) {
                if (key_verifies(item.image, key.pem).value_or(false)) {
                    std::printf("    verified by %s\n", key.path.c_str());
                    any = true;
                }
            }
            if (!any) std::printf("    verified by none of the given keys\n");
        }
        if (kind == IMG_KIND_BOOTLOADER) {
            if (h.payload_len >= kVersionRecordOffset + IMG_FIXED_HEADER_LEN) {
                const std::uint8_t* rec = item.image.data() + h.header_len + kVersionRecordOffset;
                std::printf("    boot loader version record: version %s\n",
                            format_version(be::load32(rec + 12)).c_str());
            } else {
                std::printf("    boot loader payload too short for a version record\n");
            }
        }
    }
    if (walk.items.empty())
        std::printf("    no image (%s)\n", walk.trailing_kind.c_str());
    else if (walk.trailing > 0)
        std::printf("    %zu trailing bytes ignored (%s)\n", walk.trailing,
                    walk.trailing_kind.c_str());
    if (walk.short_image)
        std::printf(
            "    shorter than the %zu bytes the board reads first: in a package it must "
            "be followed by another image or padding\n",
            IMG_PROBE_LEN);
    return good;
}

}  // namespace

int cmd_inspect(std::span<char* const> argv) {
    const auto args = parse_args("inspect", argv, kOptions);
    if (!args) return EXIT_USAGE;
    if (args->has("help") || args->has("h")) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    if (args->positional.empty()) {
        std::fprintf(stderr, "bootimg inspect: no FILE given (see --help)\n");
        return EXIT_USAGE;
    }
    // Every key is read and checked before any output, so a typo in a key path is not mistaken
    // for an image that no key verifies.
    std::vector<PublicKey> keys;
    for (const auto& key_path : args->all("key")) {
        Bytes text;
        if (!read_file(key_path, text)) return EXIT_USAGE;
        PublicKey key{key_path, std::string(text.begin(), text.end())};
        if (!key_verifies({}, key.pem)) {
            std::fprintf(stderr, "bootimg inspect: %s: not an RSA public key in PEM form\n",
                         key_path.c_str());
            return EXIT_USAGE;
        }
        keys.push_back(std::move(key));
    }
    bool good = true;
    for (const auto& path : args->positional) {
        Bytes file;
        if (!read_file(path, file)) return EXIT_USAGE;
        good = inspect_one(path, file, keys) && good;
    }
    return good ? EXIT_OK : EXIT_BAD_IMAGE;
}

}  // namespace bootimg
