#!/usr/bin/env bash
# cmake --install lays out an installation root the programs can run from.
set -eu
build=$1
root=$(mktemp -d /tmp/kiv-install.XXXXXX)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root" >/dev/null

fail() { echo "install layout: $*" >&2; exit 1; }
for dir in bin scripts www/kiv/cgi-bin www/kiv/trk www/kivfb/cgi-bin; do
  [ -d "$root/$dir" ] || fail "missing directory $dir"
done
for program in www/kiv/cgi-bin/kiv-ctl www/kiv/cgi-bin/kiv-list www/kiv/cgi-bin/kiv-upload bin/htpasswd; do
  [ -x "$root/$program" ] || fail "$program is not installed"
done
[ -f "$root/kiv.conf" ] || fail "kiv.conf is not installed"
# The sample holds no tokens: every default stands until someone edits it.
if sed 's/#.*//' "$root/kiv.conf" | grep -q '[^[:space:]]'; then
  fail "kiv.conf sets values"
fi
echo "install layout: ok"
