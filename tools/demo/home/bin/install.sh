#!/bin/sh
# Install step of the demo application. The boot manager runs it once per boot, after unpacking
# the application archive into /tmp and before the application starts. On the simulated board
# the board's root directory is in BOARD_ROOT; on a real board it is empty.
root="${BOARD_ROOT:-}"
mkdir -p "$root/tmp/home/etc" || exit 1
echo "demo-switch 1.0 installed" > "$root/tmp/home/etc/installed"
echo "install.sh: demo application installed in /tmp/home"
