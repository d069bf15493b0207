#!/usr/bin/env bash
# The Debian package on this machine, as a box's owner meets it: built from
# the build tree and checked by lintian, installed with dpkg (locked, its
# services enabled, nothing started while policy-rc.d says no), started
# through /etc/init.d/kiv with the web server on loopback, used through that
# server as www-data, stopped, removed (kiv.conf and the downloads stay)
# and purged. Everything it changes on
# the machine is put back, also when a step fails. Packages of other
# architectures built into dist/ are checked for what they hold.
# Usage: tests/package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
skip() { echo "package test: skipped: $*"; exit 77; }
fail() { echo "package test: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "needs root (dpkg -i)"
command -v dpkg-deb >/dev/null && command -v cpack >/dev/null || skip "no dpkg or cpack"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/packages.sh lists it)"
if dpkg-query -W kiv >/dev/null 2>&1 || [ -e /opt/kiv ]; then
  skip "kiv is installed on this machine: not touching it"
fi

root=/opt/kiv
arch=$(dpkg --print-architecture)
policy=/usr/sbin/policy-rc.d
work=$(mktemp -d /tmp/kiv-package.XXXXXX)

# The processes of the installation, by id, as "pid name user": its
# programs and its web server (other kivd and lighttpd may run here).
ours() {
  local pid exe name user
  for pid in /proc/[0-9]*; do
    exe=$(readlink "$pid/exe" 2>/dev/null) || continue
    if [[ $exe == "$root/"* ]] ||
      tr '\0' ' ' <"$pid/cmdline" 2>/dev/null | grep -q "$root/etc/webserver.conf"; then
      # Gone meanwhile (a worker of kivd ends): not counted.
      name=$(cat "$pid/comm" 2>/dev/null) && user=$(stat -c %U "$pid" 2>/dev/null) &&
        echo "${pid#/proc/} $name $user"
    fi
  done
  return 0
}

for saved in kiv.conf kiv-sl; do
  [ ! -e "/tmp/$saved" ] || mv "/tmp/$saved" "$work/tmp-$saved"
done
[ ! -e "$policy" ] || cp -a "$policy" "$work/policy-rc.d"
cleanup() {
  set +e
  [ ! -x /etc/init.d/kiv ] || /etc/init.d/kiv stop >/dev/null 2>&1
  dpkg --purge kiv >/dev/null 2>&1
  local left
  left=$(ours | cut -d' ' -f1)
  [ -z "$left" ] || kill $left 2>/dev/null
  rm -rf "$root" /run/kiv-web.pid
  rm -f "$policy"
  [ ! -e "$work/policy-rc.d" ] || mv "$work/policy-rc.d" "$policy"
  for saved in kiv.conf kiv-sl; do
    rm -f "/tmp/$saved"
    [ ! -e "$work/tmp-$saved" ] || mv "$work/tmp-$saved" "/tmp/$saved"
  done
  rm -rf "$work"
}
trap cleanup EXIT

eventually() {
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}

# What a package of ARCH must hold: the Architecture field and programs
# compiled for it (little endian all), stripped, under all five names.
declare -A machine=([amd64]="X86-64" [arm64]="AArch64" [armhf]="ARM" [mipsel]="MIPS")
check_deb() {
  local deb=$1 want=$2 dir=$work/x-$2 program header name
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$want" ] || fail "$deb: Architecture is not $want"
  [ -n "${machine[$want]:-}" ] || fail "$deb: no ELF machine known for $want"
  dpkg-deb -x "$deb" "$dir"
  for name in bin/kivd www/kiv/cgi-bin/kiv-ctl www/kiv/cgi-bin/kiv-list \
    www/kiv/cgi-bin/kiv-torrent www/kiv/cgi-bin/kiv-upload; do
    program=$(readlink -f "$dir$root/$name")
    [[ -f $program && $program == "$dir$root/"* ]] || fail "$deb: no program $name"
    header=$(readelf -h "$program")
    grep -q "Machine: *.*${machine[$want]}" <<<"$header" && grep -q 'little endian' <<<"$header" ||
      fail "$deb: $name is not for $want: $(grep Machine <<<"$header")"
    [ "$want" != armhf ] || grep -q 'hard-float' <<<"$header" || fail "$deb: $name is not hard-float"
    ! readelf -S "$program" | grep -q '\.symtab' || fail "$deb: $name is not stripped"
  done
}

