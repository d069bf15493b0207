#!/usr/bin/env bash
# Time from kivd's start to 50 transfers running again after a power cut:
# 50 wget jobs are started through kiv-ctl against a loopback web server,
# every process of the box is killed with SIGKILL and /tmp's box files go,
# then kivd is started and the live transfers are counted until all 50 run.
# Runs as root in PID, mount and network namespaces of its own (it kills
# every wget it sees there). Usage: bench/resume.sh [BUILD_DIR] (default
# build/); JOBS and RUNS set the jobs (default 50) and the runs (default 5).
# No queue is set: every interrupted job starts at once.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
. bench/namespace.sh "$build"
jobs=${JOBS:-50}
runs=${RUNS:-5}

. bench/setup.sh
cp "$build/bin/kiv" "$work/bin/kivd" 2>/dev/null || cp "$build/daemon/kivd" "$work/bin/kivd"
echo '# defaults' > "$work/kiv.conf"
mkdir -p "$work/src/www/kiv/src" "$work/src/www/kivfb"
head -c $((64 << 20)) /dev/zero > "$work/src/www/kiv/src/big.bin"
bash scripts/webserver.sh "$work/src" 8081 > /dev/null 2>&1 &
until curl -s -o /dev/null http://127.0.0.1:8081/src/big.bin -r 0-0; do sleep 0.1; done

export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET HTTP_X_KIV=1 PATH=/usr/bin:/bin
ctl="$build/ctl/kiv-ctl"
"$work/bin/kivd" > /dev/null
for i in $(seq 1 "$jobs"); do
  QUERY_STRING="cmd=wget&file=http%3A%2F%2F127.0.0.1%3A8081%2Fsrc%2Fbig.bin&para=--limit-rate%3D2k" \
    "$ctl" > /dev/null
done

# The live wget processes in this namespace: the jobs' transfers.
transfers() {
  local n=0 p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = /usr/bin/wget ] && n=$((n + 1))
  done
  echo "$n"
}
kill_box() {
  local p
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in
      /usr/bin/wget | "$work/bin/kivd") kill -9 "${p#/proc/}" 2>/dev/null || true ;;
    esac
  done
  while [ "$(transfers)" -gt 0 ]; do sleep 0.05; done
}

echo "from kivd's start to $jobs transfers running again, $runs runs (ms)"
for run in $(seq 1 "$runs"); do
  kill_box
  rm -f /tmp/kiv.conf /tmp/kiv-sl /tmp/kiv-names
  start=$(date +%s%N)
  "$work/bin/kivd" > /dev/null
  until [ "$(transfers)" -ge "$jobs" ]; do sleep 0.01; done
  echo "  run $run: $(( ($(date +%s%N) - start) / 1000000 ))"
done
