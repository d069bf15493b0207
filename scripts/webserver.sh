#!/usr/bin/env bash
# Serves an installation root with lighttpd: the web directory at /, the
# second web directory at /kivfb/, the CGI programs in their cgi-bin/.
# Basic Authentication follows the lock files: a directory that holds
# .htpasswd closes itself and everything below it. The front end's
# pages get a strict content policy; everything else of the box (CGI
# answers, downloads, job logs) is served sandboxed, and version.html not
# at all.
# Usage: scripts/webserver.sh ROOT PORT [ADDRESS [USER]]   (runs in the foreground)
# ADDRESS is where it listens (default 127.0.0.1; 0.0.0.0 for the home
# network); USER, given to a root start, is whom lighttpd runs as once it
# has bound the port (default: whoever started it).
set -euo pipefail
root=$(cd "$1" && pwd)
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
etc=$root/etc
mkdir -p "$etc" "$root/log"
# lighttpd opens its error log after it has become USER.
if [ -n "$user" ]; then
  chown -h "$user:" "$root/log"
  [ ! -e "$root/log/webserver.log" ] || chown -h "$user:" "$root/log/webserver.log"
fi

cat > "$etc/lock.lua" <<LUA
-- Names the lock file that protects the request, if any, in the header
-- X-Kiv-Lock; the server configuration asks for credentials on it.
local r = lighty.r
r.req_header["X-Kiv-Lock"] = nil -- never trust a copy from the client

local www, fb = "$www", "$fb"
local path = (r.req_attr["uri.path"] or "/"):gsub("/+", "/")
local area, rest = www, path
if path == "/kivfb" or path:sub(1, 7) == "/kivfb/" then area, rest = fb, path:sub(7) end

-- The names the box answers to, by the programs' rules: IP literals,
-- localhost, this machine's name alone or with a local suffix, and the
-- hosts= list that kivd publishes.
local function known_host(host)
  host = host:lower()
  local name, port = host:match("^(%[[%x:.]+%])(.*)$")
  if not name then name, port = host:match("^([^:]*)(.*)$") end
  if port ~= "" and not port:match("^:%d+$") then return false end
  name = (name:gsub("%.$", ""))
  if name == "localhost" or name:match("^%[") or name:match("^%d+%.%d+%.%d+%.%d+$") then
    return true
  end
  local f = io.open("/proc/sys/kernel/hostname")
  local own = f and (f:read("l") or ""):lower() or ""
  if f then f:close() end
  for _, base in ipairs({ own, own:match("^[^.]*") }) do
    for _, suffix in ipairs({ "", ".local", ".lan", ".home", ".home.arpa", ".localdomain" }) do
      if base ~= "" and name == base .. suffix then return true end
    end
  end
  f = io.open("/tmp/kiv.conf")
  if not f then return false end
  local found = false
  for line in f:lines() do
    for entry in (line:match("^hosts=(.*)$") or ""):gmatch("[^,]+") do
      if (entry:lower():gsub(":%d+$", ""):gsub("%.$", "")) == name then found = true end
    end
  end
  f:close()
  return found
end

-- A site that points a name of its own at the box (DNS rebinding) reads
-- nothing of it: not the downloads, not the job logs. The programs in
-- cgi-bin/ give their own answer, which says how to allow a name.
local host = r.req_header["Host"]
if area == www and not rest:match("^/cgi%-bin/") and host and not known_host(host) then
  r.resp_header["Content-Type"] = "text/plain; charset=utf-8"
  r.resp_header["Content-Security-Policy"] = "sandbox"
  r.resp_header["X-Content-Type-Options"] = "nosniff"
  r.resp_body.set({ "Unknown host name: ", host, "\nTo reach the box by this name, add it to ",
                    "hosts= in kiv.conf in the installation root and start kivd again.\n" })
  return 421
end

local function parent(p)
  local up = p:match("^(.*)/[^/]*$")
  if not up or #up < #area then return area end
  return up
end

-- The longest part of the path that exists: extra path components after
-- a program (path-info) must not lead past its directory's lock.
local p = (area .. rest):gsub("/+$", "")
while #p > #area and not lighty.c.stat(p) do p = parent(p) end
local st = lighty.c.stat(p)
local dir = (st and st.is_dir) and p or parent(p)
local first = dir

-- The nearest lock file from there up to the root of the area.
while true do
  local lock = dir .. "/.htpasswd"
  if lighty.c.stat(lock) then
    r.req_header["X-Kiv-Lock"] = lock
    break
  end
  if #dir <= #area then break end
  dir = parent(dir)
end

-- Programs in the second area's cgi-bin/ (an older installation put the
-- box's own there) are locked whenever the box is.
local fbcgi = fb .. "/cgi-bin"
if not r.req_header["X-Kiv-Lock"] and (first == fbcgi or first:sub(1, #fbcgi + 1) == fbcgi .. "/")
    and lighty.c.stat(www .. "/.htpasswd") then
  r.req_header["X-Kiv-Lock"] = www .. "/.htpasswd"
end
LUA

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
                    "mod_setenv" )
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
                    ".svg" => "image/svg+xml", ".png" => "image/png", ".gif" => "image/gif", ".jpg" => "image/jpeg",
                    ".wgt" => "text/plain", ".tor" => "text/plain", ".nfo" => "text/plain",
                    ".amu" => "text/plain", "" => "application/octet-stream" )
alias.url = ( "/kivfb/" => "$fb/" )
url.access-deny = ( ".htpasswd" )
magnet.attract-raw-url-to = ( "$etc/lock.lua" )
auth.backend = "htpasswd"
\$HTTP["url"] =~ "^/(kivfb/)?cgi-bin/" {
  cgi.assign = ( "" => "" )
}
# Written from whatever the release server sent: never served as a page.
\$HTTP["url"] =~ "^/+version\\.html\$" {
  url.access-deny = ( "" )
}
# Everything of the box that is data (CGI answers, downloads, job logs) is
# shown without scripts, in an origin of its own, never sniffed into a page.
\$HTTP["url"] =~ "^/+(cgi-bin|dnl|trk)(/|\$)" {
  setenv.set-response-header = (
    "Content-Security-Policy" => "sandbox",
    "X-Content-Type-Options" => "nosniff" )
}
# The rest of the web directory is the front end's own files: their own
# scripts and styles only, no inline script, no eval, in no one's frame.
# (The second web directory holds the user's own pages.)
else \$HTTP["url"] !~ "^/kivfb(/|\$)" {
  setenv.set-response-header = (
    "Content-Security-Policy" => "$page_policy",
    "X-Content-Type-Options" => "nosniff" )
}
CONF
  [ -z "$user" ] || printf 'server.username = "%s"\nserver.groupname = "%s"\n' "$user" "$user"
  first=1
  for dir in "$www" "$www/trk" "$www/cgi-bin" "$www/dnl" "$fb" "$fb/cgi-bin"; do
    [ $first = 1 ] || printf 'else '
    first=0
    auth_block "$dir/.htpasswd" "$dir/.htpasswd"
  done
  # Any other lock file: closed to everyone rather than open.
  printf 'else '
  auth_block '' "$etc/no-such-user-file" | sed 's/== ""/=~ "."/'
} > "$etc/webserver.conf"

lighttpd -tt -f "$etc/webserver.conf" >/dev/null
exec lighttpd -D -f "$etc/webserver.conf"
