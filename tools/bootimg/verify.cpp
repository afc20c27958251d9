// bootimg verify: what the board would do with each image of a package, and why.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "tools/bootimg/board_check.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace bootimg {

namespace {

struct VerifyOptions {
    std::string package, production_key, development_key, key_files, serial, installed_rfs;
    bool lowsec = false, json = false;
    int slot = 0;
};

std::string text_of(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// A file that must exist when given; false (the message said) when it cannot be read.
bool optional_file(const std::string& path, Bytes& out) {
    return path.empty() || read_file(path, out);
}

void print_text(const std::string& path, const PackageCheck& check) {
    std::printf("%s: %zu image%s; %s\n", path.c_str(), check.images.size(),
                check.images.size() == 1 ? "" : "s",
                check.all_installed() ? "the board installs every image"
                : check.stops_at != 0
                    ? ("the board stops at image " + std::to_string(check.stops_at) +
                       " and writes nothing")
                          .c_str()
                    : "the board installs nothing (\"ERROR: No valid image found\")");
    for (const auto& c : check.images) {
        std::string line;
        for (const auto& r : c.reasons) line += (line.empty() ? "" : "; ") + r;
        std::printf("[%zu] offset 0x%08llx: %s, version %s, header version %d: %s%s%s\n", c.index,
                    static_cast<unsigned long long>(c.offset),
                    std::string(kind_name(image_kind(c.magic))).c_str(),
                    format_version(c.id).c_str(), c.header_version, verdict_name(c.verdict),
                    c.verdict == Verdict::installs ? (" into " + c.destination).c_str() : "",
                    line.empty() ? "" : (" (" + line + ")").c_str());
        if (!c.board_says.empty()) std::printf("    the board says: %s\n", c.board_says.c_str());
    }
}

using Json = nlohmann::ordered_json;

// A text, or null when there is none.
Json text_or_null(const std::string& text) {
    return text.empty() ? Json() : Json(text);
}

void print_json(const std::string& path, const PackageCheck& check) {
    Json out;
    out["package"] = path;
    out["installs_every_image"] = check.all_installed();
    out["stops_at"] = check.stops_at == 0 ? Json() : Json(check.stops_at);
    out["images"] = Json::array();
    for (const auto& c : check.images) {
        out["images"].push_back(Json{
            {"index", c.index},
            {"offset", c.offset},
            {"kind", kind_name(image_kind(c.magic))},
            {"magic", c.magic},
            {"version", format_version(c.id)},
            {"header_version", c.header_version},
            {"length", c.length},
            {"verdict", verdict_name(c.verdict)},
            {"destination", text_or_null(c.destination)},
            {"reasons", c.reasons},
            {"board_says", text_or_null(c.board_says)},
        });
    }
    std::puts(out.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

int run_verify(const VerifyOptions& o) {
    Bytes package, production, development, rfs;
    if (!read_file(o.package, package) || !optional_file(o.production_key, production) ||
        !optional_file(o.development_key, development) || !optional_file(o.installed_rfs, rfs))
        return EXIT_USAGE;
    CheckSetup setup;
    setup.serial = o.serial;
    setup.production_key_pem = text_of(production);
    setup.development_key_pem = text_of(development);
    setup.installed_rfs = rfs;
    setup.lowsec = o.lowsec;
    setup.slot = o.slot;
    if (!o.key_files.empty()) {
        for (auto [name, into] :
             {std::pair{"/production_key.pub.pem", &setup.production_key_file},
              std::pair{"/development_key.pub.pem", &setup.development_key_file}})
            if (!read_file(o.key_files + name, *into)) return EXIT_USAGE;
    }
    if (o.serial.size() > 12) return file_error(o.package, "--serial has at most 12 characters");
    const PackageCheck check = check_package(package, setup);
    if (!check.setup_problem.empty())
        return std::fprintf(stderr, "bootimg verify: %s\n", check.setup_problem.c_str()),
               EXIT_USAGE;
    if (o.json)
        print_json(o.package, check);
    else
        print_text(o.package, check);
    return check.all_installed() ? EXIT_OK : EXIT_BAD_IMAGE;
}

}  // namespace

void add_verify(CLI::App& app, int& status) {
    auto o = std::make_shared<VerifyOptions>();
    CLI::App* c = app.add_subcommand("verify", "say what the board would do with each image");
    c->footer(
        "Decides, by the board's own code, what a unit would do with each image of PACKAGE: the\n"
        "package walk, the kinds it installs and where, the size limits, CRC, the signature\n"
        "policy (with the unit's keys, low security mode and developer images as given) and,\n"
        "for an application image, whether the boot path would ever start it from a slot.\n"
        "Verdicts: installs, stepped over (a kind the installer does not install), refused,\n"
        "operator decides (only a yes to \"Install image anyway?\" installs it). The board\n"
        "installs in order and stops at the first refused image.\n"
        "Keys: the build's built-in keys unless --production-key/--development-key give public\n"
        "keys, or --key-files gives a unit's /user key files with its --serial.\n"
        "Exit status: 0 the board installs every image; 1 it would refuse one, or install none;\n"
        "2 a file cannot be read.");
    auto* pub = c->add_option("--production-key", o->production_key,
                              "the production public key (PEM) the unit holds")
                    ->type_name("PUBLIC.pem");
    auto* dev = c->add_option("--development-key", o->development_key,
                              "the development public key (PEM) the unit holds")
                    ->type_name("PUBLIC.pem");
    auto* files = c->add_option("--key-files", o->key_files,
                                "a unit's /user directory: its production_key.pub.pem and\n"
                                "development_key.pub.pem, encrypted under its --serial")
                      ->type_name("DIR");
    auto* serial =
        c->add_option("--serial", o->serial, "the unit serial number (up to 12 characters)")
            ->type_name("TEXT");
    files->needs(serial)->excludes(pub)->excludes(dev);
    c->add_flag("--lowsec", o->lowsec, "low security mode is on (lowsec=authorised)");
    c->add_option("--installed-rfs", o->installed_rfs,
                  "the root file system image the unit has installed (developer images are on\n"
                  "when it is older than version 3 or signed with the development key)")
        ->type_name("FILE");
    c->add_option("--slot", o->slot, "the slot answer for an application image (1 or 2)")
        ->check(CLI::Range(1, 2));
    c->add_flag("--json", o->json, "one JSON object (README: \"bootimg verify --json\")");
    input_file(*c, "PACKAGE", o->package, "an image or a package")->required();
    c->callback([c, o, &status] { status = given_once(*c) ? run_verify(*o) : EXIT_USAGE; });
}

}  // namespace bootimg
