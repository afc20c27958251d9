// The subcommands of bootimg. Adding one is one row here and its cmd_<name> in its own file.
#pragma once

#include <span>

#define BOOTIMG_SUBCOMMANDS(ROW)                                                 \
    ROW(create, "build an image of any kind from a payload file")                \
    ROW(inspect, "list every image of an image file or package, with CRC state") \
    ROW(package, "join images into one package")                                 \
    ROW(sign, "sign an image's payload with an RSA private key")                 \
    ROW(keyfile, "write a unit's encrypted key file for its serial number")

namespace bootimg {

#define BOOTIMG_DECLARE(name, summary) int cmd_##name(std::span<char* const> args);
BOOTIMG_SUBCOMMANDS(BOOTIMG_DECLARE)
#undef BOOTIMG_DECLARE

}  // namespace bootimg
