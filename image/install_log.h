// Where the install log lives: the installer adds a line per installation, the trial boots one
// per return from an image that was not confirmed.
#pragma once

inline constexpr const char* INSTALL_LOG_PATH = "/user/install.log";
