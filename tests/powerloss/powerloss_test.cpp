// Power loss during a package installation that replaces the application in both image slots,
// the kernel and the root file system. The power goes during each flash erase or write of the
// installation in turn (half of that operation done); the board then powers up again. After every
// cut it must start an image that passes its check -- from the slot the boot slot byte names,
// else the other -- or reboot when neither slot holds one, and never start anything else; and the
// boot slot byte may only have been moved to a slot whose image is complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <set>

#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "boot/launch.h"
#include "crypto/imgsign.h"
#include "flash/flash.h"
#include "image/boot_trial.h"
#include "image/image_format.h"
#include "image/install.h"
#include "image/install_log.h"
#include "security/keystore.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// With its header a new image spans two erase blocks, so a cut can leave a slot whose first block
// (header included) is new while the second is not.
const Bytes kNewPayload = pattern_bytes(150000, 0x5a);

// The new images are signed: payload.sig is the RSA-2048 PKCS#1 v1.5 SHA-256 signature of the new
// payload under keys/test/test_production_key.pem (`openssl dgst -sha256 -sign`), kept as data so
// that the test runs on the board's CPU too. The older images the board holds before are unsigned
// (the boot path does not look at signatures) and of other sizes, so a half-replaced slot mixes.
Bytes new_image(std::uint32_t kind, const char* version) {
    const std::string sig = file_text(BOOTMGR_SOURCE_DIR "/tests/powerloss/payload.sig");
    return make_image(kind, version, kNewPayload, 3, {signature_entry(bytes_of(sig))});
}

// The cut positions, 1-based among the erases/writes of the whole run. With no limit
// (POWERLOSS_CUTS=0, the default on this machine's own CPU) every one; else every erase with the
// writes on both sides of it (the block boundaries) and the last operation, topped up to the limit
// with a seeded, reproducible sample of the rest -- for an emulated CPU, where every cut is slow.
std::vector<unsigned> cut_points(const std::vector<sim::FlashOp>& log) {
    unsigned limit = 0;  // every cut on this machine's own CPU: about 3000 in all, some 30 s
#if defined(__powerpc__)
    limit = 40;  // per row, under the emulator
#endif
    if (const char* text = std::getenv("POWERLOSS_CUTS")) limit = std::stoul(text);
    std::vector<unsigned> all, cuts, rest;
    std::set<unsigned> picked;
    for (const auto& op : log) {
        if (op.op != 'e' && op.op != 'w') continue;
        all.push_back(static_cast<unsigned>(all.size() + 1));
        if (op.op == 'e') picked.insert({all.back() - 1, all.back(), all.back() + 1});
    }
    if (limit == 0 || limit >= all.size()) return all;
    picked.insert(all.back());
    std::erase_if(picked, [&](unsigned n) { return n < 1 || n > all.size(); });
    std::copy_if(all.begin(), all.end(), std::back_inserter(rest),
                 [&](unsigned n) { return !picked.contains(n); });
    cuts.assign(picked.begin(), picked.end());
    std::mt19937 random(20250101);
    if (cuts.size() < limit)
        std::sample(rest.begin(), rest.end(), std::back_inserter(cuts), limit - cuts.size(),
                    random);
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}

constexpr int kInstallExitBase = 100;
constexpr int kCut = -3;  // a power-up that the power cut ended  // the install child exits with
                          // this + installations done

class PowerLoss {
  public:
    explicit PowerLoss(const TableRow& row) {
        for (const auto& package : split(row["packages"], ' '))
            packages_.emplace_back(package.substr(0, package.find('/')),
                                   package.substr(package.find('/') + 1) + "\n");
        images_ = {new_image(IMG_KIND_APPLICATION, "2.0.0.1"),
                   new_image(IMG_KIND_APPLICATION, "2.0.0.2"),
                   new_image(IMG_KIND_KERNEL, "2.0.0.3"), new_image(IMG_KIND_RFS, "2.0.0.4")};
        regions_ = {{FLASH_SLOT1_OFFSET, image_of("app:v1:n=200000:id=1.0.0.1", 0x11)},
                    {FLASH_SLOT2_OFFSET, image_of("app:v1:n=90000:id=1.0.0.2", 0x22)},
                    {FLASH_KERNEL_OFFSET, image_of("kernel:v1:n=60000:id=1.0.0.3", 0x33)},
                    {FLASH_RFS_OFFSET, image_of("rfs:v1:n=300000:id=1.0.0.4", 0x44)}};
        for (const auto& [offset, old] : regions_) {
            saved_flash_.push_back(old.bytes);
            saved_flash_.back().resize(3 * sim::kFlashEraseSize, 0xFF);  // every block it touches
        }
        saved_eeprom_ = board_->eeprom_read(0, sim::kEepromSize);
    }

