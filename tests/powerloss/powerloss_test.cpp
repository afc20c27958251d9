// Power loss during a package installation. The package replaces the application in both image
// slots, the kernel and the root file system. The power goes during each flash erase or write of
// the installation in turn (half of that operation done); the board then powers up again. After
// every cut it must start an image that passes its check -- or reboot when neither slot holds one
// -- and never start anything else; and the boot slot byte may only have been moved to a slot
// whose image is complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/launch.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "image/install.h"
#include "security/keystore.h"
#include "sim/sim_board.h"
#include "tests/support/board_fixture.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

// 150000 bytes: with its header an image spans two erase blocks, so a cut can leave a slot whose
// first block (header included) is new while the second is not.
constexpr std::size_t kPayloadLen = 150000;

Bytes new_payload() {
    Bytes p(kPayloadLen);
    for (std::size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8) * 7 + 0x5a);
    return p;
}

// RSA-2048 PKCS#1 v1.5 SHA-256 signature of new_payload() under keys/test/test_production_key.pem
// (made once with the openssl command: `openssl dgst -sha256 -sign`). Kept as data so that the
// test needs no host signing tool and runs on the board's CPU as well.
constexpr std::array<std::uint8_t, 256> kProductionSignature = {
    0x2f, 0x24, 0xef, 0xb3, 0x5a, 0x77, 0x82, 0xad, 0x0e, 0x95, 0xe8, 0x9c, 0x68, 0x12, 0x6c, 0x5b,
    0x57, 0x1a, 0xe6, 0x6c, 0x5c, 0x2e, 0x0d, 0x2b, 0x2c, 0xcc, 0xde, 0x9b, 0x92, 0xf1, 0x26, 0xf2,
    0xe8, 0xdd, 0x4d, 0x0d, 0xef, 0x6a, 0x1d, 0x1e, 0x35, 0xd5, 0x73, 0x7a, 0xe6, 0x19, 0xfb, 0xa3,
    0xf7, 0x2e, 0xde, 0xbc, 0xa3, 0x0f, 0x7c, 0xc0, 0x4b, 0xc2, 0x81, 0x27, 0x19, 0x6a, 0xd9, 0x8b,
    0x5e, 0x69, 0x7f, 0xf5, 0x86, 0xe7, 0xe8, 0x5b, 0x46, 0x85, 0x2d, 0xeb, 0xc1, 0x1e, 0x05, 0x6c,
    0x28, 0x4f, 0x5c, 0xb2, 0xa8, 0x54, 0x7f, 0x5f, 0x88, 0x2f, 0xce, 0x02, 0x57, 0x19, 0xb7, 0xcf,
    0x20, 0xbf, 0xae, 0x89, 0xcc, 0x13, 0xe2, 0x5a, 0xeb, 0xa8, 0xad, 0x1e, 0x22, 0x89, 0xe3, 0xa8,
    0xe0, 0x77, 0xb8, 0xc0, 0x6a, 0x37, 0x87, 0x67, 0xd0, 0xce, 0xb6, 0x66, 0x0e, 0x2b, 0x41, 0x1e,
    0xf5, 0xf5, 0x9d, 0xcf, 0x0a, 0x69, 0x64, 0x4d, 0x69, 0xd0, 0x85, 0x9e, 0x52, 0xe9, 0x72, 0x0e,
    0xb6, 0x8c, 0x44, 0xbe, 0xac, 0xab, 0xc0, 0xb7, 0x42, 0x6d, 0xbe, 0xa3, 0x63, 0xf4, 0xdf, 0xc7,
    0x46, 0x31, 0x0e, 0x33, 0x02, 0x23, 0x98, 0xda, 0x47, 0x9d, 0x8f, 0xc0, 0x2e, 0x49, 0xc0, 0xf8,
    0xa4, 0xf2, 0xee, 0x20, 0x6b, 0x1d, 0x06, 0xe0, 0xb3, 0x6d, 0x84, 0xb4, 0x76, 0x17, 0x24, 0x3c,
    0x86, 0x97, 0xb6, 0x38, 0xeb, 0xf5, 0x61, 0x3d, 0xb5, 0xec, 0x0f, 0xdd, 0x47, 0x6b, 0xe4, 0xe0,
    0x11, 0x38, 0x0f, 0x3c, 0x06, 0x5f, 0x32, 0xd5, 0x0b, 0x80, 0x36, 0xb6, 0x46, 0x32, 0x18, 0xab,
    0xcc, 0x7f, 0xc6, 0xbc, 0xad, 0xb9, 0xed, 0x0d, 0x56, 0x70, 0x1b, 0xd8, 0x77, 0x2c, 0xaa, 0xec,
    0x3d, 0xf7, 0x4d, 0x17, 0x35, 0x36, 0x6c, 0x09, 0x2b, 0xc2, 0x49, 0xe1, 0xa9, 0x40, 0x5d, 0xb9,
};

