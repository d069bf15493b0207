#!/usr/bin/env bash
# The first load against Debian's transmission-daemon web UI (unpacked in
# bench/.deps, never installed), 300 jobs on each side. Usage:
# bench/peers.sh [BUILD_DIR] (default build/); RUNS sets the loads per side
# and condition (default 10). Private mount and network namespace, loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/deps.sh
exec unshare -mn --propagation private bash -c 'mount -t tmpfs tmpfs /tmp && ip link set lo up &&
  node bench/peers.mjs "$1" "$2"' - "${1:-build}" "${RUNS:-10}"