    const Bytes& image(int n) const { return images_[static_cast<std::size_t>(n)]; }
    // The index of the new image a region holds whole (either application image in a slot),
    // -1 for its old image, -2 for neither.
    int held(std::size_t r) {
        const auto holds = [&](const Bytes& i) {
            return board_->flash_read(regions_[r].first, i.size()) == i;
        };
        for (const int n : {0, 1, 2, 3})
            if ((r < 2 ? n < 2 : n == static_cast<int>(r)) && holds(image(n))) return n;
        return holds(regions_[r].second.bytes) ? -1 : -2;
    }

    // The installations with the power cut during flash erase/write number `cut` (0: no cut),
    // from the board as it was before them.
    BoardRun install(unsigned cut, sim::FaultKind kind = sim::FaultKind::power_cut) {
        for (std::size_t r = 0; r < regions_.size(); ++r)
            board_->flash_write(regions_[r].first, saved_flash_[r]);
        board_->eeprom_write(0, saved_eeprom_);
        for (const char* path : {TRIAL_RECORD_PATH, INSTALL_LOG_PATH})
            std::filesystem::remove(board_.host_path(path));
        board_->power_up();
        return board_.run([this, cut, kind] {
            if (cut != 0) board_->inject({kind, cut});
            i2c_open_buses();
            mtd_fd = mtd_open();
            CRYPTO_LIB_initialize();
            parse_boot_settings();
            imgsign_keys_present();
            int done = 0;
            for (const auto& [images, answer] : packages_) {
                Bytes package;
                for (const char n : images)
                    package.insert(package.end(), image(n - '0').begin(), image(n - '0').end());
                board_.write_file(DOWNLOAD_IMAGE_PATH, package);
                board_->set_console_input(sim::ConsoleScript(answer));
                done += image_install_package(DOWNLOAD_IMAGE_PATH, 0, 0);
                install_log_append("package", "test");
            }
            platform::os().exit(kInstallExitBase + done);
        });
    }

    // A power-up (the power cut at its state step state_cut, if any); the slot it booted (from its
    // last "Booting image 'N'" line) when it started an application whose archive, as handed to the
    // unpacking, is the payload of that slot's image; 0 after a reboot without a start; -1 for
    // anything else.
    int boot(unsigned state_cut = 0) {
        board_->power_up();
        const std::string keep = (board_.dir() / "unpacked.bin").string();
        std::remove(keep.c_str());
        const BoardRun run = board_.run([this, keep, state_cut] {
            board_->add_command("cd /tmp", [keep](sim::SimBoard& on, std::string_view) {
                std::error_code ec;
                std::filesystem::copy_file(on.host_path(APPLICATION_ARCHIVE), keep,
                                           std::filesystem::copy_options::overwrite_existing, ec);
                return 0;
            });
            if (state_cut != 0) board_->inject({sim::FaultKind::state_power_cut, state_cut});
            boot_main();
        });
        if (run.exited && run.status == sim::kExitPowerCut) return kCut;
        if (run.exited && run.status == sim::kExitReboot && !run.exec_seen()) return 0;
        const auto at = run.out.rfind("Booting image '");
        const int slot =
            at == std::string::npos || at + 15 >= run.out.size() ? 0 : run.out[at + 15] - '0';
        if (!run.exited || run.status != 0 || !run.exec_seen("/bin/backtrace") ||
            (slot != 1 && slot != 2))
            return -1;
        const int n = held(static_cast<std::size_t>(slot - 1));
        const Bytes& want =
            n >= 0 ? kNewPayload : regions_[static_cast<std::size_t>(slot - 1)].second.payload;
        return n != -2 && bytes_of(file_text(keep)) == want ? slot : -1;
    }

    std::vector<std::pair<std::string, std::string>> packages_;  // images, answer
    TestBoard board_;
    std::vector<Bytes> images_, saved_flash_;
    std::vector<std::pair<std::uint32_t, SpecImage>> regions_;  // where, the old image there
    Bytes saved_eeprom_;
};

