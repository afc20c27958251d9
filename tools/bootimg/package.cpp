// bootimg package: images joined back to back into one package.
#include <cstdio>
#include <vector>

#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

constexpr OptionSpec kOptions[] = {
    {"o", true},      {"output", true}, {"xmodem-pad", false},
    {"force", false}, {"help", false},  {"h", false},
};

constexpr const char* kHelp =
    "usage: bootimg package -o OUTPUT IMAGE...\n"
    "Joins the images (or packages) given, in order, into the package OUTPUT.\n\n"
    "  -o, --output FILE   the package to write\n"
    "  --xmodem-pad        pad the package with 0x1A bytes to a whole 1024-byte block, as an\n"
    "                      XMODEM-1K transfer leaves it\n"
    "  --force             join inputs even when one has a bad CRC (for testing)\n"
    "Every input must be a whole number of well-formed images, and the board must find each\n"
    "where it lies: an image shorter than 24 bytes (a version-1 image with a payload under 8\n"
    "bytes) needs another image or --xmodem-pad after it.\n";

}  // namespace

int cmd_package(std::span<char* const> argv) {
    const auto args = parse_args("package", argv, kOptions);
    if (!args) return EXIT_USAGE;
    if (args->has("help") || args->has("h")) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    auto output = args->get("output");
    if (!output) output = args->get("o");
    if (!output) {
        std::fprintf(stderr, "bootimg package: -o OUTPUT is required (see --help)\n");
        return EXIT_USAGE;
    }
    if (args->positional.empty()) {
        std::fprintf(stderr, "bootimg package: no IMAGE given (see --help)\n");
        return EXIT_USAGE;
    }
    Bytes package;
    std::vector<std::size_t> starts;  // where each image begins in the package
    for (const auto& path : args->positional) {
        Bytes file;
        if (!read_file(path, file)) return EXIT_USAGE;
        const Walk walk = walk_images(file);
        if (walk.items.empty() || !walk.items.back().consistent || walk.trailing != 0) {
            std::fprintf(stderr, "bootimg package: %s is not a whole number of images\n",
                         path.c_str());
            return EXIT_BAD_IMAGE;
        }
        for (const auto& item : walk.items) {
            const auto crc =
                image_crc32(item.image.data() + 4, item.image.size() - 4, IMG_CRC_SEED);
            if (crc != item.header.crc && !args->has("force")) {
                std::fprintf(stderr,
                             "bootimg package: %s: image at offset %zu has a bad CRC "
                             "(--force joins it anyway)\n",
                             path.c_str(), item.offset);
                return EXIT_BAD_IMAGE;
            }
            starts.push_back(package.size() + item.offset);
        }
        package.insert(package.end(), file.begin(), file.end());
    }
    if (args->has("xmodem-pad") && package.size() % 1024 != 0)
        package.resize(package.size() + 1024 - package.size() % 1024, 0x1A);
    // The board must find every image where it was put: an image shorter than the 24 bytes the
    // board reads first is seen only when more bytes follow it.
    MemorySource source(package);
    std::size_t seen = 0;
    for (std::uint64_t at = 0;;) {
        const PackageItem item = image_package_next(source, at);
        if (item.step != PackageStep::image && item.step != PackageStep::skip) break;
        if (seen == starts.size() || starts[seen] != at) break;
        ++seen;
        at += item.length;
    }
    if (seen != starts.size()) {
        std::fprintf(stderr,
                     "bootimg package: the board would not find image %zu where it lies (offset "
                     "%zu); an image shorter than %zu bytes needs another image or --xmodem-pad "
                     "after it\n",
                     seen + 1, starts[seen], IMG_PROBE_LEN);
        return EXIT_BAD_IMAGE;
    }
    return write_file(*output, package) ? EXIT_OK : EXIT_USAGE;
}

}  // namespace bootimg
