// The simulated board's serial line "/dev/ttyS0" for the XMODEM-1K download.
//
// Without a device the board's ttyS0 is the console itself (as on the real board, where both are
// one line). With a device -- a pseudo-terminal whose other end a test or a person drives -- the
// board's ttyS0 is that terminal, and "/usr/bin/rx <file>" runs lrzsz's real receiver on it.
//
// Attach one to a SimBoard: the constructor registers the receiver command; the board hands the
// line's descriptors here. The object must outlive the board's use of it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_board.h"

namespace sim {

class SimSerial final : public AttachedSerial {
  public:
    explicit SimSerial(SimBoard& board);
    SimSerial(const SimSerial&) = delete;
    SimSerial& operator=(const SimSerial&) = delete;
    ~SimSerial() override;

    // The host terminal that stands for "/dev/ttyS0" (for example a pty slave "/dev/pts/7").
    void set_device(std::string host_path) { device_ = std::move(host_path); }
    const std::string& device() const { return device_; }
    bool attached() const override { return !device_.empty(); }

    // A read of the line with nothing pending waits up to this long for a byte, so that a
    // polling loop with virtual sleeps does not spin while the operator reaches for the keyboard.
    void set_read_wait_ms(unsigned ms) { read_wait_ms_ = ms; }

    // Stands in for the receiver program in unit tests: gets the host path of the target file
    // and returns the program's exit code.
    using Receiver = std::function<int(const std::string& host_target)>;
    void set_receiver(Receiver receiver) { receiver_ = std::move(receiver); }

    // Descriptor operations of the board on the line.
    int open(int flags) override;
    bool owns(int fd) const override;
    ssize_t read(int fd, void* buf, std::size_t count) override;
    int close(int fd) override;

    // "/usr/bin/rx <file>": an exit status as the shell reports it.
    int receive(std::string_view command);

  private:
    int relay_receiver(const std::string& host_target);

    SimBoard& board_;
    std::string device_;
    std::vector<int> fds_;
    unsigned read_wait_ms_ = 1000;
    Receiver receiver_;
};

}  // namespace sim
