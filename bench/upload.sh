#!/usr/bin/env bash
# kiv-upload receiving a 256 MiB file from a pipe against `cat | cat > file`
# on the same data, and its peak memory for bodies of 1 MiB and 4 GiB.
# Usage: bench/upload.sh [BUILD_DIR] (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages time bc
upload=$PWD/${1:-build}/upload/kiv-upload

. bench/setup.sh

export HTTP_COOKIE=curdir=/ CONTENT_TYPE='multipart/form-data; boundary=----B0'
body() {  # body FILE-OR-SIZE
  printf -- '------B0\r\nContent-Disposition: form-data; name="up"; filename="up.bin"\r\n\r\n'
  if [ -f "$1" ]; then cat "$1"; else head -c "$1" /dev/zero; fi
  printf -- '\r\n------B0--\r\n'
}
seconds() { local s=$(date +%s%N); "$@"; echo "scale=3; ($(date +%s%N) - $s) / 1000000000" | bc; }

head -c $((256 << 20)) /dev/urandom > "$work/data"
body "$work/data" > /dev/null  # warm the page cache
ours=$(seconds sh -c "$(declare -f body); body '$work/data' | '$upload' > /dev/null")
cmp -s "$work/data" "$dnl/up.bin" || { echo "stored file differs" >&2; exit 1; }
rm -f "$dnl/up.bin"
theirs=$(seconds sh -c "$(declare -f body); body '$work/data' | cat | cat > '$dnl/cat.bin'")
rm -f "$dnl/cat.bin" "$work/data"
printf '256 MiB from a pipe: kiv-upload %s s, cat | cat > file %s s, ratio %s (goal <= 1.15)\n' \
  "$ours" "$theirs" "$(echo "scale=2; $ours / $theirs" | bc)"

for size in $((1 << 20)) $((4 << 30)); do
  peak=$( { body "$size" | /usr/bin/time -f %M "$upload" > /dev/null; } 2>&1 | tail -1)
  rm -f "$dnl/up.bin"
  printf 'peak memory for a %s-byte body: %s KiB\n' "$size" "$peak"
done
