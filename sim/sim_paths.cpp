#include "sim/sim_paths.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 5> kHostDevices{"/dev/null", "/dev/zero", "/dev/urandom",
                                                       "/dev/random", "/dev/tty"};

// The characters that may stand before and after a path in a command text.
bool path_boundary_before(char c) {
    return std::strchr(" \t\n=;:'\"(<>|&`", c) != nullptr;
}
bool path_boundary_after(char c) {
    return std::strchr("/ \t\n;'\"|&<>)`", c) != nullptr;
}

}  // namespace

bool PathRoot::is_host_device(std::string_view path) {
    return std::find(kHostDevices.begin(), kHostDevices.end(), path) != kHostDevices.end();
}

bool PathRoot::make(std::string* error) const {
    std::error_code ec;
    for (const char* sub : {"tmp", "user", "dev"}) {
        fs::create_directories(fs::path(root_) / sub, ec);
        if (ec) {
            *error = "cannot create " + (fs::path(root_) / sub).string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

void PathRoot::empty_tmp() const {
    std::error_code ec;
    fs::remove_all(fs::path(root_) / "tmp", ec);
    fs::create_directories(fs::path(root_) / "tmp", ec);
}

std::string PathRoot::host_path(std::string_view path) const {
    if (path.empty() || path[0] != '/') return {};
    std::size_t pos = 1;
    std::string_view first;
    bool first_seen = false;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string_view::npos) next = path.size();
        const std::string_view part = path.substr(pos, next - pos);
        if (part == "..") return {};
        if (!first_seen && !part.empty()) {
            first = part;
            first_seen = true;
        }
        pos = next + 1;
    }
    if (first != "tmp" && first != "user" && first != "dev") return {};
    return root_ + std::string(path);
}

std::string PathRoot::rewrite_command(std::string_view text) const {
    std::string out;
    out.reserve(text.size() + 64);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '/' && (i == 0 || path_boundary_before(text[i - 1]))) {
            for (std::string_view top : {"/tmp", "/user", "/dev"}) {
                if (text.substr(i, top.size()) != top) continue;
                const std::size_t end = i + top.size();
                if (end < text.size() && !path_boundary_after(text[end])) continue;
                std::size_t word_end = text.find_first_of(" \t\n;'\"|&<>)`", i);
                if (word_end == std::string_view::npos) word_end = text.size();
                if (top == "/dev" && is_host_device(text.substr(i, word_end - i))) continue;
                out += root_;
                break;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace sim
