// bootimg create: one image of any kind and header version from a payload file.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

struct CreateOptions {
    std::string kind, version, payload, output, crc;
    int header_version = 3;
    std::vector<std::string> entries;
    bool ext_flag = false;
    bool no_version_record = false;
};

constexpr std::size_t kVersionRecordOffset = 0xF0;

bool parse_entry(const std::string& text, HeaderEntry& entry, bool& file_failed) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const auto type = parse_number(text.substr(0, colon));
    if (!type || *type > 0xFFFF) return false;
    entry.type = static_cast<std::uint16_t>(*type);
    const std::string body = text.substr(colon + 1);
    if (body.starts_with("@"))
        return (file_failed = !read_file(body.substr(1), entry.body)), !file_failed;
    if (body.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < body.size(); i += 2) {
        const auto byte = parse_number("0x" + body.substr(i, 2));
        if (!byte) return false;
        entry.body.push_back(static_cast<std::uint8_t>(*byte));
    }
    return true;
}

int fail(const char* message, const std::string& detail = {}) {
    std::fprintf(stderr, "bootimg create: %s%s\n", message, detail.c_str());
    return EXIT_USAGE;
}

int run_create(const CreateOptions& o) {
    ImageSpec spec;
    const auto kind = parse_kind(o.kind);
    if (!kind || (*kind & IMG_EXT_HEADER)) return fail("unknown image kind: ", o.kind);
    spec.kind = *kind;
    const auto id = parse_version(o.version);
    if (!id) return fail("version must be A.B.C.D with each part 0..255: ", o.version);
    spec.id = *id;
    spec.header_version = o.header_version;
    spec.ext_flag = o.ext_flag;
    for (const auto& text : o.entries) {
        HeaderEntry entry;
        bool file_failed = false;
        if (!parse_entry(text, entry, file_failed)) {
            if (file_failed) return EXIT_USAGE;
            return fail("bad --entry (TYPE:HEX or TYPE:@FILE): ", text);
        }
        spec.entries.push_back(std::move(entry));
    }
    std::optional<std::uint32_t> forced_crc;
    if (!o.crc.empty()) {
        forced_crc = parse_number(o.crc);
        if (!forced_crc) return fail("bad --crc value: ", o.crc);
    }
    if (!read_file(o.payload, spec.payload)) return EXIT_USAGE;

    const bool record = spec.kind == IMG_KIND_BOOTLOADER && !o.no_version_record;
    if (record && spec.payload.size() < kVersionRecordOffset + IMG_FIXED_HEADER_LEN)
        spec.payload.resize(kVersionRecordOffset + IMG_FIXED_HEADER_LEN, 0);

    std::string error;
    Bytes image = build_image(spec, error);
    if (image.empty()) return fail(error.c_str());
    if (record) {
        // The installed boot loader's version is read from this record, and the same-version
        // test compares its len, magic and id with those of the download header.
        const auto header_len = image.size() - spec.payload.size();
        std::uint8_t* rec = image.data() + header_len + kVersionRecordOffset;
        be::store32(rec, 0);
        std::copy(image.begin() + 4, image.begin() + 16, rec + 4);
        seal_crc(image);
    }
    if (forced_crc) be::store32(image.data(), *forced_crc);
    if (!write_file(o.output, image)) return EXIT_USAGE;
    return EXIT_OK;
}

}  // namespace

void add_create(CLI::App& app, int& status) {
    auto o = std::make_shared<CreateOptions>();
    CLI::App* c = app.add_subcommand("create", "build an image of any kind from a payload file");
    c->add_option("--kind", o->kind, kind_names() + ", or a number such as\n0x0773636f")
        ->required()
        ->type_name("KIND");
    c->add_option("--version", o->version, "image version, each part 0..255")
        ->required()
        ->type_name("A.B.C.D");
    c->add_option("--header-version", o->header_version,
                  "1, 2 or 3 (default 3; 2 sets bit 31 of the magic word)")
        ->check(CLI::Range(1, 3));
    c->add_option("--entry", o->entries,
                  "add a header entry (version 3) whose body is the hex bytes, or the bytes of\n"
                  "FILE (TYPE:@FILE); repeatable, kept in order")
        ->type_name("TYPE:HEX")
        ->allow_extra_args(false);
    c->add_flag("--ext-flag", o->ext_flag,
                "also set bit 31 of the magic word on a version-3 header");
    c->add_option("--crc", o->crc,
                  "store VALUE instead of the computed CRC (for testing bad images)")
        ->type_name("VALUE");
    c->add_flag("--no-version-record", o->no_version_record,
                "a boot loader payload normally gets its 16-byte version record (crc 0, len,\n"
                "magic, id of the header) at payload offset 0xF0, padded with zeros to 256 bytes\n"
                "if shorter; this leaves it out");
    input_file(*c, "PAYLOAD", o->payload, "the payload file")->required();
    c->add_option("-o,--output", o->output, "the image file to write")
        ->required()
        ->type_name("FILE");
    c->callback([c, o, &status] { status = given_once(*c) ? run_create(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
