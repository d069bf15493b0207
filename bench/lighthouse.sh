#!/usr/bin/env bash
# Lighthouse on Transfers and Files at 10,000 files and 300 jobs, mobile and
# desktop. Usage: bench/lighthouse.sh [BUILD_DIR] (default build/); RUNS sets
# the runs per view and preset (default 3). Runs in a private mount and
# network namespace, on loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/deps.sh
exec unshare -mn --propagation private bash -c 'mount -t tmpfs tmpfs /tmp && ip link set lo up &&
  node bench/lighthouse.mjs "$1" "$2"' - "${1:-build}" "${RUNS:-3}"