// Older images that the board holds before the installation: unsigned (the boot path does not look
// at signatures), of other sizes than the new ones, so that a half-replaced slot mixes the two.
Bytes old_payload(std::size_t length, std::uint8_t seed) {
    Bytes p(length);
    for (std::size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<std::uint8_t>(seed ^ (i * 29 + (i >> 11)));
    return p;
}

struct Image {
    Bytes bytes;
    Bytes payload;
};

Image signed_image(std::uint32_t kind, std::string_view version) {
    Image image{{}, new_payload()};
    image.bytes =
        make_image(kind, version, image.payload, 3, {signature_entry(kProductionSignature)});
    return image;
}

Image old_image(std::uint32_t kind, std::string_view version, std::size_t length,
                std::uint8_t seed) {
    Image image{{}, old_payload(length, seed)};
    image.bytes = make_image(kind, version, image.payload, 1);
    return image;
}

// The new images a scenario installs. Both application images carry the same signed payload; the
// version in their headers tells them apart.
enum class New { app_a, app_b, kernel, rfs };

struct Installation {
    std::vector<New> package;  // the images of one downloaded package, in order
    const char* answer;        // the operator's answer to the slot question
};

struct Scenario {
    const char* name;
    std::vector<Installation> installations;        // done one after the other, as rescue downloads
    std::array<std::optional<New>, 2> final_slots;  // what the slots hold at the end (none: old)
    std::uint8_t final_byte;                        // the boot slot byte at the end
};

// The board starts with good older images in both slots and the boot slot byte naming slot 1.
// The installer asks for the slot once per package and puts every application image of that
// package there, so replacing both slots takes two installations; the first row shows what a
// package with two application images does.
const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> rows{
        {"one package with both application images, answered 1",
         {{{New::app_a, New::app_b, New::kernel, New::rfs}, "1\n"}},
         {New::app_b, std::nullopt},
         1},
        {"boot slot (with kernel and rfs) first, then the other slot",
         {{{New::app_a, New::kernel, New::rfs}, "1\n"}, {{New::app_b}, "2\n"}},
         {New::app_a, New::app_b},
         2},
        {"other slot first, then the boot slot (with kernel and rfs)",
         {{{New::app_b}, "2\n"}, {{New::app_a, New::kernel, New::rfs}, "1\n"}},
         {New::app_a, New::app_b},
         1},
    };
    return rows;
}

constexpr std::uint8_t kInitialBootSlot = 1;

struct Region {
    const char* name;
    std::uint32_t offset;
    Image before;
    std::vector<New> candidates;  // the new images that may land here
};

constexpr std::size_t kRegionSpan = 3 * sim::kFlashEraseSize;  // every block an image here touches

// The cut positions, as 1-based numbers of the flash erases/writes of the whole run. With no
// limit (POWERLOSS_CUTS=0, the default on this machine's own CPU), every one. Else every erase with
// the writes on both sides of it (the block boundaries) and the last operation, topped up to
// `limit` with a seeded, reproducible sample of the rest -- for a CPU that is emulated, where every
// cut is slow.
std::vector<unsigned> cut_points(const std::vector<sim::FlashOp>& log, unsigned limit,
                                 unsigned seed) {
    std::vector<char> ops;
    for (const auto& op : log)
        if (op.op == 'e' || op.op == 'w') ops.push_back(op.op);
    const auto total = static_cast<unsigned>(ops.size());
    std::vector<unsigned> all(total);
    for (unsigned i = 0; i < total; ++i) all[i] = i + 1;
    if (limit == 0 || limit >= total) return all;

    std::vector<unsigned> picked{total};
    for (unsigned i = 0; i < total; ++i) {
        if (ops[i] != 'e') continue;
        for (const unsigned n : {i, i + 1, i + 2})
            if (n >= 1 && n <= total) picked.push_back(n);
    }
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    std::vector<unsigned> rest;
    std::set_difference(all.begin(), all.end(), picked.begin(), picked.end(),
                        std::back_inserter(rest));
    if (picked.size() < limit) {
        std::mt19937 random(seed);
        std::sample(rest.begin(), rest.end(), std::back_inserter(picked), limit - picked.size(),
                    random);
    }
    std::sort(picked.begin(), picked.end());
    return picked;
}

