#!/usr/bin/env bash
# Builds what the emulated board runs, each piece once and cached outside the work tree under a
# key made from its inputs (BOOTMGR_VM_CACHE, default ~/.cache/bootmgr-vm):
#   kernel-KEY/vmlinux     Linux for QEMU's ppce500 machine (tinyconfig + tools/vm/kernel.config)
#   busybox-KEY/busybox    static BusyBox from Debian's source package (tools/vm/busybox.config);
#                          its rx applet is the board's XMODEM receiver "/usr/bin/rx"
# then the static cross-built bootmgr (in BUILD, default build-vm) and the initramfs.
#   tools/vm/build.sh [build-dir] [jobs]
# Prints nothing on a cached run but the path of the finished initramfs on the last line.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
vm=$src/tools/vm
build=${1:-$src/build-vm}
jobs=${2:-$(nproc)}
cache=${BOOTMGR_VM_CACHE:-$HOME/.cache/bootmgr-vm}
cross=powerpc-linux-gnu-
mkdir -p "$cache" "$build"

say() { echo "vm-build: $*" >&2; }
die() { echo "vm-build: $*" >&2; exit 1; }
# A key over the given files and strings: the same inputs always find the same cached build.
key() { { for a in "$@"; do if [ -f "$a" ]; then cat "$a"; else echo "$a"; fi; done; } |
        sha256sum | cut -c1-16; }
pkgver() { dpkg-query -W -f '${Version}' "$1" 2>/dev/null || echo none; }
ccver=$(${cross}gcc --version | head -1)
# ccache speeds up rebuilds after a changed option when it is there; a fresh machine needs none.
cc="${cross}gcc"
command -v ccache >/dev/null && cc="ccache ${cross}gcc"

# Debian source packages through a private sources list (the system's own entries, as deb-src)
# and a private lists directory: the system's apt configuration stays as it is.
apt_src() {
  local pkg=$1 dest=$2 apt=$cache/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
  if [ ! -f "$apt/configured" ]; then
    { for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"; done; true; } \
      >"$apt/sources.list"
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/$(basename "$f")"
    done
    touch "$apt/configured"
  fi
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o "Debug::NoLocking=1" -o "APT::Sandbox::User=$(id -un)")
  update() {
    say "fetching the source package lists"
    apt-get "${opts[@]}" -qq update >&2 || die "apt-get update failed (network?)"
    touch "$apt/updated"
  }
  [ -f "$apt/updated" ] || update
  mkdir -p "$dest"
  # Lists from an earlier build may name a version the archive no longer has: refresh once.
  (cd "$dest" && apt-get "${opts[@]}" -qq source "$pkg" >&2) || {
    update
    (cd "$dest" && apt-get "${opts[@]}" -qq source "$pkg" >&2) || die "apt-get source $pkg failed"
  }
}

# --- kernel ------------------------------------------------------------------------------------
kkey=$(key "$vm/kernel.config" "$(pkgver linux-source-6.1)" "$ccver")
kdir=$cache/kernel-$kkey
if [ ! -f "$kdir/vmlinux" ]; then
  say "building the kernel (a few minutes) in $kdir"
  tarball=/usr/src/linux-source-6.1.tar.xz
  [ -f "$tarball" ] || die "$tarball missing: apt-get install linux-source-6.1"
  rm -rf "$kdir.tmp" && mkdir -p "$kdir.tmp"
  tar -C "$kdir.tmp" -xf "$tarball"
  ksrc=$(echo "$kdir.tmp"/linux-source-*)
  kmake=(make -C "$ksrc" ARCH=powerpc CROSS_COMPILE=$cross "CC=$cc" -j "$jobs")
  # The merge reports every option it overrides; kept in a log, shown only when it fails.
  "${kmake[@]}" -s tinyconfig >"$kdir.tmp/config.log" 2>&1 || { cat "$kdir.tmp/config.log" >&2; die "tinyconfig failed"; }
  cp "$vm/kernel.config" "$ksrc/arch/powerpc/configs/bootmgr-vm.config"
  "${kmake[@]}" -s bootmgr-vm.config >>"$kdir.tmp/config.log" 2>&1 ||
    { cat "$kdir.tmp/config.log" >&2; die "merging tools/vm/kernel.config failed"; }
  # Every option of the fragment must have survived the merge, or the board misses a device.
  while IFS= read -r line; do
    case $line in CONFIG_*=*) grep -qx "$line" "$ksrc/.config" ||
      { [ "${line#*=}" = n ] && ! grep -q "^${line%%=*}=" "$ksrc/.config"; } ||
      die "kernel option $line did not take (dependency missing?)";; esac
  done <"$vm/kernel.config"
  "${kmake[@]}" -s vmlinux >&2
  gcc -O2 -o "$kdir.tmp/gen_init_cpio" "$ksrc/usr/gen_init_cpio.c"
  cp "$ksrc/vmlinux" "$ksrc/.config" "$kdir.tmp/"
  rm -rf "$ksrc" "$kdir"
  mv "$kdir.tmp" "$kdir"
