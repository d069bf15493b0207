#!/usr/bin/env bash
# Serves an installation root with lighttpd: the web directory at /, the
# second web directory at /kivfb/, the CGI programs in their cgi-bin/.
# Basic Authentication follows the lock files: a directory that holds
# .htpasswd closes itself and everything below it. The pages get a strict
# content policy; everything else (CGI answers, downloads, job logs) is
# served sandboxed, and version.html not at all. Nothing is served through
# a link below dnl/ and trk/, and nothing to another site's page.
# Usage: scripts/webserver.sh ROOT PORT [ADDRESS [USER]]   (runs in the foreground)
# ADDRESS is where it listens (default 127.0.0.1; 0.0.0.0 for the home
# network); USER, given to a root start, is whom lighttpd runs as once it
# has bound the port (default: whoever started it).
set -euo pipefail
# Without links: the server follows none below dnl/ and trk/ of it.
root=$(cd "$1" && pwd -P)
port=$2
address=${3:-127.0.0.1}
user=${4:-}
# The paths go into configuration and script literals: keep them plain.
case "$root" in *[!A-Za-z0-9/._-]*) echo "webserver: unsupported root path: $root" >&2; exit 1;; esac
case "$port" in '' | *[!0-9]*) echo "webserver: bad port: $port" >&2; exit 1;; esac
case "$address" in '' | *[!0-9A-Fa-f.:\[\]]*) echo "webserver: bad address: $address" >&2; exit 1;; esac
case "$user" in *[!A-Za-z0-9._-]*) echo "webserver: bad user: $user" >&2; exit 1;; esac

www=$root/www/kiv
fb=$root/www/kivfb
# The download directory may be a link itself (to a USB disk, say): it is
# served from where it leads.
dnl=$(readlink -f "$www/dnl")
case "$dnl" in *[!A-Za-z0-9/._-]*) echo "webserver: unsupported download directory: $dnl" >&2; exit 1;; esac
etc=$root/etc
mkdir -p "$etc" "$root/log"
# lighttpd opens its error log after it has become USER. Root changes
# nothing inside log/ (USER could have placed a link there): a log that
# USER cannot write is removed, which follows no link.
if [ -n "$user" ]; then
  chown -h "$user:" "$root/log"
  find "$root/log" -maxdepth 1 -name webserver.log ! -user "$user" -delete
fi

# The directories the lock ("lock" of kiv-ctl) writes .htpasswd into.
lock_directories() { cat "$(dirname "$0")/lock-directories"; }

# The gate script with this installation's values (all plain paths).
lock_dirs=""
for dir in $(lock_directories); do lock_dirs+="\"$root/$dir\", "; done
sed -e "s|@WWW@|$www|; s|@FB@|$fb|; s|@LOCK_DIRS@|$lock_dirs|" \
    -e "s|@NAMES@|/tmp/kiv-names|; s|@UID@|$(id -u $user)|" \
    "$(dirname "$0")/webserver.lua" > "$etc/lock.lua.new"
mv "$etc/lock.lua.new" "$etc/lock.lua"

# Of both web directories' own files and of the downloads only these
# types are named; a downloaded page, script or style sheet goes as text,
# which no browser runs or applies, whoever includes it.
media_types='".svg" => "image/svg+xml", ".png" => "image/png", ".gif" => "image/gif", ".jpg" => "image/jpeg",
                    ".wgt" => "text/plain", ".tor" => "text/plain", ".nfo" => "text/plain",
                    ".amu" => "text/plain", "" => "application/octet-stream"'
page_policy="default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"

auth_block() {
  cat <<BLOCK
\$REQUEST_HEADER["X-Kiv-Lock"] == "$1" {
  auth.backend.htpasswd.userfile = "$2"
  auth.require = ( "" => ( "method" => "basic", "realm" => "kiv", "require" => "valid-user" ) )
}
BLOCK
}

