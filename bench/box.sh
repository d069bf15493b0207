#!/usr/bin/env bash
# The programs as they ship, per architecture: the installed (stripped) size
# of the one multi-call file against five separate files; natively, the
# status request's time from start to end for both (interleaved runs), and
# the peak memory of each kind of request and of kivd.
# Usage: bench/box.sh [ARCH...]   (default: native armhf arm64 mipsel)
# Builds into build-bench/; RUNS sets the runs of each (default 400).
set -euo pipefail
cd "$(dirname "$0")/.."
archs=("${@:-native}")
[ $# -gt 0 ] || archs=(native armhf arm64 mipsel)
runs=${RUNS:-400}
. scripts/packages.sh
ensure_packages gcc

installs=$PWD/build-bench/roots
rm -rf "$installs"
for arch in "${archs[@]}"; do
  toolchain=()
  if [ "$arch" != native ]; then
    bash scripts/cross.sh "$arch" >/dev/null  # installs the compiler if missing
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$arch.cmake")
  fi
  for variant in multi:ON separate:OFF; do
    dir=build-bench/$arch-${variant%:*}
    cmake -S . -B "$dir" -G Ninja "${toolchain[@]}" -DBUILD_TESTING=OFF \
      -DKIV_MULTICALL="${variant#*:}" >/dev/null
    cmake --build "$dir" >/dev/null
    cmake --install "$dir" --prefix "$installs/$arch-${variant%:*}" --strip >/dev/null
  done
done

# The program files: regular files (not links) among the five names and kiv.
program_bytes() {
  find "$1/bin" "$1/www/kiv/cgi-bin" -maxdepth 1 -type f -name 'kiv*' -printf '%s\n' |
    awk '{ n += $1 } END { print n }'
}
echo "installed programs, stripped (goal: one architecture's at most 1.5 MB = 1572864 bytes)"
printf '  %-8s %14s %14s %8s\n' arch multi-call separate ratio
for arch in "${archs[@]}"; do
  multi=$(program_bytes "$installs/$arch-multi")
  separate=$(program_bytes "$installs/$arch-separate")
  printf '  %-8s %14s %14s %8s\n' "$arch" "$multi" "$separate" \
    "$(awk -v m="$multi" -v s="$separate" 'BEGIN { printf "%.2f", m / s }')"
done

[ "${archs[0]}" = native ] || exit 0
. bench/setup.sh
# Static and small: a child's peak counts what the vforking parent had.
cc -O2 -static -o "$work/spawn" bench/spawn.c
multi=$installs/native-multi
separate=$installs/native-separate
for i in $(seq 1 100); do : > "$dnl/file-$i.bin"; done
export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING= PATH=/usr/bin:/bin

echo
echo "status request of a 100-entry directory, $runs interleaved runs each (median, p10, p90 in us; goal: multi-call within 10 %)"
"$work/spawn" "$runs" "$multi/www/kiv/cgi-bin/kiv-list" "$separate/www/kiv/cgi-bin/kiv-list" |
  awk '{ t[NR] = $2; printf "  %-9s %6d %6d %6d\n", NR == 1 ? "multi" : "separate", $2, $3, $4 }
       END { printf "  multi-call / separate: %.3f\n", t[1] / t[2] }'

echo
echo "peak resident memory, KiB (goal: a request at most 2048, kivd at most 1024)"
cgi=$multi/www/kiv/cgi-bin
export HTTP_X_KIV=1  # as the page sends it
peak() {  # peak NAME PROGRAM  (environment and input as set by the caller)
  "$work/spawn" 1 "$2" | awk -v n="$1" '{ printf "  %-36s %6d\n", n, $5 }'
}
peak "kiv-list, status" "$cgi/kiv-list"
QUERY_STRING="cmd=mkdir&file=made" peak "kiv-ctl, mkdir" "$cgi/kiv-ctl"
cp fuzz/corpus/bencode/base.torrent "$dnl/base.torrent"
QUERY_STRING="file=base.torrent" peak "kiv-torrent" "$cgi/kiv-torrent"
{
  printf -- '------B0\r\nContent-Disposition: form-data; name="up"; filename="up.bin"\r\n\r\n'
  head -c $((8 << 20)) /dev/zero
  printf -- '\r\n------B0--\r\n'
} > "$work/body"
REQUEST_METHOD=POST CONTENT_LENGTH=$(stat -c %s "$work/body") HTTP_COOKIE=curdir=/ \
  CONTENT_TYPE='multipart/form-data; boundary=----B0' peak "kiv-upload, 8 MiB" "$cgi/kiv-upload" \
  < "$work/body"

# Requests whose answers grow with what they show.
mkdir "$dnl/big"
for i in $(seq 1 10000); do : > "$dnl/big/a file with a name of some length $i.bin"; done
QUERY_STRING="curdir=big" peak "kiv-list, 10000 entries" "$cgi/kiv-list"
for files in 1000 5000 20000; do
  python3 bench/make_torrent.py "$dnl/t$files.torrent" "$files"
  QUERY_STRING="file=t$files.torrent" peak "kiv-torrent, $files files ($(($(stat -c %s "$dnl/t$files.torrent") / 1024)) KiB)" "$cgi/kiv-torrent"
done

# kivd from an installation of its own, after its first cycle (which trims
# a 4 MiB job log).
cp -a "$multi" "$work/root"
{ yes 'progress line of a transfer log' || true; } | head -c $((4 << 20)) > "$work/root/www/kiv/trk/1.wgt"
"$work/root/bin/kivd" > /dev/null
sleep 3
for status in /proc/[0-9]*/status; do
  pid=${status#/proc/}; pid=${pid%/status}
  [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$work/root/bin/kiv" ] || continue
  [ "$(tr '\0' '\n' < "/proc/$pid/cmdline" | head -n 1)" = "$work/root/bin/kivd" ] || continue
  awk '/^VmHWM/ { printf "  %-36s %6d\n", "kivd, after its first cycle", $2 }' "$status"
  kill "$pid"
done
echo "  (its job log: 4194304 bytes before, $(stat -c %s "$work/root/www/kiv/trk/1.wgt") after)"
