#!/usr/bin/env bash
# Installs what is missing, builds, installs into a local root and starts
# kivd from there. KIV_BUILD_DIR (default build) and KIV_RUN_ROOT (default
# run-root) choose the build tree and the installation root.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${KIV_BUILD_PACKAGES[@]}" "${KIV_TOOL_PACKAGES[@]}"

build=${KIV_BUILD_DIR:-build}
root=$(mkdir -p "${KIV_RUN_ROOT:-run-root}" && cd "${KIV_RUN_ROOT:-run-root}" && pwd)

cmake -S . -B "$build" -G Ninja -DKIV_SANITIZE=OFF >/dev/null
cmake --build "$build"

# A daemon left from an earlier run of this root: end it by its process
# number before its program file is replaced.
# (The five programs are one file, bin/kiv: kivd is the one started as kivd.)
daemons() {
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    case $target in
      "$root/bin/kiv" | "$root/bin/kiv (deleted)" | "$root/bin/kivd" | "$root/bin/kivd (deleted)")
        pid=${exe#/proc/}; pid=${pid%/exe}
        argv0=$(tr '\0' '\n' < "/proc/$pid/cmdline" 2>/dev/null | head -n 1) || continue
        if [ "${argv0##*/}" = kivd ]; then echo "$pid"; fi ;;
    esac
  done
}
old=$(daemons)
if [ -n "$old" ]; then
  echo "stopping the earlier kivd: $old"
  kill $old 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -z "$(daemons)" ] && break; sleep 0.2; done
fi

# The web server of an earlier run of this root, likewise.
servers() {
  for cmdline in /proc/[0-9]*/cmdline; do
    tr '\0' ' ' < "$cmdline" 2>/dev/null | grep -q "lighttpd -D -f $root/etc/webserver.conf" || continue
    pid=${cmdline#/proc/}; echo "${pid%/cmdline}"
  done
}
old=$(servers)
if [ -n "$old" ]; then
  kill $old 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -z "$(servers)" ] && break; sleep 0.2; done
fi

cmake --install "$build" --prefix "$root" --strip >/dev/null
"$root/bin/kivd"

port=${KIV_PORT:-8080}
mkdir -p "$root/log"
nohup bash scripts/webserver.sh "$root" "$port" > "$root/log/webserver.out" 2>&1 &
for _ in $(seq 50); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done

cat <<INFO

kiv is installed in $root and kivd runs (process $(daemons | tr '\n' ' ')).
The box is served on http://127.0.0.1:$port/ (web server process $(servers | tr '\n' ' ')).
  configuration        $root/kiv.conf (published to /tmp/kiv.conf)
  CGI programs         $root/www/kiv/cgi-bin/
  web directory        $root/www/kiv/
  transfer jobs        $root/www/kiv/trk/
  downloads            $root/www/kiv/dnl/
  system log           identity "kiv", facility local5
  web server log       $root/log/webserver.log
Stop it with: kill $(daemons | tr '\n' ' ')$(servers | tr '\n' ' ')
INFO
