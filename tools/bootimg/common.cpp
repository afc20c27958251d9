#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"
#include "tools/bootimg/bootimg.h"

namespace bootimg {

namespace {

std::string tail_kind(std::span<const std::uint8_t> tail) {
    if (tail.size() < IMG_PROBE_LEN) return "fewer than a header";
    const std::uint8_t fill = tail[0];
    if (std::all_of(tail.begin(), tail.end(), [fill](std::uint8_t b) { return b == fill; })) {
        if (fill == 0x1A) return "XMODEM padding";
        if (fill == 0x00) return "zero padding";
        if (fill == 0xFF) return "erased flash";
    }
    return "not an image; the board steps over them";
}

}  // namespace

bool read_file(const std::string& path, Bytes& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        file_error(path, std::string("cannot read: ") + std::strerror(errno));
        return false;
    }
    out.clear();
    std::uint8_t chunk[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) out.insert(out.end(), chunk, chunk + n);
    const int error = errno;
    ::close(fd);
    if (n < 0) {
        file_error(path, std::string("cannot read: ") + std::strerror(error));
        return false;
    }
    return true;
}

bool write_file(const std::string& path, std::span<const std::uint8_t> data) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        file_error(path, std::string("cannot write: ") + std::strerror(EISDIR));
        return false;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        file_error(path, std::string("cannot write (no file can be made beside it): ") +
                             std::strerror(errno));
        return false;
    }
    const std::uint8_t* at = data.data();
    std::size_t left = data.size();
    int error = 0;
    while (left > 0 && error == 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno != EINTR) error = errno;
        if (n > 0) {
            at += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    if (::fchmod(fd, 0644) != 0 && error == 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        file_error(path, std::string("cannot write: ") + std::strerror(error));
        return false;
    }
    return true;
}

int file_error(const std::string& path, const std::string& what, int status) {
    std::fprintf(stderr, "bootimg: %s: %s\n", path.c_str(), what.c_str());
    return status;
}

std::optional<std::uint32_t> parse_number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> parse_kind(std::string_view text) {
    if (const ImageKind* k = image_kind_named(text)) return k->kind;
    return parse_number(text);
}

std::string kind_names() {
    std::string names;
    for (const ImageKind& k : image_kinds()) {
        if (!names.empty()) names += ", ";
        names += k.name;
    }
    return names;
}

std::string_view kind_name(std::uint32_t kind) {
    const ImageKind* k = image_kind_info(kind);
    return k != nullptr ? k->name : "unknown";
}

std::optional<std::uint32_t> parse_version(std::string_view text) {
    std::uint32_t id = 0;
    for (int part = 0; part < 4; ++part) {
        auto dot = text.find('.');
        std::string_view piece = part < 3 ? text.substr(0, dot) : text;
        if (part < 3 && dot == std::string_view::npos) return std::nullopt;
        unsigned value = 0;
        auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (piece.empty() || ec != std::errc() || end != piece.data() + piece.size() || value > 255)
            return std::nullopt;
        id = (id << 8) | value;
        if (part < 3) text.remove_prefix(dot + 1);
    }
    return id;
}

std::string format_version(std::uint32_t id) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFF, (id >> 8) & 0xFF,
                  id & 0xFF);
    return text;
}

