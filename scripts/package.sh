#!/usr/bin/env bash
# Builds the Debian package into dist/: for this machine's architecture, or
# for ARCH (armhf, arm64, mipsel) with its cross toolchain.
# Usage: scripts/package.sh [ARCH]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# Two build jobs unless told otherwise: a small build machine stays usable.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
native=$(dpkg --print-architecture)
arch=${1:-$native}
build=${KIV_BUILD_DIR:-build-$arch}
if [ "$arch" = "$native" ]; then
  ensure_packages g++ cmake ninja-build
  # No tests, no sanitizers: what goes into the package and nothing else.
  cmake -S . -B "$build" -G Ninja -DBUILD_TESTING=OFF -DKIV_SANITIZE=OFF >/dev/null
  cmake --build "$build"
else
  bash scripts/cross.sh "$arch"
fi

# Made inside the build tree, then handed over: dist/ holds packages only.
build=$(cd "$build" && pwd)
rm -rf "$build/deb"
cpack --config "$build/CPackConfig.cmake" -B "$build/deb" >/dev/null
deb=$(ls "$build"/deb/kiv_*.deb)
got=$(dpkg-deb -f "$deb" Architecture)
[ "$got" = "$arch" ] || { echo "package: $deb is for $got, not $arch" >&2; exit 1; }
# One package per architecture there: an earlier version's goes.
mkdir -p dist
rm -f dist/kiv_*_"$arch".deb
cp "$deb" dist/
echo "dist/$(basename "$deb")"
