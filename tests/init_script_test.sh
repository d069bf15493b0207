#!/usr/bin/env bash
# /etc/init.d/kiv without systemd, against this build installed in /opt/kiv:
# it finds kivd by the pid file kivd writes, checked against the installed
# program, so that a process merely named kivd is neither ended nor taken
# for it. Runs in namespaces of its own (mounts, process numbers, network):
# /opt, /run, /tmp and /var/log are private, and everything ends with it.
set -u
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
if [ "${2:-}" != inside ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v start-stop-daemon >/dev/null ||
    ! command -v lighttpd >/dev/null || ! id www-data >/dev/null 2>&1; then
    echo "init script: needs root, unshare, start-stop-daemon, lighttpd and www-data" >&2
    exit 77
  fi
  exec unshare -m -p -f --mount-proc -n --propagation private bash "$0" "$build" inside
fi

fail() { echo "init script: $*" >&2; exit 1; }
# Waits end as soon as what they wait for holds: long enough for a loaded
# machine.
patience=600
for dir in /opt /run /var/log; do mount -t tmpfs -o mode=1777 tmpfs "$dir" || exit 77; done
ip link set lo up 2>/dev/null || true
root=/opt/kiv
cmake --install "$build" --prefix "$root" >/dev/null || fail "cannot install"
mkdir -p "$root/lib"
cp "$source_dir/package/kiv-service" "$source_dir/package/kiv.init" "$source_dir/scripts/webserver.sh" \
  "$source_dir/scripts/webserver.lua" "$source_dir/scripts/lock-directories" "$root/lib/"
# Only now: the build and the sources may lie below /tmp.
mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 77
chown www-data:www-data "$root/www/kiv/trk"
install -d -o www-data -g www-data "$root/www/kiv/dnl"
init() { sh "$root/lib/kiv.init" "$@"; }
# Running, not merely unreaped: this script is the namespace's first
# process, so an ended kivd stays a zombie until the shell reaps it.
alive() { [ -n "$1" ] && [ -r "/proc/$1/stat" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f1)" != Z ]; }
kivd_pids() {
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe")" = "$root/bin/kiv" ] && [ "$(cat "${exe%exe}comm")" = kivd ] &&
      pid=${exe#/proc/} && echo "${pid%/exe}"
  done 2>/dev/null
}

# The pid file is made kivd's in root's bin/, never through a link there.
echo root >/tmp/victim
ln -s /tmp/victim "$root/bin/kiv.pid"
init start >/dev/null || fail "start failed"
[ "$(stat -c '%U %s' /tmp/victim)" = "root 5" ] || fail "the start wrote through a link"
for _ in $(seq "$patience"); do [ -s "$root/bin/kiv.pid" ] && break; sleep 0.1; done
[ "$(stat -c '%F %U' "$root/bin/kiv.pid")" = "regular file www-data" ] || fail "the pid file is not kivd's"
daemon=$(cat "$root/bin/kiv.pid")
alive "$daemon" || fail "no kivd by the pid file"
init status >/dev/null || fail "status of a running kiv is not 0"

# A program of www-data's that is merely named kivd.
cp /bin/sleep /tmp/kivd
su www-data -s /bin/sh -c '/tmp/kivd 300 >/dev/null 2>&1 &'
for _ in $(seq "$patience"); do impostor=$(pgrep -x -u www-data -f '/tmp/kivd 300') && break; sleep 0.1; done
[ -n "$impostor" ] || fail "the impostor did not start"

init stop >/dev/null || fail "stop failed"
alive "$impostor" || fail "stop ended a process merely named kivd"
! alive "$daemon" || fail "stop left kivd running"
init start >/dev/null || fail "start failed beside the impostor"
for _ in $(seq "$patience"); do [ -n "$(kivd_pids)" ] && break; sleep 0.1; done
[ -n "$(kivd_pids)" ] || fail "start took the impostor for kivd"
init stop >/dev/null

# A configuration error is the start's failure, with the key and its line.
printf 'hosts=nas.lan, media.lan\ncolour=red\n' >"$root/kiv.conf"
out=$(init start 2>&1) && fail "start with a bad kiv.conf returned 0"
case $out in *"$root/kiv.conf line 2: Unknown config option 'colour'"*) ;; *) fail "start said: $out" ;; esac

# Removed (not purged): not running.
init stop >/dev/null
rm "$root/bin/kivd"
init status >/dev/null && fail "status after removal returned 0"
exit 0
