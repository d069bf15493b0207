# Sourced by the benchmarks: a scratch installation root in $work, published
# through /tmp/kiv.conf, which is shared with the tests, so the benchmark
# takes its turn with them and puts the file back as it found it.
exec 9</tmp
flock 9

work=$(mktemp -d /tmp/kiv-bench.XXXXXX)
saved_conf=
[ -e /tmp/kiv.conf ] && saved_conf=$(cat /tmp/kiv.conf)
bench_cleanup() {
  rm -rf "$work"
  if [ -n "$saved_conf" ]; then printf '%s\n' "$saved_conf" > /tmp/kiv.conf; else rm -f /tmp/kiv.conf; fi
}
trap bench_cleanup EXIT

mkdir -p "$work/bin" "$work/www/kiv/trk" "$work/www/kiv/dnl" "$work/www/kivfb"
dnl=$work/www/kiv/dnl
cat > /tmp/kiv.conf <<CONF
droo=$work/
dbin=$work/bin/
wget=wget
ctor=ctorrent
dwww=$work/www/kiv/
dufb=$work/www/kivfb/
dnldir=$work/www/kiv/dnl/
pidfile=$work/bin/kiv.pid
CONF
