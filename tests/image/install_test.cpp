#include "image/install.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/launch.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "platform/byte_order.h"
#include "security/keystore.h"
#include "tests/support/board_fixture.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes payload_of(std::size_t length, std::uint8_t seed) {
    Bytes p(length);
    for (std::size_t i = 0; i < length; ++i)
        p[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return p;
}

std::string dotted(std::uint32_t id) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFF, (id >> 8) & 0xFF,
                  id & 0xFF);
    return text;
}

// An unsigned image; version 3 unless told otherwise.
Bytes make_image(std::uint32_t kind, std::uint32_t id, const Bytes& payload, int version = 3) {
    return ::make_image(kind, dotted(id), std::span<const std::uint8_t>(payload), version);
}

// Copies with one change and the CRC left as it was.
Bytes flip(Bytes b, std::size_t at) {
    b[at] ^= 1;
    return b;
}
Bytes cut(Bytes b, std::size_t n) {
    b.resize(b.size() - n);
    return b;
}
Bytes set32(Bytes b, std::size_t at, std::uint32_t v) {
    be::store32(b.data() + at, v);
    return b;
}
Bytes set16(Bytes b, std::size_t at, std::uint16_t v) {
    be::store16(b.data() + at, v);
    return b;
}

// The signature entry the host tool adds with a 2048-bit key: 4 + 2 + 256 bytes.
constexpr std::size_t kSignedHeaderLen = 24 + 262;

// A production-signed image, made by the host tool as a vendor makes them.
Bytes make_signed(std::uint32_t kind, std::uint32_t id, const Bytes& payload) {
    static int serial = 0;
    const fs::path dir =
        fs::temp_directory_path() / ("install_test_sign_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path in = dir / ("in" + std::to_string(++serial)),
                   out = dir / ("out" + std::to_string(serial));
    const Bytes image = make_image(kind, id, payload);
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    // Builds without host tools (sanitizer, cross) name a host build's bootimg in BOOTIMG.
    const char* tool = std::getenv("BOOTIMG");
    const std::string bootimg =
        tool != nullptr ? std::string(tool) : std::string(BOOTMGR_BINARY_DIR) + "/bin/bootimg";
    const std::string command = bootimg + " sign --key " + BOOTMGR_SOURCE_DIR +
                                "/keys/test/test_production_key.pem " + in.string() + " -o " +
                                out.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream f(out, std::ios::binary);
    Bytes signed_image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    fs::remove_all(dir);
    EXPECT_EQ(signed_image.size(), kSignedHeaderLen + payload.size());
    return signed_image;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::string hex8(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

// A fresh simulated board with the key files in place; table rows each start from one.
class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override { fresh(); }

    void fresh() {
        b_.reset();
        sim::CreateOptions options;
        options.rtc = {0x59, 0x45, 0x12, 0x06, 0x05, 0x03, 0x11};
        b_ = std::make_unique<TestBoard>(options);
        i2c_open_buses();
        mtd_fd = mtd_open();
        CRYPTO_LIB_initialize();
        imgsign_keys_present();
        restart();
    }
    // Counts output and flash work from here on.
    void restart() {
        b_->board().clear_flash_log();
        b_->clear_output();
    }
    sim::SimBoard* board() { return b_->operator->(); }
    std::string out() const { return b_->out(); }
    void put_package(const Bytes& package) {
        ASSERT_TRUE(
            b_->write_file(DOWNLOAD_IMAGE_PATH, std::string(package.begin(), package.end())));
    }
    int install(const Bytes& package, std::uint8_t skip = 0, int slot = 1,
                sim::ConsoleScript input = {}) {
        put_package(package);
        b_->input(std::move(input));
        return image_install_package(DOWNLOAD_IMAGE_PATH, skip, slot);
    }
    Bytes flash(std::uint32_t offset, std::size_t length) {
        return board()->flash_read(offset, length);
    }
    bool flash_erased(std::uint32_t offset, std::size_t length) {
        const Bytes b = flash(offset, length);
        return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; });
    }
    int boot_slot() { return board()->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0]; }
    Bytes file(std::string_view path) {
        const auto text = b_->read_file(path);
        return text ? Bytes(text->begin(), text->end()) : Bytes{};
    }

    std::unique_ptr<TestBoard> b_;
};

