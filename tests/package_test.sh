#!/usr/bin/env bash
# The Debian package on this machine, as a box's owner meets it: built from
# the build tree and checked by lintian, installed with dpkg (locked, its
# services enabled, nothing started while policy-rc.d says no), started
# through /etc/init.d/kiv with the web server on loopback, used through that
# server as www-data, stopped, removed (kiv.conf and the downloads stay)
# and purged; then the previous release's package, with the owner's
# settings edited and the box running, upgraded without a terminal. Runs
# in namespaces of its own (mounts, process numbers, network), with /etc,
# /usr, /var, /opt and /root overlaid by throwaway layers: nothing it does
# reaches the machine, and it sees only its own processes. Packages of
# other architectures built into dist/ are checked for what they hold.
# Usage: [KIV_PREVIOUS_PACKAGE=DEB] tests/package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
skip() { echo "package test: skipped: $*"; exit 77; }
fail() { echo "package test: $*" >&2; exit 1; }
if [ "${4:-}" != inside ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root (dpkg -i)"
  command -v dpkg-deb >/dev/null && command -v cpack >/dev/null || skip "no dpkg or cpack"
  command -v unshare >/dev/null || skip "no unshare"
  command -v lintian >/dev/null || fail "lintian is not installed (scripts/packages.sh lists it)"
  if dpkg-query -W kiv >/dev/null 2>&1 || [ -e /opt/kiv ]; then
    skip "kiv is installed on this machine: not touching it"
  fi
  work=$(mktemp -d /tmp/kiv-package.XXXXXX)
  status=0
  unshare -m -p -f --mount-proc -n --propagation private bash "$0" "$1" "$2" "$work" inside || status=$?
  rm -rf "$work"
  exit "$status"
fi
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$3

root=/opt/kiv
arch=$(dpkg --print-architecture)
policy=/usr/sbin/policy-rc.d
ip link set lo up

# Waits return as soon as what they wait for holds: long enough for a
# loaded machine.
patience=600
eventually() {
  for _ in $(seq "$patience"); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The processes of the installation, as "pid name user": its programs and
# its web server. The namespace holds no others but this test's own.
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
[ "$(dpkg-deb -f "$deb" Depends Recommends Suggests | xargs)" = "Depends: lighttpd, lighttpd-modules-lua, lighttpd-mod-deflate, wget, apache2-utils, init-system-helpers (>= 1.54~) Recommends: ctorrent, aria2 Suggests: amule-utils" ] ||
  fail "relations: $(dpkg-deb -f "$deb" Depends Recommends Suggests | xargs)"
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
# The program under five names counts once.
files_kib=$(find "$work/x-$arch" -type f -printf '%s\n' | awk '{ s += $1 } END { print int(s / 1024) }')
size=$(dpkg-deb -f "$deb" Installed-Size)
[ "$size" -le $((files_kib + 64)) ] || fail "Installed-Size $size KiB for $files_kib KiB of files"
# The owner's settings are no conffiles: no upgrade asks about them.
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles >"$work/conffiles"
[ "$(cat "$work/conffiles")" = /etc/init.d/kiv ] || fail "conffiles: $(cat "$work/conffiles")"
for other in "$source"/dist/kiv_*.deb; do
  [ -e "$other" ] || continue
  other_arch=$(dpkg-deb -f "$other" Architecture)
  [ "$other_arch" = "$arch" ] || check_deb "$other" "$other_arch"
done

# The previous release's package, built from its tree by its own script
# (or KIV_PREVIOUS_PACKAGE, one built so before); the package's version
# grows past it.
release=$(grep -v '^#' "$source/package/previous-release")
mkdir "$work/previous"
has_release() { git -C "$source" cat-file -e "$release^{commit}" 2>/dev/null; }
# A shallow clone lacks it: its origin may still have it.
has_release || [ "$(git -C "$source" rev-parse --is-shallow-repository 2>/dev/null)" != true ] ||
  git -C "$source" fetch -q --unshallow 2>/dev/null || true
if [ -n "${KIV_PREVIOUS_PACKAGE:-}" ]; then
  cp "$KIV_PREVIOUS_PACKAGE" "$work/previous/"
elif ! has_release && [ "$(git -C "$source" rev-parse --is-shallow-repository 2>/dev/null)" = true ]; then
  echo "package test: the upgrade is not tested: $source is a shallow clone without $release"
else
  has_release ||
    fail "the previous release's commit $release is not in $source (package/previous-release)"
  git -C "$source" archive "$release" | tar -x -C "$work/previous"
  KIV_BUILD_DIR="$work/previous/build" bash "$work/previous/scripts/package.sh" >"$work/previous.log" 2>&1 ||
    { tail -40 "$work/previous.log"; fail "could not build the previous release's package"; }
  mv "$work/previous/dist/kiv_"*"_$arch.deb" "$work/previous/"
fi
previous=$(ls "$work/previous/"*.deb 2>/dev/null || true)
version=$(dpkg-deb -f "$deb" Version)
if [ -n "$previous" ]; then
  previous_version=$(dpkg-deb -f "$previous" Version)
  dpkg --compare-versions "$version" gt "$previous_version" ||
    fail "the package's version $version is not above the previous release's $previous_version"
fi

# From here on, what the package changes stays in this namespace: layers
# over the system's directories that go with it, a /run and /tmp of its own.
mount -t tmpfs tmpfs /run
mkdir -p /run/lock /run/kiv-test
mount --bind "$work" /run/kiv-test
deb=/run/kiv-test/${deb#"$work"/}
[ -z "$previous" ] || previous=/run/kiv-test/${previous#"$work"/}
work=/run/kiv-test
for dir in etc usr var opt root lib; do
  [ -d "/$dir" ] && [ ! -L "/$dir" ] || continue
  mkdir -p "/run/layers/$dir/upper" "/run/layers/$dir/work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=/run/layers/$dir/upper,workdir=/run/layers/$dir/work" "/$dir" ||
    skip "no overlay file system for /$dir"
done
mount -t tmpfs -o mode=1777 tmpfs /tmp
# The build and sources may have lain below the old /tmp: nothing below
# runs from there any more.
cd "$work"

# Installed, its services registered but not started: invoke-rc.d asks
# policy-rc.d first.
printf '#!/bin/sh\nexit 101\n' >"$policy"
chmod 755 "$policy"
# Where runuser cannot establish credentials (PAM in a user-namespace
# container, which cannot be made here): the postinst switches user by
# other means.
runuser=$(command -v runuser)
mv "$runuser" "$work/runuser"
printf '#!/bin/sh\necho "runuser: cannot establish credentials" >&2\nexit 1\n' >"$runuser"
chmod 755 "$runuser"
dpkg -i "$deb" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
mv "$work/runuser" "$runuser"
! grep -q 'kiv: cannot\|configuring failed' "$work/dpkg.log" || fail "the postinst said: $(cat "$work/dpkg.log")"
[ -z "$(ours)" ] || fail "the postinst started services despite policy-rc.d: $(ours | xargs)"
ls /etc/rc2.d/S*kiv >/dev/null 2>&1 || fail "the init script is not enabled"
# Enabled for systemd too, although it does not run here (an image build).
for unit in kiv kiv-web; do
  [ -L "/etc/systemd/system/multi-user.target.wants/$unit.service" ] || fail "$unit.service is not enabled"
done
# Locked, with a password only root may read, and lock files only the web
# server's user reads.
initial=$root/etc/lock/initial-password
[ "$(stat -c '%a %U' "$initial")" = "600 root" ] || fail "no root-only password file"
secret=$(sed -n 's/^password: //p' "$initial")
[ ${#secret} -eq 10 ] || fail "the initial password is not 10 characters"
for dir in www/kiv www/kiv/trk www/kiv/cgi-bin; do
  [ "$(stat -c '%a %U' "$root/$dir/.htpasswd")" = "600 www-data" ] || fail "not locked in $dir"
done
[ "$(stat -c '%a %U' "$root/kiv.conf")" = "644 root" ] && [ -f /etc/default/kiv ] ||
  fail "the settings were not put in place"

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
730 root:www-data etc/lock
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

ctl() { curl -sS --max-time 60 -H 'X-Kiv: 1' "${owner[@]}" "$box/cgi-bin/kiv-ctl" "$@"; }
# As the page encodes a field (a blank is %20: the programs take "+" as it is).
enc() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
answer=$(curl -sS --max-time 60 -H 'X-Kiv: 1' "${owner[@]}" "$box/cgi-bin/kiv-list" -d full=1)
[[ $answer == *"curdir: '/'"* ]] || fail "no status from kiv-list: $answer"
# The owner opens it (and later locks it with a password of their own).
[[ $(ctl -d cmd=lock -d file=unlock) == Close* ]] || fail "the initial password does not unlock"
[ ! -e "$initial" ] || fail "the initial password stays after the owner opened the box"
owner=()
# An upgrade keeps what the owner set.
dpkg -i "$deb" </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "the upgrade failed"; }
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
  [ "$(stat -c '%a %U' "$root/$dir/.htpasswd")" = "600 www-data" ] || fail "no lock file of www-data's alone in $dir"
done
[ "$(curl -s -o /dev/null -w '%{http_code}' "$box/")" = 401 ] || fail "the lock does not hold"
[[ $(ctl -u kivtester:secret12 -d cmd=lock -d file=unlock) == Close* ]] || fail "unlock failed"
[ "$(curl -s -o /dev/null -w '%{http_code}' "$box/")" = 200 ] || fail "the lock stays"

# "run" is a shell for whoever may use the page: it cannot touch root's files.
cp "$root/kiv.conf" "$work/kiv.conf"
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
cmp -s "$work/kiv.conf" "$root/kiv.conf" || fail "www-data changed kiv.conf"
[ ! -e "$root/scripts/mine" ] || fail "www-data wrote into scripts/"

/etc/init.d/kiv stop || fail "/etc/init.d/kiv stop failed"
eventually test -z "$(ours)" || fail "processes left after stop: $(ours | xargs)"
/etc/init.d/kiv status >/dev/null && fail "status reports running after stop"
# What kiv.service runs first, as root: kivd's pid file, its user's. It
# stays after a stop under systemd; removal takes it.
"$root/lib/kiv-service" prepare
[ "$(stat -c '%a %U' "$root/bin/kiv.pid")" = "644 www-data" ] || fail "prepare made no pid file for kivd"

# Removed: the configuration and the downloads stay.
dpkg -r kiv </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
[ "$(dpkg-query -W -f='${Status}' kiv)" = "deinstall ok config-files" ] || fail "not removed"
[ -f "$root/kiv.conf" ] && [ -f /etc/default/kiv ] || fail "dpkg -r took the configuration"
[ ! -e "$root/bin/kivd" ] || fail "dpkg -r left the programs"
[ -s "$root/www/kiv/dnl/icon.svg" ] || fail "dpkg -r took the downloads"
[ -z "$(find /tmp -maxdepth 1 \( -name kiv.conf -o -name kiv-names -o -name kiv-sl \) -user www-data)" ] ||
  fail "dpkg -r left what kivd published in /tmp"

# Purged: only the downloads are left, root's.
dpkg --purge kiv </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge failed"; }
! dpkg-query -W kiv >/dev/null 2>&1 || fail "still known to dpkg after purge"
! ls /etc/init.d/kiv /etc/default/kiv /etc/rc?.d/*kiv >/dev/null 2>&1 || fail "purge left files in /etc"
! dpkg-statoverride --list | grep -q " $root/" || fail "purge left ownership overrides"
left=$(cd "$root" && find . | sort | xargs)
[ "$left" = ". ./www ./www/kiv ./www/kiv/dnl ./www/kiv/dnl/icon.svg ./www/kiv/dnl/made" ] ||
  fail "after purge: $left"
[ "$(stat -c '%a %U:%G' "$root/www/kiv")" = "755 root:root" ] || fail "purge left www/kiv $(stat -c '%a %U:%G' "$root/www/kiv")"
[ -z "$(find "$root" ! -user root -printf '%p ')" ] || fail "purge left files of others: $(find "$root" ! -user root)"
! ls /etc/systemd/system/*/kiv*.service /var/log/kiv-web.log >/dev/null 2>&1 || fail "purge left files"
rm -rf "$root"

[ -n "$previous" ] || { echo "package test: ok (no upgrade)"; exit 0; }

# The previous release as its owner left it: kiv.conf and /etc/default/kiv
# edited, the box running, locked with its initial password.
dpkg -i "$previous" </dev/null >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "the previous release's package did not install"; }
sed -i "s/^KIV_ADDRESS=.*/KIV_ADDRESS=127.0.0.1/; s/^KIV_PORT=.*/KIV_PORT=$port/" /etc/default/kiv
echo "hosts=nas.example.org" >>"$root/kiv.conf"
cp "$root/kiv.conf" "$work/kiv.conf"
cp /etc/default/kiv "$work/default"
secret=$(sed -n 's/^password: //p' "$root/etc/initial-password")
owner=(-u "kivadmin:$secret")
/etc/init.d/kiv start >/dev/null || fail "the previous release did not start"
eventually curl -s -o /dev/null "$box/" || fail "the previous release's web server does not answer"

# Upgraded with no terminal, the scripts free to stop and start the box:
# nothing asked, the settings as the owner left them, the box serving with
# them, its lock kept.
# (The policy layer allows it: this namespace has no runlevel, for which
# invoke-rc.d would refuse a start.)
printf '#!/bin/sh\nexit 0\n' >"$policy"
dpkg -i "$deb" </dev/null >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "the upgrade from $previous_version failed"; }
[ "$(dpkg-query -W -f='${Status} ${Version}' kiv)" = "install ok installed $version" ] ||
  fail "not upgraded: $(dpkg-query -W -f='${Status} ${Version}' kiv)"
cmp -s "$work/kiv.conf" "$root/kiv.conf" && cmp -s "$work/default" /etc/default/kiv ||
  fail "the upgrade changed the owner's settings"
code_for() { curl -s -o /dev/null -w '%{http_code}' -H "Host: $1:$port" "${@:2}" "$box/"; }
serves_owner() { [ "$(code_for nas.example.org "${owner[@]}")" = 200 ]; }
eventually serves_owner ||
  fail "the upgraded box does not serve under the owner's host name: $(code_for nas.example.org "${owner[@]}")"
[ "$(code_for 127.0.0.1)" = 401 ] || fail "the upgrade opened the box"
answer=$(ctl -H "Host: nas.example.org:$port" -d cmd=run -d "file=$(enc 'id -un')")
[[ $answer == www-data* ]] || fail "the upgraded programs do not answer: $answer"
# The initial password moved where the page's lock can take it; the lock
# files only the web server's user reads.
[ "$(stat -c '%a %U' "$initial")" = "600 root" ] && [ ! -e "$root/etc/initial-password" ] ||
  fail "the initial password was not moved"
for dir in www/kiv www/kiv/trk www/kiv/cgi-bin; do
  [ "$(stat -c '%a %U' "$root/$dir/.htpasswd")" = "600 www-data" ] || fail "$dir/.htpasswd is readable by others"
done
[[ $(ctl -d cmd=lock -d "file=kivowner:$password") == Close* ]] || fail "the owner's lock failed"
[ ! -e "$initial" ] || fail "the initial password stays after the owner set theirs"
dpkg --purge kiv </dev/null >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge failed"; }
[ ! -e "$root" ] && [ ! -e /etc/default/kiv ] || fail "purge after the upgrade left $(find "$root" /etc/default/kiv | xargs)"
echo "package test: ok"
