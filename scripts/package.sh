#!/usr/bin/env bash
# Builds the Debian package into dist/: for this machine's architecture, or
# for ARCH (armhf, arm64, mipsel) with its cross toolchain.
# Usage: scripts/package.sh [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

native=$(dpkg --print-architecture)
arch=${1:-$native}
build=build-$arch
if [ "$arch" = "$native" ]; then
  ensure_packages g++ cmake ninja-build
  # No tests, no sanitizers: what goes into the package and nothing else.
  cmake -S . -B "$build" -G Ninja -DBUILD_TESTING=OFF -DKIV_SANITIZE=OFF >/dev/null
  cmake --build "$build" -j2
elif [ -f scripts/cross.sh ]; then
  bash scripts/cross.sh "$arch"
else
  [ -f "cmake/toolchains/$arch.cmake" ] || { echo "package: no toolchain for $arch" >&2; exit 1; }
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake" \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2
fi

# Made inside the build tree, then handed over: dist/ holds packages only.
rm -rf "$build/deb"
cpack --config "$build/CPackConfig.cmake" -B "$PWD/$build/deb" >/dev/null
deb=$(ls "$build"/deb/kiv_*.deb)
got=$(dpkg-deb -f "$deb" Architecture)
[ "$got" = "$arch" ] || { echo "package: $deb is for $got, not $arch" >&2; exit 1; }
mkdir -p dist
cp "$deb" dist/
echo "dist/$(basename "$deb")"
