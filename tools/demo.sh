#!/bin/sh
# The demo: builds a small application archive, makes signed application images of it for both
# image slots, creates a simulated board in ./demo-board and boots it once, showing the road of
# a normal boot. Usage: tools/demo.sh [BIN_DIR]   (default build/bin; `make demo` passes it)
set -eu

bin="${1:-build/bin}"
here="$(cd "$(dirname "$0")" && pwd)"
src="$here/demo"
keys="$here/../keys/test"
board="${DEMO_BOARD:-demo-board}"

for tool in bootmgr-sim bootimg; do
    if [ ! -x "$bin/$tool" ]; then
        echo "demo: $bin/$tool is missing; build first (make build)" >&2
        exit 1
    fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/bootmgr-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT INT TERM

step() { printf '\n=== %s\n' "$*"; }

step "Application archive: a gzip tar with home/bin/install.sh, env-setup and mp.elf.strip"
mkdir -p "$work/app"
cp -R "$src/home" "$work/app/"
chmod 755 "$work/app/home/bin/install.sh" "$work/app/home/bin/mp.elf.strip"
chmod 644 "$work/app/home/bin/env-setup"
tar czf "$work/app.tar.gz" -C "$work/app" --owner=0 --group=0 --mtime=2025-01-01 home
tar tzvf "$work/app.tar.gz"

step "Application images for slot 1 (1.0.0.1) and slot 2 (1.0.0.0), signed with the test production key"
"$bin/bootimg" create --kind application --version 1.0.0.1 "$work/app.tar.gz" -o "$work/slot1.unsigned"
"$bin/bootimg" create --kind application --version 1.0.0.0 "$work/app.tar.gz" -o "$work/slot2.unsigned"
"$bin/bootimg" sign --key "$keys/test_production_key.pem" "$work/slot1.unsigned" -o "$work/slot1.img"
"$bin/bootimg" sign --key "$keys/test_production_key.pem" "$work/slot2.unsigned" -o "$work/slot2.img"
"$bin/bootimg" inspect "$work/slot1.img" "$work/slot2.img"

step "A fresh simulated board in $board with both slots programmed"
"$bin/bootmgr-sim" --board "$board" --new --serial DEMO00000001 --rtc '2025-12-24 13:45:30' \
    --boot-slot 1 --write "slot1=$work/slot1.img" --write "slot2=$work/slot2.img"

step "Power-up: the boot manager runs on the board's console"
status=0
"$bin/bootmgr-sim" --board "$board" </dev/null || status=$?

step "What the board saw (from $board/events.log)"
grep -E '^(system|exec|argv|env|board) ' "$board/events.log" | sed 's/^/  /'
echo "  files the archive brought to the board's /tmp:"
(cd "$board/root" && find tmp/home -type f | sort | sed 's/^/    \//')
echo "  key files the boot manager wrote to the board's /user at its first boot (AES under the serial):"
(cd "$board/root" && find user -name '*_key.pub.pem' -type f | sort | sed 's/^/    \//')

if [ "$status" -ne 0 ]; then
    echo "demo: the board did not start the application (exit status $status)" >&2
    exit 1
fi
if ! grep -q '^exec /bin/backtrace' "$board/events.log"; then
    echo "demo: no start of /bin/backtrace was recorded" >&2
    exit 1
fi

cat <<HINT

The board boots. To watch the fall-back to slot 2, break slot 1 and power up again:
  $bin/bootmgr-sim --board $board --corrupt slot1
  $bin/bootmgr-sim --board $board
To see both slots fail and the board reboot (exit status 10):
  $bin/bootmgr-sim --board $board --corrupt slot2
  $bin/bootmgr-sim --board $board
$bin/bootmgr-sim --help lists every option (boot environment, RTC, faults, installation).
HINT
