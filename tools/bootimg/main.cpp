// bootimg: the host tool that builds, signs, inspects, checks and packages boot manager images.
#include <cstdio>
#include <string>
#include <string_view>

#include "boot/version.h"
#include "crypto/imgsign.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"
#include "tools/bootimg/bootimg.h"
#include "tools/bootimg/commands.h"

namespace {

// Words CLI11 would only complain about after its checks of required options, said first and
// plainly: an unknown subcommand, or an option the subcommand does not have.
int unknown_words(const CLI::App& app, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return 0;
    const CLI::App* sub = nullptr;
    for (const CLI::App* s : app.get_subcommands({})) sub = s->get_name() == argv[1] ? s : sub;
    if (sub == nullptr) {
        std::fprintf(stderr, "bootimg: unknown subcommand '%s' (see bootimg --help)\n", argv[1]);
        return bootimg::EXIT_USAGE;
    }
    for (int i = 2; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        const std::string_view word = argv[i];
        if (word.size() < 2 || word[0] != '-' || word == "-h" || word == "--help") continue;
        const std::string name(word.substr(0, word.find('=')));
        if (sub->get_option_no_throw(name) != nullptr) continue;
        std::fprintf(stderr, "bootimg %s: unknown option %s (see bootimg %s --help)\n", argv[1],
                     name.c_str(), argv[1]);
        return bootimg::EXIT_USAGE;
    }
    return 0;
}

int run_bootimg(int argc, char** argv) {
    CLI::App app("Builds, signs, inspects, checks and packages boot manager images.", "bootimg");
    app.footer(
        "'bootimg SUBCOMMAND --help' describes one subcommand.\n"
        "Exit status: 0 success; 1 an image is bad or malformed, or the board would refuse\n"
        "one (verify); 2 a usage error, or a file or key that cannot be read, written or used.");
    app.set_version_flag("--version", std::string("bootimg ") + BOOTMGR_VERSION +
                                          " (source revision " + BOOTMGR_REVISION + ")");
    app.require_subcommand(1);
    // A flag or value given twice is a mistake; the options that may repeat say so themselves.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    app.get_formatter()->column_width(28);
    // The board's own checks (signature entry walk, RSA verification) run here as on the board.
    static platform::LinuxPlatform host;
    platform::set_os(host);
    CRYPTO_LIB_initialize();
    int status = bootimg::EXIT_OK;
#define BOOTIMG_ADD(name) bootimg::add_##name(app, status);
    BOOTIMG_SUBCOMMANDS(BOOTIMG_ADD)
#undef BOOTIMG_ADD
    if (const int rc = unknown_words(app, argc, argv); rc != 0) return rc;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // The help of the subcommand that was asked about, else the tool's.
        const CLI::App* about = &app;
        for (const CLI::App* sub : app.get_subcommands()) about = sub;
        std::fputs(about->help().c_str(), stdout);
        return bootimg::EXIT_OK;
    } catch (const CLI::CallForVersion&) {
        std::printf("%s\n", app.version().c_str());
        return bootimg::EXIT_OK;
    } catch (const CLI::ParseError& e) {
        const auto subs = app.get_subcommands();
        const std::string where = subs.empty() ? "" : " " + subs.front()->get_name();
        std::string what = e.what();
        if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr)
            what =
                (subs.empty() ? "unknown subcommand or option:" : "unknown option or argument:") +
                what.substr(what.find(':') + 1);
        std::fprintf(stderr, "bootimg%s: %s (see bootimg%s --help)\n", where.c_str(), what.c_str(),
                     where.c_str());
        return bootimg::EXIT_USAGE;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // What could throw (the host's allocator, CLI11 itself) ends the run with a message.
    try {
        return run_bootimg(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bootimg: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "bootimg: unexpected failure\n");
    }
    return bootimg::EXIT_USAGE;
}
