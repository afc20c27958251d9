// bootimg inspect: every image of an image file or package, with its CRC state, every header
// entry and, given public keys, which of them verify its signature by the board's own check.
#include <cstdio>
#include <memory>
#include <string>
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

// A public key given with --key: the path as the user wrote it, for the report, and its text.
struct PublicKey {
    std::string path;
    Bytes pem;
    bool board_can_hold = true;
};

// A unit keeps a key as a key file of at most 500 bytes: the PEM text, a NUL and zero padding to
// whole AES blocks. An RSA-2048 key is 451 characters; an RSA-4096 key never fits.
constexpr std::size_t kKeyFileMax = 500;

// The kinds whose signature the installer checks (a boot loader's unless low security mode is
// on); every other kind it takes without one or steps over.
bool signature_checked(std::uint32_t kind) {
    const ImageKind* k = image_kind_info(kind);
    return k != nullptr && k->signature != KindSignature::none;
}

std::string hex(std::span<const std::uint8_t> bytes, std::size_t most) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        char h[4];
        std::snprintf(h, sizeof h, "%s%02x", i ? " " : "", bytes[i]);
        out += h;
    }
    return bytes.size() > most ? out + " ..." : out;
}

// Every entry of a version-3 header, walked as the board walks it.
void print_entries(const WalkItem& item, const ImageSignature& sig) {
    const ImageHeader& h = item.header;
    if (h.header_version != 3) return;
    const std::size_t end = sig.damaged_entry != 0 ? sig.damaged_entry : h.header_len;
    for (std::size_t at = IMG_PROBE_LEN; at < end;) {
        const std::uint16_t type = be::load16(item.image.data() + at);
        const std::uint16_t length = be::load16(item.image.data() + at + 2);
        const auto body = item.image.subspan(at + 4, length - 4u);
        if (type == IMG_ENTRY_SIGNATURE)
            std::printf("    entry at %zu: type 3 (signature), %u bytes: a %u-byte signature\n", at,
                        length, body.size() >= 2 ? be::load16(body.data()) : 0u);
        else
            std::printf("    entry at %zu: type %u, %u bytes: %s\n", at, type, length,
                        body.empty() ? "(empty body)" : hex(body, 16).c_str());
        at += length;
    }
    if (sig.damaged_entry != 0)
        std::printf("    DAMAGED entry at %zu: the board's entry walk stops there\n",
                    sig.damaged_entry);
}

void print_keys(const WalkItem& item, const ImageSignature& sig, std::span<const PublicKey> keys) {
    const std::uint32_t kind = image_kind(item.header.magic);
    if (!signature_checked(kind)) {
        std::printf("    signature not checked: the installer %s %s images without one\n",
                    image_kind_installed(kind) ? "takes" : "steps over",
                    std::string(kind_name(kind)).c_str());
        return;
    }
    bool any = false;
    for (const auto& key : keys) {
        if (imgsign_check_with_key(sig, key.pem) != 0) continue;
        any = true;
        std::printf("    verified by %s%s\n", key.path.c_str(),
                    key.board_can_hold ? "" : " (but no unit can hold that key)");
    }
    if (!any) std::printf("    verified by none of the given keys\n");
}

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
        const ImageSignature sig = imgsign_find_signature(item.image);
        print_entries(item, sig);
        if (sig.found)
            std::printf("    signature entry present (%zu bytes)\n", sig.signature_length);
        else
            std::printf("    no signature entry\n");
        if (!keys.empty()) print_keys(item, sig, keys);
        if (kind == IMG_KIND_BOOTLOADER) {
            if (h.payload_len >= IMG_BOOTLOADER_RECORD_OFFSET + IMG_FIXED_HEADER_LEN) {
                const std::uint8_t* rec =
                    item.image.data() + h.header_len + IMG_BOOTLOADER_RECORD_OFFSET;
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

struct InspectOptions {
    std::vector<std::string> keys, files;
};

int run_inspect(const InspectOptions& o) {
    // Every key is read and checked before any output, so a typo in a key path is not mistaken
    // for an image that no key verifies.
    std::vector<PublicKey> keys;
    for (const auto& key_path : o.keys) {
        PublicKey key{key_path, {}};
        if (!read_file(key_path, key.pem)) return EXIT_USAGE;
        if (!is_rsa_public_key(
                std::string_view(reinterpret_cast<const char*>(key.pem.data()), key.pem.size())))
            return file_error(key_path, "not an RSA public key in PEM form");
        key.board_can_hold = (key.pem.size() + 1 + 15) / 16 * 16 <= kKeyFileMax;
        if (!key.board_can_hold)
            std::fprintf(stderr,
                         "bootimg inspect: warning: %s: a %zu-character key does not fit a unit's "
                         "key file (%zu bytes at most; RSA-2048 keys are 451 characters)\n",
                         key_path.c_str(), key.pem.size(), kKeyFileMax);
        keys.push_back(std::move(key));
    }
    bool good = true;
    for (const auto& path : o.files) {
        Bytes file;
        if (!read_file(path, file)) return EXIT_USAGE;
        good = inspect_one(path, file, keys) && good;
    }
    return good ? EXIT_OK : EXIT_BAD_IMAGE;
}

}  // namespace

void add_inspect(CLI::App& app, int& status) {
    auto o = std::make_shared<InspectOptions>();
    CLI::App* c = app.add_subcommand(
        "inspect", "list every image of an image file or package, with CRC state and entries");
    c->footer(
        "Lists every image of each FILE (a single image or a package of images back to back):\n"
        "kind, version, header version, lengths, CRC good or bad, every header entry.\n"
        "Bytes after the last image that the board steps over (padding, erased flash) are named.\n"
        "Whether the board would install an image is 'bootimg verify'.");
    c->footer(
        c->get_footer() + "\n\n" +

        "Exit status 1 when any image has a bad CRC (a value of no image kind, which the board\n"
        "steps over unread, excepted) or malformed lengths, or a file holds no image;\n"
        "2 when a FILE or a key cannot be read or a key is not an RSA public key. Whether a key\n"
        "verifies does not change the exit status.");
    c->add_option(
         "--key", o->keys,
         "an RSA public key (PEM); repeatable. Each image whose kind the installer checks\n"
         "by signature then gets a line \"verified by PUBLIC.pem\" for every given key\n"
         "its signature verifies with, by the board's own check, or \"verified by none\n"
         "of the given keys\"")
        ->type_name("PUBLIC.pem")
        ->allow_extra_args(false);
    c->add_option("FILE", o->files, "image files or packages")->required();
    c->callback([c, o, &status] { status = given_once(*c) ? run_inspect(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
