#include "rescue/net_config.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>

#include <string>
#include <vector>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "rescue/input_check.h"
#include "sim/sim_network.h"
#include "tests/support/board_fixture.h"

namespace {

using testing::HasSubstr;
using testing::Not;

using Commands = std::vector<std::string>;

std::string dotted(std::uint32_t address) {
    return rescue_format_ipv4(address).data();
}

std::uint32_t address_of(const char* text) {
    std::uint32_t a = 0;
    EXPECT_TRUE(rescue_parse_ipv4(text, &a)) << text;
    return a;
}

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) ++n;
    if (d != nullptr) closedir(d);
    return n;
}

class NetConfigTest : public testing::Test {
  protected:
    NetConfigTest() : net(b.board()) {
        install_interrupt_handler();
        boot_settings.break_flag = 0;
    }
    ~NetConfigTest() override { boot_settings.break_flag = 0; }

    TestBoard b;
    sim::SimNetwork net;
};

constexpr const char* kBadAddress = "Invalid IP address. Try again please\n";

// ---------------------------------------------------------------------------------------------

struct UsableCase {
    const char* address;
    int usable;
};

TEST(NetAddressUsable, RefusesZeroAndFirstFieldsZeroOrFrom240) {
    const std::vector<UsableCase> table{
        {"0.0.0.0", 0},   {"0.1.2.3", 0},        {"240.0.0.1", 0},   {"255.255.255.255", 0},
        {"1.0.0.0", 1},   {"1.2.3.4", 1},        {"127.0.0.1", 1},   {"224.0.0.1", 1},
        {"239.1.1.1", 1}, {"10.255.255.255", 1}, {"192.168.1.1", 1},
    };
    for (const auto& row : table) {
        EXPECT_EQ(net_address_usable(address_of(row.address)), row.usable) << row.address;
    }
}

struct PromptCase {
    const char* name;
    sim::ConsoleScript input;
    int required;
    int usable_check;
    int result;
    const char* address;  // expected afterwards; the preset value 9.9.9.9 when unchanged
    int bad_format;       // "Invalid IP address. Try again please" lines
    const char* refused;  // the usable-check message expected, or nullptr
};

