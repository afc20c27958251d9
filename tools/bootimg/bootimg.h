// Shared pieces of the bootimg host tool: command-line options, files, image kinds and versions,
// building an image and walking a file of images.
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/image_format.h"

namespace bootimg {

using Bytes = std::vector<std::uint8_t>;

// Exit codes of every subcommand.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_BAD_IMAGE = 1;  // the tool ran, but an image is bad or malformed
inline constexpr int EXIT_USAGE = 2;      // bad command line or unreadable/unwritable file

// Whole files. Each failure is said on standard error with the file's name and the system's
// reason ("bootimg: cannot read 'x': No such file or directory").
bool read_file(const std::string& path, Bytes& out);
// Written beside the target and renamed into place, so a failed run leaves no half-written file.
bool write_file(const std::string& path, std::span<const std::uint8_t> data);
// A complaint about a file, with the file's name first: "bootimg: FILE: WHAT".
int file_error(const std::string& path, const std::string& what, int status = 2);

// Image kinds by name ("application", "kernel", ...) or as a number ("0x0773636f").
std::optional<std::uint32_t> parse_kind(std::string_view text);
// Every kind's name, "application, bootloader, ...", for help texts.
std::string kind_names();
// The kind's name, or "unknown" for a value that no kind has.
std::string_view kind_name(std::uint32_t kind);
// "a.b.c.d" with each part 0..255, as the id word.
std::optional<std::uint32_t> parse_version(std::string_view text);
std::string format_version(std::uint32_t id);
std::optional<std::uint32_t> parse_number(std::string_view text);

// A version-3 header entry.
struct HeaderEntry {
    std::uint16_t type = 0;
    Bytes body;
};

struct ImageSpec {
    std::uint32_t kind = IMG_KIND_APPLICATION;
    std::uint32_t id = 0;
    int header_version = 3;
    bool ext_flag = false;  // set bit 31 of magic on a version-3 header as well
    std::vector<HeaderEntry> entries;
    Bytes payload;
};

// Builds the image with its CRC. Fails (empty result, message in error) when the header cannot
// hold what is asked (entries in a version below 3, a header over 65535 bytes).
Bytes build_image(const ImageSpec& spec, std::string& error);
// Recomputes and stores the CRC of a whole image in place.
void seal_crc(std::span<std::uint8_t> image);

// One step of walking a file of images back to back, as the board's installer walks it.
struct WalkItem {
    std::size_t offset = 0;
    ImageHeader header;
    PackageStep step = PackageStep::image;  // image, skip, cut_short or inconsistent
    bool consistent = false;                // a whole image (image or skip), in image
    std::string problem;                    // why not, when !consistent
    std::span<const std::uint8_t> image;
};

struct Walk {
    std::vector<WalkItem> items;  // the walk stops after the first item that is not consistent
    // Bytes the board steps over after the last image when the walk ended cleanly, and what they
    // are ("fewer than a header", "XMODEM padding", "zero padding", ...).
    std::size_t trailing = 0;
    std::string trailing_kind;
    // The file is one image shorter than the 24 bytes the board reads before it decides: a
    // version-1 image with a payload of under 8 bytes. The board sees it only when another image
    // or padding follows it in a package.
    bool short_image = false;
};

Walk walk_images(std::span<const std::uint8_t> file);

// The board's package walk over bytes in memory.
class MemorySource final : public PackageSource {
  public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> out) override;

  private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace bootimg
