# shellcheck shell=bash
# Sourced by lighthouse.sh and peers.sh: fetches what the comparisons need
# into bench/.deps (ignored by git): Lighthouse from npm, and Debian's
# transmission-daemon with its web files and libraries, unpacked, never
# installed.
deps=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/.deps
mkdir -p "$deps"
[ -e "$deps/node_modules/lighthouse" ] ||
  npm i -E --no-audit --no-fund --prefix "$deps" lighthouse@12.2.3 >/dev/null
if [ ! -x "$deps/td/usr/bin/transmission-daemon" ]; then
  (cd "$deps" && apt-get download transmission-daemon transmission-common libminiupnpc17 libnatpmp1 2>/dev/null &&
    for f in *.deb; do dpkg -x "$f" td; done && rm -f ./*.deb)
fi
