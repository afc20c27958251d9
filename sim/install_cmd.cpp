#include "sim/install_cmd.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "board/i2c_devices.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/install.h"
#include "security/keystore.h"

namespace sim {

int run_install_command(SimBoard& board, const std::string& file, int slot,
                        bool skip_same_version) {
    const std::string target = board.host_path(DOWNLOAD_IMAGE_PATH);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
    std::filesystem::copy_file(file, target, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        std::fprintf(stderr, "bootmgr-sim: cannot copy %s to the board's %s: %s\n", file.c_str(),
                     DOWNLOAD_IMAGE_PATH, ec.message().c_str());
        return 2;
    }
    // The start-up steps the installer relies on: devices, the library and the key files.
    i2c_open_buses();
    mtd_fd = mtd_open();
    CRYPTO_LIB_initialize();
    imgsign_keys_present();
    if (image_install_package(DOWNLOAD_IMAGE_PATH, skip_same_version ? 1 : 0, slot) == 0) return 1;
    install_log_append(std::filesystem::path(file).filename().c_str(), "local file");
    return 0;
}

}  // namespace sim