unsigned cut_limit() {
    if (const char* text = std::getenv("POWERLOSS_CUTS"))
        return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
#if defined(__powerpc__)
    return 40;  // per row, under the emulator
#else
    return 0;  // every cut: about 3000 in all, some 30 s
#endif
}

constexpr unsigned kSeed = 20250101;

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

// The slot that the last "Booting image 'N'" line of a power-up names; 0 when there is none.
int last_booted_line(const std::string& out) {
    const std::string tag = "Booting image '";
    const auto at = out.rfind(tag);
    if (at == std::string::npos || at + tag.size() >= out.size()) return 0;
    return out[at + tag.size()] - '0';
}

constexpr int kInstallExitBase = 100;  // the install child exits with this + installations done

struct Counts {
    unsigned operations = 0;         // flash erases and writes of the whole run
    unsigned cuts = 0;               // cuts tried
    unsigned intact_boots = 0;       // started an image that is whole in the slot it came from
    unsigned fallback_boots = 0;     // ... of these, from the slot the boot slot byte does not name
    unsigned reboots = 0;            // neither slot bootable
    unsigned corrupted_starts = 0;   // started something that is not a whole image of its slot
    unsigned byte_names_broken = 0;  // the unchanged boot slot byte names the slot being rewritten
    unsigned byte_moved_early = 0;   // the byte was moved to a slot whose write did not complete
    unsigned kernel_damaged = 0;
    unsigned rfs_damaged = 0;
    unsigned unexpected = 0;  // power-ups that did not go as the slots' contents demand
};

class PowerLoss {
  public:
    explicit PowerLoss(const Scenario& scenario) : scenario_(scenario), board_(options()) {
        images_ = {signed_image(IMG_KIND_APPLICATION, "2.0.0.1"),
                   signed_image(IMG_KIND_APPLICATION, "2.0.0.2"),
                   signed_image(IMG_KIND_KERNEL, "2.0.0.3"), signed_image(IMG_KIND_RFS, "2.0.0.4")};
        regions_ = {
            Region{"slot 1",
                   FLASH_SLOT1_OFFSET,
                   old_image(IMG_KIND_APPLICATION, "1.0.0.1", 200000, 0x11),
                   {New::app_a, New::app_b}},
            Region{"slot 2",
                   FLASH_SLOT2_OFFSET,
                   old_image(IMG_KIND_APPLICATION, "1.0.0.2", 90000, 0x22),
                   {New::app_a, New::app_b}},
            Region{"kernel",
                   FLASH_KERNEL_OFFSET,
                   old_image(IMG_KIND_KERNEL, "1.0.0.3", 60000, 0x33),
                   {New::kernel}},
            Region{"rfs",
                   FLASH_RFS_OFFSET,
                   old_image(IMG_KIND_RFS, "1.0.0.4", 300000, 0x44),
                   {New::rfs}},
        };
        for (const auto& installation : scenario.installations) {
            Bytes package;
            for (const New n : installation.package)
                package.insert(package.end(), image(n).bytes.begin(), image(n).bytes.end());
            packages_.push_back(std::move(package));
        }
        for (const auto& region : regions_) {
            Bytes span = region.before.bytes;
            span.resize(kRegionSpan, 0xFF);
            board_->flash_write(region.offset, span);
            saved_flash_.push_back(std::move(span));
        }
        saved_eeprom_ = board_->eeprom_read(0, sim::kEepromSize);
    }

    const Image& image(New n) const { return images_[static_cast<std::size_t>(n)]; }

    // The whole image a region holds -- its old one or one of the new ones -- or null.
    const Image* held(std::size_t r) {
        const Region& region = regions_[r];
        const auto holds = [&](const Image& i) {
            return board_->flash_read(region.offset, i.bytes.size()) == i.bytes;
        };
        for (const New n : region.candidates)
            if (holds(image(n))) return &image(n);
        return holds(region.before) ? &region.before : nullptr;
    }
    bool holds_new(std::size_t r) {
        const Image* i = held(r);
        return i != nullptr && i != &regions_[r].before;
    }

