#!/usr/bin/env bash
# Builds the boot manager, the crypto library and the unit tests for the board's CPU (32-bit
# big-endian PowerPC) and runs the unit tests under qemu user-mode emulation.
#   tools/cross-test.sh [build-dir] [jobs]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-ppc}
jobs=${2:-$(nproc)}
toolchain=$src/cmake/toolchain-powerpc.cmake
# Tests that sign images run the host tool bootimg, which a cross build does not make.
if [ -z "${BOOTIMG:-}" ] || [ ! -x "$BOOTIMG" ]; then
  echo "cross-test: set BOOTIMG to a host build's bootimg (make cross-test does)" >&2
  exit 2
fi
export BOOTIMG

# GoogleTest for the target, from Debian's sources; built once per build directory.
gtest_prefix=$build/gtest-ppc
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DBUILD_GMOCK=ON \
    -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$build/gtest-build" -j "$jobs"
  cmake --install "$build/gtest-build" >/dev/null
fi

cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBOOTMGR_HOST_TOOLS=OFF -DGTest_DIR="$gtest_prefix/lib/cmake/GTest"
cmake --build "$build" -j "$jobs"

# The programs really are big-endian PowerPC, not host programs by mistake.
file -L "$build/bin/bootmgr" | grep -Eq 'ELF 32-bit MSB .*PowerPC' ||
  { echo "cross-test: $build/bin/bootmgr is not a 32-bit big-endian PowerPC program" >&2; exit 1; }

ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" -L unit