# The package of this build tree, and those of other architectures in dist/.
cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work/cpack/kiv_"*"_$arch.deb")
check_deb "$deb" "$arch"
[ "$(dpkg-deb -f "$deb" Depends Recommends Suggests | xargs)" = "Depends: lighttpd, lighttpd-modules-lua, lighttpd-mod-deflate, wget, apache2-utils, init-system-helpers (>= 1.54~) Recommends: ctorrent Suggests: amule-utils" ] ||
  fail "relations: $(dpkg-deb -f "$deb" Depends Recommends Suggests | xargs)"
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
# The program under five names counts once.
files_kib=$(find "$work/x-$arch" -type f -printf '%s\n' | awk '{ s += $1 } END { print int(s / 1024) }')
size=$(dpkg-deb -f "$deb" Installed-Size)
[ "$size" -le $((files_kib + 64)) ] || fail "Installed-Size $size KiB for $files_kib KiB of files"
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles >"$work/conffiles"
printf '%s\n' /etc/default/kiv /etc/init.d/kiv "$root/kiv.conf" | cmp -s - "$work/conffiles" ||
  fail "conffiles: $(cat "$work/conffiles")"
for other in "$source"/dist/kiv_*.deb; do
  [ -e "$other" ] || continue
  other_arch=$(dpkg-deb -f "$other" Architecture)
  [ "$other_arch" = "$arch" ] || check_deb "$other" "$other_arch"
done

# Installed, its services registered but not started: invoke-rc.d asks
# policy-rc.d first.
printf '#!/bin/sh\nexit 101\n' >"$policy"
chmod 755 "$policy"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
[ -z "$(ours)" ] || fail "the postinst started services despite policy-rc.d: $(ours | xargs)"
ls /etc/rc2.d/S*kiv >/dev/null 2>&1 || fail "the init script is not enabled"
# Enabled for systemd too, although it does not run here (an image build).
for unit in kiv kiv-web; do
  [ -L "/etc/systemd/system/multi-user.target.wants/$unit.service" ] || fail "$unit.service is not enabled"
