// bootimg: the host tool that builds, inspects and packages boot manager images.
#include <cstdio>
#include <span>
#include <string_view>

#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace {

struct Subcommand {
    std::string_view name;
    std::string_view summary;
    int (*run)(std::span<char* const> args);
};

#define BOOTIMG_ROW(name, summary) {#name, summary, bootimg::cmd_##name},
constexpr Subcommand kSubcommands[] = {BOOTIMG_SUBCOMMANDS(BOOTIMG_ROW)};
#undef BOOTIMG_ROW

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: bootimg SUBCOMMAND [options] ...\n"
                 "Builds, inspects and packages boot manager images.\n\nSubcommands:\n");
    for (const auto& s : kSubcommands)
        std::fprintf(to, "  %-10.*s %.*s\n", static_cast<int>(s.name.size()), s.name.data(),
                     static_cast<int>(s.summary.size()), s.summary.data());
    std::fprintf(
        to,
        "\n'bootimg SUBCOMMAND --help' describes one subcommand.\n"
        "Exit status: 0 success, 1 an image is bad or malformed, 2 usage or file error.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return bootimg::EXIT_USAGE;
    }
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        usage(stdout);
        return bootimg::EXIT_OK;
    }
    for (const auto& s : kSubcommands)
        if (s.name == name) return s.run(std::span<char* const>(argv + 2, argc - 2));
    std::fprintf(stderr, "bootimg: unknown subcommand '%s' (see bootimg --help)\n", argv[1]);
    return bootimg::EXIT_USAGE;
}
