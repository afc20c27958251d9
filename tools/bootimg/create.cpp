// bootimg create: one image of any kind and header version from a payload file.
#include <cstdio>

#include "platform/byte_order.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

constexpr OptionSpec kOptions[] = {
    {"kind", true},  {"version", true},   {"header-version", true},
    {"entry", true}, {"o", true},         {"output", true},
    {"crc", true},   {"ext-flag", false}, {"no-version-record", false},
    {"help", false}, {"h", false},
};

constexpr const char* kHelp =
    "usage: bootimg create --kind KIND --version A.B.C.D [options] PAYLOAD -o OUTPUT\n"
    "Builds one image from the payload file PAYLOAD and writes it to OUTPUT.\n\n"
    "  --kind KIND            application, bootloader, kernel, rfs, dft, diags, qorb,\n"
    "                         or a number such as 0x0773636f\n"
    "  --version A.B.C.D      image version, each part 0..255\n"
    "  --header-version N     1, 2 or 3 (default 3; 2 sets bit 31 of the magic word)\n"
    "  --entry TYPE:HEX       add a header entry (version 3) whose body is the hex bytes;\n"
    "  --entry TYPE:@FILE     or the bytes of FILE. Repeatable, kept in order.\n"
    "  --ext-flag             also set bit 31 of the magic word on a version-3 header\n"
    "  --crc VALUE            store VALUE instead of the computed CRC (for testing bad images)\n"
    "  --no-version-record    a boot loader payload normally gets its 16-byte version record\n"
    "                         (crc 0, len, magic, id of the header) at payload offset 0xF0,\n"
    "                         padded with zeros to 256 bytes if shorter; this leaves it out\n"
    "  -o, --output FILE      the image file to write\n";

constexpr std::size_t kVersionRecordOffset = 0xF0;

bool parse_entry(const std::string& text, HeaderEntry& entry) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const auto type = parse_number(text.substr(0, colon));
    if (!type || *type > 0xFFFF) return false;
    entry.type = static_cast<std::uint16_t>(*type);
    const std::string body = text.substr(colon + 1);
    if (body.starts_with("@")) return read_file(body.substr(1), entry.body);
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

}  // namespace

int cmd_create(std::span<char* const> argv) {
    const auto args = parse_args("create", argv, kOptions);
    if (!args) return EXIT_USAGE;
    if (args->has("help") || args->has("h")) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    ImageSpec spec;
    const auto kind_text = args->get("kind");
    const auto version_text = args->get("version");
    auto output = args->get("output");
    if (!output) output = args->get("o");
    if (!kind_text) return fail("--kind is required (see --help)");
    if (!version_text) return fail("--version is required (see --help)");
    if (!output) return fail("-o OUTPUT is required (see --help)");
    if (args->positional.size() != 1) return fail("exactly one PAYLOAD file is required");

    const auto kind = parse_kind(*kind_text);
    if (!kind || (*kind & IMG_EXT_HEADER)) return fail("unknown image kind: ", *kind_text);
    spec.kind = *kind;
    const auto id = parse_version(*version_text);
    if (!id) return fail("version must be A.B.C.D with each part 0..255: ", *version_text);
    spec.id = *id;
    if (auto hv = args->get("header-version")) {
        const auto n = parse_number(*hv);
        if (!n || *n < 1 || *n > 3) return fail("header version must be 1, 2 or 3: ", *hv);
        spec.header_version = static_cast<int>(*n);
    }
    spec.ext_flag = args->has("ext-flag");
    for (const auto& text : args->all("entry")) {
        HeaderEntry entry;
        if (!parse_entry(text, entry)) return fail("bad --entry (TYPE:HEX or TYPE:@FILE): ", text);
        spec.entries.push_back(std::move(entry));
    }
    std::optional<std::uint32_t> forced_crc;
    if (auto crc = args->get("crc")) {
        forced_crc = parse_number(*crc);
        if (!forced_crc) return fail("bad --crc value: ", *crc);
    }
    if (!read_file(args->positional[0], spec.payload)) return EXIT_USAGE;

    const bool record = spec.kind == IMG_KIND_BOOTLOADER && !args->has("no-version-record");
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
    if (!write_file(*output, image)) return EXIT_USAGE;
    return EXIT_OK;
}

}  // namespace bootimg
