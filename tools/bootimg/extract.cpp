// bootimg extract: bytes back out of an image: its payload, its header, its signature or the
// body of one header entry.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/byte_order.h"
#include "security/image_signature.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

struct ExtractOptions {
    std::string image, output, part = "payload";
    std::size_t index = 0;  // --image N, from 1; 0: the file must hold one image
};

int run_extract(const ExtractOptions& o) {
    Bytes file;
    if (!read_file(o.image, file)) return EXIT_USAGE;
    const Walk walk = walk_images(file);
    std::size_t images = 0;
    for (const auto& item : walk.items) images += item.consistent ? 1 : 0;
    if (o.index == 0 && walk.items.size() != 1)
        return file_error(
            o.image,
            "holds " + std::to_string(walk.items.size()) + " images; choose one with --image N",
            EXIT_BAD_IMAGE);
    const std::size_t n = o.index == 0 ? 1 : o.index;
    if (n > walk.items.size())
        return file_error(
            o.image,
            "has no image " + std::to_string(n) + " (" + std::to_string(images) + " whole images)",
            EXIT_BAD_IMAGE);
    const WalkItem& item = walk.items[n - 1];
    if (!item.consistent)
        return file_error(o.image, "malformed image: " + item.problem, EXIT_BAD_IMAGE);
    const ImageHeader& h = item.header;
    std::span<const std::uint8_t> out;
    if (o.part == "payload") {
        out = item.image.subspan(h.header_len);
    } else if (o.part == "header") {
        out = item.image.first(h.header_len);
    } else {
        // An entry, found by the board's own walk; the signature is the entry's body after its
        // 2-byte length.
        const ImageSignature sig = imgsign_find_signature(item.image);
        if (o.part == "signature") {
            if (!sig.found || sig.signature_outside)
                return file_error(o.image,
                                  sig.found ? "the signature runs past the image"
                                            : "the image has no signature entry",
                                  EXIT_BAD_IMAGE);
            out = sig.signature;
        } else {
            const auto type = parse_number(std::string_view(o.part).substr(6));
            if (!o.part.starts_with("entry:") || !type || *type > 0xFFFF)
                return std::fprintf(stderr,
                                    "bootimg extract: --part %s: give payload, header, signature "
                                    "or entry:TYPE\n",
                                    o.part.c_str()),
                       EXIT_USAGE;
            const std::size_t end = sig.damaged_entry != 0 ? sig.damaged_entry : h.header_len;
            bool found = false;
            for (std::size_t at = IMG_PROBE_LEN; h.header_version == 3 && at < end;) {
                const std::uint16_t length = be::load16(item.image.data() + at + 2);
                if (be::load16(item.image.data() + at) == *type) {
                    out = item.image.subspan(at + 4, length - 4u);  // the last one counts
                    found = true;
                }
                at += length;
            }
            if (!found)
                return file_error(o.image,
                                  "the image has no header entry of type " + std::to_string(*type),
                                  EXIT_BAD_IMAGE);
        }
    }
    return write_file(o.output, out) ? EXIT_OK : EXIT_USAGE;
}

}  // namespace

void add_extract(CLI::App& app, int& status) {
    auto o = std::make_shared<ExtractOptions>();
    CLI::App* c = app.add_subcommand("extract", "write an image's payload, header or an entry");
    c->add_option("--part", o->part,
                  "payload (default), header (every byte before the payload), signature (the\n"
                  "raw signature bytes), or entry:TYPE (the body of the last header entry of\n"
                  "that type)")
        ->type_name("PART");
    c->add_option("--image", o->index, "the Nth image of a package (from 1)")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    input_file(*c, "IMAGE", o->image, "an image file or a package")->required();
    c->add_option("-o,--output", o->output, "where to write the bytes")
        ->required()
        ->type_name("FILE");
    c->callback([c, o, &status] { status = given_once(*c) ? run_extract(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
