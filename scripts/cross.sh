#!/usr/bin/env bash
# Builds the programs for a box's processor with Debian's cross compilers:
#   scripts/cross.sh armhf|arm64|mipsel   ->  build-ARCH/ (static programs)
# Installs the cross compiler and qemu-user (which runs the result here) if
# they are missing. KIV_BUILD_DIR chooses another build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

arch=${1:?usage: scripts/cross.sh armhf|arm64|mipsel}
case $arch in
  armhf) compiler=g++-arm-linux-gnueabihf ;;
  arm64) compiler=g++-aarch64-linux-gnu ;;
  mipsel) compiler=g++-mipsel-linux-gnu ;;
  *) echo "cross: unknown architecture $arch (armhf, arm64 or mipsel)" >&2; exit 1 ;;
esac
ensure_packages cmake ninja-build "$compiler" qemu-user

build=${KIV_BUILD_DIR:-build-$arch}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$arch.cmake" \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build"
