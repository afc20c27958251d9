// The subcommands of bootimg. Adding one is one row here and its add_<name> in its own file,
// which declares the subcommand's options on the CLI11 application and sets `status` when it
// runs.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>

#define BOOTIMG_SUBCOMMANDS(ROW) \
    ROW(create)                  \
    ROW(inspect)                 \
    ROW(verify)                  \
    ROW(package)                 \
    ROW(sign)                    \
    ROW(digest)                  \
    ROW(attach)                  \
    ROW(extract)                 \
    ROW(keyfile)

namespace bootimg {

#define BOOTIMG_DECLARE(name) void add_##name(CLI::App& app, int& status);
BOOTIMG_SUBCOMMANDS(BOOTIMG_DECLARE)
#undef BOOTIMG_DECLARE

// CLI11 lets a flag or single-value option stand twice; bootimg refuses that. Says so and
// returns false when an option of `sub` was given more often than it takes values.
inline bool given_once(const CLI::App& sub) {
    for (const CLI::Option* o : sub.get_options()) {
        if (o->count() <= 1 || o->get_expected_max() > 1) continue;
        std::fprintf(stderr, "bootimg %s: %s may be given only once (see bootimg %s --help)\n",
                     sub.get_name().c_str(), o->get_name().c_str(), sub.get_name().c_str());
        return false;
    }
    return true;
}

// An option that names an existing input file is checked when the command runs (so that the
// message names the file and the system's reason), not by CLI11.
inline CLI::Option* input_file(CLI::App& app, const std::string& name, std::string& into,
                               const std::string& help) {
    return app.add_option(name, into, help)->type_name("FILE");
}

}  // namespace bootimg
