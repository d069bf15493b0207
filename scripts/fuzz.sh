#!/usr/bin/env bash
# Runs the fuzz targets one after the other, each for SECONDS (default 60),
# and prints the executions and findings of each. Usage:
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Targets: request upload bencode config trim quote origin inside record
# state control (all by default). The corpus each run grows is kept in the build
# tree and used again next time;
# findings (inputs that crashed or broke a property) land beside it, and
# the script fails when there is any. Builds the sanitizer tree when
# KIV_FUZZ_BUILD_DIR names no built targets.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(request upload bencode config trim quote origin inside record state control)

build=${KIV_FUZZ_BUILD_DIR:-build-asan/fuzz/clang}
if [ ! -x "$build/fuzz_${targets[0]}" ]; then
  . scripts/packages.sh
  ensure_packages "${KIV_BUILD_PACKAGES[@]}" "${KIV_FUZZ_PACKAGES[@]}"
  cmake -S . -B build-asan -G Ninja -DKIV_SANITIZE=ON >/dev/null
  cmake --build build-asan --target kiv_fuzz >/dev/null
  build=build-asan/fuzz/clang
fi

# Inputs long enough to matter to each target, short enough to run fast:
# an upload must be able to outgrow the receiver's window.
max_len() {
  case $1 in
    upload) echo 140000 ;;
    trim) echo 16384 ;;
    state) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

failed=0
printf '%-8s %12s %9s\n' target executions findings
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  log=$build/findings/$target.log
  before=$(ls "$findings" | wc -l)
  status=0
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len="$(max_len "$target")" -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "$source/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(( $(ls "$findings" | wc -l) - before ))
  printf '%-8s %12s %9s\n' "$target" "${executions:-?}" "$found"
  if [ "$status" -ne 0 ] || [ "$found" -gt 0 ]; then
    failed=1
    echo "--- $target failed (status $status); its log: $log" >&2
    grep -A12 -E '^==[0-9]+==ERROR|PROPERTY BROKEN|SUMMARY' "$log" | head -40 >&2 || true
  fi
done
exit $failed
