#include "sim/install_cmd.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "boot/boot_sequence.h"
#include "image/install.h"
#include "image/install_log.h"

namespace sim {

int run_install_command(SimBoard& board, const std::string& file, int slot, bool skip_same_version,
                        const std::vector<Fault>& faults) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        // A missing file is the common slip; say it in the words the tests and people look for.
        const bool there = std::filesystem::exists(file, ec);
        std::fprintf(stderr, "bootmgr-sim: --install %s: %s\n", file.c_str(),
                     there ? "not a regular file"
                     : ec  ? ec.message().c_str()
                           : "no such file");
        return 2;
    }
    board.power_up();
    for (const auto& f : faults) board.inject(f);
    const std::string target = board.host_path(DOWNLOAD_IMAGE_PATH);
    std::filesystem::copy_file(file, target, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        std::fprintf(stderr, "bootmgr-sim: cannot copy %s to the board's %s: %s\n", file.c_str(),
                     DOWNLOAD_IMAGE_PATH, ec.message().c_str());
        return 2;
    }
    // Everything a power-up does before a rescue download is installed: the installation then
    // meets the same settings, keys and signal handling as on the board.
    boot_start_up();
    std::fflush(stdout);
    if (image_install_package(DOWNLOAD_IMAGE_PATH, skip_same_version ? 1 : 0, slot) == 0)
        return kExitInstallFailed;
    install_log_append(std::filesystem::path(file).filename().c_str(), "local file");
    return 0;
}

}  // namespace sim
