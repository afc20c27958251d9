#include "rescue/net_config.h"

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "boot/boot_settings.h"
#include "boot/console.h"
#include "platform/console_io.h"
#include "platform/platform.h"
#include "rescue/input_check.h"

namespace {

constexpr const char* kDhcpClientPath = "/bin/dhclient";
constexpr const char* kLinkInterface = "eth0";
constexpr std::size_t kAnswerSize = 128;
constexpr std::size_t kMacAnswerSize = 18;  // six two-digit fields with colons, and the NUL
constexpr unsigned kStaticSettleSeconds = 5;
constexpr unsigned kDhcpSettleSeconds = 3;
constexpr int kConfigureTicks = 20;

void sleep_seconds(unsigned seconds) {
    platform::os().sleep_ms(seconds * 1000U);
}

// Command texts are short and built from checked values; one that would not fit is not run.
template <typename... Args>
void run_command(const char* format, Args... args) {
    std::array<char, 256> command{};
    const int n = std::snprintf(command.data(), command.size(), format, args...);
    if (n < 0 || static_cast<std::size_t>(n) >= command.size()) return;
    platform::os().system(command.data());
}

bool file_exists(const char* path) {
    struct stat st {};
    return platform::os().stat(path, &st) == 0;
}

// Owns the link-test socket so that every return path closes it.
class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) platform::os().close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

int net_prompt_address(const char* prompt, std::uint32_t* address, int required, int usable_check) {
    std::array<char, kAnswerSize> line{};
    for (;;) {
        out_printf("%s", prompt);
        out_flush();
        console_read_line(line.data(), line.size());
        // A Ctrl-C during the line leaves the dialogue rather than acting on a half-typed answer.
        if (boot_settings.break_flag) return 0;
        if (line[0] == 'q' || line[0] == 'Q') return 0;
        if (line[0] == '\0' && required == 0) return 1;
        std::uint32_t parsed = 0;
        if (!rescue_parse_ipv4(line.data(), &parsed)) {
            out_puts("Invalid IP address. Try again please");
            continue;
        }
        if (usable_check == 1 && net_address_usable(parsed) == 0) {
            out_printf("Invalid IP address %s. Try again please\n", line.data());
            continue;
        }
        *address = parsed;
        return 1;
    }
}

int net_address_usable(std::uint32_t address) {
    const unsigned first = rescue_ipv4_first_field(address);
    if (address == 0 || first == 0 || first >= 240) return 0;
    return 1;
}

int net_config_dialog(NetConfig* config, int offer_dhcp) {
    config->use_dhcp = 0;
    if (offer_dhcp == 1 && file_exists(kDhcpClientPath)) {
        std::array<char, kAnswerSize> line{};
        out_printf("Confirm: Use DHCP for network configuration? y/N: ");
        out_flush();
        console_read_line(line.data(), line.size());
        if (boot_settings.break_flag) return 0;
        if (line[0] == 'y' || line[0] == 'Y') config->use_dhcp = 1;
        out_printf("\n");
    }
    if (config->use_dhcp == 1) return 1;

    struct Question {
        const char* prompt;
        std::uint32_t* field;
        int required;
        int usable_check;
    };
    const std::array<Question, 3> questions{{
        {"IP addr    :", &config->ip_address, 1, 1},
        {"Netmask    :", &config->ip_netmask, 0, 0},
        {"Gateway    :", &config->ip_gateway, 0, 1},
    }};
    for (const Question& q : questions) {
        if (net_prompt_address(q.prompt, q.field, q.required, q.usable_check) == 0) return 0;
    }
    return 1;
}

int net_apply_config(const NetConfig* config) {
    const char digit = config->interface_digit;
    if (config->use_dhcp == 1) {
        run_command("dhclient -1 eth%c", digit);
        sleep_seconds(kDhcpSettleSeconds);
    } else {
        run_command("ifconfig eth%c %s\n", digit, rescue_format_ipv4(config->ip_address).data());
        if (config->ip_netmask != 0) {
            const auto netmask = rescue_format_ipv4(config->ip_netmask);
            out_printf("\tNetmask    : %s\n", netmask.data());
            run_command("ifconfig eth%c down\n", digit);
            run_command("ifconfig eth%c netmask %s\n", digit, netmask.data());
            run_command("ifconfig eth%c up\n", digit);
        }
        sleep_seconds(kStaticSettleSeconds);
        if (config->ip_gateway != 0) {
            const auto gateway = rescue_format_ipv4(config->ip_gateway);
            out_printf("\tGateway    : %s\n", gateway.data());
            run_command("route add default gw %s\n", gateway.data());
        }
        out_printf("Configuring management port...");
        for (int i = 0; i < kConfigureTicks; ++i) {
            sleep_seconds(1);
            out_printf(".");
            out_flush();
        }
        out_printf("\n");
        sleep_seconds(1);
    }
    if (digit == '0' && net_link_up() == 0) {
        out_puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int net_link_up() {
    Socket sock(platform::os().socket(AF_INET, SOCK_DGRAM, 0));
    if (sock.fd() < 0) {
        out_puts("Raw Socket open error");
        return 0;
    }
    struct ifreq request {};
    std::strncpy(request.ifr_name, kLinkInterface, IFNAMSIZ - 1);
    if (platform::os().ioctl(sock.fd(), SIOCGIFINDEX, &request) < 0) {
        out_printf("Open Interface %s error.\n", kLinkInterface);
        return 0;
    }
    if (platform::os().ioctl(sock.fd(), SIOCGIFFLAGS, &request) < 0) {
        out_puts("Open flags error.");
        return 0;
    }
    const unsigned flags = static_cast<unsigned short>(request.ifr_flags);
    struct ethtool_value link {};
    link.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char*>(&link);
    if (platform::os().ioctl(sock.fd(), SIOCETHTOOL, &request) < 0) {
        out_puts("EthTool GLINK error.");
        return 0;
    }
    const bool up = link.data != 0 && (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
    return up ? 1 : 0;
}

int net_setup(int offer_dhcp) {
    NetConfig config{};
    if (net_config_dialog(&config, offer_dhcp) == 0) return 0;
    return net_apply_config(&config);
}

int rescue_set_mac_address() {
    std::array<char, kMacAnswerSize> line{};
    for (;;) {
        out_printf("MAC address (format nn:nn:nn:nn:nn:nn): ");
        out_flush();
        console_read_line(line.data(), line.size());
        if (boot_settings.break_flag) return 0;
        if (std::strcmp(line.data(), "q") == 0) return 0;
        // The text goes into the command as typed, so it must be nothing but the address.
        if (rescue_valid_mac(line.data())) {
            run_command("ifconfig eth%c hw ether %s\n", '0', line.data());
            return 1;
        }
        out_puts("Invalid MAC address. Try again please");
    }
}
