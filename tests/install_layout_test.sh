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
for program in kiv-ctl kiv-list kiv-torrent kiv-upload; do
  # There the lock would not always cover them.
  [ ! -e "$root/www/kivfb/cgi-bin/$program" ] || fail "$program is in the second web directory"
done
[ -f "$root/kiv.conf" ] || fail "kiv.conf is not installed"
# The page: its files beside the programs. What travels is each file
# compressed (the server compresses them): 38944 bytes at most, 103300 unpacked,
# and one language's catalogue (loaded only when chosen) 8 KB at most.
for file in index.html kiv.css icon.svg js/main.js js/lang/de.js; do
  [ -f "$root/www/kiv/$file" ] || fail "the page's $file is not installed"
done
page_files() { find "$root/www/kiv" \( -path "$root/www/kiv/cgi-bin" -o -path "$root/www/kiv/js/lang" \) -prune -o -type f "$@"; }
for catalogue in "$root"/www/kiv/js/lang/*.js; do
  packed=$(gzip -9c "$catalogue" | wc -c)
  [ "$packed" -le 8192 ] || fail "the catalogue ${catalogue##*/} has $packed bytes compressed, more than 8 KB"
done
page_bytes=$(page_files -printf '%s\n' | awk '{ n += $1 } END { print n }')
packed_bytes=$(page_files -exec sh -c 'gzip -9c "$1" | wc -c' sh {} \; | awk '{ n += $1 } END { print n }')
[ "$page_bytes" -le 103300 ] || fail "the page has $page_bytes bytes, more than 103300"
[ "$packed_bytes" -le 38944 ] || fail "the page has $packed_bytes bytes compressed, more than 38944"
# The sample holds no tokens: every default stands until someone edits it.
if sed 's/#.*//' "$root/kiv.conf" | grep -q '[^[:space:]]'; then
  fail "kiv.conf sets values"
fi
echo "install layout: ok"