Bytes build_image(const ImageSpec& spec, std::string& error) {
    if (spec.header_version < 1 || spec.header_version > 3) {
        error = "header version must be 1, 2 or 3";
        return {};
    }
    if (!spec.entries.empty() && spec.header_version != 3) {
        error = "header entries need header version 3";
        return {};
    }
    std::size_t header_len = spec.header_version == 1 ? 16 : spec.header_version == 2 ? 20 : 24;
    for (const auto& e : spec.entries) {
        if (e.body.size() > 0xFFFF - 4) {
            error = "a header entry body is longer than 65531 bytes";
            return {};
        }
        header_len += 4 + e.body.size();
    }
    if (header_len > 0xFFFF) {
        error = "the header entries make the header longer than 65535 bytes";
        return {};
    }
    const std::uint64_t total = header_len + spec.payload.size();
    if (total - 16 > 0xFFFFFFFFu) {
        error = "the payload is too long for a 32-bit length field";
        return {};
    }
    Bytes image(total, 0);
    std::uint8_t* p = image.data();
    std::uint32_t magic = spec.kind;
    if (spec.header_version == 2 || spec.ext_flag) magic |= IMG_EXT_HEADER;
    const auto len =
        static_cast<std::uint32_t>(spec.header_version == 3 ? total - 16 : spec.payload.size());
    be::store32(p + 4, len);
    be::store32(p + 8, magic);
    be::store32(p + 12, spec.id);
    if (spec.header_version == 2) be::store16(p + 18, static_cast<std::uint16_t>(header_len));
    if (spec.header_version == 3) {
        be::store32(p + 16, IMG_HDR3_MAGIC);
        be::store16(p + 22, static_cast<std::uint16_t>(header_len));
        std::size_t at = 24;
        for (const auto& e : spec.entries) {
            be::store16(p + at, e.type);
            be::store16(p + at + 2, static_cast<std::uint16_t>(4 + e.body.size()));
            std::copy(e.body.begin(), e.body.end(), p + at + 4);
            at += 4 + e.body.size();
        }
    }
    std::copy(spec.payload.begin(), spec.payload.end(), p + header_len);
    seal_crc(image);
    return image;
}

void seal_crc(std::span<std::uint8_t> image) {
    if (image.size() < 4) return;
    be::store32(image.data(), image_crc32(image.data() + 4, image.size() - 4, IMG_CRC_SEED));
}

bool MemorySource::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
}

Walk walk_images(std::span<const std::uint8_t> file) {
    Walk walk;
    if (file.size() < IMG_PROBE_LEN) {
        // What the board would decode were another image to follow; bytes 16..23 then belong to
        // that image and do not change the result for a whole image of 16 to 23 bytes.
        std::array<std::uint8_t, IMG_PROBE_LEN> probe{};
        std::copy(file.begin(), file.end(), probe.begin());
        const ImageHeader h = image_header_decode(probe);
        if (file.size() >= IMG_FIXED_HEADER_LEN && image_header_consistent(h) &&
            image_length(h) == file.size()) {
            const bool installed = image_kind_installed(image_kind(h.magic));
            walk.items.push_back(
                {0, h, installed ? PackageStep::image : PackageStep::skip, true, {}, file});
            walk.short_image = true;
        } else {
            walk.trailing = file.size();
            walk.trailing_kind = tail_kind(file);
        }
        return walk;
    }
    MemorySource source(file);
    for (std::uint64_t at = 0;;) {
        const PackageItem next = image_package_next(source, at);
        if (next.step == PackageStep::end) {
            walk.trailing = static_cast<std::size_t>(next.left);
            if (walk.trailing > 0) walk.trailing_kind = tail_kind(file.subspan(at));
            return walk;
        }
        WalkItem item;
        item.offset = static_cast<std::size_t>(at);
        item.header = next.header;
        item.step = next.step;
        item.consistent = next.step == PackageStep::image || next.step == PackageStep::skip;
        if (next.step == PackageStep::inconsistent) {
            item.problem = "header lengths are inconsistent (header length " +
                           std::to_string(next.header.header_len) + ", payload length " +
                           std::to_string(static_cast<std::int32_t>(next.header.payload_len)) + ")";
        } else if (next.step == PackageStep::cut_short) {
            item.problem = "image length " + std::to_string(next.length) + " runs past the end (" +
                           std::to_string(next.left) +
                           " bytes left); the board fails its CRC check";
        } else {
            item.image = file.subspan(item.offset, static_cast<std::size_t>(next.length));
        }
        walk.items.push_back(item);
        if (!item.consistent) return walk;
        at += next.length;
    }
}

}  // namespace bootimg
