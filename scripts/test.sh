#!/usr/bin/env bash
# Sets up and runs every test: installs what is missing, then builds and runs
# the suite twice, plainly and under AddressSanitizer + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${KIV_BUILD_PACKAGES[@]}" "${KIV_FUZZ_PACKAGES[@]}" "${KIV_TOOL_PACKAGES[@]}"
ensure_browser_packages

for variant in build:OFF build-asan:ON; do
  dir=${variant%:*}
  echo "== $dir"
  cmake -S . -B "$dir" -G Ninja -DKIV_SANITIZE="${variant#*:}" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2
done
