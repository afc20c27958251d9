#include "sim/sim_network.h"

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/board_fixture.h"

namespace {

using Words = std::vector<std::string>;

TEST(SimNetwork, SplitCommandTable) {
    const std::vector<std::pair<const char*, Words>> table{
        {"ifconfig eth0 1.2.3.4\n", {"ifconfig", "eth0", "1.2.3.4"}},
        {"  route  add\tdefault gw 1.1.1.1\n", {"route", "add", "default", "gw", "1.1.1.1"}},
        {"dhclient -1 eth0", {"dhclient", "-1", "eth0"}},
        {"\n", {}},
        {"", {}},
    };
    for (const auto& [text, words] : table) EXPECT_EQ(sim::split_command(text), words) << text;
}

TEST(SimNetwork, LinkScheduleOptionTable) {
    struct Row {
        const char* text;
        bool ok;
        std::vector<bool> answers;
    };
    const std::vector<Row> table{
        {"up", true, {true}},
        {"down", true, {false}},
        {"down,down,up", true, {false, false, true}},
        {"0,1", true, {false, true}},
        {"", false, {}},
        {"sideways", false, {}},
        {"up,", false, {}},
        {",up", false, {}},
    };
    for (const auto& row : table) {
        std::vector<bool> answers{true, true, true, true};
        EXPECT_EQ(sim::parse_link_schedule(row.text, &answers), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(answers, row.answers) << row.text;
        }
    }
}

// One step of a configuration session: a command and the state it leaves.
struct Step {
    const char* command;
    int status;  // exit code
    bool up;
    const char* address;
    const char* netmask;
    const char* gateway;
};

TEST(SimNetwork, CommandsSetTheInterfaceTable) {
    TestBoard b;
    sim::SimNetwork net(b.board());
    const std::vector<Step> steps{
        {"route add default gw 10.0.0.1\n", 7, false, "", "", ""},  // nothing to route through
        {"ifconfig eth0 10.0.0.5\n", 0, true, "10.0.0.5", "", ""},
        {"ifconfig eth0 down\n", 0, false, "10.0.0.5", "", ""},
        {"ifconfig eth0 netmask 255.255.255.0\n", 0, false, "10.0.0.5", "255.255.255.0", ""},
        {"ifconfig eth0 up\n", 0, true, "10.0.0.5", "255.255.255.0", ""},
        {"route add default gw 10.0.0.1\n", 0, true, "10.0.0.5", "255.255.255.0", "10.0.0.1"},
        {"ifconfig eth1 10.0.0.6\n", 1, true, "10.0.0.5", "255.255.255.0", "10.0.0.1"},
        {"ifconfig eth0 netmask nonsense\n", 1, true, "10.0.0.5", "255.255.255.0", "10.0.0.1"},
        {"route add default gw 999.1.1.1\n", 1, true, "10.0.0.5", "255.255.255.0", "10.0.0.1"},
        {"dhclient -1 eth0", 0, true, "192.168.100.23", "255.255.255.0", "192.168.100.1"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.command);
        EXPECT_EQ(b->system(s.command), s.status << 8);
        EXPECT_EQ(net.eth0().up, s.up);
        EXPECT_EQ(net.eth0().address, s.address);
        EXPECT_EQ(net.eth0().netmask, s.netmask);
        EXPECT_EQ(net.eth0().gateway, s.gateway);
    }
    EXPECT_TRUE(net.eth0().dhcp);
    EXPECT_EQ(b->system("ifconfig eth0 hw ether 00:0a:0b:0c:0d:0e\n"), 0);
    EXPECT_EQ(net.eth0().mac, "00:0a:0b:0c:0d:0e");
    EXPECT_EQ(b->system("ifconfig eth0 hw ether 00:0a:0b\n"), 1 << 8);
    EXPECT_EQ(net.eth0().mac, "00:0a:0b:0c:0d:0e");
}

// Without a configured port with carrier, nothing goes over the wire.
TEST(SimNetwork, DhcpAndTftpNeedACarrier) {
    struct Row {
        const char* name;
        bool configure, carrier;
        const char* command;
        int status;
    };
    const char* tftp = "tftp -g -r x.img -l /tmp/image 127.0.0.1\n";
    const Row rows[] = {
        {"dhcp without carrier", false, false, "dhclient -1 eth0", 2},
        {"tftp unconfigured", false, true, tftp, 1},
        {"tftp without carrier", true, false, tftp, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestBoard b;
        sim::SimNetwork net(b.board());
        if (row.configure) b->system("ifconfig eth0 10.0.0.5\n");
        net.set_link(row.carrier);
        EXPECT_EQ(b->system(row.command), row.status << 8);
        EXPECT_EQ(net.eth0().address, row.configure ? "10.0.0.5" : "");
        EXPECT_FALSE(b.exists("/tmp/image"));
    }
}

TEST(SimNetwork, InterfaceRequestsAnswerFromTheState) {
    TestBoard b;
    sim::SimNetwork net(b.board());
    struct Row {
        const char* name;
        bool up;
        bool carrier;
        short flags;
        unsigned link;
    };
    const std::vector<Row> table{
        {"down", false, true, 0, 1},
        {"up no carrier", true, false, IFF_UP, 0},
        {"up and running", true, true, IFF_UP | IFF_RUNNING, 1},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        b->system(row.up ? "ifconfig eth0 up\n" : "ifconfig eth0 down\n");
        net.set_link(row.carrier);
        ifreq req{};
        std::strncpy(req.ifr_name, "eth0", IFNAMSIZ - 1);
        ASSERT_EQ(net.ioctl(SIOCGIFINDEX, &req), 0);
        EXPECT_EQ(req.ifr_ifindex, 2);
        ASSERT_EQ(net.ioctl(SIOCGIFFLAGS, &req), 0);
        EXPECT_EQ(req.ifr_flags & (IFF_UP | IFF_RUNNING), row.flags);
        ethtool_value value{ETHTOOL_GLINK, 7};
        req.ifr_data = reinterpret_cast<char*>(&value);
        ASSERT_EQ(net.ioctl(SIOCETHTOOL, &req), 0);
        EXPECT_EQ(value.data, row.link);
    }
    ifreq other{};
    std::strncpy(other.ifr_name, "eth1", IFNAMSIZ - 1);
    EXPECT_EQ(net.ioctl(SIOCGIFINDEX, &other), -1);
    EXPECT_EQ(errno, ENODEV);
}

}  // namespace
