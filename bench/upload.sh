#!/usr/bin/env bash
# kiv-upload receiving a 256 MiB file from a pipe against `cat | cat > file`
# on the same data, run in turn several times (single runs on a shared
# machine differ by 2x); its peak memory for bodies of 1 MiB and 4 GiB; and
# its CPU time for a 128 KiB part header that arrives a byte at a time.
# Usage: bench/upload.sh [BUILD_DIR] (default build/). PAIRS sets the number
# of interleaved runs of each (default 7).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages time bc python3
upload=$PWD/${1:-build}/upload/kiv-upload
pairs=${PAIRS:-7}

. bench/setup.sh

export HTTP_X_KIV=1 HTTP_COOKIE=curdir=/ CONTENT_TYPE='multipart/form-data; boundary=----B0'
body() {  # body FILE-OR-SIZE [EXTRA-HEADER-LINES]
  printf -- '------B0\r\nContent-Disposition: form-data; name="up"; filename="up.bin"\r\n'
  if [ "${2:-0}" -gt 0 ]; then printf 'X-Pad: p\r\n%.0s' $(seq "$2"); fi
  printf '\r\n'
  if [ -f "$1" ]; then cat "$1"; else head -c "$1" /dev/zero; fi
  printf -- '\r\n------B0--\r\n'
}
seconds() { local s=$(date +%s%N); "$@"; echo "scale=3; ($(date +%s%N) - $s) / 1000000000" | bc; }
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.3f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

head -c $((256 << 20)) /dev/urandom > "$work/data"
body "$work/data" > "$work/body"  # one body for both, read from the page cache
# Each run is followed by the same check of what it stored, and the order
# alternates from pair to pair, so that neither gains from the other.
run_ours() {
  ours+=("$(seconds sh -c "cat '$work/body' | '$upload' > /dev/null")")
  cmp -s "$work/data" "$dnl/up.bin" || { echo "stored file differs" >&2; exit 1; }
  rm -f "$dnl/up.bin"
}
run_theirs() {
  theirs+=("$(seconds sh -c "cat '$work/body' | cat | cat > '$dnl/cat.bin'")")
  cmp -s "$work/body" "$dnl/cat.bin" || { echo "cat's copy differs" >&2; exit 1; }
  rm -f "$dnl/cat.bin"
}
ours=() theirs=()
for ((i = 0; i < pairs; i++)); do
  if ((i % 2 == 0)); then run_ours; run_theirs; else run_theirs; run_ours; fi
done
rm -f "$work/data" "$work/body"
ours_median=$(printf '%s\n' "${ours[@]}" | median)
theirs_median=$(printf '%s\n' "${theirs[@]}" | median)
printf '256 MiB from a pipe, %d interleaved pairs\n' "$pairs"
printf '  kiv-upload      %s s (median; runs: %s)\n' "$ours_median" "${ours[*]}"
printf '  cat | cat > file %s s (median; runs: %s)\n' "$theirs_median" "${theirs[*]}"
printf '  ratio of medians %s (goal <= 1.15)\n' "$(echo "scale=2; $ours_median / $theirs_median" | bc)"

for size in $((1 << 20)) $((4 << 30)); do
  peak=$( { body "$size" | /usr/bin/time -f %M "$upload" > /dev/null; } 2>&1 | tail -1)
  rm -f "$dnl/up.bin"
  printf 'peak memory for a %s-byte body: %s KiB\n' "$size" "$peak"
done

# A client sending a byte at a time: the header scan must stay linear. The
# header is 64 KiB of short lines, each line end a near miss for its end.
body 16 $(((64 << 10) / 10)) > "$work/slow"
# (The writer yields after each byte, so that the reads really are one byte.)
cpu=$( { python3 -c '
import os, sys, time
for byte in open(sys.argv[1], "rb").read():
  os.write(1, bytes([byte])); time.sleep(0)' "$work/slow" | /usr/bin/time -f '%U %S' "$upload" > /dev/null; } 2>&1 | tail -1)
cmp -s "$dnl/up.bin" <(head -c 16 /dev/zero) || { echo "slow upload not stored" >&2; exit 1; }
rm -f "$dnl/up.bin" "$work/slow"
printf 'CPU time for a 64 KiB part header in one-byte writes: %s s (user + system)\n' \
  "$(echo "$cpu" | awk '{ print $1 + $2 }')"
