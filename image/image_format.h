// The image container: a header (three header versions) followed by a payload, and its CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "image/image_kinds.h"

inline constexpr std::uint32_t IMG_EXT_HEADER = 0x80000000u;

inline constexpr std::uint32_t IMG_HDR3_MAGIC = 0x48445233u;  // "HDR3"
inline constexpr std::size_t IMG_FIXED_HEADER_LEN = 16;
inline constexpr std::size_t IMG_PROBE_LEN = 24;  // bytes read before the header version is known
inline constexpr std::uint16_t IMG_ENTRY_SIGNATURE = 3;
inline constexpr std::uint32_t IMG_CRC_SEED = 0xFFFFFFFFu;

struct ImageHeader {
    std::uint32_t crc = 0;
    std::uint32_t len = 0;
    std::uint32_t magic = 0;  // exactly as stored, bit 31 included
    std::uint32_t id = 0;
    std::uint8_t header_version = 0;  // 1, 2 or 3
    std::uint32_t header_len = 0;
    std::uint32_t payload_len = 0;
};

// Decodes the first IMG_PROBE_LEN bytes of an image. Never fails: any 24 bytes decode to some
// header, and the lengths are whatever the formulas give (see image_header_consistent).
ImageHeader image_header_decode(std::span<const std::uint8_t, IMG_PROBE_LEN> bytes);

// The fixed part alone (crc, len, magic, id), as a version-1 header: what the installed versions
// and the debugger copy read.
ImageHeader image_fixed_header_decode(std::span<const std::uint8_t, IMG_FIXED_HEADER_LEN> bytes);

// The encoder beside the decoder, for the tools that make images: the header of the given version
// (1: the fixed part; 2: IMG_EXT_HEADER set in magic, the header length at 18; 3: "HDR3", the
// header length at 22 and `entries` as the entry area from 24) for a payload of payload_len
// bytes. The crc word is left zero: image_seal stores it once the payload follows.
std::vector<std::uint8_t> image_header_encode(std::uint8_t header_version, std::uint32_t magic,
                                              std::uint32_t id, std::uint32_t payload_len,
                                              std::span<const std::uint8_t> entries = {},
                                              std::uint16_t v2_header_len = 20);
// Stores the CRC of bytes 4 to the end into the crc word of a whole image (at least 4 bytes).
void image_seal(std::span<std::uint8_t> image);

// The image length (header + payload) as a 64-bit number, so that hostile lengths cannot wrap.
std::uint64_t image_length(const ImageHeader& header);

// Whether the lengths of a decoded header describe an image at all: the header length is at least
// its version's minimum (16, 20, 24) and the payload length is not negative (version 3). Readers
// refuse an inconsistent header before any buffer is sized from it.
bool image_header_consistent(const ImageHeader& header);

// Reflected CRC-32 (polynomial 0xEDB88320), register preset to seed, no final XOR: the
// complement of the zlib CRC-32 of the same bytes.
std::uint32_t image_crc32(const std::uint8_t* data, std::size_t length, std::uint32_t seed);

// The image kind: magic with IMG_EXT_HEADER cleared.
constexpr std::uint32_t image_kind(std::uint32_t magic) {
    return magic & ~IMG_EXT_HEADER;
}

// Whether the boot path starts an image with this header from a slot of `room` bytes: the whole
// magic (bit 31 clear) names the application or diagnostics kind, the lengths describe an image
// and it fits the slot. The installer holds slot images to the same rule.
bool image_slot_bootable(const ImageHeader& header, std::uint64_t room);

// Offset and size of the boot loader's version record inside its payload.
inline constexpr std::size_t IMG_BOOTLOADER_RECORD_OFFSET = 0xF0;
// Whether a boot loader payload carries its version record with the boot loader kind in the
// magic word (bit 31 aside, as a version-2 header has it), as every genuine boot loader does; the
// payload of another kind does not.
bool image_bootloader_record_present(std::span<const std::uint8_t> payload);

// A package (images back to back) as the walk below reads it: the board's download file, or a
// host tool's file in memory.
class PackageSource {
  public:
    virtual ~PackageSource() = default;
    virtual std::uint64_t size() const = 0;
    // Exactly out.size() bytes at offset; false on an error or the end of the package.
    virtual bool read_at(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

  private:
    friend struct PackageWalkMemo;
    // The longest run of one byte value that the walk has read: [run_from_, run_to_) holds only
    // run_byte_, and run_to_ is the package's end or a byte of another value. With it, a walk
    // over thousands of stepped-over images reads every byte of the tail once, not once each.
    std::uint64_t run_from_ = 0, run_to_ = 0;
    int run_byte_ = -1;
};

enum class PackageStep {
    end,           // nothing more to install: fewer than 24 bytes left, or a tail that is no image
    image,         // a whole image of a kind the installer installs
    skip,          // a whole image of a kind the installer steps over
    cut_short,     // an installed kind whose image length runs past the end of the package
    inconsistent,  // an installed kind whose header lengths describe no image
};

struct PackageItem {
    PackageStep step = PackageStep::end;
    std::uint64_t offset = 0;
    ImageHeader header;
    std::uint64_t length = 0;  // image length; for end, the bytes left over
    std::uint64_t left = 0;    // bytes from offset to the end of the package
};

// The one walk over a package, shared by the installer and the host tools so that both see the
// same images. Lengths come from the download: nothing is read past the end of the package, and
// a tail that is not an image of an installed kind (erased flash, zero or XMODEM padding, a
// header whose image runs past the end) ends the walk, as stepping over it would.
PackageItem image_package_next(PackageSource& source, std::uint64_t offset);
