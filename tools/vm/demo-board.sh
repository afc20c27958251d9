#!/usr/bin/env bash
# A ready emulated board: the demo application archive (tools/demo) as signed application images
# in both slots (1.0.0.1 in slot 1, 1.0.0.0 in slot 2), boot slot 1, a serial number.
#   tools/vm/demo-board.sh BOARD_DIR     (BOOTIMG: the host build's bootimg)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
board=${1:?usage: tools/vm/demo-board.sh BOARD_DIR}
bootimg=${BOOTIMG:-$src/build/bin/bootimg}
[ -x "$bootimg" ] || { echo "vm: $bootimg missing: build the host tools (make vm does)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/bootmgr-vm-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app"
cp -R "$src/tools/demo/home" "$work/app/"
chmod 755 "$work/app/home/bin/install.sh" "$work/app/home/bin/mp.elf.strip"
tar czf "$work/app.tar.gz" -C "$work/app" --owner=0 --group=0 --mtime=2025-01-01 home
for n in 1 2; do
  "$bootimg" create --kind application --version "1.0.0.$((2 - n))" "$work/app.tar.gz" \
    -o "$work/slot$n.plain" >/dev/null
  "$bootimg" sign --key "$src/keys/test/test_production_key.pem" "$work/slot$n.plain" \
    -o "$work/slot$n.img" >/dev/null
done
echo "vm: a new demo board in $board"
"$here/board.py" new "$board" --serial DEMO00000001 --boot-slot 1 \
  --write "slot1=$work/slot1.img" --write "slot2=$work/slot2.img"
