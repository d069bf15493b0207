-- The web server's gate (lighttpd mod_magnet, before anything else of a
-- request): refuses names that are not the box's, methods the programs do
-- not serve, and an address that sent too many wrong passwords; serves of
-- the web directories only what their owner put there; and names the lock
-- file that protects the request in the header X-Kiv-Lock, on which the
-- server configuration asks for credentials. It runs again when the answer
-- starts, to count wrong passwords. webserver.sh fills in the @...@
-- values when it writes the server configuration.
local r = lighty.r

-- Wrong passwords are counted per client address, however many
-- connections bring them: once an address has sent this many different
-- wrong credentials within the window (seconds) since its first, any other
-- credentials it sends are refused until the window has passed. The same
-- wrong credentials again (a browser that kept an old password) count once.
local max_wrong_passwords, wrong_password_window = 10, 60
-- Kept for the server's lifetime (_G outlives a request), shared by both
-- stages this script runs at.
local wrong = _G.kiv_wrong_passwords or {} -- address → { since, count, seen }
_G.kiv_wrong_passwords = wrong
local address = r.req_attr["request.remote-addr"]

-- The address's record while its window lasts.
local function wrong_passwords(now)
  local entry = wrong[address]
  if entry and now - entry.since >= wrong_password_window then
    wrong[address], entry = nil, nil
  end
  return entry
end

-- The answer is starting: a 401 to a request that carried credentials
-- was a wrong password.
if r.req_item.http_status ~= 0 then
  local credentials = r.req_header["Authorization"]
  if r.req_item.http_status == 401 and credentials then
    local now = lighty.c.time()
    local entry = wrong_passwords(now)
    if not entry then
      for other, e in pairs(wrong) do -- forget the windows that passed
        if now - e.since >= wrong_password_window then wrong[other] = nil end
      end
      entry = { since = now, count = 0, seen = {} }
      wrong[address] = entry
    end
    local digest = lighty.c.md("sha256", credentials)
    if not entry.seen[digest] then
      entry.seen[digest] = true
      entry.count = entry.count + 1
    end
  end
  return
end

r.req_header["X-Kiv-Lock"] = nil -- never trust a copy from the client