    // The board as it was before the installations.
    void restore() {
        for (std::size_t r = 0; r < regions_.size(); ++r)
            board_->flash_write(regions_[r].offset, saved_flash_[r]);
        board_->eeprom_write(0, saved_eeprom_);
    }

    // The installations with the power cut during flash erase/write number `cut` (0: no cut).
    BoardRun install(unsigned cut) {
        board_->power_up();
        sim::SimBoard& b = board_.board();
        return board_.run([this, &b, cut] {
            if (cut != 0) b.inject({sim::FaultKind::power_cut, cut});
            i2c_open_buses();
            mtd_fd = mtd_open();
            CRYPTO_LIB_initialize();
            imgsign_keys_present();
            int done = 0;
            for (std::size_t i = 0; i < packages_.size(); ++i) {
                write_file(b.host_path(DOWNLOAD_IMAGE_PATH), packages_[i]);
                b.set_console_input(sim::ConsoleScript(scenario_.installations[i].answer));
                done += image_install_package(DOWNLOAD_IMAGE_PATH, 0, 0);
            }
            platform::os().exit(kInstallExitBase + done);
        });
    }

    // A power-up; the archive that the boot hands to the unpacking is kept for the comparison.
    BoardRun boot() {
        board_->power_up();
        const fs::path keep = board_.dir() / "unpacked.bin";
        std::error_code ec;
        fs::remove(keep, ec);
        sim::SimBoard& b = board_.board();
        return board_.run([&b, keep] {
            b.add_command("cd /tmp", [keep](sim::SimBoard& on, std::string_view) {
                std::error_code error;
                fs::copy_file(on.host_path(APPLICATION_ARCHIVE), keep,
                              fs::copy_options::overwrite_existing, error);
                return 0;
            });
            boot_main();
        });
    }
    Bytes unpacked() const { return read_file(board_.dir() / "unpacked.bin"); }

    // One cut and the power-up after it, judged by what the flash holds.
    void check_cut(unsigned cut, Counts& counts) {
        restore();
        const BoardRun inst = install(cut);
        ++counts.cuts;
        if (!inst.exited || inst.status != sim::kExitPowerCut) {
            ++counts.unexpected;
            ADD_FAILURE() << "cut " << cut << ": the installation ended with status " << inst.status
                          << " instead of the power cut\n"
                          << inst.out;
            return;
        }
        const std::array<const Image*, 2> slot{held(0), held(1)};
        if (held(2) == nullptr) ++counts.kernel_damaged;
        if (held(3) == nullptr) ++counts.rfs_damaged;

        const std::uint8_t byte = board_->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];
        if (byte != kInitialBootSlot) {
            if ((byte != 1 && byte != 2) || !holds_new(byte - 1u)) {
                ++counts.byte_moved_early;
                ADD_FAILURE() << "cut " << cut << ": the boot slot byte was set to " << int{byte}
                              << " before that slot's image was complete";
            }
        } else if (slot[byte - 1u] == nullptr) {
            ++counts.byte_names_broken;
        }

        // What the boot sequence must do: the slot the byte names, else the other, else reboot.
        const int first = byte == 2 ? 2 : 1;
        int expected = 0;
        for (const int s : {first, 3 - first}) {
            if (slot[static_cast<std::size_t>(s - 1)] != nullptr) {
                expected = s;
                break;
            }
        }

        const BoardRun run = boot();
        if (run.exited && run.status == 0 && run.exec_seen("/bin/backtrace")) {
            const int s = last_booted_line(run.out);
            const Image* from =
                (s == 1 || s == 2) ? slot[static_cast<std::size_t>(s - 1)] : nullptr;
            const bool whole = from != nullptr && unpacked() == from->payload;
            if (whole) {
                ++counts.intact_boots;
                if (s != first) ++counts.fallback_boots;
            } else {
                ++counts.corrupted_starts;
            }
            if (!whole || s != expected) {
                ++counts.unexpected;
                ADD_FAILURE() << "cut " << cut << ": started slot " << s << " (expected "
                              << expected << "), a whole image of that slot: " << whole << "\n"
                              << run.out << run.err;
            }
        } else if (run.exited && run.status == sim::kExitReboot && !run.exec_seen()) {
            ++counts.reboots;
            if (expected != 0) {
                ++counts.unexpected;
                ADD_FAILURE() << "cut " << cut << ": rebooted although slot " << expected
                              << " holds a whole image\n"
                              << run.out << run.err;
            }
        } else {
            ++counts.unexpected;
            ADD_FAILURE() << "cut " << cut << ": the power-up ended with status " << run.status
                          << " (signal " << run.signal << ")\n"
                          << run.out << run.err;
        }
    }

    TestBoard& board() { return board_; }

  private:
    static sim::CreateOptions options() {
        sim::CreateOptions o;
        o.boot_slot = kInitialBootSlot;
        return o;
    }

    const Scenario& scenario_;
    TestBoard board_;
    std::vector<Image> images_;
    std::vector<Region> regions_;
    std::vector<Bytes> packages_;
    std::vector<Bytes> saved_flash_;
    Bytes saved_eeprom_;
};

