#!/usr/bin/env bash
# kiv-torrent against transmission-show (package transmission-cli) on a
# generated torrent of 20,000 files. Usage: bench/torrent.sh [BUILD_DIR]
# (default build/); RUNS sets the runs per program (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
inspector=$PWD/$build/torrent/kiv-torrent
runs=${RUNS:-20}
command -v transmission-show >/dev/null || { echo "transmission-show missing (apt-get install transmission-cli)"; exit 1; }

. bench/setup.sh

torrent=$work/www/kiv/dnl/many.torrent
python3 bench/make_torrent.py "$torrent" 20000

export HTTP_X_KIV=1  # as the page sends it
QUERY_STRING=file=many.torrent "$inspector" > "$work/answer"
head -c 240 "$work/answer"; echo
measure() {  # seconds for $runs runs of "$@"
  local start end
  start=$(date +%s.%N)
  for _ in $(seq "$runs"); do "$@" > /dev/null; done
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
ours=$(QUERY_STRING=file=many.torrent measure "$inspector")
theirs=$(measure transmission-show "$torrent")
awk -v r="$runs" -v o="$ours" -v t="$theirs" -v s="$(stat -c %s "$torrent")" 'BEGIN {
  printf "torrent %d bytes, 20000 files, %d runs each\nkiv-torrent        %.1f ms per run\ntransmission-show  %.1f ms per run\nratio %.3f (goal <= 0.25)\n",
         s, r, 1000 * o / r, 1000 * t / r, o / t }'