done
# Locked, with a password only root may read.
[ "$(stat -c '%a %U' "$root/etc/initial-password")" = "600 root" ] || fail "no root-only password file"
secret=$(sed -n 's/^password: //p' "$root/etc/initial-password")
[ ${#secret} -eq 10 ] || fail "the initial password is not 10 characters"
for dir in www/kiv www/kiv/trk www/kiv/cgi-bin; do
  [ "$(stat -c %U "$root/$dir/.htpasswd")" = www-data ] || fail "not locked in $dir"
done

# Root's files stay root's; www-data writes its job and download
# directories and, beside root's files, only what it places itself.
while read -r mode owner path; do
  got=$(stat -L -c '%a %U:%G' "$root/$path")
  [ "$got" = "$mode $owner" ] || fail "$path is $got, expected $mode $owner"
done <<LIST
1775 root:www-data www/kiv
1775 root:www-data www/kiv/cgi-bin
1775 root:www-data www/kivfb
1775 root:www-data www/kivfb/cgi-bin
755 www-data:www-data www/kiv/trk
755 www-data:www-data www/kiv/dnl
755 root:root bin
755 root:root bin/kivd
755 root:root www/kiv/cgi-bin/kiv-ctl
644 root:root www/kiv/index.html
644 root:root kiv.conf
755 root:root scripts
755 root:root lib/webserver.sh
LIST

if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/kiv.service /lib/systemd/system/kiv-web.service ||
    fail "systemd-analyze verify found fault with the units"
fi

# Its web server on loopback and a free port, never the shipped 0.0.0.0.
grep -qx 'KIV_ADDRESS=0.0.0.0' /etc/default/kiv && grep -qx 'KIV_PORT=8080' /etc/default/kiv ||
  fail "unexpected defaults in /etc/default/kiv"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s/^KIV_ADDRESS=.*/KIV_ADDRESS=127.0.0.1/; s/^KIV_PORT=.*/KIV_PORT=$port/" /etc/default/kiv
grep -qx 'KIV_ADDRESS=127.0.0.1' /etc/default/kiv || fail "could not set the loopback address"

# A copy that an earlier run as root left: kivd (www-data) could not
# replace it, so the start removes it.
echo "droo=/stale/" >/tmp/kiv.conf
/etc/init.d/kiv start || fail "/etc/init.d/kiv start failed"
box=http://127.0.0.1:$port
eventually curl -s -o /dev/null "$box/" || fail "the web server does not answer"
[ "$(curl -s -o /dev/null -w '%{http_code}' "$box/")" = 401 ] || fail "a new installation is open"
owner=(-u "kivadmin:$secret")
eventually grep -qsx "droo=$root/" /tmp/kiv.conf || fail "kivd published no /tmp/kiv.conf"
/etc/init.d/kiv status >/dev/null || fail "status does not report both running"
processes=$(ours)
grep -q ' kivd ' <<<"$processes" && grep -q ' lighttpd ' <<<"$processes" ||
  fail "not running: $processes"
[ -z "$(grep -v ' www-data$' <<<"$processes")" ] || fail "not as www-data: $processes"
[ "$(stat -c %U /tmp/kiv.conf)" = www-data ] || fail "/tmp/kiv.conf is not www-data's"

ctl() { curl -sS --max-time 20 -H 'X-Kiv: 1' "${owner[@]}" "$box/cgi-bin/kiv-ctl" "$@"; }
# As the page encodes a field (a blank is %20: the programs take "+" as it is).
enc() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
answer=$(curl -sS --max-time 20 -H 'X-Kiv: 1' "${owner[@]}" "$box/cgi-bin/kiv-list" -d full=1)
[[ $answer == *"curdir: '/'"* ]] || fail "no status from kiv-list: $answer"
# The owner opens it (and later locks it with a password of their own).
[[ $(ctl -d cmd=lock -d file=unlock) == Close* ]] || fail "the initial password does not unlock"
owner=()
# An upgrade keeps what the owner set.
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "the upgrade failed"; }
[ "$(curl -s -o /dev/null -w '%{http_code}' "$box/")" = 200 ] || fail "the upgrade locked the box again"
answer=$(ctl -d cmd=run -d "file=$(enc 'id -un')")
[[ $answer == www-data* ]] || fail "the CGI programs do not run as www-data: $answer"
[[ $(ctl -d cmd=mkdir -d file=made) == OK* ]] || fail "mkdir failed"
[ "$(stat -c %U "$root/www/kiv/dnl/made")" = www-data ] || fail "the new folder is not www-data's"
[[ $(ctl -d cmd=wget -d "file=$(enc "$box/icon.svg")") == OK* ]] || fail "wget did not start"
eventually test -s "$root/www/kiv/dnl/icon.svg" || fail "the download did not arrive"
[ -z "$(find "$root/www/kiv/dnl" "$root/www/kiv/trk" ! -user www-data)" ] || fail "files not www-data's"
ls "$root/www/kiv/trk/"*.wgt >/dev/null || fail "no job log"

# The lock places its files beside root's and takes them away again.
password=$(printf secret12 | base64 | tr -d =)
[[ $(ctl -d cmd=lock -d "file=kivtester:$password:1") == Close* ]] || fail "lock failed"
for dir in www/kiv www/kiv/trk www/kiv/cgi-bin www/kivfb www/kivfb/cgi-bin; do
  [ "$(stat -c %U "$root/$dir/.htpasswd")" = www-data ] || fail "no lock file of www-data's in $dir"
done
[ "$(curl -s -o /dev/null -w '%{http_code}' "$box/")" = 401 ] || fail "the lock does not hold"
[[ $(ctl -u kivtester:secret12 -d cmd=lock -d file=unlock) == Close* ]] || fail "unlock failed"
[ "$(curl -s -o /dev/null -w '%{http_code}' "$box/")" = 200 ] || fail "the lock stays"

# "run" is a shell for whoever may use the page: it cannot touch root's files.
attack="rm -f $root/www/kiv/index.html $root/www/kiv/cgi-bin/kiv-ctl $root/bin/kivd;"
attack+=" mv $root/www/kiv/js $root/www/kiv/js2; cp /bin/sh $root/www/kiv/cgi-bin/kiv-list;"
attack+=" echo dnldir=/ >>$root/kiv.conf; echo x >$root/bin/htpasswd; rm -rf $root/lib;"
attack+=" touch $root/scripts/mine; true"
ctl -d cmd=run -d "file=$(enc "$attack")" >/dev/null
attack="printf '#!/bin/sh\\necho\\necho planted\\n' >$root/www/kiv/cgi-bin/x;"
attack+=" chmod 755 $root/www/kiv/cgi-bin/x; echo '<b>planted</b>' >$root/www/kiv/p.html;"
attack+=" cd $root/log; rm -f webserver.log webserver.out; ln -s /root/kiv-victim webserver.log;"
attack+=" ln -s /root/kiv-victim webserver.out; true"
ctl -d cmd=run -d "file=$(enc "$attack")" >/dev/null
[ -e "$root/www/kiv/p.html" ] && [ -e "$root/www/kiv/cgi-bin/x" ] || fail "could not plant"
for planted in p.html cgi-bin/x; do
  [ "$(curl -s -o /dev/null -w '%{http_code}' "$box/$planted")" = 404 ] || fail "served $planted"
done
# Root opens nothing that www-data can change (the link goes nowhere then).
/etc/init.d/kiv restart >/dev/null 2>&1 || true
[ ! -e /root/kiv-victim ] || fail "root wrote through a link in log/"
verified=$(dpkg --verify kiv | grep -v ' /etc/default/kiv$' || true)
[ -z "$verified" ] || fail "www-data changed the package's files: $verified"
[ ! -e "$root/scripts/mine" ] || fail "www-data wrote into scripts/"

/etc/init.d/kiv stop || fail "/etc/init.d/kiv stop failed"
eventually test -z "$(ours)" || fail "processes left after stop: $(ours | xargs)"
/etc/init.d/kiv status >/dev/null && fail "status reports running after stop"
# What kiv.service runs first, as root: kivd's pid file, its user's. It
# stays after a stop under systemd; removal takes it.
"$root/lib/kiv-service" prepare
[ "$(stat -c '%a %U' "$root/bin/kiv.pid")" = "644 www-data" ] || fail "prepare made no pid file for kivd"

# Removed: the configuration and the downloads stay.
dpkg -r kiv >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
[ "$(dpkg-query -W -f='${Status}' kiv)" = "deinstall ok config-files" ] || fail "not removed"
[ -f "$root/kiv.conf" ] && [ -f /etc/default/kiv ] || fail "dpkg -r took the configuration"
[ ! -e "$root/bin/kivd" ] || fail "dpkg -r left the programs"
[ -s "$root/www/kiv/dnl/icon.svg" ] || fail "dpkg -r took the downloads"
[ -z "$(find /tmp -maxdepth 1 \( -name kiv.conf -o -name kiv-names -o -name kiv-sl \) -user www-data)" ] ||
  fail "dpkg -r left what kivd published in /tmp"

# Purged: only the downloads are left.
dpkg --purge kiv >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge failed"; }
! dpkg-query -W kiv >/dev/null 2>&1 || fail "still known to dpkg after purge"
! ls /etc/init.d/kiv /etc/default/kiv /etc/rc?.d/*kiv >/dev/null 2>&1 || fail "purge left files in /etc"
! dpkg-statoverride --list | grep -q " $root/" || fail "purge left ownership overrides"
left=$(cd "$root" && find . | sort | xargs)
[ "$left" = ". ./www ./www/kiv ./www/kiv/dnl ./www/kiv/dnl/icon.svg ./www/kiv/dnl/made" ] ||
  fail "after purge: $left"
[ "$(stat -c '%a %U:%G' "$root/www/kiv")" = "755 root:root" ] || fail "purge left www/kiv $(stat -c '%a %U:%G' "$root/www/kiv")"
! ls /etc/systemd/system/*/kiv*.service /var/log/kiv-web.log >/dev/null 2>&1 || fail "purge left files"
echo "package test: ok"
