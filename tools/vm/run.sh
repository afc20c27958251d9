#!/usr/bin/env bash
# One power-up of the emulated board: QEMU's ppce500 machine (e500v2 PowerPC) running the kernel
# and root file system that tools/vm/build.sh made, with the board's console on this terminal.
#   tools/vm/run.sh [options] BOARD_DIR
# The run ends when the board resets (QEMU runs with -no-reboot): the next run is the next
# power-up. /user is the file system in BOARD_DIR/user.img, written through as the board's is.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)

usage() {
  cat <<EOF
usage: tools/vm/run.sh [options] BOARD_DIR
Powers up the emulated board kept in BOARD_DIR (see tools/vm/board.py --help; a missing
BOARD_DIR is created as a demo board with signed images in both slots).

  --build DIR        where tools/vm/build.sh put vm.env (default: build-vm)
  --timeout SEC      kill a board that has not reset after SEC seconds (default 900,
                     or VM_TIMEOUT); the last console lines are shown
  --rtc TIME         start the RTC at TIME (YYYY-MM-DDThh:mm:ss, UTC); default: now
  --i2c-trace FILE   record every I2C transfer (QEMU's i2c_event/i2c_send trace) in FILE
  --raw              console without QEMU's escape key: every byte reaches the board
                     (needed for XMODEM); the board then ends only by its own reset or the
                     time limit. Without it, Ctrl-A x leaves QEMU.
  -h, --help         this text

Exit status: 0 the board reset, 1 a board file is missing or malformed, 2 usage error,
3 the time limit killed the board, 4 QEMU failed, 5 QEMU was killed (a power cut: its process
id is in BOARD_DIR/qemu.pid while it runs).
EOF
}

build=$src/build-vm
timeout_s=${VM_TIMEOUT:-900}
rtc=utc
trace=
raw=
board=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    --rtc) rtc=$2; shift 2 ;;
    --i2c-trace) trace=$2; shift 2 ;;
    --raw) raw=1; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "vm: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) [ -z "$board" ] || { echo "vm: one board directory only" >&2; exit 2; }
       board=$1; shift ;;
  esac
done
[ -n "$board" ] || { usage >&2; exit 2; }
case $timeout_s in ''|*[!0-9]*) echo "vm: --timeout wants whole seconds" >&2; exit 2 ;; esac

[ -f "$build/vm.env" ] || { echo "vm: $build/vm.env missing: run make vm (or tools/vm/build.sh)" >&2; exit 1; }
# shellcheck source=/dev/null
. "$build/vm.env"
for f in "$VM_KERNEL" "$VM_INITRD"; do
  [ -f "$f" ] || { echo "vm: $f missing: run tools/vm/build.sh again" >&2; exit 1; }
done
export BOOTIMG=${BOOTIMG:-$VM_BOOTIMG}

if [ ! -e "$board" ]; then
  "$here/demo-board.sh" "$board" || exit 1
fi
"$here/board.py" check "$board" || exit 1
board=$(cd "$board" && pwd)

saved_tty=
cleanup() {
  [ -z "$saved_tty" ] || stty "$saved_tty" 2>/dev/null || true
  rm -f "$board/qemu.pid"
}
trap cleanup EXIT

log=$board/console.log
: >"$log"
args=(-M ppce500 -m 256 -nodefaults -display none -no-reboot
      -kernel "$VM_KERNEL" -initrd "$VM_INITRD"
      -append "console=ttyS0 quiet mtdparts=flash:15M@48M(rfs)"
      -rtc "base=$rtc"
      -drive "file=$board/flash.img,format=raw,if=none,id=flash"
      -device virtio-blk-pci,drive=flash
      -drive "file=$board/user.img,format=raw,if=none,id=user"
      -device virtio-blk-pci,drive=user
      -drive "file=$board/eeprom.img,format=raw,if=none,id=eeprom"
      -device at24c-eeprom,address=0x54,rom-size=8192,drive=eeprom
      # No LED controller model: a device at 0x60 answers the transfers; the trace shows them.
      -device at24c-eeprom,address=0x60,rom-size=256
      -nic "user,model=virtio-net-pci,tftp=$board/tftp"
      -pidfile "$board/qemu.pid")
if [ -n "$raw" ]; then
  args+=(-chardev "stdio,id=con,signal=off,logfile=$log" -serial chardev:con -monitor none)
else
  args+=(-chardev "stdio,id=con,signal=off,mux=on,logfile=$log" -serial chardev:con
         -mon chardev=con,mode=readline)
fi
[ -z "$trace" ] || args+=(-d trace:i2c_event,trace:i2c_send -D "$trace")

# The board's own line discipline already turns \n into \r\n; the host terminal must not again.
if [ -t 0 ]; then
  saved_tty=$(stty -g)
  stty -onlcr
fi
status=0
started=$SECONDS
timeout --foreground -k 5 "$timeout_s" qemu-system-ppc "${args[@]}" || status=$?
[ -z "$saved_tty" ] || stty "$saved_tty"
if [ "$status" -eq 137 ] && [ $((SECONDS - started)) -lt "$timeout_s" ]; then
  echo "vm: QEMU was killed: the power went" >&2
  exit 5
fi
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo >&2
  echo "vm: the board did not reset within $timeout_s s and was stopped; last console lines:" >&2
  tail -n 15 "$log" | sed 's/^/  | /' >&2
  exit 3
fi
if [ "$status" -ne 0 ]; then
  echo "vm: qemu-system-ppc failed (status $status)" >&2
  exit 4
fi
exit 0
