#include "tools/bootimg/board_check.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "board/i2c_devices.h"
#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "flash/flash.h"
#include "image/image_format.h"
#include "security/keyfile_crypt.h"
#include "security/keystore.h"
#include "security/signature_policy.h"
#include "sim/sim_board.h"

namespace bootimg {

namespace {

namespace fs = std::filesystem;

class MemoryPackage final : public PackageSource {
  public:
    explicit MemoryPackage(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

// The board's console lines on one line: each trimmed, blank ones dropped, " / " between.
std::string one_line(const std::string& text) {
    std::string out;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        line.erase(0, line.find_first_not_of(' '));
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty()) out += (out.empty() ? "" : " / ") + line;
        from = end + 1;
    }
    return out;
}

bool write_host(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The scratch board: made in a temporary directory, removed with it.
class ScratchBoard {
  public:
    explicit ScratchBoard(const CheckSetup& setup, std::string& problem) {
        std::error_code ec;
        std::string dir = (fs::temp_directory_path(ec) / "bootimg-verify.XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) {
            problem = "cannot make a scratch directory " + dir + ": " + std::strerror(errno);
            return;
        }
        dir_ = dir;
        sim::CreateOptions options;
        options.serial = setup.serial.empty() ? "VERIFY000001" : setup.serial;
        if (setup.lowsec) options.boot_env.emplace_back("lowsec=authorised");
        std::string error;
        if (!sim::SimBoard::create(dir_ / "board", options, &error)) {
            problem = error;
            return;
        }
        board_ = std::make_unique<sim::SimBoard>(dir_ / "board");
        if (!board_->ok()) {
            problem = board_->error();
            return;
        }
        std::array<std::uint8_t, EEPROM_SERIAL_LEN> serial{};
        std::copy_n(options.serial.begin(),
                    std::min<std::size_t>(EEPROM_SERIAL_LEN, options.serial.size()),
                    serial.begin());
        const auto key_file = [&](const std::vector<std::uint8_t>& file, const std::string& pem,
                                  const char* path) {
            if (!file.empty()) return write_host(board_->host_path(path), file);
            if (pem.empty()) return true;  // the start-up writes it from the built-in key
            std::vector<std::uint8_t> plain(pem.begin(), pem.end());
            plain.push_back(0);
            std::size_t length = 0;
            std::uint8_t* cipher =
                imgsign_encrypt(serial.data(), serial.size(), plain.data(), plain.size(), &length);
            const bool ok =
                cipher != nullptr && write_host(board_->host_path(path), std::span(cipher, length));
            std::free(cipher);
            return ok;
        };
        if (!key_file(setup.production_key_file, setup.production_key_pem, PRODUCTION_KEY_PATH) ||
            !key_file(setup.development_key_file, setup.development_key_pem,
                      DEVELOPMENT_KEY_PATH)) {
            problem = "cannot write the key files of the scratch board";
            return;
        }
        if (!setup.installed_rfs.empty()) {
            auto region = setup.installed_rfs;
            region.resize(std::min<std::size_t>(region.size(), FLASH_RFS_ROOM));
            board_->flash_write(FLASH_RFS_OFFSET, region);
        }
        // Every question of the signature policy is answered "no": an image that only an
        // operator's yes would install is reported as such.
        std::string no;
        for (int i = 0; i < 64; ++i) no += "n\r";
        board_->capture_console(sim::ConsoleScript(no));
        board_->set_console_sink(&said_);
        previous_ = &platform::os();
        platform::set_os(*board_);
        board_->power_up();
        // The start-up's settings and keys, as a rescue download meets them.
        i2c_open_buses();
        mtd_fd = mtd_open();
        parse_boot_settings();
        imgsign_developer_images_forget();
    }
    ~ScratchBoard() {
        if (previous_ != nullptr) {
            i2c_close_buses();
            if (mtd_fd >= 0) platform::os().close(mtd_fd);
            mtd_fd = -1;
            board_->set_console_sink(nullptr);
            platform::set_os(*previous_);
        }
        boot_settings = BootSettings{};
        board_.reset();
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    ScratchBoard(const ScratchBoard&) = delete;
    ScratchBoard& operator=(const ScratchBoard&) = delete;

    // What the board's code printed since the last call.
    std::string said() { return one_line(std::exchange(said_, {})); }

  private:
    fs::path dir_;
    std::unique_ptr<sim::SimBoard> board_;
    platform::Platform* previous_ = nullptr;  // the back end before, put back at the end
    std::string said_;
};

// The destinations of the images checked so far: the board writes each at most once per
// package.
struct Claimed {
    unsigned regions = 0;
    bool file = false;
};

void check_image(ImageCheck& c, std::span<const std::uint8_t> image, const ImageHeader& h,
                 const CheckSetup& setup, ScratchBoard& board, Claimed& claimed) {
    const ImageKind* rule = image_kind_info(image_kind(h.magic));
    if (rule == nullptr || rule->title == nullptr) return;  // the walk stepped over it
    const auto refuse = [&](std::string why) {
        c.verdict = Verdict::refused;
        c.reasons.push_back(std::move(why));
    };
    const bool slot_kind = rule->destination == KindDestination::slot;
    if (rule->destination == KindDestination::region)
        c.destination = std::string(flash_region(rule->region).label) +
                        (rule->payload_only ? " (payload only)" : "");
    if (rule->destination == KindDestination::file)
        c.destination = std::string("the file ") + rule->file + " for the application";
    if (slot_kind)
        c.destination = setup.slot == 0 ? "the slot the operator names (Enter boots it at once)"
                                        : "image slot " + std::to_string(setup.slot);
    // One image per destination; a slot is known only when the caller names it.
    unsigned bit = 0;
    if (rule->destination == KindDestination::region)
        bit = 1u << static_cast<unsigned>(rule->region);
    if (slot_kind && setup.slot != 0)
        bit = 1u << static_cast<unsigned>(flash_slot_region(setup.slot));
    if ((bit != 0 && (claimed.regions & bit) != 0) ||
        (rule->destination == KindDestination::file && claimed.file))
        return refuse("a second image for " + c.destination + " in this package");
    claimed.regions |= bit;
    if (rule->destination == KindDestination::file) claimed.file = true;

    const std::uint64_t size = rule->limit_on == KindLimit::payload ? h.payload_len : image.size();
    const auto size_check = [&] {
        if (rule->limit_on != KindLimit::none && size > rule->limit)
            refuse(std::string(rule->name) + " image too big for flash: " + std::to_string(size) +
                   (rule->limit_on == KindLimit::payload ? "-byte payload > " : " bytes > ") +
                   std::to_string(rule->limit));
    };
    if (!slot_kind || setup.slot != 0) size_check();  // else it comes after the slot answer
    if (c.verdict == Verdict::refused) return;
    if (image_crc_mismatch(image.data() + 4, static_cast<std::uint32_t>(image.size() - 4), h.crc) !=
        0) {
        char text[96];
        std::snprintf(text, sizeof text, "bad CRC: stored 0x%08x, computed 0x%08x", h.crc,
                      image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED));
        return refuse(text);
    }
    if (rule->signature == KindSignature::or_low_security &&
        !image_bootloader_record_present(image.subspan(h.header_len)))
        return refuse("no boot loader version record at payload offset 0xf0");
    if (rule->signature != KindSignature::none) {
        board.said();
        const int accepted = rule->signature == KindSignature::required
                                 ? imgsign_verify_image(image)
                                 : imgsign_verify_bootloader(image);
        c.board_says = board.said();
        if (accepted == 0) {
            const bool asked = c.board_says.find("Install image anyway?") != std::string::npos;
            refuse(asked ? "signature: no key verifies it; low security mode and developer images "
                           "are both in force, so the operator is asked and only a yes installs it"
                         : "signature: " +
                               (c.board_says.empty() ? std::string("refused") : c.board_says));
            if (asked) c.verdict = Verdict::operator_decides;
            return;
        }
        c.reasons.emplace_back(c.board_says.find("Unsigned boot loader accepted") !=
                                       std::string::npos
                                   ? "unsigned, accepted in low security mode"
                                   : "signature verified");
    }
    if (slot_kind) {
        size_check();
        if (c.verdict == Verdict::refused) return;
        // Installed into a slot, it must also be an image the boot path starts.
        const FlashRegion region = flash_slot_region(setup.slot == 0 ? 1 : setup.slot);
        if (!image_slot_bootable(h, flash_region(region).room))
            return refuse("the boot path never boots it from a slot (magic 0x" + [&] {
                char m[12];
                std::snprintf(m, sizeof m, "%08x", h.magic);
                return std::string(m);
            }() + ")");
    }
    c.reasons.insert(c.reasons.begin(), "CRC good");
}

}  // namespace

const char* verdict_name(Verdict v) {
    switch (v) {
        case Verdict::installs:
            return "installs";
        case Verdict::stepped_over:
            return "stepped over";
        case Verdict::refused:
            return "refused";
        case Verdict::operator_decides:
            return "operator decides";
    }
    return "?";
}

PackageCheck check_package(std::span<const std::uint8_t> package, const CheckSetup& setup) {
    PackageCheck result;
    ScratchBoard board(setup, result.setup_problem);
    if (!result.setup_problem.empty()) return result;
    MemoryPackage source(package);
    Claimed claimed;
    for (std::uint64_t at = 0;;) {
        const PackageItem item = image_package_next(source, at);
        if (item.step == PackageStep::end) break;
        ImageCheck c;
        c.index = result.images.size() + 1;
        c.offset = at;
        c.magic = item.header.magic;
        c.id = item.header.id;
        c.header_version = item.header.header_version;
        c.length = item.length;
        switch (item.step) {
            case PackageStep::skip:
                c.verdict = Verdict::stepped_over;
                c.reasons.emplace_back("not a kind the installer installs");
                break;
            case PackageStep::cut_short:
                c.verdict = Verdict::refused;
                c.reasons.emplace_back("image length " + std::to_string(item.length) +
                                       " runs past the end of the package (" +
                                       std::to_string(item.left) + " bytes left): bad CRC");
                break;
            case PackageStep::inconsistent:
                c.verdict = Verdict::refused;
                c.reasons.emplace_back("header length " + std::to_string(item.header.header_len) +
                                       " and length field " + std::to_string(item.header.len) +
                                       " do not fit a version " +
                                       std::to_string(item.header.header_version) + " header");
                break;
            default:
                check_image(c,
                            package.subspan(static_cast<std::size_t>(at),
                                            static_cast<std::size_t>(item.length)),
                            item.header, setup, board, claimed);
        }
        if (c.verdict == Verdict::installs) result.installs_any = true;
        if ((c.verdict == Verdict::refused || c.verdict == Verdict::operator_decides) &&
            result.stops_at == 0)
            result.stops_at = c.index;
        result.images.push_back(std::move(c));
        // A header that describes no image leaves nothing to walk on from.
        if (item.step == PackageStep::cut_short || item.step == PackageStep::inconsistent) break;
        at += item.length;
    }
    return result;
}

}  // namespace bootimg
