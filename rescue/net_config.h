// Configuration of the management Ethernet port eth0.
#pragma once

#include <cstdint>

struct NetConfig {
    char interface_digit = '0';
    std::uint8_t use_dhcp = 0;
    std::uint32_t ip_address = 0;  // network byte order, as inet_aton gives it
    std::uint32_t ip_netmask = 0;
    std::uint32_t ip_gateway = 0;
};

int net_prompt_address(const char* prompt, std::uint32_t* address, int required, int usable_check);
int net_address_usable(std::uint32_t address);
int net_config_dialog(NetConfig* config, int offer_dhcp);
int net_apply_config(const NetConfig* config);
int net_link_up();
int net_setup(int offer_dhcp);
int rescue_set_mac_address();
