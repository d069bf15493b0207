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

# Processes of an earlier run of this root, by id; reads of processes that
# end meanwhile fail quietly.
# (The five programs are one file, bin/kiv: kivd is the one started as kivd.)
daemons() {
  local exe target pid argv0
  for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    case $target in
      "$root/bin/kiv" | "$root/bin/kiv (deleted)" | "$root/bin/kivd" | "$root/bin/kivd (deleted)")
        pid=${exe#/proc/}; pid=${pid%/exe}
        argv0=$({ tr '\0' '\n' <"/proc/$pid/cmdline"; } 2>/dev/null | head -n 1) || continue
        if [ "${argv0##*/}" = kivd ]; then echo "$pid"; fi ;;
    esac
  done
}
# The web server started for this root (matched in the shell: a grep
# would find itself).
servers() {
  local cmdline args
  for cmdline in /proc/[0-9]*/cmdline; do
    args=$({ tr '\0' ' ' <"$cmdline"; } 2>/dev/null) || continue
    [[ $args == "lighttpd -D -f $root/etc/webserver.conf "* ]] || continue
    cmdline=${cmdline#/proc/}; echo "${cmdline%/cmdline}"
  done
}
# Each ended by its process number before its program file is replaced.
stop_earlier() {
  local old
  old=$("$1")
  [ -n "$old" ] || return 0
  echo "stopping the earlier $2: $(echo $old)"
  kill $old 2>/dev/null || true
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -z "$("$1")" ] && break; sleep 0.2; done
}
stop_earlier daemons kivd
stop_earlier servers "web server"

# The owner's kiv.conf stays; a new default goes beside it.
conf=$root/kiv.conf
kept=
if [ -f "$conf" ]; then
  kept=$(mktemp)
  cp -p "$conf" "$kept"
fi
cmake --install "$build" --prefix "$root" --strip >/dev/null
if [ -n "$kept" ]; then
  if cmp -s "$kept" "$conf"; then
    rm -f "$conf.new"
  else
    mv "$conf" "$conf.new"
    echo "kept your kiv.conf; the new default is $conf.new"
  fi
  mv "$kept" "$conf"
fi
"$root/bin/kivd"

port=${KIV_PORT:-8080}
mkdir -p "$root/log"
nohup bash scripts/webserver.sh "$root" "$port" > "$root/log/webserver.out" 2>&1 &
for _ in $(seq 50); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done

kivd_pids=$(daemons | xargs)
server_pids=$(servers | xargs)
cat <<INFO

kiv is installed in $root and kivd runs (process $kivd_pids).
The box is served on http://127.0.0.1:$port/ (web server process $server_pids).
  configuration        $root/kiv.conf (published to /tmp/kiv.conf)
  CGI programs         $root/www/kiv/cgi-bin/
  web directory        $root/www/kiv/
  transfer jobs        $root/www/kiv/trk/
  downloads            $root/www/kiv/dnl/
  system log           identity "kiv", facility local5
  web server log       $root/log/webserver.log
Stop it with: kill $kivd_pids $server_pids
INFO
