// The management port eth0: a configuration session of the network commands, the interface
// requests answered from its state, and nothing over the wire without a configured carrier.
#include "sim/sim_network.h"

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>

#include <cstring>

#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

TEST(SimNetwork, ASessionOfCommandsSetsTheInterface) {
    TestBoard b;
    sim::SimNetwork net(b.board());
    for (const auto& row : read_table("tests/sim/data/eth0.tsv")) {
        EXPECT_EQ(b->system(row["command"].c_str()), row.num("status") << 8) << row.where();
        const auto& e = net.eth0();
        EXPECT_EQ(std::to_string(e.up) + " " + e.address + " " + e.netmask + " " + e.gateway,
                  row["state"])
            << row.where();
    }
    EXPECT_EQ(b->system("ifconfig eth0 hw ether 00:0a:0b:0c:0d:0e\n"), 0);
    EXPECT_EQ(net.eth0().mac, "00:0a:0b:0c:0d:0e");
    std::vector<bool> answers;
    EXPECT_TRUE(sim::parse_link_schedule("down,0,up", &answers));
    EXPECT_EQ(std::pair(answers, sim::parse_link_schedule("up,", &answers)),
              std::pair(std::vector<bool>{false, false, true}, false));
}

TEST(SimNetwork, NothingGoesOverTheWireWithoutAnAddressAndACarrier) {
    for (const bool configured : {false, true}) {
        TestBoard b;
        sim::SimNetwork net(b.board());
        if (configured) b->system("ifconfig eth0 10.0.0.5\n");
        net.set_link(!configured);
        EXPECT_EQ(b->system("tftp -g -r x -l /tmp/image 127.0.0.1\n"), 1 << 8);
        EXPECT_EQ(b->system("dhclient -1 eth0"), (configured ? 2 : 0) << 8);
    }
}

}  // namespace
