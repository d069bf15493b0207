#!/usr/bin/env python3
"""Writes a torrent of COUNT files (200 to a folder) for the benchmarks.
Usage: bench/make_torrent.py PATH COUNT"""
import sys


def bencode(value):
    if isinstance(value, int):
        return b"i%de" % value
    if isinstance(value, str):
        value = value.encode()
    if isinstance(value, bytes):
        return b"%d:%s" % (len(value), value)
    if isinstance(value, list):
        return b"l" + b"".join(bencode(item) for item in value) + b"e"
    return b"d" + b"".join(bencode(key) + bencode(value[key]) for key in sorted(value)) + b"e"


path, count = sys.argv[1], int(sys.argv[2])
files = [{"length": 1000 + i, "path": ["dir%03d" % (i // 200), "file %05d.dat" % i]}
         for i in range(count)]
piece = 262144
info = {"files": files, "name": "many", "piece length": piece,
        "pieces": b"\x17" * (20 * (sum(f["length"] for f in files) // piece + 1))}
meta = {"announce": "http://127.0.0.1:6969/announce", "comment": "bench",
        "creation date": 1700000000, "info": info}
with open(path, "wb") as out:
    out.write(bencode(meta))