TABLE_TEST(PowerLoss, "tests/powerloss/data/scenarios.tsv") {
    PowerLoss p(row);
    // Uncut, the installations leave the images and the boot slot byte the row names, and the
    // board then boots the slot the byte names.
    const BoardRun whole = p.install(0);
    ASSERT_EQ(whole.status, kInstallExitBase + static_cast<int>(p.packages_.size())) << whole.out;
    EXPECT_EQ((std::array{p.held(0), p.held(1), p.held(2), p.held(3)}),
              (std::array<int, 4>{static_cast<int>(row.num("slot1")),
                                  static_cast<int>(row.num("slot2")), 2, 3}));
    EXPECT_EQ(p.board_->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0], row.num("byte"));
    EXPECT_EQ(p.boot(), row.num("byte"));

    unsigned cuts = 0, fallbacks = 0;
    for (const unsigned cut : cut_points(whole.flash_log)) {
        const BoardRun inst = p.install(cut);
        ASSERT_EQ(inst.status, sim::kExitPowerCut) << "cut " << cut << "\n" << inst.out;
        const std::uint8_t byte = p.board_->eeprom_read(EEPROM_BOOT_SLOT_OFFSET, 1)[0];
        // The byte moves only to a slot that holds a whole new image.
        EXPECT_TRUE(byte == 1 || (byte == 2 && p.held(1) >= 0))
            << "cut " << cut << ": boot slot byte " << int{byte} << " before its image was whole";
        // What the boot sequence must do: the slot the byte names, else the other, else reboot.
        const int first = byte == 2 ? 2 : 1;
        const int expected = p.held(first - 1) != -2   ? first
                             : p.held(2 - first) != -2 ? 3 - first
                                                       : 0;
        const int booted = p.boot();
        ++cuts;
        fallbacks += booted == 3 - first;
        EXPECT_EQ(booted, expected)
            << "cut " << cut << ": started slot (0 reboot, -1 a broken image)";
    }
    std::printf("[powerloss] %s: %u cuts, %u boots from the other slot\n", row["name"].c_str(),
                cuts, fallbacks);
}

// Trial boots add state of their own: the trial record and the install log under "/user", and
// the boot slot byte of a return. The power goes at each step that keeps that state (each write,
// sync and rename of a /user file, each EEPROM write, what was not synced lost with it), during
// the installation of an image that never confirms and during each power-up after it. However
// often the power goes, the board never starts a broken image, starts the unconfirmed one at most
// bootlimit times, and ends on the image it had.
TEST(PowerLoss, EveryCutOfTheTrialStateLeavesABootingBoard) {
    for (const auto& row : read_table("tests/powerloss/data/trial.tsv")) {
        SCOPED_TRACE(row.where());
        PowerLoss p(row);
        const auto limit = static_cast<int>(row.num("limit"));
        p.board_->set_boot_env({"bootlimit=" + std::to_string(limit)});
        p.saved_eeprom_ = p.board_->eeprom_read(0, sim::kEepromSize);
        const int power_ups = limit + 3;  // enough to settle: the trial, the return, one more
        unsigned cuts = 0, corrupt = 0;
        for (int step = 0; step <= power_ups; ++step) {
            for (unsigned cut = 1;; ++cut) {
                const bool cut_install =
                    p.install(step == 0 ? cut : 0, sim::FaultKind::state_power_cut).status ==
                    sim::kExitPowerCut;
                bool was_cut = cut_install;
                std::vector<int> starts;
                for (int n = 1; n <= power_ups + 1; ++n) {
                    const int booted = p.boot(n == step ? cut : 0);
                    if (booted == kCut) was_cut = true;
                    if (booted != kCut) starts.push_back(booted);
                }
                if (!was_cut) break;
                ++cuts;
                corrupt += static_cast<unsigned>(std::ranges::count(starts, -1));
                EXPECT_LE(std::ranges::count(starts, 2), limit)
                    << "step " << step << " cut " << cut;
                EXPECT_EQ(starts.back(), 1) << "step " << step << " cut " << cut;
            }
        }
        EXPECT_EQ(corrupt, 0u);
        std::printf("[powerloss] %s: %u cuts of the trial state, %u corrupt starts\n",
                    row["name"].c_str(), cuts, corrupt);
    }
}

}  // namespace
