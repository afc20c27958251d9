#include "sim/sim_commands.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace sim {

void CommandRunner::add(std::string prefix, Handler handler) {
    handlers_.insert(handlers_.begin(), {std::move(prefix), std::move(handler)});
}

namespace {

std::string_view body_of(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\n");
    return start == std::string_view::npos ? std::string_view{} : text.substr(start);
}

}  // namespace

const CommandRunner::Handler* CommandRunner::find(std::string_view command) const {
    const std::string_view body = body_of(command);
    for (const auto& [prefix, handler] : handlers_) {
        if (body.substr(0, prefix.size()) == prefix) return &handler;
    }
    return nullptr;
}

std::optional<int> CommandRunner::recorded(std::string_view command, bool* reboot) {
    struct Recorded {
        std::string_view prefix;
        bool whole_word;
    };
    static constexpr std::array<Recorded, 10> kRecorded{{{"date", true},
                                                         {"reboot", true},
                                                         {"ifconfig", true},
                                                         {"route", true},
                                                         {"dhclient", true},
                                                         {"tftp", true},
                                                         {"/usr/bin/rx", true},
                                                         {"/bin/gdbserver", true},
                                                         {"/tmp/gdb", true},
                                                         {"LD_PRELOAD=", false}}};
    const std::string_view body = body_of(command);
    for (const auto& r : kRecorded) {
        if (body.substr(0, r.prefix.size()) != r.prefix) continue;
        if (r.whole_word && body.size() > r.prefix.size() &&
            std::strchr(" \t\n", body[r.prefix.size()]) == nullptr) {
            continue;
        }
        *reboot = r.prefix == "reboot";
        return 0;
    }
    return std::nullopt;
}

bool CommandRunner::is_shell(std::string_view command) {
    const std::string_view body = body_of(command);
    return body == "/bin/sh\n" || body == "/bin/sh";
}

int CommandRunner::setenv(const char* name, const char* value, int overwrite) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (overwrite != 0 || env_.find(name) == env_.end()) env_[name] = value;
    return 0;
}

int CommandRunner::run_shell(const std::string& text, bool interactive) const {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        command_child_signals();
        if (::chdir(paths_.root().c_str()) != 0) ::_exit(127);
        ::setenv("BOARD_ROOT", paths_.root().c_str(), 1);
        for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
        if (out_fd_ >= 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out_fd_, 1);
            ::dup2(err_fd_, 2);
        }
        if (interactive) {
            ::execl("/bin/sh", "sh", "-i", static_cast<char*>(nullptr));
        } else {
            ::execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    return wait_for_command(pid);
}

SystemSignals::SystemSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &saved_[0]);
    ::sigaction(SIGQUIT, &ignore, &saved_[1]);
}

SystemSignals::~SystemSignals() {
    ::sigaction(SIGINT, &saved_[0], nullptr);
    ::sigaction(SIGQUIT, &saved_[1], nullptr);
}

void command_child_signals() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGINT, &dfl, nullptr);
    ::sigaction(SIGQUIT, &dfl, nullptr);
}

int wait_for_command(pid_t pid) {
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WUNTRACED) < 0) {
            if (errno != EINTR) return -1;
        } else if (WIFSTOPPED(status)) {
            ::kill(0, SIGCONT);  // the shell's own children stopped with it
        } else {
            return status;
        }
    }
}

void continue_if_stopped(pid_t pid) {
    siginfo_t info{};
    // Stops only: an end stays for the waitpid that collects it.
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG) == 0 &&
        info.si_pid == pid)
        ::kill(0, SIGCONT);
}

}  // namespace sim
