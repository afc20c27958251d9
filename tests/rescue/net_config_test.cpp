#include "rescue/net_config.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>

#include <filesystem>
#include <functional>
#include <map>

#include "boot/boot_sequence.h"
#include "boot/boot_settings.h"
#include "rescue/input_check.h"
#include "sim/sim_network.h"
#include "tests/support/board_fixture.h"
#include "tests/support/table.h"

namespace {

std::string dotted(std::uint32_t a) {
    return rescue_format_ipv4(a).data();
}
std::uint32_t address(const std::string& text) {
    std::uint32_t a = 0;
    rescue_parse_ipv4(text.c_str(), &a);
    return a;
}
auto open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// The operation of a row, from its argument text; it returns the result and leaves in `values`
// what it set.
using Op = std::function<std::string(const std::string& arg, std::string& values)>;

TABLE_TEST(NetConfig, "tests/rescue/data/net_config.tsv") {
    const std::map<std::string, Op> ops = {
        {"usable", [](const std::string& a,
                      std::string&) { return std::to_string(net_address_usable(address(a))); }},
        {"prompt",
         [](const std::string& a, std::string& v) {
             std::uint32_t ip = address("9.9.9.9");
             const int r = net_prompt_address("IP addr    :", &ip, a[0] - '0', a[1] - '0');
             v = dotted(ip);
             return std::to_string(r);
         }},
        {"dialog",
         [](const std::string& a, std::string& v) {
             NetConfig c{};
             c.use_dhcp = 1;  // the dialogue starts by clearing it
             const int r = net_config_dialog(&c, std::stoi(a));
             v = std::to_string(c.use_dhcp) + " " + dotted(c.ip_address) + " " +
                 dotted(c.ip_netmask) + " " + dotted(c.ip_gateway);
             return std::to_string(r);
         }},
        {"apply",
         [](const std::string& a, std::string&) {
             auto w = split(a, ' ');  // IP MASK GATEWAY, or dhcp
             w.resize(3);
             NetConfig c{'0', w[0] == "dhcp", address(w[0]), address(w[1]), address(w[2])};
             return std::to_string(net_apply_config(&c));
         }},
        {"link",
         [](const std::string& a, std::string&) {
             std::string r;
             for (int n = std::stoi(a); n > 0; --n) r += std::to_string(net_link_up());
             return r;
         }},
        {"mac",
         [](const std::string&, std::string&) { return std::to_string(rescue_set_mac_address()); }},
        {"setup", [](const std::string& a,
                     std::string&) { return std::to_string(net_setup(std::stoi(a))); }},
    };
    const std::map<std::string, unsigned long> requests = {
        {"index", SIOCGIFINDEX}, {"flags", SIOCGIFFLAGS}, {"ethtool", SIOCETHTOOL}};
    TestBoard b;
    sim::SimNetwork net(b.board());
    install_interrupt_handler();
    boot_settings.break_flag = 0;
    for (const auto& [word, value] : row.words(
             "board", {"nodhclient", "nolink", "eth0", "later", "index", "flags", "ethtool"})) {
        if (word == "nodhclient") net.set_dhcp_client(false);
        if (word == "nolink") net.set_link(false);
        if (word == "eth0") net.ifconfig({"ifconfig", "eth0", "1.2.3.4"});
        if (word == "later") net.set_link_schedule({false, false, true});
        if (requests.contains(word)) net.fail_request(requests.at(word), EIO);
    }
    b.input(console_script(row["input"]));
    const int fds = open_descriptors();
    const auto ms = b->virtual_ms();
    std::string values;
    const std::string op = row["op"];
    const std::string result =
        ops.at(op.substr(0, op.find(' ')))(op.substr(op.find(' ') + 1), values);
    if (op.starts_with("apply")) {
        values = std::to_string((b->virtual_ms() - ms) / 1000) + "s " + net.eth0().address + " " +
                 net.eth0().gateway + (net.eth0().dhcp ? " dhcp" : "");
    }
    if (op.starts_with("mac")) values = net.eth0().mac;
    if (op.starts_with("link")) values = std::to_string(net.link_queries()) + " queries";
    EXPECT_EQ(result, row["result"]);
    EXPECT_EQ(values, row["values"]);
    EXPECT_EQ(b.commands(), row.list("commands"));
    EXPECT_EQ(b.out(), row["out"]);
    EXPECT_EQ(open_descriptors(), fds) << "every descriptor is closed again";
    boot_settings.break_flag = 0;
}

}  // namespace
