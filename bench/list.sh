#!/usr/bin/env bash
# kiv-list against its yardsticks: a listing of 10,000 entries against
# `ls -la` of the same directory, and a plain status request of a
# 100-entry directory against the exec of a static C program that prints a
# fixed answer; the full status with 300 jobs of mixed kinds, against the
# same status of a kiv-list without the jobs' state members when BASE_LIST
# names one (a kiv-list built from an earlier commit). Usage:
# [BASE_LIST=PROGRAM] bench/list.sh [BUILD_DIR] (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
list=$PWD/$build/list/kiv-list
export HTTP_X_KIV=1  # as the page sends it
runs=${RUNS:-40}

. bench/setup.sh

mkdir -p "$dnl/big" "$dnl/small"
for i in $(seq 1 10000); do : > "$work/www/kiv/dnl/big/file-$i.bin"; done
for i in $(seq 1 100); do : > "$work/www/kiv/dnl/small/file-$i.bin"; done

# 300 jobs: wget and ctorrent logs as the real tools wrote them (running,
# stopped, finished, failed), records naming processes that are gone.
logs=common/job_logs
i=0
for log in $logs/*.wgt $logs/*.tor; do
  for _ in $(seq 30); do
    i=$((i + 1)); id=$(printf 'J%05d' "$i")
    cp "$log" "$work/www/kiv/trk/$id.${log##*.}"
    if [ "${log##*.}" = wgt ]; then
      printf '999999\nhttp://127.0.0.1/big%%20file.bin?x=1\n\n/\n' > "$work/www/kiv/trk/$id"
    else
      printf '999999\n%s/a.torrent\n-e 1\n' "$dnl" > "$work/www/kiv/trk/$id"
    fi
  done
done

printf '#include <stdio.h>\nint main(void){fputs("Content-type: text/html\\r\\n\\n{}",stdout);return 0;}\n' > "$work/fixed.c"
cc -O2 -static -o "$work/fixed" "$work/fixed.c"
# The floor for the status: only the status reads a listing cannot do without.
cat > "$work/stats.c" <<'C'
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
int main(int argc, char** argv) {
  struct dirent* e; struct stat st; int n = 0;
  if (argc < 2 || chdir(argv[1]) != 0) return 1;
  DIR* d = opendir(".");
  while ((e = readdir(d))) n += stat(e->d_name, &st) == 0;
  printf("%d\n", n);
  return 0;
}
C
cc -O2 -static -o "$work/stats" "$work/stats.c"

# Mean wall-clock milliseconds per run of the command given.
per_run() {
  local start end
  start=$(date +%s%N)
  for _ in $(seq "$runs"); do "$@" > /dev/null; done
  end=$(date +%s%N)
  echo "scale=3; ($end - $start) / $runs / 1000000" | bc
}

big_list=$(QUERY_STRING=curdir=big per_run "$list")
big_ls=$(per_run ls -la "$work/www/kiv/dnl/big")
small_list=$(QUERY_STRING=curdir=small per_run "$list")
fixed=$(per_run "$work/fixed")
full=$(QUERY_STRING=full=1\&curdir=small per_run "$list")
base_list=${BASE_LIST:-}
[ -n "$base_list" ] && base=$(QUERY_STRING=full=1\&curdir=small per_run "$base_list")
stats=$(per_run "$work/stats" "$work/www/kiv/dnl/small")

printf 'listing 10000 entries: kiv-list %s ms, ls -la %s ms, ratio %s (goal <= 0.8)\n' \
  "$big_list" "$big_ls" "$(echo "scale=2; $big_list / $big_ls" | bc)"
printf 'status of 100 entries: kiv-list %s ms, static fixed answer %s ms, ratio %s (goal <= 1.3)\n' \
  "$small_list" "$fixed" "$(echo "scale=2; $small_list / $fixed" | bc)"
printf '  (a static C program that only stats the 100 entries: %s ms, ratio %s)\n' \
  "$stats" "$(echo "scale=2; $stats / $fixed" | bc)"
if [ -n "$base_list" ]; then
  printf 'status with %s jobs: kiv-list %s ms, without the state members %s ms, ratio %s (goal <= 1.5)\n' \
    "$i" "$full" "$base" "$(echo "scale=2; $full / $base" | bc)"
else
  printf 'status with %s jobs: kiv-list %s ms (BASE_LIST unset: no comparison)\n' "$i" "$full"
fi