constexpr std::uint32_t kV1234 = 0x01020304;

struct KindCase {
    const char* name;
    std::uint32_t kind;
    bool sign;
    int slot;
    std::uint32_t offset;  // where the image lands in flash
    bool payload_only;     // only the payload is stored
    const char* title;
    const char* tail;  // the text after the progress display
};

TEST_F(InstallTest, EachKindGoesToItsPlaceWithItsTitle) {
    const KindCase cases[] = {
        {"boot loader", IMG_KIND_BOOTLOADER, false, 1, FLASH_BOOTLOADER_OFFSET, true,
         "Installing Boot Loader: ", ""},
        {"kernel", IMG_KIND_KERNEL, true, 1, FLASH_KERNEL_OFFSET, false, "Installing Kernel: ", ""},
        {"rfs", IMG_KIND_RFS, true, 1, FLASH_RFS_OFFSET, false, "Installing Root Filesystem: ", ""},
        {"app slot 1", IMG_KIND_APPLICATION, true, 1, FLASH_SLOT1_OFFSET, false,
         "Installing Application: ", "\nImage1 updated succeeded\n"},
        {"app slot 2", IMG_KIND_APPLICATION, true, 2, FLASH_SLOT2_OFFSET, false,
         "Installing Application: ", "\nImage2 updated succeeded\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        const Bytes payload = payload_of(3000, 0x11);
        const Bytes image =
            c.sign ? make_signed(c.kind, kV1234, payload) : make_image(c.kind, kV1234, payload);
        EXPECT_EQ(install(image, 0, c.slot), 1);
        const Bytes& stored = c.payload_only ? payload : image;
        EXPECT_EQ(flash(c.offset, stored.size()), stored);
        const std::string text = out();
        EXPECT_EQ(text.find("\nExtracting images ... Do *NOT* power cycle the switch.\n"), 0u);
        EXPECT_NE(text.find(c.title), std::string::npos) << text;
        // One erase block: five blanks, 000%, then 100% and the newline, then the verdict.
        EXPECT_NE(text.find(std::string("     \b\b\b\b000%\b\b\b\b100%\n") + c.tail),
                  std::string::npos)
            << text;
        if (c.kind == IMG_KIND_APPLICATION) {
            EXPECT_EQ(boot_slot(), c.slot);
            const auto stamp = board()->eeprom_read(
                c.slot == 1 ? EEPROM_SLOT1_TIMESTAMP_OFFSET : EEPROM_SLOT2_TIMESTAMP_OFFSET, 7);
            EXPECT_EQ(stamp, (std::vector<std::uint8_t>{0x59, 0x45, 0x12, 0x06, 0x05, 0x03, 0x11}));
        }
    }
}

// Images that must not reach flash: nothing is erased, and the whole package returns 0.
TEST_F(InstallTest, RefusedImagesEraseNothing) {
    const Bytes payload = payload_of(2000, 3);
    const Bytes kernel = make_signed(IMG_KIND_KERNEL, 1, payload);
    const Bytes v3 = make_image(IMG_KIND_KERNEL, 1, payload);
    const std::string none = "ERROR: No valid image found\n";
    const struct {
        const char* name;
        Bytes package;
        std::string expected;  // a line of the output
    } cases[] = {
        {"empty", Bytes{}, none},
        {"shorter than a header", Bytes(23, 0), none},
        {"only a DFT image", make_image(IMG_KIND_DFT, 1, payload), none},
        {"only a diagnostics image", make_image(IMG_KIND_DIAGS, 1, payload), none},
        {"unsigned kernel", v3, " Image rejected as it has no signature\n"},
        {"bad crc kernel", flip(kernel, 100), "Bad crc for KERNEL: "},
        {"truncated kernel", cut(kernel, 1),
         "Invalid image at offset 0: image length 2286, 2285 bytes left in the package, voiding "
         "download\n"},
        {"length far past the file",
         set32(make_image(IMG_KIND_KERNEL, 1, payload, 1), 4, 0xFFFFFFF0u),
         "Invalid image at offset 0: image length 4294967296, 2016 bytes left in the package, "
         "voiding download\n"},
        {"version-3 header length below 24", set16(v3, 22, 20),
         "Invalid image at offset 0: header length 20 and length field 2008 do not fit a version "
         "3 header, voiding download\n"},
        {"version-3 header longer than the image", set16(v3, 22, 4000),
         "Invalid image at offset 0: header length 4000 and length field 2008 do not fit a version "
         "3 header, voiding download\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        EXPECT_EQ(install(c.package), 0);
        EXPECT_NE(out().find(c.expected), std::string::npos) << out();
        EXPECT_EQ(board()->flash_erases(), 0u);
        EXPECT_EQ(board()->flash_writes(), 0u);
    }
}

TEST_F(InstallTest, BadCrcNamesTheKindAndTheComputedValue) {
    struct Row {
        std::uint32_t kind;
        const char* name;
    };
    const Row rows[] = {{IMG_KIND_BOOTLOADER, "UBOOT"},
                        {IMG_KIND_KERNEL, "KERNEL"},
                        {IMG_KIND_RFS, "RFS"},
                        {IMG_KIND_APPLICATION, "APPLICATION"},
                        {IMG_KIND_QORB, "Q-ORB APPLICATION"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        Bytes image = make_image(r.kind, 1, payload_of(500, 9));
        const std::uint32_t computed = be::load32(image.data());
        be::store32(image.data(), computed ^ 0x10);
        EXPECT_EQ(install(image, 0, 2), 0);
        EXPECT_NE(out().find(std::string("Bad crc for ") + r.name + ": " + hex8(computed) +
                             ", voiding download\n"),
                  std::string::npos)
            << out();
        EXPECT_EQ(board()->flash_erases(), 0u);
    }
}

struct LimitCase {
    const char* name;
    std::uint32_t kind;
    std::size_t length;  // payload length for the boot loader, else image length
    bool passes;
    const char* message;
};

TEST_F(InstallTest, SizeLimitsAtTheLimitAndOneByteMore) {
    const LimitCase cases[] = {
        {"boot loader at limit", IMG_KIND_BOOTLOADER, 0x100000, true, nullptr},
        {"boot loader over", IMG_KIND_BOOTLOADER, 0x100001, false,
         "UBOOT image is too big for flash (1048577 > 1048576)\n"},
        {"kernel at limit", IMG_KIND_KERNEL, 0x800000, true, nullptr},
        {"kernel over", IMG_KIND_KERNEL, 0x800001, false,
         "KERNEL image is too big for flash (8388609 > 8388608)\n"},
        {"rfs at limit", IMG_KIND_RFS, 0xA00000, true, nullptr},
        {"rfs over", IMG_KIND_RFS, 0xA00001, false,
         "RFS image is too big for flash (10485761 > 10485760)\n"},
        {"application at limit", IMG_KIND_APPLICATION, 0xA00000, true, nullptr},
        {"application over", IMG_KIND_APPLICATION, 0xA00001, false,
         "Application image is too big for flash (10485761 > 10485760)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        const bool boot_loader = c.kind == IMG_KIND_BOOTLOADER;
        const Bytes image =
            boot_loader ? make_image(c.kind, 1, payload_of(c.length, 1))
                        : make_signed(c.kind, 1, payload_of(c.length - kSignedHeaderLen, 1));
        EXPECT_EQ(install(image, 0, 1), c.passes ? 1 : 0);
        if (c.message) {
            EXPECT_NE(out().find(c.message), std::string::npos) << out().substr(0, 400);
        }
        if (!c.passes) {
            EXPECT_EQ(board()->flash_erases(), 0u);
        }
    }
}

TEST_F(InstallTest, PackageWalkEndsAtTrailingBytes) {
    const Bytes kernel = make_signed(IMG_KIND_KERNEL, kV1234, payload_of(1500, 5));
    struct Row {
        const char* name;
        Bytes tail;
        int result;
    };
    const Row rows[] = {
        {"nothing", {}, 1},
        {"23 stray bytes", Bytes(23, 0x55), 1},
        {"XMODEM padding of 1023 bytes", Bytes(1023, 0x1A), 1},
        {"XMODEM padding of 24 bytes", Bytes(24, 0x1A), 1},
        {"30 bytes of junk", Bytes(30, 0x55), 0},
        {"30 zero bytes read as an empty image of no kind", Bytes(30, 0x00), 1},
        {"a full block of padding is not a padding tail", Bytes(1024, 0x1A), 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        EXPECT_EQ(install(cat({kernel, r.tail})), r.result) << out();
        EXPECT_EQ(flash(FLASH_KERNEL_OFFSET, kernel.size()), kernel);
        EXPECT_EQ(out().find("ERROR: No valid image found"), std::string::npos);
    }
}

TEST_F(InstallTest, LaterFailureKeepsEarlierImagesAndStopsThePackage) {
    const Bytes kernel = make_signed(IMG_KIND_KERNEL, kV1234, payload_of(1500, 5));
    Bytes rfs = make_signed(IMG_KIND_RFS, kV1234, payload_of(1700, 6));
    const Bytes app = make_signed(IMG_KIND_APPLICATION, kV1234, payload_of(1700, 7));
    rfs[300] ^= 0xFF;
    EXPECT_EQ(install(cat({make_image(0x0773636F, 1, payload_of(64, 1)), kernel, rfs, app}), 0, 1),
              0);
    EXPECT_EQ(flash(FLASH_KERNEL_OFFSET, kernel.size()), kernel);
    EXPECT_NE(out().find("Bad crc for RFS: "), std::string::npos);
    EXPECT_TRUE(flash_erased(FLASH_RFS_OFFSET, 4096));
    EXPECT_TRUE(flash_erased(FLASH_SLOT1_OFFSET, 4096));
    EXPECT_EQ(out().find("Installing Application"), std::string::npos);
}

TEST_F(InstallTest, SameVersionSkip) {
    const Bytes payload = payload_of(3000, 2);
    struct Row {
        const char* name;
        std::uint32_t kind;
        int header_version;
        bool damage_installed;  // tear the installed copy after its header
        bool skipped;
        const char* message;
    };
    const Row rows[] = {
        {"kernel", IMG_KIND_KERNEL, 3, false, true,
         "Image has same version as existing image. Skipping update...\n"},
        {"boot loader", IMG_KIND_BOOTLOADER, 1, false, true,
         "Image has same version as existing image. Skipping update...\n"},
        {"application", IMG_KIND_APPLICATION, 3, false, true,
         "Image2 has same version as existing image. Skipping update...\n"},
        {"torn application is rewritten", IMG_KIND_APPLICATION, 3, true, false,
         "Installed image has the same version but does not match it; updating.\n"},
        {"version-2 header is never found", IMG_KIND_BOOTLOADER, 2, false, false,
         "Unknown image type 0x8273636f \n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        Bytes body = payload;
        Bytes image;
        if (r.kind == IMG_KIND_BOOTLOADER) {
            image = make_image(r.kind, kV1234, body, r.header_version);
            // The boot loader carries its version record at payload offset 0xF0.
            std::copy(image.begin() + 4, image.begin() + 16,
                      image.begin() + static_cast<long>(image.size() - body.size()) + 0xF4);
            fix_crc(image);
        } else {
            image = make_signed(r.kind, kV1234, body);
        }
        ASSERT_EQ(install(image, 1, 2), 1);
        if (r.damage_installed) {
            const Bytes zero(16, 0);
            board()->flash_write(FLASH_SLOT2_OFFSET + 1000, zero);
        }
        restart();
        EXPECT_EQ(install(image, 1, 2), r.skipped ? 0 : 1);
        EXPECT_NE(out().find(r.message), std::string::npos) << out();
        EXPECT_EQ(board()->flash_erases() == 0, r.skipped);
    }
}

TEST_F(InstallTest, ApplicationSlotQuestion) {
    const Bytes app = make_signed(IMG_KIND_APPLICATION, kV1234, payload_of(2000, 8));
    EXPECT_EQ(install(app, 0, 0, "2 and some words that run far beyond the thirty-one\n"), 1);
    EXPECT_NE(out().find("Install image as image 1 or 2 (hit return to just boot image): "
                         "Installing image as image2: "),
              std::string::npos)
        << out();
    EXPECT_EQ(flash(FLASH_SLOT2_OFFSET, app.size()), app);
    EXPECT_EQ(boot_slot(), 2);
}

TEST_F(InstallTest, EmptyAnswerBootsTheDownloadWithoutFlashOrSizeLimit) {
    const Bytes payload = payload_of(0xA00100, 4);
    const Bytes app = make_signed(IMG_KIND_APPLICATION, kV1234, payload);
    put_package(app);
    const BoardRun r = b_->run([] { image_install_package(DOWNLOAD_IMAGE_PATH, 0, 0); }, "\n");
    EXPECT_EQ(r.status, 0);  // replaced by the application
    EXPECT_NE(r.out.find("Booting downloaded image\nImage ready to boot...\n"), std::string::npos)
        << r.out.substr(0, 500);
    EXPECT_EQ(r.flash_erases, 0u);
    EXPECT_TRUE(r.exec_seen());
}

TEST_F(InstallTest, QorbSlotQuestionRepeatsUntilAnswered) {
    const Bytes payload = payload_of(70000, 3);
    const Bytes qorb = make_image(IMG_KIND_QORB, kV1234, payload);
    struct Row {
        const char* name;
        sim::ConsoleScript answers;
        int result;
        int asked;
        int slot;
    };
    const Row rows[] = {
        {"junk, empty, then 1", "x\n\n1\n", 1, 3, 1},
        {"2", "2\n", 1, 1, 2},
        {"5 then q", "5\nq\n", 0, 2, 0},
        {"Q", "Q\n", 0, 1, 0},
        {"console closed", sim::ConsoleScript().nothing(), 0, 1, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        board()->eeprom_write(EEPROM_BOOT_SLOT_OFFSET, std::vector<std::uint8_t>{0});
        EXPECT_EQ(install(qorb, 0, 0, r.answers), r.result);
        const std::string text = out();
        std::size_t asked = 0;
        for (std::size_t at = 0; (at = text.find("Install image as image 1 or 2 (q to quit): ",
                                                 at)) != std::string::npos;
             ++at)
            ++asked;
        EXPECT_EQ(asked, static_cast<std::size_t>(r.asked));
        EXPECT_EQ(boot_slot(), r.slot);
        if (r.result) {
            EXPECT_EQ(file(QORB_IMAGE_PATH), payload);
            EXPECT_NE(text.find("Preparing image for installation:     "), std::string::npos);
        }
        EXPECT_EQ(board()->flash_erases(), 0u);
    }
}

// A write that fails is never reported as installed, and the boot slot byte is left (or put)
// on a slot that still boots.
TEST_F(InstallTest, FailedFlashWriteKeepsABootableSlot) {
    const Bytes old_app = make_signed(IMG_KIND_APPLICATION, 0x01000000, payload_of(5000, 1));
    const Bytes new_app = make_signed(IMG_KIND_APPLICATION, 0x02000000, payload_of(300000, 2));
    struct Row {
        const char* name;
        bool slot1_good;
        int boot_slot_before;
        int boot_slot_after;
    };
    const Row rows[] = {
        {"falls back to the good slot 1", true, 2, 1},
        {"slot 1 torn too: left alone", false, 2, 2},
        {"boot slot already elsewhere", true, 1, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        Bytes slot1 = old_app;
        if (!r.slot1_good) slot1[2000] ^= 1;
        board()->flash_write(FLASH_SLOT1_OFFSET, slot1);
        board()->eeprom_write(
            EEPROM_BOOT_SLOT_OFFSET,
            std::vector<std::uint8_t>{static_cast<std::uint8_t>(r.boot_slot_before)});
        const auto stamp_before = board()->eeprom_read(EEPROM_SLOT2_TIMESTAMP_OFFSET, 7);
        board()->inject({sim::FaultKind::flash_write, 200});
        EXPECT_EQ(install(new_app, 0, 2), 0);
        const std::string text = out();
        EXPECT_NE(text.find("Image2 update failed\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("updated succeeded"), std::string::npos);
        EXPECT_EQ(boot_slot(), r.boot_slot_after);
        EXPECT_EQ(board()->eeprom_read(EEPROM_SLOT2_TIMESTAMP_OFFSET, 7), stamp_before);
    }
}

TEST_F(InstallTest, InstallLogLine) {
    struct Row {
        std::array<std::uint8_t, 7> rtc;
        const char* file;
        const char* source;
        const char* line;
    };
    const Row rows[] = {
        {{0x59, 0x45, 0x12, 0x06, 0x05, 0x03, 0x11},
         "image",
         "xmodem",
         "File image installed from xmodem at 12:45:59 on 5-3-2011\n"},
        {{0x07, 0x08, 0x09, 0x01, 0x31, 0x12, 0x25},
         "pkg.bin",
         "10.0.0.1",
         "File pkg.bin installed from 10.0.0.1 at 09:08:07 on 31-12-2025\n"},
        // Control bits above the BCD digits (oscillator stop, century, 12-hour flag) are masked.
        {{0x80 | 0x01, 0x80 | 0x02, 0xC0 | 0x03, 0x01, 0xC0 | 0x04, 0xE0 | 0x05, 0x09},
         "a",
         "b",
         "File a installed from b at 03:02:01 on 4-5-209\n"},
    };
    std::string log;
    for (const auto& r : rows) {
        board()->set_rtc(r.rtc);
        EXPECT_EQ(install_log_append(r.file, r.source), 1);
        EXPECT_NE(out().find(std::string("Updating install log. ") + r.line), std::string::npos)
            << out();
        log += r.line;
    }
    EXPECT_EQ(b_->read_file(INSTALL_LOG_PATH), log);
}

TEST_F(InstallTest, FileWriteProgressText) {
    struct Row {
        std::size_t length;
        const char* shown;
    };
    const Row rows[] = {
        {0, "    \b\b\b\b100%\n"},
        {100, "    \b\b\b\b100%\n"},
        {65536, "    \b\b\b\b100%\b\b\b\b100%\n"},
        {3 * 65536, "    \b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\b\b\b\b100%\n"},
        {65536 + 256, "    \b\b\b\b099%\b\b\b\b100%\b\b\b\b100%\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.length);
        b_->clear_output();
        const Bytes data = payload_of(r.length, 1);
        EXPECT_EQ(file_write_progress("/tmp/progress.bin", data.data(), data.size()), 1);
        EXPECT_EQ(out(), r.shown);
        EXPECT_EQ(file("/tmp/progress.bin"), data);
    }
}

TEST_F(InstallTest, FileWriteProgressReportsAFileThatCannotBeCreated) {
    sim::Fault fault{sim::FaultKind::create_path};
    fault.path = "/tmp/nope.bin";
    board()->inject(fault);
    const Bytes data(10, 1);
    EXPECT_EQ(file_write_progress("/tmp/nope.bin", data.data(), data.size()), 0);
    EXPECT_NE(out().find("File /tmp/nope.bin write failed (err "), std::string::npos) << out();
}

TEST_F(InstallTest, InstalledHeaderLookup) {
    struct Row {
        std::uint32_t kind;
        int slot;
        std::uint32_t offset;
        int result;
    };
    const Row rows[] = {
        {IMG_KIND_APPLICATION, 1, FLASH_SLOT1_OFFSET, 1},
        {IMG_KIND_APPLICATION, 2, FLASH_SLOT2_OFFSET, 1},
        {IMG_KIND_APPLICATION, 7, FLASH_SLOT2_OFFSET, 1},
        {IMG_KIND_KERNEL, 0, FLASH_KERNEL_OFFSET, 1},
        {IMG_KIND_RFS, 0, FLASH_RFS_OFFSET, 1},
        {IMG_KIND_BOOTLOADER, 0, FLASH_BOOTLOADER_VERSION_OFFSET, 1},
        {IMG_KIND_DFT, 0, 0, 0},
        {IMG_KIND_KERNEL | IMG_EXT_HEADER, 0, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.kind);
        const Bytes record = payload_of(16, static_cast<std::uint8_t>(r.offset >> 20));
        if (r.result) board()->flash_write(r.offset, record);
        std::uint8_t header[16];
        std::memset(header, 0xAA, sizeof header);
        EXPECT_EQ(image_installed_header(r.kind, header, r.slot), r.result);
        EXPECT_EQ(Bytes(header, header + 16), r.result ? record : Bytes(16, 0));
    }
    EXPECT_EQ(image_installed_header(IMG_KIND_KERNEL, nullptr, 0), 0);
}

}  // namespace
