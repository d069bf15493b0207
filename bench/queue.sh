#!/usr/bin/env bash
# kivd's idle CPU and the status time with 300 queued jobs, each against the
# same 300 jobs stopped and no queue settings (the box before the queue).
# The jobs are added through kiv-ctl in a paused week, so none runs; kivd
# then idles for SECONDS (default 600) with each set, and its CPU time is
# read from /proc: the daemon's own, the passes it waited for, and the
# workers its cycle leaves to this script's shell (process 1 of a PID
# namespace of its own, which reaps them). The status (kiv-list full=1) is
# timed RUNS times (default 40) with each set; medians. Runs as root.
# Usage: bench/queue.sh [BUILD_DIR] (default build/); JOBS sets the jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
. bench/namespace.sh "$build"
jobs=${JOBS:-300}
seconds=${SECONDS_IDLE:-600}
runs=${RUNS:-40}

. bench/setup.sh
cp "$build/bin/kiv" "$work/bin/kivd" 2>/dev/null || cp "$build/daemon/kivd" "$work/bin/kivd"
echo '# defaults' > "$work/kiv.conf"
export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET HTTP_X_KIV=1 PATH=/usr/bin:/bin
ctl="$build/ctl/kiv-ctl"
list="$build/list/kiv-list"
trk=$work/www/kiv/trk

paused=$(printf 'p%.0s' $(seq 168))
QUERY_STRING="cmd=queue&week=$paused" "$ctl" > /dev/null
for i in $(seq 1 "$jobs"); do
  QUERY_STRING="cmd=wget&file=http%3A%2F%2F127.0.0.1%3A9%2Fjob$i.iso&para=-t%201" "$ctl" > /dev/null
done
mkdir "$work/queued"
cp -a "$trk/." "$work/queued/"
# The same jobs as the box kept them before the queue: stopped, no settings.
stopped_set() {
  rm -f "$trk"/*
  cp -a "$work/queued/." "$trk/"
  rm -f "$trk/_queue"
  for record in "$trk"/??????; do
    head -n 4 "$record" > "$record.new" && echo stopped >> "$record.new" && mv "$record.new" "$record"
  done
}
queued_set() {
  rm -f "$trk"/*
  cp -a "$work/queued/." "$trk/"
}

cpu_ticks() {  # utime+stime+cutime+cstime of process $1
  local fields
  read -ra fields < <(sed 's/.*) //' "/proc/$1/stat")
  echo $(( fields[11] + fields[12] + fields[13] + fields[14] ))
}
kivd_pid() {
  local p
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/exe" 2>/dev/null)" = "$work/bin/kivd" ] &&
      [ "$(sed 's/.*) //' "$p/stat" | cut -d' ' -f2)" = 1 ]; then
      echo "${p#/proc/}"; return
    fi
  done
}
idle() {
  "$work/bin/kivd" > /dev/null
  sleep 2
  local pid; pid=$(kivd_pid)
  local before=$(( $(cpu_ticks "$pid") + $(cpu_ticks $$) ))
  sleep "$seconds"
  local after=$(( $(cpu_ticks "$pid") + $(cpu_ticks $$) ))
  kill "$pid"
  echo "  $1: $(( (after - before) * 1000 / $(getconf CLK_TCK) )) ms of CPU in $seconds s"
}
status_median() {
  local times=() i
  for i in $(seq "$runs"); do
    local start; start=$(date +%s%N)
    QUERY_STRING=full=1 "$list" > /dev/null
    times+=($(( ($(date +%s%N) - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p"
}

echo "kivd idle with $jobs jobs"
stopped_set; idle "stopped, no queue"
queued_set; idle "queued"
echo "status (full=1) with $jobs jobs, median of $runs (µs)"
stopped_set; echo "  stopped, no queue: $(status_median)"
queued_set; echo "  queued: $(status_median)"
