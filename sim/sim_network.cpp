#include "sim/sim_network.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// Exit statuses in the form the shell reports them (as waitpid gives them).
constexpr int exit_status(int code) {
    return code << 8;
}

bool dotted(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// Six hexadecimal fields separated by ':' and nothing after them.
bool hex_pair_list(const std::string& text) {
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (int i = 0; i < 6; ++i) {
        unsigned value = 0;
        const auto [next, error] = std::from_chars(at, end, value, 16);
        if (error != std::errc{} || next == at) return false;
        at = next;
        if (i < 5) {
            if (at == end || *at != ':') return false;
            ++at;
        }
    }
    return at == end;
}

void complain(const std::string& text) {
    const std::string line = text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
}

}  // namespace

std::vector<std::string> split_command(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\r\n", i);
        if (start == std::string_view::npos) break;
        std::size_t end = text.find_first_of(" \t\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        words.emplace_back(text.substr(start, end - start));
        i = end;
    }
    return words;
}

bool parse_link_schedule(std::string_view text, std::vector<bool>* answers) {
    std::vector<bool> out;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t end = text.find(',', i);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view item = text.substr(i, end - i);
        if (item == "up" || item == "1") {
            out.push_back(true);
        } else if (item == "down" || item == "0") {
            out.push_back(false);
        } else {
            return false;
        }
        i = end + 1;
    }
    if (out.empty()) return false;
    *answers = std::move(out);
    return true;
}

SimNetwork::SimNetwork(SimBoard& board) : board_(board) {
    board_.attach_network(this);
    const auto handle = [this](auto member) {
        return [this, member](SimBoard&, std::string_view command) {
            return (this->*member)(split_command(command));
        };
    };
    board_.add_command("ifconfig", handle(&SimNetwork::ifconfig));
    board_.add_command("route", handle(&SimNetwork::route));
    board_.add_command("dhclient", handle(&SimNetwork::dhclient));
    board_.add_command("tftp", handle(&SimNetwork::tftp));
}

void SimNetwork::set_link(bool up) {
    link_ = up;
    schedule_.clear();
}

void SimNetwork::set_link_schedule(std::vector<bool> answers) {
    schedule_ = std::move(answers);
    link_queries_ = 0;
}

bool SimNetwork::carrier() const {
    if (schedule_.empty()) return link_;
    const std::size_t i = std::min<std::size_t>(link_queries_, schedule_.size() - 1);
    return schedule_[i];
}

int SimNetwork::ioctl(unsigned long request, void* arg) {
    if (failing_request_ != 0 && request == failing_request_) {
        failing_request_ = 0;
        errno = failing_errno_;
        return -1;
    }
    auto* req = static_cast<ifreq*>(arg);
    if (request != SIOCGIFINDEX && request != SIOCGIFFLAGS && request != SIOCETHTOOL) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (std::strncmp(req->ifr_name, "eth0", IFNAMSIZ) != 0) {
        errno = ENODEV;
        return -1;
    }
    if (request == SIOCGIFINDEX) {
        req->ifr_ifindex = 2;
        return 0;
    }
    if (request == SIOCGIFFLAGS) {
        int flags = IFF_BROADCAST | IFF_MULTICAST;
        if (eth0_.up) flags |= IFF_UP;
        if (eth0_.up && carrier()) flags |= IFF_RUNNING;
        req->ifr_flags = static_cast<short>(flags);
        return 0;
    }
    auto* value = reinterpret_cast<ethtool_value*>(req->ifr_data);
    if (value == nullptr || value->cmd != ETHTOOL_GLINK) {
        errno = EOPNOTSUPP;
        return -1;
    }
    value->data = carrier() ? 1 : 0;
    ++link_queries_;
    board_.record("board", std::string("eth0 link query: ") + (value->data ? "up" : "down"));
    return 0;
}

int SimNetwork::ifconfig(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        complain("ifconfig: " + eth0_.address);
        return 0;
    }
    if (args[1] != "eth0") {
        complain("ifconfig: " + args[1] +
                 ": error fetching interface information: Device not found");
        return exit_status(1);
    }
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "up") {
            eth0_.up = true;
        } else if (a == "down") {
            eth0_.up = false;
        } else if (a == "netmask" && i + 1 < args.size() && dotted(args[i + 1])) {
            eth0_.netmask = args[++i];
        } else if (a == "hw" && i + 2 < args.size() && args[i + 1] == "ether" &&
                   hex_pair_list(args[i + 2])) {
            eth0_.mac = args[i + 2];
            i += 2;
        } else if (dotted(a)) {
            eth0_.address = a;
            eth0_.dhcp = false;
            eth0_.up = true;
        } else {
            complain("ifconfig: bad argument: " + a);
            return exit_status(1);
        }
    }
    return 0;
}

int SimNetwork::route(const std::vector<std::string>& args) {
    if (args.size() != 5 || args[1] != "add" || args[2] != "default" || args[3] != "gw" ||
        !dotted(args[4])) {
        complain("route: bad arguments");
        return exit_status(1);
    }
    if (!eth0_.up || eth0_.address.empty()) {
        complain("route: SIOCADDRT: Network is unreachable");
        return exit_status(7);
    }
    eth0_.gateway = args[4];
    return 0;
}

int SimNetwork::dhclient(const std::vector<std::string>& args) {
    if (args.empty() || args.back() != "eth0") {
        complain("dhclient: no such interface");
        return exit_status(1);
    }
    eth0_.up = true;
    if (!carrier()) {
        complain("No DHCPOFFERS received.");
        return exit_status(2);
    }
    eth0_.address = "192.168.100.23";
    eth0_.netmask = "255.255.255.0";
    eth0_.gateway = "192.168.100.1";
    eth0_.dhcp = true;
    return 0;
}

int SimNetwork::tftp(const std::vector<std::string>& args) {
    // The client's own command line: tftp -g -r <remote> -l <local> <server>
    std::string remote, local, server;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-g") continue;
        if (args[i] == "-r" && i + 1 < args.size()) {
            remote = args[++i];
        } else if (args[i] == "-l" && i + 1 < args.size()) {
            local = args[++i];
        } else if (server.empty()) {
            server = args[i];
        } else {
            complain("tftp: bad arguments");
            return exit_status(1);
        }
    }
    const std::string host_local = board_.host_path(local);
    if (remote.empty() || host_local.empty() || server.empty()) {
        complain("tftp: bad arguments");
        return exit_status(1);
    }
    if (!eth0_.up || eth0_.address.empty() || !carrier()) {
        complain("tftp: sendto: Network is unreachable");
        return exit_status(1);
    }
    board_.record("board",
                  "tftp " + remote + " from " + server + " port " + std::to_string(tftp_port_));
    const std::string port = std::to_string(tftp_port_);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        command_child_signals();
        ::execlp("busybox", "busybox", "tftp", "-g", "-r", remote.c_str(), "-l", host_local.c_str(),
                 server.c_str(), port.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return wait_for_command(pid);
}

}  // namespace sim
