// The simulated board's management port eth0: its link, the interface requests the boot manager
// makes on a datagram socket, and the programs that configure it (ifconfig, route, dhclient)
// and fetch files over it (tftp, run as BusyBox's real client against a real server).
//
// Attach one to a SimBoard: the constructor registers the command handlers; the board hands
// interface requests on its sockets to ioctl(). The object must outlive the board's use of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_board.h"

namespace sim {

struct Eth0 {
    bool up = false;      // IFF_UP, set by "ifconfig eth0 <address>|up" or a DHCP lease
    std::string address;  // dotted form, empty while none is set
    std::string netmask;
    std::string gateway;  // the default route
    std::string mac = "02:00:00:00:5e:01";
    bool dhcp = false;  // the address came from a lease
};

class SimNetwork final : public AttachedNetwork {
  public:
    explicit SimNetwork(SimBoard& board);
    SimNetwork(const SimNetwork&) = delete;
    SimNetwork& operator=(const SimNetwork&) = delete;

    // Carrier: a fixed answer, or a schedule of answers for the successive link queries
    // (ETHTOOL_GLINK); the last answer of a schedule holds from then on.
    void set_link(bool up);
    void set_link_schedule(std::vector<bool> answers);
    unsigned link_queries() const { return link_queries_; }
    bool carrier() const;

    // Where the simulated tftp client sends its requests: the server address typed on the
    // board is kept, the port (normally 69) is this one.
    void set_tftp_port(unsigned port) { tftp_port_ = port; }

    // The next interface request of this number fails with errno (for error paths).
    void fail_request(unsigned long request, int error) {
        failing_request_ = request;
        failing_errno_ = error;
    }

    const Eth0& eth0() const { return eth0_; }

    // Whether the root file system has "/bin/dhclient" (the DHCP question depends on it).
    void set_dhcp_client(bool present) { dhcp_client_ = present; }
    bool dhcp_client() const override { return dhcp_client_; }

    // Interface requests on a board socket: SIOCGIFINDEX, SIOCGIFFLAGS, SIOCETHTOOL/GLINK.
    int ioctl(unsigned long request, void* arg) override;

    // The programs; each returns an exit status as the shell would report it.
    int ifconfig(const std::vector<std::string>& args);
    int route(const std::vector<std::string>& args);
    int dhclient(const std::vector<std::string>& args);
    int tftp(const std::vector<std::string>& args);

  private:
    SimBoard& board_;
    Eth0 eth0_;
    bool link_ = true;
    std::vector<bool> schedule_;
    unsigned link_queries_ = 0;
    unsigned tftp_port_ = 69;
    bool dhcp_client_ = true;
    unsigned long failing_request_ = 0;
    int failing_errno_ = 0;
};

// A command text split at blanks, tabs and line ends (the commands here carry no quoting).
std::vector<std::string> split_command(std::string_view text);

// "up", "down", or a schedule such as "down,down,up" (also "0,0,1").
bool parse_link_schedule(std::string_view text, std::vector<bool>* answers);

}  // namespace sim
