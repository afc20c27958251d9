#include "boot/launch.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "board/i2c_devices.h"
#include "board/reboot.h"
#include "boot/boot_settings.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "platform/console_io.h"
#include "platform/platform.h"

namespace {

constexpr const char* kInstallScript = "/tmp/home/bin/install.sh";
constexpr const char* kEnvFile = "/tmp/home/bin/env-setup";
constexpr const char* kGdbArchive = "/tmp/gdb.gz";
constexpr const char* kGdbProgram = "/tmp/gdb";
constexpr std::uint32_t kGdbCopyChunk = 64 * 1024;

bool file_exists(const char* path) {
    struct stat st {};
    return platform::os().stat(path, &st) == 0;
}

int run(const char* command) {
    return platform::os().system(command);
}

// Each pair is read with "%511s %511s" into zero-filled buffers, so a name without a value at
// the end of the file sets the variable to the empty text and an overlong word is cut after 511
// characters with its rest read as the next word.
void apply_environment_file() {
    std::FILE* file = platform::os().fopen(kEnvFile, "r");
    if (file == nullptr) return;
    char name[512];
    char value[512];
    for (;;) {
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
        if (std::fscanf(file, "%511s %511s", name, value) == EOF) break;
        platform::os().setenv(name, value, 1);
    }
    std::fclose(file);
}

[[noreturn]] void exec_or_reboot(const char* path, char* const argv[]) {
    platform::os().execv(path, argv);
    err_printf("Failed to start Application OS.\n");
    reboot_system();
}

}  // namespace

void launch_application(int is_diagnostics) {
    auto& os = platform::os();
    os.sleep_ms(1000);

    char unpack[256];
    std::snprintf(unpack, sizeof unpack, "cd /tmp \ntar mxzf %s \nrm %s\n", APPLICATION_ARCHIVE,
                  APPLICATION_ARCHIVE);
    if (run(unpack) < 0) {
        err_printf("Failed to gunzip Application OS.\n");
        reboot_system();
    }

    i2c_close_buses();

    if (is_diagnostics == 1) {
        out_puts("install diags image");
        run("mkdir -p /tmp/home/bin");
        run("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }

    if (file_exists(kInstallScript)) {
        out_puts("Running install script");
        run(kInstallScript);
        if (file_exists(kEnvFile)) apply_environment_file();
    }

    if (boot_settings.shell_enabled) {
        out_puts("Dropping into shell");
        run("/bin/sh\n");
        out_puts("Dropping out of shell");
    }

    if (boot_settings.gdbserver_enabled) {
        char command[160];
        if (boot_settings.memchk_enabled) {
            std::snprintf(command, sizeof command,
                          "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d "
                          "/tmp/home/bin/mp.elf.strip\n",
                          static_cast<int>(boot_settings.gdb_port));
        } else {
            std::snprintf(command, sizeof command,
                          "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                          static_cast<int>(boot_settings.gdb_port));
        }
        run(command);
        reboot_system();
    }

    bool checker = boot_settings.memchk_enabled != 0;
    if (boot_settings.gdb_enabled) {
        if (file_exists(kGdbProgram)) {
            out_puts("*** Launching under GDB ***");
            run("/tmp/gdb /tmp/home/bin/mp.elf.strip");
            reboot_system();
        }
        out_puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        checker = false;  // falls back to the plain start
    }

    if (checker) {
        char shell[] = "sh";
        char dash_c[] = "-c";
        char command[] = "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n";
        char* const argv[] = {shell, dash_c, command, nullptr};
        exec_or_reboot("/bin/sh", argv);
    }

    char program[] = "/bin/backtrace";
    char* const argv[] = {program, nullptr};
    exec_or_reboot(program, argv);
}

int extract_gdb(int slot) {
    if (slot != 1 && slot != 2) return 0;
    const int source = slot == 1 ? 2 : 1;
    const FlashRegionInfo& region = flash_region(flash_slot_region(source));
    const std::uint32_t source_offset = region.offset;
    out_printf("Extracting GDB from image slot %d\n", source);

    auto& os = platform::os();
    const int out = os.open(kGdbArchive, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        err_printf("Failed to open GDB output file.\n");
        return 0;
    }

    std::uint8_t header[IMG_FIXED_HEADER_LEN] = {};
    flash_region_read(header, mtd_fd, source_offset, sizeof header);
    // The debugger is read as a version-1 image: its length word counts the bytes after the
    // fixed part, whatever else the header holds.
    const ImageHeader fixed = image_fixed_header_decode(header);
    const ImageKind* kind = image_kind_info(fixed.magic);
    if (kind == nullptr || !kind->bootable) {
        os.close(out);
        err_printf("Image has invalid header 0x%x\n", fixed.magic);
        return 0;
    }
    std::uint32_t length = fixed.len;
    out_printf("Found GDB image %d of length = %u.\n", source, length);

    // The debugger is copied in pieces, and never past the room of its slot: the length word is
    // not covered by any check.
    const std::uint32_t room = region.room - IMG_FIXED_HEADER_LEN;
    if (length > room) length = room;
    std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[kGdbCopyChunk]);
    std::uint32_t done = 0;
    while (chunk && done < length) {
        const std::uint32_t n = std::min(kGdbCopyChunk, length - done);
        if (flash_region_read(chunk.get(), mtd_fd, source_offset + IMG_FIXED_HEADER_LEN + done,
                              n) != 0) {
            break;
        }
        if (os.write(out, chunk.get(), n) != static_cast<ssize_t>(n)) break;
        done += n;
    }
    os.close(out);
    if (done < length) {
        err_printf("Failed to copy GDB image from flash.\n");
        return 0;
    }

    out_puts("decompressing GDB....");
    run("gunzip /tmp/gdb.gz");
    run("chmod +x /tmp/gdb");
    return 1;
}