{
  cat <<CONF
server.modules = ( "mod_access", "mod_alias", "mod_magnet", "mod_auth", "mod_authn_file", "mod_cgi",
                    "mod_setenv", "mod_deflate" )
server.document-root = "$www"
server.bind = "$address"
server.port = $port
server.errorlog = "$root/log/webserver.log"
server.tag = "kiv"
# A lock removed within a second must be noticed at once.
server.stat-cache-engine = "disable"
# Uploads go to the CGI as they arrive, downloads to the client likewise:
# nothing is spooled whole.
server.stream-request-body = 2
server.stream-response-body = 2
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html", ".js" => "text/javascript", ".css" => "text/css",
                    $media_types )
alias.url = ( "/kivfb/" => "$fb/", "/dnl/" => "$dnl/" )
url.access-deny = ( ".htpasswd" )
# The gate again as each answer starts: it counts the wrong passwords.
magnet.attract-response-start-to = ( "$etc/lock.lua" )
# Text is compressed where the client accepts it: the page's files and the
# status answers (below). Downloads and job logs go as they are (their
# lengths and ranges stay exact).
deflate.allowed-encodings = ( "br", "gzip", "deflate" )
deflate.mimetypes = ( )
magnet.attract-raw-url-to = ( "$etc/lock.lua" )
auth.backend = "htpasswd"
\$HTTP["url"] =~ "^/(kivfb/)?cgi-bin/" {
  cgi.assign = ( "" => "" )
}
# Written from whatever the release server sent: never served as a page.
\$HTTP["url"] =~ "^/+version\\.html\$" {
  url.access-deny = ( "" )
}
# Everything that is data (the programs' answers, downloads, job logs) is
# shown without scripts, in an origin of its own, never sniffed into a
# page, and to no other site's page (not as its script, style or image).
\$HTTP["url"] =~ "^/+(kivfb/+)?cgi-bin(/|\$)|^/+(dnl|trk)(/|\$)" {
  setenv.set-response-header = (
    "Content-Security-Policy" => "sandbox",
    "X-Content-Type-Options" => "nosniff",
    "Cross-Origin-Resource-Policy" => "same-origin" )
  \$HTTP["url"] =~ "^/+(dnl|trk)/" {
    # A link that a download brought, or that the programs' user placed,
    # leads nowhere. (The programs themselves are links to one file.)
    server.follow-symlink = "disable"
    mimetype.assign = ( ".html" => "text/plain", ".js" => "text/plain", ".css" => "text/plain",
                        $media_types )
  }
  # (The status answer is taken whole to be compressed: it is text of at
  # most a few hundred KB.)
  \$HTTP["url"] =~ "^/+cgi-bin/+kiv-list\$" {
    server.stream-response-body = 0
    deflate.mimetypes = ( "text/" )
  }
}
# The rest is pages: the front end's own files and the second web
# directory's (its owner's): their own scripts and styles only, no inline
# script, no eval, in no one's frame.
# Kept by the browser, and asked again each time with the validators
# (ETag, Last-Modified) the server sends, so an unchanged file is a 304.
else {
  setenv.set-response-header = (
    "Content-Security-Policy" => "$page_policy",
    "X-Content-Type-Options" => "nosniff",
    "Cross-Origin-Resource-Policy" => "same-origin",
    "Cache-Control" => "no-cache" )
  deflate.mimetypes = ( "text/html", "text/css", "text/javascript", "image/svg+xml" )
}
CONF
  [ -z "$user" ] || printf 'server.username = "%s"\nserver.groupname = "%s"\n' "$user" "$user"
  first=1
  for dir in $(lock_directories); do
    [ $first = 1 ] || printf 'else '
    first=0
    auth_block "$root/$dir/.htpasswd" "$root/$dir/.htpasswd"
  done
  # Any other lock file: closed to everyone rather than open.
  printf 'else '
  auth_block '' "$etc/no-such-user-file" | sed 's/== ""/=~ "."/'
} > "$etc/webserver.conf"

lighttpd -tt -f "$etc/webserver.conf" >/dev/null
exec lighttpd -D -f "$etc/webserver.conf"
