#!/bin/sh
# Memcheck over the roads a board takes most: a normal boot from a good slot, the fall-back to the
# other slot, the reboot when neither slot is bootable, and the installation of a signed package
# followed by the boot of what it installed. Any memcheck error or definite leak fails the run,
# as does a road that ends otherwise than it must.
#
# usage: tools/valgrind-roads.sh [BIN_DIR]     (default: build/bin; needs bootmgr-sim and bootimg)
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$here/build/bin}" && pwd)
sim="$bin/bootmgr-sim"
bootimg="$bin/bootimg"
key="$here/keys/test/test_production_key.pem"
for tool in "$sim" "$bootimg"; do
    [ -x "$tool" ] || { echo "valgrind-roads: $tool is missing; build first" >&2; exit 2; }
done
command -v valgrind >/dev/null || { echo "valgrind-roads: valgrind is not installed" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/valgrind-roads.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
board="$work/board"

# An application archive as a vendor builds one, and the images made from it.
mkdir -p "$work/app/home/bin"
printf '#!/bin/sh\necho valgrind road install script\n' >"$work/app/home/bin/install.sh"
chmod 755 "$work/app/home/bin/install.sh"
tar -C "$work/app" -czf "$work/app.tar.gz" home
head -c 70000 /dev/urandom >"$work/blob"
make_image() {  # kind version payload output
    "$bootimg" create --kind "$1" --version "$2" "$3" -o "$4" >/dev/null
}
make_image application 1.0.0.1 "$work/app.tar.gz" "$work/old1.img"
make_image application 1.0.0.2 "$work/app.tar.gz" "$work/old2.img"
for kind in application kernel rfs; do
    make_image "$kind" 2.0.0.9 "$work/$([ $kind = application ] && echo app.tar.gz || echo blob)" \
        "$work/$kind.unsigned"
    "$bootimg" sign --key "$key" "$work/$kind.unsigned" -o "$work/$kind.img" >/dev/null
done
"$bootimg" package -o "$work/package" "$work/application.img" "$work/kernel.img" "$work/rfs.img" \
    >/dev/null

prepare() {  # options that set the board up, run without valgrind
    "$sim" --board "$board" "$@" >"$work/prepare.log" 2>&1 ||
        { cat "$work/prepare.log" >&2; echo "valgrind-roads: preparing the board failed" >&2; exit 1; }
}

failures=0
# road NAME EXPECTED_STATUS EXPECTED_TEXT bootmgr-sim options...
road() {
    name=$1 want=$2 text=$3
    shift 3
    rm -f "$work"/vg.*.log
    set +e
    valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
        --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes \
        --log-file="$work/vg.%p.log" "$sim" --board "$board" "$@" </dev/null >"$work/out.log" 2>&1
    status=$?
    set -e
    summary=$(cat "$work"/vg.*.log | grep -h 'ERROR SUMMARY' | sed 's/ (suppressed.*//; s/^==[0-9]*== //')
    errors=$(cat "$work"/vg.*.log | grep -h 'ERROR SUMMARY' | awk '{ n += $4 } END { print n + 0 }')
    if [ "$status" -ne "$want" ] || [ "$errors" -ne 0 ] || ! grep -qF "$text" "$work/out.log"; then
        failures=$((failures + 1))
        echo "FAIL $name: exit status $status (wanted $want), $errors memcheck errors"
        cat "$work/out.log" "$work"/vg.*.log
    else
        echo "ok   $name: exit status $status; $(echo "$summary" | head -n 1)"
    fi
}

prepare --new --rtc '2025-12-24 13:45:30' --write "slot1=$work/old1.img" --write "slot2=$work/old2.img"
road "boot from the good slot" 0 "exec /bin/backtrace"

prepare --corrupt slot1
road "fall-back to the other slot" 0 "Image1 CRC failed, trying Image2 now."

prepare --corrupt slot2
road "reboot, neither slot bootable" 10 "Both image1 and image2 failed."

road "install a signed package" 0 "Image2 updated succeeded" --install "$work/package" --slot 2
road "boot what was installed" 0 "exec /bin/backtrace"

[ "$failures" -eq 0 ] || { echo "valgrind-roads: $failures road(s) failed" >&2; exit 1; }
echo "valgrind-roads: every road clean"
