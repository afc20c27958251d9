#include "rescue/tftp_download.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "boot/boot_settings.h"
#include "boot/console.h"
#include "image/install.h"
#include "image/install_log.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "rescue/input_check.h"
#include "rescue/net_config.h"

namespace {

constexpr int kAttempts = 3;
constexpr unsigned kRetryPauseMs = 3000;
constexpr std::size_t kNameSize = 128;

bool download_present() {
    struct stat st {};
    return platform::os().stat(DOWNLOAD_IMAGE_PATH, &st) == 0;
}

// 1 with a usable name in `name`, 0 when the operator left or broke off.
int ask_filename(std::array<char, kNameSize>& name) {
    for (;;) {
        out_printf("Image Filename: ");
        out_flush();
        console_read_line(name.data(), name.size());
        if (boot_settings.break_flag) return 0;
        const std::size_t len = std::strlen(name.data());
        // The name goes into a shell command: only plain path characters may pass.
        if (len >= 2 && rescue_valid_filename(name.data())) return 1;
        if (len < 2 && std::strcmp(name.data(), "q") == 0) return 0;
        out_puts("Invalid filename. Try again please");
    }
}

// One transfer attempt; true when a complete file is in place. A client that reports failure
// may leave a partial file behind, which must never reach the installation.
bool fetch(const char* name, const char* server) {
    platform::os().remove(DOWNLOAD_IMAGE_PATH);
    std::array<char, 256> command{};
    const int n = std::snprintf(command.data(), command.size(), "tftp -g -r %s -l /tmp/image %s\n",
                                name, server);
    if (n < 0 || static_cast<std::size_t>(n) >= command.size()) return false;
    const int status = platform::os().system(command.data());
    if (!download_present()) return false;
    if (status != 0) {
        platform::os().remove(DOWNLOAD_IMAGE_PATH);
        return false;
    }
    return true;
}

}  // namespace

int rescue_tftp_download() {
    out_puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    NetConfig config{};
    if (net_config_dialog(&config, 0) == 0) return 0;
    std::uint32_t server_address = 0;
    if (net_prompt_address("Server addr:", &server_address, 1, 1) == 0) return 0;
    std::array<char, kNameSize> name{};
    if (ask_filename(name) == 0) return 0;
    if (boot_settings.break_flag) return 0;
    if (net_apply_config(&config) == 0) return 0;

    const auto server = rescue_format_ipv4(server_address);
    bool received = false;
    for (int attempt = 1; attempt <= kAttempts && !received; ++attempt) {
        if (boot_settings.break_flag) return 0;
        out_printf("Installing image %s from TFTP server %s\n", name.data(), server.data());
        received = fetch(name.data(), server.data());
        if (!received) {
            out_printf("Attempt %d/3 of tftp timed out\n", attempt);
            platform::os().sleep_ms(kRetryPauseMs);
        }
    }
    if (!received) {
        out_puts("Tftp download failed. Aborting");
        return 0;
    }
    const int result = image_install_package(DOWNLOAD_IMAGE_PATH, 0, 0);
    if (result != 0) install_log_append(name.data(), server.data());
    return result;
}
