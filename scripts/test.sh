#!/usr/bin/env bash
# Sets up and runs every test: installs what is missing, builds the boxes'
# programs (armhf, arm64, mipsel), then builds and runs the suite twice,
# plainly and under AddressSanitizer + UBSan; the plain build's black-box
# tests also run each box's programs under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${KIV_BUILD_PACKAGES[@]}" "${KIV_FUZZ_PACKAGES[@]}" "${KIV_TOOL_PACKAGES[@]}" \
  "${KIV_CROSS_PACKAGES[@]}" "${KIV_PACKAGE_PACKAGES[@]}"
ensure_browser_packages

cross=
for arch in armhf arm64 mipsel; do
  echo "== build-$arch"
  # Into build-$arch, whatever the caller set; its package goes to dist/,
  # where the package test checks it.
  env -u KIV_BUILD_DIR bash scripts/package.sh "$arch"
  cross+="${cross:+;}$PWD/build-$arch"
done

for variant in build:OFF build-asan:ON; do
  dir=${variant%:*}
  echo "== $dir"
  cmake -S . -B "$dir" -G Ninja -DKIV_SANITIZE="${variant#*:}" -DKIV_CROSS_BUILDS="$cross" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2
done