fi

# --- BusyBox -----------------------------------------------------------------------------------
bkey=$(key "$vm/busybox.config" "$ccver" "$(apt-cache policy busybox 2>/dev/null | sed -n "s/ *Candidate: //p")")
bdir=$cache/busybox-$bkey
if [ ! -f "$bdir/busybox" ]; then
  say "building BusyBox (a minute or two) in $bdir"
  rm -rf "$bdir.tmp" && mkdir -p "$bdir.tmp"
  apt_src busybox "$bdir.tmp/src"
  bsrc=$(find "$bdir.tmp/src" -mindepth 1 -maxdepth 1 -type d -name 'busybox-*' | head -1)
  [ -n "$bsrc" ] || die "apt-get source busybox left no source tree"
  bmake=(make -C "$bsrc" CROSS_COMPILE=$cross "CC=$cc" -j "$jobs")
  "${bmake[@]}" -s allnoconfig >/dev/null
  # The fragment's lines replace the default's, then oldconfig settles what depends on them.
  while IFS= read -r line; do
    case $line in
      CONFIG_*=*) name=${line%%=*} ;;
      "# CONFIG_"*" is not set") name=${line#\# }; name=${name%% *} ;;
      *) continue ;;
    esac
    sed -i "/^$name=/d;/^# $name is not set/d" "$bsrc/.config"
    echo "$line" >>"$bsrc/.config"
  done <"$vm/busybox.config"
  { yes '' || true; } | "${bmake[@]}" -s oldconfig >/dev/null
  while IFS= read -r line; do
    case $line in CONFIG_*=*) grep -qx "$line" "$bsrc/.config" ||
      die "BusyBox option $line did not take";; esac
  done <"$vm/busybox.config"
  "${bmake[@]}" -s busybox busybox.links >&2
  file "$bsrc/busybox" | grep -q 'statically linked' || die "BusyBox did not link statically"
  cp "$bsrc/busybox" "$bsrc/busybox.links" "$bsrc/.config" "$bdir.tmp/"
  rm -rf "$bdir.tmp/src" "$bdir"
  mv "$bdir.tmp" "$bdir"
fi

# --- bootmgr, static, for the board's CPU ------------------------------------------------------
cmake -S "$src" -B "$build/bootmgr" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-powerpc.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBOOTMGR_TESTS=OFF -DBOOTMGR_HOST_TOOLS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$build/bootmgr" -j "$jobs" --target bootmgr >&2
bootmgr=$build/bootmgr/bin/bootmgr
file -L "$bootmgr" | grep -Eq 'ELF 32-bit MSB .*PowerPC.*statically linked' ||
  die "$bootmgr is not a static 32-bit big-endian PowerPC program"

# --- the initial root file system --------------------------------------------------------------
list=$build/initramfs.list
{
  for d in /dev /proc /sys /tmp /user /etc /etc/init.d /bin /sbin /usr /usr/bin /usr/sbin \
           /usr/share /usr/share/udhcpc /root /var /mnt; do
    echo "dir $d 755 0 0"
  done
  echo "nod /dev/console 600 0 0 c 5 1"
  echo "file /bin/busybox $bdir/busybox 755 0 0"
  echo "slink /init /bin/busybox 777 0 0"
  sed 's|.*|slink & /bin/busybox 777 0 0|' "$bdir/busybox.links" | grep -v '^slink /bin/busybox '
  echo "file /sbin/bootmgr $bootmgr 755 0 0"
  (cd "$vm/rootfs" && find . -type f | sort) | while read -r f; do
    mode=644; [ -x "$vm/rootfs/$f" ] && mode=755
    echo "file ${f#.} $vm/rootfs/${f#./} $mode 0 0"
  done
} >"$list"
# Stand-ins of the rootfs skeleton replace BusyBox links of the same name.
skel=$(cd "$vm/rootfs" && find . -type f | sed 's|^\.||')
for f in $skel; do sed -i "\\|^slink $f |d" "$list"; done
"$kdir/gen_init_cpio" "$list" | gzip -9n >"$build/initramfs.cpio.gz.tmp"
mv "$build/initramfs.cpio.gz.tmp" "$build/initramfs.cpio.gz"

cat >"$build/vm.env" <<ENV
VM_KERNEL=$kdir/vmlinux
VM_INITRD=$build/initramfs.cpio.gz
VM_BOOTIMG=${BOOTIMG:-$src/build/bin/bootimg}
ENV
echo "$build/initramfs.cpio.gz"
