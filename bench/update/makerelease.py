#!/usr/bin/env python3
"""Writes a benchmark client and its next release.

makerelease.py WORK FILES BYTES GZIP_SHARE

WORK/orig        the installed client, version 1 (FILES files, BYTES in all)
WORK/mirror/2    the release, version 2: every file changed, the product ini unsigned
WORK/expected    "md5  path" of every file as version 2 installs it, sorted
WORK/fetch       "path installed-path md5 gz" per file, for the shell script
"""
import gzip
import hashlib
import os
import random
import sys

work, files, total, share = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
section = "client"
orig = os.path.join(work, "orig")
mirror = os.path.join(work, "mirror", "2")
CHUNK = 1 << 24

old = random.Random(1)
new = random.Random(2)


def write(path, size, rng):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    md5 = hashlib.md5()
    with open(path, "wb") as out:
        left = size
        while left:
            block = rng.randbytes(min(left, CHUNK))
            md5.update(block)
            out.write(block)
            left -= len(block)
    return md5.hexdigest()


def md5_of(path):
    md5 = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(CHUNK), b""):
            md5.update(block)
    return md5.hexdigest()


size = total // files
gz_every = round(1 / share) if share > 0 else 0
entries, expected, fetch = [], [], []
for i in range(files):
    name = "data/d%03d/f%05d.bin" % (i // 1000, i) if files > 1 else "data/big.bin"
    write(os.path.join(orig, name), size, old)
    release = os.path.join(mirror, section, name)
    md5 = write(release, size, new)
    expected.append("%s  %s" % (md5, name))
    if gz_every and i % gz_every == 0:
        gz = release + ".gz"
        with open(release, "rb") as src, gzip.open(gz, "wb", compresslevel=1) as dst:
            for block in iter(lambda: src.read(CHUNK), b""):
                dst.write(block)
        os.remove(release)
        gzmd5 = md5_of(gz)
        gzsize = os.path.getsize(gz)
        entries.append("%s.gz=%s::%d::%s::%d::%s" % (name, gzmd5, gzsize, md5, size, name))
        fetch.append("%s.gz %s %s %s gz" % (name, name, gzmd5, md5))
    else:
        entries.append("%s=%s::%d" % (name, md5, size))
        fetch.append("%s %s %s %s plain" % (name, name, md5, md5))

with open(os.path.join(mirror, "client_linux_x86.ini"), "w") as ini:
    ini.write("[%s]\n" % section)
    ini.write("\n".join(entries) + "\n")
with open(os.path.join(work, "expected"), "w") as f:
    f.write("\n".join(sorted(expected, key=lambda l: l[34:])) + "\n")
with open(os.path.join(work, "fetch"), "w") as f:
    f.write("\n".join(fetch) + "\n")