TEST_F(NetConfigTest, PromptAddressTable) {
    const std::vector<PromptCase> table{
        {"plain", "1.2.3.4\n", 1, 1, 1, "1.2.3.4", 0, nullptr},
        {"empty required", "\nq\n", 1, 1, 0, "9.9.9.9", 1, nullptr},
        {"empty optional", "\n", 0, 0, 1, "9.9.9.9", 0, nullptr},
        {"q leaves", "q\n", 1, 1, 0, "9.9.9.9", 0, nullptr},
        {"Q word leaves", "Quit\n", 0, 1, 0, "9.9.9.9", 0, nullptr},
        {"zero gateway refused", "0.0.0.0\n1.1.1.1\n", 0, 1, 1, "1.1.1.1", 0,
         "Invalid IP address 0.0.0.0. Try again please\n"},
        {"zero netmask taken", "0.0.0.0\n", 0, 0, 1, "0.0.0.0", 0, nullptr},
        {"class E refused", "240.0.0.1\n239.1.1.1\n", 1, 1, 1, "239.1.1.1", 0,
         "Invalid IP address 240.0.0.1. Try again please\n"},
        {"loopback taken", "127.0.0.1\n", 1, 1, 1, "127.0.0.1", 0, nullptr},
        {"shell text refused", "1.2.3.4;reboot\nq\n", 1, 1, 0, "9.9.9.9", 1, nullptr},
        {"short form refused", "10.1\n10.0.0.1\n", 1, 1, 1, "10.0.0.1", 1, nullptr},
        {"trailing junk refused", "1.2.3.4 x\n\n2.2.2.2\n", 1, 1, 1, "2.2.2.2", 2, nullptr},
        {"overlong line cut at 127", std::string(200, '1') + "\nq\n", 1, 1, 0, "9.9.9.9", 1,
         nullptr},
        {"NUL bytes not stored", std::string("1.2.\0003.4\n", 9), 1, 1, 1, "1.2.3.4", 0, nullptr},
        {"break leaves", sim::ConsoleScript("1.2").interrupt().keys(".3.4\n"), 1, 1, 0, "9.9.9.9",
         0, nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        boot_settings.break_flag = 0;
        b.clear_output();
        b.input(row.input);
        std::uint32_t address = address_of("9.9.9.9");
        EXPECT_EQ(net_prompt_address("IP addr    :", &address, row.required, row.usable_check),
                  row.result);
        EXPECT_EQ(dotted(address), row.address);
        const std::string out = b.out();
        EXPECT_EQ(out.rfind("IP addr    :", 0), 0u) << "the prompt comes first, unchanged";
        EXPECT_EQ(count_of(out, kBadAddress), row.bad_format);
        if (row.refused != nullptr) {
            EXPECT_THAT(out, HasSubstr(row.refused));
        } else {
            EXPECT_THAT(out, Not(HasSubstr("Invalid IP address "))) << "no usable-check refusal";
        }
    }
}

struct DialogCase {
    const char* name;
    int offer_dhcp;
    bool dhclient_present;
    sim::ConsoleScript input;
    int result;
    int use_dhcp;
    const char* ip;
    const char* mask;
    const char* gateway;
    bool question_shown;
};

TEST_F(NetConfigTest, DialogTable) {
    const std::vector<DialogCase> table{
        {"dhcp yes", 1, true, "y\n", 1, 1, "0.0.0.0", "0.0.0.0", "0.0.0.0", true},
        {"dhcp Yes word", 1, true, "Yes\n", 1, 1, "0.0.0.0", "0.0.0.0", "0.0.0.0", true},
        {"dhcp no", 1, true, "n\n1.2.3.4\n\n\n", 1, 0, "1.2.3.4", "0.0.0.0", "0.0.0.0", true},
        {"dhcp enter", 1, true, "\n1.2.3.4\n\n\n", 1, 0, "1.2.3.4", "0.0.0.0", "0.0.0.0", true},
        {"no dhclient", 1, false, "1.2.3.4\n\n\n", 1, 0, "1.2.3.4", "0.0.0.0", "0.0.0.0", false},
        {"not offered", 0, true, "1.2.3.4\n255.255.255.0\n1.2.3.1\n", 1, 0, "1.2.3.4",
         "255.255.255.0", "1.2.3.1", false},
        {"break at question", 1, true, sim::ConsoleScript("y").interrupt().keys("\n"), 0, 0,
         "0.0.0.0", "0.0.0.0", "0.0.0.0", true},
        {"q at address", 0, true, "q\n", 0, 0, "0.0.0.0", "0.0.0.0", "0.0.0.0", false},
        {"q at netmask", 0, true, "1.2.3.4\nq\n", 0, 0, "1.2.3.4", "0.0.0.0", "0.0.0.0", false},
        {"q at gateway", 0, true, "1.2.3.4\n255.0.0.0\nq\n", 0, 0, "1.2.3.4", "255.0.0.0",
         "0.0.0.0", false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        boot_settings.break_flag = 0;
        net.set_dhcp_client(row.dhclient_present);
        b.clear_output();
        b.input(row.input);
        NetConfig config{};
        config.use_dhcp = 1;  // the dialogue starts by clearing it
        EXPECT_EQ(net_config_dialog(&config, row.offer_dhcp), row.result);
        EXPECT_EQ(config.use_dhcp, row.use_dhcp);
        EXPECT_EQ(dotted(config.ip_address), row.ip);
        EXPECT_EQ(dotted(config.ip_netmask), row.mask);
        EXPECT_EQ(dotted(config.ip_gateway), row.gateway);
        EXPECT_EQ(b.out().find("Confirm: Use DHCP for network configuration? y/N: ") == 0,
                  row.question_shown);
        EXPECT_TRUE(b.commands().empty()) << "the dialogue runs nothing";
    }
}

struct ApplyCase {
    const char* name;
    bool dhcp;
    const char* ip;
    const char* mask;
    const char* gateway;
    bool link;
    int result;
    Commands commands;
    std::uint64_t seconds;  // virtual time the configuration takes
};

TEST_F(NetConfigTest, ApplyTable) {
    const char* z = "0.0.0.0";
    const Commands dhcp = {"dhclient -1 eth0"}, alone = {"ifconfig eth0 1.2.3.4\n"};
    const std::vector<ApplyCase> table{
        {"static alone", false, "1.2.3.4", z, z, true, 1, alone, 26},
        {"static full", false, "10.0.0.5", "255.255.255.0", "10.0.0.1", true, 1,
         Commands{"ifconfig eth0 10.0.0.5\n", "ifconfig eth0 down\n",
                  "ifconfig eth0 netmask 255.255.255.0\n", "ifconfig eth0 up\n",
                  "route add default gw 10.0.0.1\n"},
         26},
        {"static gateway only", false, "10.0.0.5", z, "10.0.0.1", true, 1,
         Commands{"ifconfig eth0 10.0.0.5\n", "route add default gw 10.0.0.1\n"}, 26},
        {"static no link", false, "1.2.3.4", z, z, false, 0, alone, 26},
        {"dhcp", true, z, z, z, true, 1, dhcp, 3},
        {"dhcp no link", true, z, z, z, false, 0, dhcp, 3},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TestBoard fresh;
        sim::SimNetwork port(fresh.board());
        port.set_link(row.link);
        NetConfig config{};
        config.use_dhcp = row.dhcp ? 1 : 0;
        config.ip_address = address_of(row.ip);
        config.ip_netmask = address_of(row.mask);
        config.ip_gateway = address_of(row.gateway);
        const std::uint64_t start = fresh->virtual_ms();
        EXPECT_EQ(net_apply_config(&config), row.result);
        EXPECT_EQ(fresh.commands(), row.commands);
        EXPECT_EQ(fresh->virtual_ms() - start, row.seconds * 1000);
        const std::string out = fresh.out();
        EXPECT_EQ(out.find("Mgmt link not available. Quitting.\n") != std::string::npos,
                  row.result == 0);
        if (!row.dhcp) {
            EXPECT_THAT(out,
                        HasSubstr("Configuring management port..." + std::string(20, '.') + "\n"));
            EXPECT_EQ(out.find("\tNetmask    : ") != std::string::npos, row.mask[0] != '0');
            EXPECT_EQ(out.find("\tGateway    : ") != std::string::npos, row.gateway[0] != '0');
        }
        if (row.result == 1 && !row.dhcp) {
            EXPECT_EQ(port.eth0().address, row.ip);
            EXPECT_EQ(port.eth0().gateway, row.gateway[0] != '0' ? row.gateway : "");
        }
        if (row.result == 1 && row.dhcp) {
            EXPECT_TRUE(port.eth0().dhcp);
        }
    }
}

struct LinkCase {
    const char* name;
    bool configured;
    bool carrier;
    unsigned long failing;
    int result;
    const char* message;
};

TEST_F(NetConfigTest, LinkTestTable) {
    const std::vector<LinkCase> table{
        {"up and running", true, true, 0, 1, ""},
        {"no carrier", true, false, 0, 0, ""},
        {"interface down", false, true, 0, 0, ""},
        {"index fails", true, true, SIOCGIFINDEX, 0, "Open Interface eth0 error.\n"},
        {"flags fail", true, true, SIOCGIFFLAGS, 0, "Open flags error.\n"},
        {"ethtool fails", true, true, SIOCETHTOOL, 0, "EthTool GLINK error.\n"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TestBoard fresh;
        sim::SimNetwork port(fresh.board());
        if (row.configured) port.ifconfig({"ifconfig", "eth0", "1.2.3.4"});
        port.set_link(row.carrier);
        if (row.failing != 0) port.fail_request(row.failing, EIO);
        const int before = open_descriptors();
        EXPECT_EQ(net_link_up(), row.result);
        EXPECT_EQ(open_descriptors(), before) << "the socket is closed on every path";
        EXPECT_EQ(fresh.out(), row.message);
    }
}

TEST_F(NetConfigTest, LinkThatComesUpLaterFollowsTheSchedule) {
    net.ifconfig({"ifconfig", "eth0", "1.2.3.4"});
    net.set_link_schedule({false, false, true});
    EXPECT_EQ(net_link_up(), 0);
    EXPECT_EQ(net_link_up(), 0);
    EXPECT_EQ(net_link_up(), 1);
    EXPECT_EQ(net_link_up(), 1);
    EXPECT_EQ(net.link_queries(), 4u);
}

struct MacCase {
    const char* name;
    sim::ConsoleScript input;
    int result;
    Commands commands;
    int invalid;
};

TEST_F(NetConfigTest, MacDialogTable) {
    const Commands none;
    auto set = [](const char* mac) {
        return Commands{std::string("ifconfig eth0 hw ether ") + mac + "\n"};
    };
    const std::vector<MacCase> table{
        {"full form", "00:11:22:33:44:55\n", 1, set("00:11:22:33:44:55"), 0},
        {"short fields as typed", "1:2:3:4:5:6\n", 1, set("1:2:3:4:5:6"), 0},
        {"q", "q\n", 0, none, 0},
        {"q word is not q", "quit\nq\n", 0, none, 1},
        {"garbage then q", "zz\nq\n", 0, none, 1},
        {"empty then valid", "\n02:00:00:00:00:09\n", 1, set("02:00:00:00:00:09"), 1},
        {"command tail refused", "1:2:3:4:5:6;reboo\nq\n", 0, none, 1},
        {"blank inside refused", "00:11:22 33:44:55\nq\n", 0, none, 1},
        {"too long is cut by the editor", "00:11:22:33:44:5566\n", 1, set("00:11:22:33:44:55"), 0},
        {"break", sim::ConsoleScript("00:11").interrupt().keys("\n"), 0, none, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        boot_settings.break_flag = 0;
        b.clear_output();
        b.clear_events();
        b.input(row.input);
        EXPECT_EQ(rescue_set_mac_address(), row.result);
        EXPECT_EQ(b.commands(), row.commands);
        EXPECT_EQ(count_of(b.out(), "Invalid MAC address. Try again please\n"), row.invalid);
        EXPECT_EQ(count_of(b.out(), "MAC address (format nn:nn:nn:nn:nn:nn): "), row.invalid + 1);
    }
    EXPECT_EQ(net.eth0().mac, "00:11:22:33:44:55");
}

TEST_F(NetConfigTest, SetupChainsDialogueAndConfiguration) {
    net.set_dhcp_client(true);
    b.input("n\n192.168.5.9\n\n\n");
    EXPECT_EQ(net_setup(1), 1);
    EXPECT_EQ(b.commands(), Commands{"ifconfig eth0 192.168.5.9\n"});

    b.clear_events();
    b.input("\nq\n");
    EXPECT_EQ(net_setup(1), 0);
    EXPECT_TRUE(b.commands().empty());
}

}  // namespace
