// The installed versions display.
#pragma once

int show_installed_versions();
