#!/usr/bin/env python3
"""N clients for T seconds against an installation behind the real lighttpd.

Each client works in a folder of its own below the download directory and
mixes: the full status, the tree, file commands (mkdir, copy, rename, rem),
uploads of random sizes (checked by hash, downloaded back with "dow"),
wget jobs from a loopback HTTP server (checked by hash, then deleted) and,
from one client, kivd started anew (its worker trims the job logs at once).
Every answer is checked: status objects and trees are parsed, command
answers compared exactly. At the end it prints requests per second and
p50/p99 per kind, then the malformed answers, lost or corrupted files,
leftover temporary files and leftover processes.

Usage: bench/load.py [--build DIR] [--clients N] [--seconds T] [--check]
With --check (the CTest run) it exits 1 on any malformed answer, lost
file or leftover; without, it is a benchmark and only reports.
"""
import argparse
import hashlib
import http.client
import http.server
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CGI = "/cgi-bin/"
# Same as the receiver's temporary names: "." NAME ".upload-" and six more.
TEMPORARY = re.compile(r"^\..+\.upload-[A-Za-z0-9]{6}$")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def content(seed, size):
    """Reproducible bytes for a file: both ends compute them."""
    out = bytearray()
    block = hashlib.sha256(seed.encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block * 64
    return bytes(out[:size])


def human_size(n):
    """The listing's size text."""
    import math

    def one(value, unit):
        return "%.1f %s" % (math.floor(value * 10 + 0.5) / 10, unit)

    import struct

    def as_float(x):  # the listing divides in single precision
        return struct.unpack("f", struct.pack("f", x))[0]

    if n > 1073741824:
        return one(as_float(as_float(n) / 1073741824.0), "G")
    if n > 1048576:
        return one(as_float(as_float(n) / 1048576.0), "M")
    if n > 1024:
        return one(as_float(as_float(n) / 1024.0), "K")
    return str(n)


class Malformed(Exception):
    pass


class ScriptObject:
    """Reads the script-object answers the way the page does: its own small
    parser, never eval. Keys may be bare words; strings in ' or " with the
    escapes the programs write."""

    ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", "'": "'", '"': '"'}

    def __init__(self, text):
        self.text, self.at = text, 0

    def parse(self):
        value = self.value()
        self.blanks()
        if self.at != len(self.text):
            raise Malformed("text after the object at %d" % self.at)
        return value

    def blanks(self):
        while self.at < len(self.text) and self.text[self.at] in " \t\r\n":
            self.at += 1

    def expect(self, c):
        self.blanks()
        if not self.text.startswith(c, self.at):
            raise Malformed("expected %r at %d: %r" % (c, self.at, self.text[self.at:self.at + 40]))
        self.at += 1

    def value(self):
        self.blanks()
        if self.at >= len(self.text):
            raise Malformed("ends early")
        c = self.text[self.at]
        if c == "{":
            self.at += 1
            out = {}
            self.blanks()
            if self.text.startswith("}", self.at):
                self.at += 1
                return out
            while True:
                self.blanks()
                key = self.key()
                self.expect(":")
                out[key] = self.value()
                self.blanks()
                if self.text.startswith("}", self.at):
                    self.at += 1
                    return out
                self.expect(",")
        if c == "[":
            self.at += 1
            out = []
            self.blanks()
            if self.text.startswith("]", self.at):
                self.at += 1
                return out
            while True:
                out.append(self.value())
                self.blanks()
                if self.text.startswith("]", self.at):
                    self.at += 1
                    return out
                self.expect(",")
        if c in "'\"":
            return self.string()
        m = re.compile(r"-?[0-9]+").match(self.text, self.at)
        if m:
            self.at = m.end()
            return int(m.group())
        raise Malformed("no value at %d: %r" % (self.at, self.text[self.at:self.at + 40]))

    def key(self):
        if self.text[self.at] in "'\"":
            return self.string()
        m = re.compile(r"[A-Za-z_][A-Za-z0-9_]*").match(self.text, self.at)
        if not m:
            raise Malformed("no key at %d" % self.at)
        self.at = m.end()
        return m.group()

    def string(self):
        quote = self.text[self.at]
        self.at += 1
        out = []
        while self.at < len(self.text):
            c = self.text[self.at]
            self.at += 1
            if c == quote:
                return "".join(out)
            if c in "\r\n\u2028\u2029":
                raise Malformed("line end inside a string")
            if c != "\\":
                out.append(c)
                continue
            e = self.text[self.at:self.at + 1]
            self.at += 1
            if e in self.ESCAPES:
                out.append(self.ESCAPES[e])
            elif e == "x":
                out.append(chr(int(self.text[self.at:self.at + 2], 16)))
                self.at += 2
            elif e == "u":
                out.append(chr(int(self.text[self.at:self.at + 4], 16)))
                self.at += 4
            else:
                raise Malformed("unknown escape \\%s" % e)
        raise Malformed("string not closed")


class Tree(__import__("html.parser").parser.HTMLParser):
    """Checks a tree answer: nested lists, every element closed in order."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open, self.ids, self.error = [], [], None

    def handle_starttag(self, tag, attrs):
        self.open.append(tag)
        if tag == "span":
            self.ids.append(dict(attrs).get("id"))

    def handle_endtag(self, tag):
        if not self.open or self.open.pop() != tag:
            self.error = "unbalanced </%s>" % tag


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.times = {}
        self.malformed = []
        self.lost = []

    def timed(self, kind, seconds):
        with self.lock:
            self.times.setdefault(kind, []).append(seconds)

    def bad(self, kind, what):
        with self.lock:
            self.malformed.append("%s: %s" % (kind, what))

    def loss(self, what):
        with self.lock:
            self.lost.append(what)


class Source(http.server.BaseHTTPRequestHandler):
    """The loopback server wget jobs download from: /SEED/SIZE gives
    content(SEED, SIZE), paced so that jobs run for a while."""

    protocol_version = "HTTP/1.0"

    def do_GET(self):
        try:
            _, seed, size = self.path.split("/")
            data = content(seed, int(size))
        except ValueError:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        try:
            for at in range(0, len(data), 65536):
                self.wfile.write(data[at:at + 65536])
                time.sleep(0.05)
        except OSError:
            pass

    def log_message(self, *args):
        pass


class Box:
    """A scratch installation: kivd started from it, lighttpd serving it."""

    # What kivd publishes is shared with the tests (they take turns): put
    # back as it was.
    SHARED = ("/tmp/kiv.conf", "/tmp/kiv-names")

    def __init__(self, build):
        self.saved = {}
        for path in self.SHARED:
            try:
                with open(path, "rb") as f:
                    self.saved[path] = f.read()
            except FileNotFoundError:
                pass
        self.root = tempfile.mkdtemp(prefix="kiv-load.")
        subprocess.run(["cmake", "--install", build, "--prefix", self.root],
                       check=True, stdout=subprocess.DEVNULL)
        self.dnl = os.path.join(self.root, "www/kiv/dnl/")
        self.trk = os.path.join(self.root, "www/kiv/trk/")
        self.port = free_port()
        self.start_kivd()
        self.server = subprocess.Popen(
            ["bash", os.path.join(SOURCE, "scripts/webserver.sh"), self.root, str(self.port)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A loaded machine may take many seconds to start it.
        started = time.monotonic() + 60
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                break
            except OSError:
                if time.monotonic() > started:
                    raise SystemExit("the web server did not start")
                time.sleep(0.05)

    def pids(self, program):
        """The processes started as `program`: one program file runs under
        all five names, so its file and the name it was started under."""
        found = []
        real, name = os.path.realpath(program), os.path.basename(program)
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                exe = os.readlink("/proc/%s/exe" % pid)
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv0 = f.read().split(b"\0")[0].decode("utf-8", "replace")
            except OSError:
                continue
            if exe.replace(" (deleted)", "") == real and os.path.basename(argv0) == name:
                found.append(int(pid))
        return found

    def daemons(self):
        return self.pids(os.path.join(self.root, "bin/kivd"))

    def start_kivd(self):
        """Ends the running kivd and starts another: a new one publishes the
        configuration again and trims the job logs at once."""
        for pid in self.daemons():
            os.kill(pid, signal.SIGTERM)
        subprocess.run([os.path.join(self.root, "bin/kivd")], check=True,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        for pid in self.daemons():
            os.kill(pid, signal.SIGTERM)
        self.server.terminate()
        self.server.wait()
        for path in self.SHARED:
            if path in self.saved:
                with open(path, "wb") as f:
                    f.write(self.saved[path])
            elif os.path.exists(path):
                os.remove(path)


class Client(threading.Thread):
    def __init__(self, number, box, source_port, stats, deadline, trimmer):
        super().__init__(daemon=True)
        self.number, self.box, self.stats, self.deadline = number, box, stats, deadline
        self.source_port, self.trimmer = source_port, trimmer
        self.folder = "c%d" % number
        self.random = random.Random(number)
        self.files = {}  # name in the folder -> sha256 of what must be there
        self.jobs = {}  # file name -> (seed, size) of running wget jobs
        self.serial = 0

    # --- HTTP

    def request(self, kind, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.box.port, timeout=60)
        start = time.monotonic()
        try:
            connection.request(method, path, body=body, headers={"X-Kiv": "1", **(headers or {})})
            response = connection.getresponse()
            data = response.read()
        except (OSError, http.client.HTTPException) as error:
            self.stats.bad(kind, "no answer: %s" % error)
            return None, b""
        finally:
            connection.close()
        self.stats.timed(kind, time.monotonic() - start)
        return response, data

    def ctl(self, kind, **fields):
        query = urllib.parse.urlencode(fields)
        response, data = self.request(kind, "GET", CGI + "kiv-ctl?" + query)
        return data.decode("utf-8", "replace") if response else None

    def command(self, kind, **fields):
        answer = self.ctl(kind, **fields)
        if answer is not None and answer != "OK":
            self.stats.bad(kind, "%s answered %r" % (fields, answer[:200]))
        return answer == "OK"

    def status(self):
        response, data = self.request(
            "status", "GET", CGI + "kiv-list?full=1&curdir=" + self.folder)
        if response is None:
            return None
        try:
            status = ScriptObject(data.decode("utf-8")).parse()
            for member in ("nfo", "amu", "tor", "wgt", "torrents", "wgets", "curdir", "dnl", "disk"):
                if member not in status:
                    raise Malformed("no %s" % member)
            if status["curdir"] != self.folder:
                raise Malformed("curdir %r" % status["curdir"])
            return status
        except (Malformed, UnicodeDecodeError, ValueError) as error:
            self.stats.bad("status", "%s: %r" % (error, data[:300]))
            return None

    # --- the kinds of work

    def check_listing(self):
        status = self.status()
        if status is None:
            return None
        listed = {entry["file"]: entry for entry in status["dnl"]}
        for name, digest in self.files.items():
            if name not in listed:
                self.stats.loss("%s/%s is not listed" % (self.folder, name))
            elif listed[name]["size"] != human_size(len(self.expected[name])):
                self.stats.loss("%s/%s is listed as %s" % (self.folder, name, listed[name]["size"]))
        return listed

    def tree(self):
        response, data = self.request("tree", "GET", CGI + "kiv-list?cmd=tree&file=tree1")
        if response is None:
            return
        text = data.decode("utf-8", "replace")
        parser = Tree()
        parser.feed(text)
        parser.close()
        if (parser.error or parser.open or not text.startswith("<ul rel=open id=tree1>")
                or not text.endswith("</ul>")):
            self.stats.bad("tree", "%s: %r" % (parser.error or "not a whole tree", text[:300]))

    def upload(self):
        self.serial += 1
        name = "up%d-%d.bin" % (self.number, self.serial)
        size = self.random.choice([0, 1, 1000, 131071, 131072, 131073]) \
            if self.random.random() < 0.3 else self.random.randint(0, 3 << 20)
        data = content(name, size)
        boundary = "----load%08x" % self.random.getrandbits(32)
        body = (("--%s\r\nContent-Disposition: form-data; name=\"up\"; filename=\"%s\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n" % (boundary, name)).encode()
                + data + ("\r\n--%s--\r\n" % boundary).encode())
        response, answer = self.request(
            "upload", "POST", CGI + "kiv-upload", body,
            {"Content-Type": "multipart/form-data; boundary=" + boundary,
             "Cookie": "curdir=/" + self.folder})
        if response is None:
            return
        if response.status != 302 or response.getheader("Location") != "/":
            self.stats.bad("upload", "%d %r" % (response.status, answer[:200]))
            return
        self.expected[name] = data
        self.files[name] = hashlib.sha256(data).hexdigest()
        self.download(name)

    def download(self, name):
        listed = self.check_listing()
        if not listed or name not in listed:
            return
        response, data = self.request(
            "dow", "GET", CGI + "kiv-ctl?cmd=dow&curdir=%s&file=%d" % (self.folder, listed[name]["inode"]))
        if response is None:
            return
        if response.status != 200 or hashlib.sha256(data).hexdigest() != self.files[name]:
            self.stats.loss("%s/%s came back as %d bytes (%d), not %d" % (
                self.folder, name, len(data), response.status, len(self.expected[name])))

    def file_commands(self):
        if not self.files:
            return
        name = self.random.choice(sorted(self.files))
        path = self.folder + "/" + name
        choice = self.random.randrange(4)
        if choice == 0:
            copy = name + ".copy"
            if self.command("copy", cmd="copy", file=path, para=self.folder + "/" + copy):
                self.files[copy], self.expected[copy] = self.files[name], self.expected[name]
        elif choice == 1:
            renamed = "r" + name
            if self.command("rename", cmd="rename", file=path, para=self.folder + "/" + renamed):
                self.files[renamed] = self.files.pop(name)
                self.expected[renamed] = self.expected.pop(name)
        elif choice == 2:
            if self.command("rem", cmd="rem", file=path):
                del self.files[name], self.expected[name]
        else:
            sub = "%s/d%d" % (self.folder, self.serial)
            self.command("mkdir", cmd="mkdir", file=sub) and self.command("rem", cmd="rem", file=sub)

    def wget(self):
        self.serial += 1
        seed = "w%d-%d" % (self.number, self.serial)
        size = self.random.randint(1, 1 << 20)
        url = "http://127.0.0.1:%d/%s/%d" % (self.source_port, seed, size)
        if self.command("wget", cmd="wget", file=url, curdir=self.folder + "/"):
            self.jobs[str(size)] = (seed, size, url)

    def finish_jobs(self, wait):
        """Jobs whose download is complete: check the file, delete the job."""
        end = time.monotonic() + wait
        while self.jobs:
            for key, (seed, size, url) in list(self.jobs.items()):
                path = os.path.join(self.box.dnl, self.folder, str(size))
                record = self.record_of(url)
                if record is None:
                    continue
                log = record + ".wgt"
                status = self.status()
                if status is None:
                    continue
                pids = [job["obj"][len(log) + 1:] for job in status["wgt"]
                        if job["obj"].startswith(log + "@")]
                if not pids or pids[0]:
                    continue  # not listed yet, or still running
                del self.jobs[key]
                try:
                    with open(path, "rb") as f:
                        data = f.read()
                except OSError:
                    data = None
                if data is None or hashlib.sha256(data).hexdigest() != hashlib.sha256(content(seed, size)).hexdigest():
                    self.stats.loss("wget of %s gave %s bytes" % (url, None if data is None else len(data)))
                else:
                    self.files[str(size)] = hashlib.sha256(data).hexdigest()
                    self.expected[str(size)] = data
                self.command("del", cmd="del", file=log)
            if not self.jobs or time.monotonic() > end:
                break
            time.sleep(0.2)

    def record_of(self, url):
        for name in os.listdir(self.box.trk):
            if "." in name:
                continue
            try:
                with open(os.path.join(self.box.trk, name), encoding="utf-8", errors="replace") as f:
                    if url in f.read():
                        return name
            except OSError:
                pass
        return None

    def run(self):
        self.expected = {}
        if not self.command("mkdir", cmd="mkdir", file=self.folder):
            return
        kinds = [(self.check_listing, 30), (self.tree, 15), (self.file_commands, 20),
                 (self.upload, 15), (self.wget, 5)]
        total = sum(weight for _, weight in kinds)
        next_trim = time.monotonic() + 3
        while time.monotonic() < self.deadline:
            pick = self.random.uniform(0, total)
            for work, weight in kinds:
                pick -= weight
                if pick <= 0:
                    break
            if work == self.wget and len(self.jobs) >= 2:
                work = self.check_listing
            work()
            self.finish_jobs(0)
            if self.trimmer and time.monotonic() > next_trim:
                start = time.monotonic()
                self.box.start_kivd()
                self.stats.timed("kivd", time.monotonic() - start)
                next_trim = time.monotonic() + 3
        self.finish_jobs(60)
        for key, (seed, size, url) in self.jobs.items():
            self.stats.loss("wget of %s did not end" % url)
        self.check_listing()


def leftover_processes(box, source_port):
    found = []
    programs = [os.path.join(box.root, "www/kiv/cgi-bin", p)
                for p in ("kiv-ctl", "kiv-list", "kiv-upload", "kiv-torrent")]
    for program in programs:
        found += ["%d %s" % (pid, program) for pid in box.pids(program)]
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if "wget" in cmdline and "127.0.0.1:%d/" % source_port in cmdline:
            found.append("%s %s" % (pid, cmdline))
    return found


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    for tool in ("lighttpd", "wget"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            print("load: %s is not installed; skipped" % tool)
            return 77

    stats = Stats()
    source = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Source)
    source.daemon_threads = True
    threading.Thread(target=source.serve_forever, daemon=True).start()
    source_port = source.server_address[1]
    box = Box(os.path.abspath(args.build))
    try:
        start = time.monotonic()
        deadline = start + args.seconds
        clients = [Client(n, box, source_port, stats, deadline, n == 0) for n in range(args.clients)]
        for client in clients:
            client.start()
        for client in clients:
            client.join(args.seconds + 180)
        elapsed = time.monotonic() - start
        hung = [client.folder for client in clients if client.is_alive()]
        for folder in hung:
            stats.bad("client", "%s never finished" % folder)
        # The CGI programs of the last requests may still be ending, slowly
        # on a loaded machine: what is left after a minute is left.
        settled = time.monotonic() + 60
        while True:
            temporaries = []
            for directory, subdirectories, names in os.walk(box.dnl):
                temporaries += [os.path.join(directory, n) for n in names if TEMPORARY.match(n)]
            processes = leftover_processes(box, source_port)
            if not (temporaries or processes) or time.monotonic() > settled:
                break
            time.sleep(0.2)
    finally:
        box.stop()
        source.shutdown()
        shutil.rmtree(box.root, ignore_errors=True)

    print("%d clients for %.0f s (%.1f s in all) through lighttpd" % (args.clients, args.seconds, elapsed))
    print("%-8s %7s %8s %9s %9s" % ("kind", "count", "req/s", "p50 ms", "p99 ms"))
    for kind in sorted(stats.times):
        times = stats.times[kind]
        print("%-8s %7d %8.1f %9.1f %9.1f" % (kind, len(times), len(times) / elapsed,
                                              percentile(times, 50) * 1000, percentile(times, 99) * 1000))
    total = sum(len(t) for t in stats.times.values())
    print("%-8s %7d %8.1f" % ("all", total, total / elapsed))
    print("malformed answers: %d" % len(stats.malformed))
    print("lost or corrupted files: %d" % len(stats.lost))
    print("leftover temporary files: %d" % len(temporaries))
    print("leftover processes: %d" % len(processes))
    for line in (stats.malformed + stats.lost + temporaries + processes)[:20]:
        print("  " + line)
    failed = stats.malformed or stats.lost or temporaries or processes
    return 1 if args.check and failed else 0


if __name__ == "__main__":
    sys.exit(main())
