// bootimg package: images joined back to back into one package.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

struct PackageOptions {
    std::string output;
    std::vector<std::string> images;
    bool xmodem_pad = false;
    bool force = false;
};

int run_package(const PackageOptions& o) {
    Bytes package;
    std::vector<std::size_t> starts;  // where each image begins in the package
    for (const auto& path : o.images) {
        Bytes file;
        if (!read_file(path, file)) return EXIT_USAGE;
        const Walk walk = walk_images(file);
        if (walk.items.empty() || !walk.items.back().consistent || walk.trailing != 0)
            return file_error(path, "not a whole number of images (bootimg inspect shows why)",
                              EXIT_BAD_IMAGE);
        for (const auto& item : walk.items) {
            const auto crc =
                image_crc32(item.image.data() + 4, item.image.size() - 4, IMG_CRC_SEED);
            if (crc != item.header.crc && !o.force)
                return file_error(path,
                                  "the image at offset " + std::to_string(item.offset) +
                                      " has a bad CRC (--force joins it anyway)",
                                  EXIT_BAD_IMAGE);
            starts.push_back(package.size() + item.offset);
        }
        package.insert(package.end(), file.begin(), file.end());
    }
    if (o.xmodem_pad && package.size() % 1024 != 0)
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
    return write_file(o.output, package) ? EXIT_OK : EXIT_USAGE;
}

}  // namespace

void add_package(CLI::App& app, int& status) {
    auto o = std::make_shared<PackageOptions>();
    CLI::App* c = app.add_subcommand("package", "join images into one package");
    c->footer(
        "Every input must be a whole number of well-formed images, and the board must find each\n"
        "where it lies: an image shorter than 24 bytes (a version-1 image with a payload under 8\n"
        "bytes) needs another image or --xmodem-pad after it.");
    c->add_option("-o,--output", o->output, "the package to write")->required()->type_name("FILE");
    c->add_flag("--xmodem-pad", o->xmodem_pad,
                "pad the package with 0x1A bytes to a whole 1024-byte block, as an XMODEM-1K\n"
                "transfer leaves it");
    c->add_flag("--force", o->force, "join inputs even when one has a bad CRC (for testing)");
    c->add_option("IMAGE", o->images, "the images (or packages) to join, in order")
        ->required()
        ->type_name("FILE");
    c->callback([c, o, &status] { status = given_once(*c) ? run_package(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