TEST(PowerLoss, EveryCutDuringInstallationsLeavesABootableOrRebootingBoard) {
    for (const auto& scenario : scenarios()) {
        SCOPED_TRACE(scenario.name);
        PowerLoss p(scenario);
        Counts counts;

        // Uncut, the installations leave the images and the boot slot byte the row names, and the
        // board then boots the slot the byte names.
        const BoardRun whole = p.install(0);
        ASSERT_TRUE(whole.exited);
        ASSERT_EQ(whole.status, kInstallExitBase + static_cast<int>(scenario.installations.size()))
            << whole.out << whole.err;
        for (std::size_t s = 0; s < 2; ++s) {
            const auto& want = scenario.final_slots[s];
            if (want) {
                EXPECT_EQ(p.held(s), &p.image(*want)) << "slot " << s + 1;
            } else {
                EXPECT_TRUE(p.held(s) != nullptr && !p.holds_new(s)) << "slot " << s + 1;
            }
        }
        EXPECT_TRUE(p.holds_new(2));
        EXPECT_TRUE(p.holds_new(3));
        EXPECT_EQ(p.board()->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0], scenario.final_byte);
        const BoardRun fresh = p.boot();
        EXPECT_TRUE(fresh.exec_seen("/bin/backtrace")) << fresh.out << fresh.err;
        EXPECT_EQ(last_booted_line(fresh.out), scenario.final_byte);
        EXPECT_EQ(p.unpacked(), new_payload());

        counts.operations = whole.flash_writes + whole.flash_erases;
        const auto cuts = cut_points(whole.flash_log, cut_limit(), kSeed);
        ASSERT_FALSE(cuts.empty());
        for (const unsigned cut : cuts) p.check_cut(cut, counts);

        std::printf(
            "[powerloss] %s: %u cuts tried (of %u flash erases/writes), %u boots of an intact "
            "image (%u after falling back to the other slot), %u reboots, %u corrupted starts; "
            "boot slot byte still naming the slot being rewritten: %u, moved before the write "
            "completed: %u; kernel left damaged: %u, root file system left damaged: %u\n",
            scenario.name, counts.cuts, counts.operations, counts.intact_boots,
            counts.fallback_boots, counts.reboots, counts.corrupted_starts,
            counts.byte_names_broken, counts.byte_moved_early, counts.kernel_damaged,
            counts.rfs_damaged);
        EXPECT_EQ(counts.corrupted_starts, 0u);
        EXPECT_EQ(counts.byte_moved_early, 0u);
        EXPECT_EQ(counts.unexpected, 0u);
        EXPECT_EQ(counts.intact_boots + counts.reboots, counts.cuts);
    }
}

// The cut plan itself: without a limit every operation; with one, the block boundaries first.
TEST(PowerLoss, CutPlanCoversEveryBlockBoundary) {
    std::vector<sim::FlashOp> log;
    for (int block = 0; block < 3; ++block) {
        log.push_back({'r', 0, 4});
        log.push_back({'e', 0, 4});
        for (int w = 0; w < 10; ++w) log.push_back({'w', 0, 4});
    }
    EXPECT_EQ(cut_points(log, 0, 1).size(), 33u);
    const auto some = cut_points(log, 12, 7);
    EXPECT_EQ(some.size(), 12u);
    for (const unsigned must : {1u, 2u, 11u, 12u, 13u, 22u, 23u, 24u, 33u})
        EXPECT_TRUE(std::binary_search(some.begin(), some.end(), must)) << must;
    EXPECT_EQ(some, cut_points(log, 12, 7));
}

}  // namespace
