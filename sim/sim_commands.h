// The board's command runner: what becomes of a command text that the boot manager hands to the
// shell. Programs of the root file system that act on files (tar, gunzip, rm, mkdir, mv, chmod, the
// archive's install script) run for real with /bin/sh inside the board's root; programs that act
// on the board itself (date, reboot, the network tools, the debugger) are handled by the unit
// that owns what they act on, or recorded. While a command runs the caller ignores SIGINT and the
// command gets the default handling, as under system() on the board.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/sim_paths.h"

namespace sim {

class SimBoard;

class CommandRunner {
  public:
    using Handler = std::function<int(SimBoard&, std::string_view command)>;

    explicit CommandRunner(const PathRoot& paths) : paths_(paths) {}

    // The first handler whose prefix starts the command (after leading blanks) decides; later
    // additions come first.
    void add(std::string prefix, Handler handler);
    const Handler* find(std::string_view command) const;
    // Programs the board only records: the status they report (0), or nothing when the command
    // is not one of them. Sets *reboot for "reboot".
    static std::optional<int> recorded(std::string_view command, bool* reboot);
    // Whether the command text is the interactive shell "/bin/sh".
    static bool is_shell(std::string_view command);

    // Variables set through setenv(), handed to every command.
    int setenv(const char* name, const char* value, int overwrite);
    const std::map<std::string, std::string>& environment() const { return env_; }
    void clear_environment() { env_.clear(); }
    // Descriptors that stand for the console in commands (-1: the process's own).
    void set_console(int out_fd, int err_fd) {
        out_fd_ = out_fd;
        err_fd_ = err_fd;
    }

    // Runs the text with /bin/sh -c (or an interactive shell) in the board's root; the status as
    // waitpid reports it, -1 when no shell could be started.
    int run_shell(const std::string& text, bool interactive) const;

  private:
    const PathRoot& paths_;
    std::vector<std::pair<std::string, Handler>> handlers_;
    std::map<std::string, std::string> env_;
    int out_fd_ = -1, err_fd_ = -1;
};

// Ignores SIGINT and SIGQUIT in this process while it lives, as system() does for its caller.
class SystemSignals {
  public:
    SystemSignals();
    ~SystemSignals();
    SystemSignals(const SystemSignals&) = delete;
    SystemSignals& operator=(const SystemSignals&) = delete;

  private:
    std::array<struct sigaction, 2> saved_{};
};

// In a child about to run a program for a command: the default handling of SIGINT and SIGQUIT.
void command_child_signals();

// The end of a command's child, as waitpid reports it; -1 when there is none to wait for. On the
// board the boot manager's process group has no parent inside its session, so the kernel lets no
// stop key (Ctrl-Z) stop a command there. A run on a desktop terminal may be a job of its shell:
// a command stopped there is continued at once, with the rest of the group, or the run would hang
// waiting for it.
int wait_for_command(pid_t pid);
// The same continuation for a child that is not waited for yet.
void continue_if_stopped(pid_t pid);

}  // namespace sim
