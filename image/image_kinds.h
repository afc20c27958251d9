// The image kinds: one row each, read by the installer, the boot path, the versions display, the
// host tools, the simulator and the tests. A new kind is a new row here (and, if its destination
// is new, a region in flash/flash.h).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "flash/flash.h"

inline constexpr std::uint32_t IMG_KIND_APPLICATION = 0x0173636Fu;
inline constexpr std::uint32_t IMG_KIND_BOOTLOADER = 0x0273636Fu;
inline constexpr std::uint32_t IMG_KIND_KERNEL = 0x0373636Fu;
inline constexpr std::uint32_t IMG_KIND_RFS = 0x0473636Fu;
inline constexpr std::uint32_t IMG_KIND_DFT = 0x0573636Fu;
inline constexpr std::uint32_t IMG_KIND_DIAGS = 0x0673636Fu;
inline constexpr std::uint32_t IMG_KIND_QORB = 0x0873636Fu;

inline constexpr const char* QORB_IMAGE_PATH = "/tmp/nos-image.gz";

// Where the installer puts an image of the kind.
enum class KindDestination : std::uint8_t {
    none,    // stepped over by the installer
    slot,    // image slot 1 or 2, as the operator or the caller chooses
    region,  // its own flash region
    file,    // a file in /tmp for the application
};

// What the kind's size limit measures.
enum class KindLimit : std::uint8_t { none, payload, image };

enum class KindSignature : std::uint8_t {
    none,             // installed without a signature check
    required,         // the signature policy decides
    or_low_security,  // the signature policy decides when signed; unsigned only in low security
                      // mode
};

struct ImageKind {
    std::uint32_t kind;  // magic with bit 31 cleared
    const char* name;    // as the tools name it
    // The installer's console texts; title is null for a kind it steps over.
    const char* title;
    const char* bad_crc;  // "Bad crc for ...: 0x%08x, voiding download\n"
    KindDestination destination;
    FlashRegion region;  // when destination is region
    const char* file;    // when destination is file
    KindLimit limit_on;
    std::uint32_t limit;  // passes when at most this; applied when written to flash
    const char* too_big;  // "... is too big for flash (%d > %d)\n"
    KindSignature signature;
    bool payload_only;   // only the payload reaches its destination, else the whole image
    const char* failed;  // the line after a failed flash write
    bool bootable;       // the boot path starts it from a slot
};

// Every kind the system knows.
std::span<const ImageKind> image_kinds();
// The row of a kind (magic with bit 31 cleared), or null.
const ImageKind* image_kind_info(std::uint32_t kind);
// The row of a tool name ("kernel"), or null.
const ImageKind* image_kind_named(std::string_view name);
// Whether the installer does anything with a kind; every other kind is stepped over.
bool image_kind_installed(std::uint32_t kind);
