#!/usr/bin/env bash
# "dow" against `cat` of the same file into a pipe. Usage: bench/dow.sh
# [BUILD_DIR] (default build/); SIZE_MB sets the file size (default 2048).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
ctl=$PWD/$build/ctl/kiv-ctl
size_mb=${SIZE_MB:-2048}

. bench/setup.sh

file=$work/www/kiv/dnl/data.bin
# Real data, not a sparse file: both sides read the same cached pages.
head -c "${size_mb}M" /dev/urandom > "$file"
inode=$(stat -c %i "$file")

seconds() {  # the best of three runs of "$@"
  local best=
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    best=$(echo "$end - $start" | bc -l | awk -v b="$best" '{ if (b == "" || $1 < b) print $1; else print b }')
  done
  echo "$best"
}
run_cat() { cat "$file" | cat > /dev/null; }
run_dow() { QUERY_STRING="cmd=dow&file=$inode" "$ctl" | cat > /dev/null; }

cat "$file" > /dev/null  # into the page cache
cat_s=$(seconds run_cat)
dow_s=$(seconds run_dow)
awk -v s="$size_mb" -v c="$cat_s" -v d="$dow_s" 'BEGIN {
  printf "file %d MiB\ncat | cat  %.3f s  %.0f MiB/s\ndow | cat  %.3f s  %.0f MiB/s\nratio dow/cat %.2f\n",
         s, c, s / c, d, s / d, d / c }'
