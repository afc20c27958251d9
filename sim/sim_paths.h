// The board's path root: the system's absolute paths ("/tmp", "/user", "/dev/...") live in the
// root/ folder of the board directory; everything else does not exist on the board.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sim {

class PathRoot {
  public:
    PathRoot() = default;
    explicit PathRoot(const std::filesystem::path& board_dir)
        : root_((board_dir / "root").string()) {}

    const std::string& root() const { return root_; }
    // Makes root/tmp, root/user and root/dev (a fresh board starts with them empty).
    bool make(std::string* error) const;
    // Empties the board's /tmp, as a power-up does (it is a RAM file system on the board).
    void empty_tmp() const;

    // The host path of a system path ("/tmp/x" -> <dir>/root/tmp/x); empty when the board has no
    // such place (paths outside "/tmp", "/user" and "/dev", or climbing out with "..").
    std::string host_path(std::string_view system_path) const;
    // A command text with its absolute /tmp, /user and /dev paths moved into the board's root.
    std::string rewrite_command(std::string_view command) const;
    // Host devices that commands and the library may use as they are ("/dev/null", ...).
    static bool is_host_device(std::string_view path);

  private:
    std::string root_;
};

}  // namespace sim
