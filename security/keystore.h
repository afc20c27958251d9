// The public keys against which image signatures are verified.
#pragma once

#include <cstdint>

inline constexpr const char* PRODUCTION_KEY_PATH = "/user/production_key.pub.pem";
inline constexpr const char* DEVELOPMENT_KEY_PATH = "/user/development_key.pub.pem";

struct KeyRecord {
    std::uint16_t length = 0;
    std::uint8_t data[512] = {};
};

int imgsign_load_key(KeyRecord* record, const char* path);
int imgsign_keys_present();
