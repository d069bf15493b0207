# shellcheck shell=bash
# Sourced first by the benchmarks that kill or count the box's processes:
# runs the script again in PID, mount and network namespaces of its own,
# with its arguments, then gives it a private /tmp and loopback.
if [ "${KIV_BENCH_INSIDE:-}" != 1 ]; then
  KIV_BENCH_INSIDE=1 exec unshare -pfmn --mount-proc --propagation private bash "$0" "$@"
fi
mount -t tmpfs tmpfs /tmp
ip link set lo up