local www, fb = "@WWW@", "@FB@"
-- The directories the lock writes .htpasswd into: nowhere else does one
-- count (a downloaded dnl/.htpasswd must not take the lock over).
local lock_dirs = { @LOCK_DIRS@ }
-- The names the box answers to, one a line, as kivd publishes them, and
-- the user the server runs as (its copy counts, or root's).
local names_path, server_uid = "@NAMES@", @UID@
-- kivd writes no longer one: its kBoxNamesMaxSize is built from this line.
-- A longer one, written by someone else, names nothing and is not read.
local names_max = 4096
local programs = { ["kiv-ctl"] = true, ["kiv-list"] = true, ["kiv-torrent"] = true,
                   ["kiv-upload"] = true }

local function refuse(code, text)
  r.resp_header["Content-Type"] = "text/plain; charset=utf-8"
  r.resp_header["Content-Security-Policy"] = "sandbox"
  r.resp_header["X-Content-Type-Options"] = "nosniff"
  r.resp_header["Cross-Origin-Resource-Policy"] = "same-origin"
  r.resp_body.set(text)
  return code
end

-- IP literals as the C library reads them (inet_pton).
local function ipv4(s)
  local parts = { s:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)$") }
  if #parts ~= 4 then return false end
  for _, p in ipairs(parts) do
    if #p > 3 or (#p > 1 and p:sub(1, 1) == "0") or tonumber(p) > 255 then return false end
  end
  return true
end

local function ipv6(s)
  -- Groups in one side of "::" (or the whole): hex groups, a dotted quad last.
  local function groups(part, quad_allowed)
    if part == "" then return 0 end
    local items = {}
    for item in (part .. ":"):gmatch("([^:]*):") do items[#items + 1] = item end
    local n = 0
    for i, item in ipairs(items) do
      if quad_allowed and i == #items and ipv4(item) then
        n = n + 2
      elseif item:match("^%x%x?%x?%x?$") then
        n = n + 1
      else
        return nil
      end
    end
    return n
  end
  local at = s:find("::", 1, true)
  if not at then return groups(s, true) == 8 end
  local head, tail = s:sub(1, at - 1), s:sub(at + 2)
  if tail:find("::", 1, true) then return false end
  local h, t = groups(head, false), groups(tail, true)
  return h ~= nil and t ~= nil and h + t <= 7 -- "::" stands for one group at least
end

-- The name part of a Host value, as the programs take it: lower case,
-- without the port and a trailing dot; nil when it is malformed.
local function host_name(host)
  host = host:lower()
  local name, port
  if host:sub(1, 1) == "[" then
    name, port = host:match("^(%[[^%]]*%])(.*)$")
  else
    name, port = host:match("^([^:]*)(.*)$")
  end
  if not name or (port ~= "" and not port:match("^:%d*$")) then return nil end
  name = name:gsub("%.$", "")
  if name == "" then return nil end
  return name
end

-- Read only from a file that nobody else can have written; a link planted
-- in /tmp by another user is not even followed (protected_symlinks).
local function box_names()
  local st = lighty.c.stat(names_path)
  if not st or not st.is_file or st.st_mode & 18 ~= 0 -- group or others may write
      or (st.st_uid ~= 0 and st.st_uid ~= server_uid) or st.st_size > names_max then
    return {}
  end
  local f = io.open(names_path)
  if not f then return {} end
  local names = {}
  for line in f:lines() do names[line] = true end
  f:close()
  return names
end

local function known_host(host)
  local name = host_name(host)
  if not name then return false end
  if name == "localhost" or ipv4(name) then return true end
  if name:sub(1, 1) == "[" then return ipv6(name:sub(2, -2)) end
  return box_names()[name] == true
end

local path = (r.req_attr["uri.path"] or "/"):gsub("/+", "/")
local area, rest = www, path
if path == "/kivfb" or path:sub(1, 7) == "/kivfb/" then area, rest = fb, path:sub(7) end
local cgi = rest == "/cgi-bin" or rest:sub(1, 9) == "/cgi-bin/"

-- A site that points a name of its own at the box (DNS rebinding) reads
-- nothing of it and runs none of its programs.
local host = r.req_header["Host"]
if host and not known_host(host) then
  -- The programs' own answer.
  local name = host_name(host) or host
  return refuse(421, { "Request refused: unknown host name ", name, " (to reach the box by ",
                       "this name, add hosts=", name, " to kiv.conf in the installation root ",
                       "and start kivd again)" })
end

-- The programs serve GET and POST only: nothing else reaches them (a
-- preflight's URL may carry a command; HEAD would run one unseen).
local method = r.req_attr["request.method"]
if cgi and method ~= "GET" and method ~= "POST" then
  r.resp_header["Allow"] = "GET, POST"
  return refuse(405, { "Request refused: method not served: ", method })
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

-- Whether a part of the path from the area down to p is not the area's
-- owner's: something the programs' user (anyone who passes the lock,
-- through "run") added.
local function added(top)
  local owner, q = lighty.c.stat(top).st_uid, p
  while #q > #top do
    local part = lighty.c.stat(q)
    if not part or part.st_uid ~= owner then return true end
    q = parent(q)
  end
  return false
end

-- Of the box's web directory, only the box's own: the page's files, the
-- four programs, the downloads and the job logs. Of the second one, only
-- the pages and programs its owner put there.
local function under(d) return p == d or p:sub(1, #d + 1) == d .. "/" end
if area == www and st and not under(www .. "/dnl") and not under(www .. "/trk") then
  local program = p:match("^" .. www:gsub("%p", "%%%0") .. "/cgi%-bin/([^/]*)$")
  if added(www) or (under(www .. "/cgi-bin") and p ~= www .. "/cgi-bin" and not programs[program]) then
    return refuse(404, "Not found\n")
  end
end
if area == fb and st and added(fb) then return refuse(404, "Not found\n") end

-- The nearest lock file from there up to the root of the area, in a
-- directory the lock writes.
local is_lock_dir = {}
for _, d in ipairs(lock_dirs) do is_lock_dir[d] = true end
while true do
  local lock = dir .. "/.htpasswd"
  if is_lock_dir[dir] and lighty.c.stat(lock) then
    r.req_header["X-Kiv-Lock"] = lock
    break
  end
  if #dir <= #area then break end
  dir = parent(dir)
end

-- Programs in the second area's cgi-bin/ (an older installation put the
-- box's own there) are locked whenever the box is.
local first = (st and st.is_dir) and p or parent(p)
local fbcgi = fb .. "/cgi-bin"
if not r.req_header["X-Kiv-Lock"] and (first == fbcgi or first:sub(1, #fbcgi + 1) == fbcgi .. "/")
    and lighty.c.stat(www .. "/.htpasswd") then
  r.req_header["X-Kiv-Lock"] = www .. "/.htpasswd"
end

-- Credentials from an address that sent too many wrong ones are not
-- even checked.
local credentials = r.req_header["Authorization"]
if r.req_header["X-Kiv-Lock"] and credentials then
  local now = lighty.c.time()
  local entry = wrong_passwords(now)
  if entry and entry.count >= max_wrong_passwords
      and not entry.seen[lighty.c.md("sha256", credentials)] then
    local wait = tostring(entry.since + wrong_password_window - now)
    r.resp_header["Retry-After"] = wait
    return refuse(429, { "Too many wrong passwords from this address: try again in ", wait,
                         " seconds" })
  end
end
