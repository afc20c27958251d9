// The management port eth0: a configuration session of the network commands, the interface
// requests answered from its state, and nothing over the wire without a configured carrier.
#include "sim/sim_network.h"

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>

#include <cstring>

#include "tests/support/board_fixture.h"

namespace {

TEST(SimNetwork, ASessionOfCommandsSetsTheInterface) {
    TestBoard b;
    sim::SimNetwork net(b.board());
    for (const auto& row : read_table(BOOTMGR_SOURCE_DIR "/tests/sim/sim_devices.tsv", "eth0")) {
        EXPECT_EQ(b->system(row[0].c_str()), std::stoi(row[1]) << 8) << row[0];
        const auto& e = net.eth0();
        EXPECT_EQ(std::to_string(e.up) + " " + e.address + " " + e.netmask + " " + e.gateway,
                  row[2])
            << row[0];
    }
    EXPECT_EQ(b->system("ifconfig eth0 hw ether 00:0a:0b:0c:0d:0e\n"), 0);
    EXPECT_EQ(net.eth0().mac, "00:0a:0b:0c:0d:0e");
    std::vector<bool> answers;
    EXPECT_TRUE(sim::parse_link_schedule("down,0,up", &answers));
    EXPECT_EQ(answers, (std::vector<bool>{false, false, true}));
    for (const char* bad : {"", "sideways", "up,", ",up"})
        EXPECT_FALSE(sim::parse_link_schedule(bad, &answers)) << bad;
}

TEST(SimNetwork, InterfaceRequestsAnswerFromTheStateAndTransfersNeedACarrier) {
    const std::tuple<bool, bool, short, unsigned> rows[] = {
        {false, true, 0, 1}, {true, false, IFF_UP, 0}, {true, true, IFF_UP | IFF_RUNNING, 1}};
    for (const auto& [up, carrier, flags, link] : rows) {
        TestBoard b;
        sim::SimNetwork net(b.board());
        b->system(up ? "ifconfig eth0 10.0.0.5\n" : "ifconfig eth0 down\n");
        net.set_link(carrier);
        ifreq req{};
        std::strncpy(req.ifr_name, "eth0", IFNAMSIZ - 1);
        ASSERT_EQ(net.ioctl(SIOCGIFFLAGS, &req), 0);
        EXPECT_EQ(req.ifr_flags & (IFF_UP | IFF_RUNNING), flags);
        ethtool_value value{ETHTOOL_GLINK, 7};
        req.ifr_data = reinterpret_cast<char*>(&value);
        ASSERT_EQ(net.ioctl(SIOCETHTOOL, &req), 0);
        EXPECT_EQ(value.data, link);
        // Without an address and a carrier nothing goes over the wire.
        if (!(up && carrier)) {
            EXPECT_EQ(b->system("tftp -g -r x -l /tmp/image 127.0.0.1\n"), 1 << 8);
        }
        EXPECT_EQ(b->system("dhclient -1 eth0"), (carrier ? 0 : 2) << 8);
    }
    TestBoard b;
    sim::SimNetwork net(b.board());
    ifreq other{};
    std::strncpy(other.ifr_name, "eth1", IFNAMSIZ - 1);
    EXPECT_EQ(net.ioctl(SIOCGIFINDEX, &other), -1);
}

}  // namespace
