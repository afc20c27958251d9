#include "sim/sim_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

#include "sim/sim_network.h"

namespace sim {

namespace {

constexpr int exit_status(int code) {
    return code << 8;
}

// Writes all of data to a descriptor that may be non-blocking; false when the other side is gone.
bool write_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

SimSerial::SimSerial(SimBoard& board) : board_(board) {
    board_.attach_serial(this);
    board_.add_command("/usr/bin/rx",
                       [this](SimBoard&, std::string_view command) { return receive(command); });
}

SimSerial::~SimSerial() {
    for (const int fd : fds_) ::close(fd);
}

int SimSerial::open(int flags) {
    const int fd = ::open(device_.c_str(), flags | O_CLOEXEC);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
}

bool SimSerial::owns(int fd) const {
    return std::find(fds_.begin(), fds_.end(), fd) != fds_.end();
}

ssize_t SimSerial::read(int fd, void* buf, std::size_t count) {
    if (read_wait_ms_ > 0) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(read_wait_ms_));
    }
    return ::read(fd, buf, count);
}

int SimSerial::close(int fd) {
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
    return ::close(fd);
}

int SimSerial::receive(std::string_view command) {
    const std::vector<std::string> words = split_command(command);
    const std::string target = words.size() == 2 ? board_.host_path(words[1]) : std::string{};
    if (target.empty()) {
        board_.note("rx: expected one file in the board's /tmp");
        return exit_status(1);
    }
    if (receiver_) return exit_status(receiver_(target) & 0xFF);
    if (!attached()) {
        board_.note("rx: no serial line attached (bootmgr-sim --ttyS0 PATH); nothing received");
        return exit_status(1);
    }
    return relay_receiver(target);
}

// lrzsz's receiver resets its terminal with a flush when it ends, which on a pseudo-terminal
// would drop its last acknowledgement before the sender reads it. It therefore talks through
// pipes, and this loop carries the bytes between the pipes and the line.
int SimSerial::relay_receiver(const std::string& host_target) {
    const int line = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        board_.note("rx: cannot open " + device_);
        return exit_status(1);
    }
    std::array<int, 2> to_rx{-1, -1};
    std::array<int, 2> from_rx{-1, -1};
    if (::pipe2(to_rx.data(), O_CLOEXEC) != 0 || ::pipe2(from_rx.data(), O_CLOEXEC) != 0) {
        ::close(line);
        return -1;
    }
    const std::string log = (board_.dir() / "rx.log").string();
    const pid_t pid = ::fork();
    if (pid < 0) {
        for (const int fd : {line, to_rx[0], to_rx[1], from_rx[0], from_rx[1]}) ::close(fd);
        return -1;
    }
    if (pid == 0) {
        command_child_signals();
        ::dup2(to_rx[0], 0);
        ::dup2(from_rx[1], 1);
        const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) ::dup2(err, 2);
        // -U: the board's absolute target path; -c: the 16-bit CRC that 1K blocks need.
        ::execlp("rx", "rx", "-U", "-c", host_target.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(to_rx[0]);
    ::close(from_rx[1]);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);

    bool line_open = true;
    std::array<char, 4096> buf{};
    for (;;) {
        std::array<pollfd, 2> p{{{from_rx[0], POLLIN, 0}, {line_open ? line : -1, POLLIN, 0}}};
        if (::poll(p.data(), p.size(), 200) < 0 && errno != EINTR) break;
        continue_if_stopped(pid);
        if ((p[0].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t n = ::read(from_rx[0], buf.data(), buf.size());
            if (n == 0) break;  // the receiver has ended
            if (n > 0 && line_open)
                line_open = write_all(line, buf.data(), static_cast<std::size_t>(n));
        }
        if (line_open && (p[1].revents & POLLIN) != 0) {
            const ssize_t n = ::read(line, buf.data(), buf.size());
            if (n > 0) write_all(to_rx[1], buf.data(), static_cast<std::size_t>(n));
        }
        if (line_open && (p[1].revents & (POLLHUP | POLLERR)) != 0 &&
            (p[1].revents & POLLIN) == 0) {
            // Nobody at the other end any more: the receiver would wait for its time-outs.
            line_open = false;
            ::kill(pid, SIGTERM);
        }
    }
    ::close(to_rx[1]);
    ::close(from_rx[0]);
    const int status = wait_for_command(pid);
    ::sigaction(SIGPIPE, &previous, nullptr);
    // A real line needs time to send the last acknowledgement before the boot manager flushes it;
    // give the sender as long to pick it up.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(line);
    board_.record("board", "rx ended with status " + std::to_string(status));
    return status;
}

}  // namespace sim
