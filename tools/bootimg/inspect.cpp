// bootimg inspect: every image of an image file or package, with its CRC state.
#include <cstdio>

#include "platform/byte_order.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

constexpr OptionSpec kOptions[] = {{"help", false}, {"h", false}};

constexpr const char* kHelp =
    "usage: bootimg inspect FILE...\n"
    "Lists every image of each FILE (a single image or a package of images back to back):\n"
    "kind, version, header version, lengths, CRC good or bad, signature entry present.\n"
    "Exit status 1 when any image has a bad CRC or malformed lengths, or a file holds no image.\n";

constexpr std::size_t kVersionRecordOffset = 0xF0;

bool inspect_one(const std::string& path, const Bytes& file) {
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
            good = false;
        }
        if (auto s = signature_length(item.image, h))
            std::printf("    signature entry present (%u bytes)\n", *s);
        else
            std::printf("    no signature entry\n");
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
        std::printf("    no image: fewer than %zu bytes\n", IMG_PROBE_LEN);
    else if (walk.trailing > 0 && walk.items.back().consistent)
        std::printf("    %zu trailing bytes ignored (%s)\n", walk.trailing,
                    walk.trailing < IMG_PROBE_LEN ? "fewer than a header" : "XMODEM padding");
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
    bool good = true;
    for (const auto& path : args->positional) {
        Bytes file;
        if (!read_file(path, file)) return EXIT_USAGE;
        good = inspect_one(path, file) && good;
    }
    return good ? EXIT_OK : EXIT_BAD_IMAGE;
}

}  // namespace bootimg
