#!/usr/bin/python3
"""Writes a gzip-compressed initramfs (cpio "newc") of a staging directory.

    mkcpio.py STAGING OUTPUT.cpio.gz [--node PATH:c|b:MAJOR:MINOR:MODE ...]

Every entry belongs to root and carries time 0, so that the same tree gives the same bytes.
Device nodes (the console that the kernel opens for init before /dev is mounted) are added
as archive entries: building the image needs no root rights and no mknod.
"""
import argparse
import gzip
import os
import stat
import sys


def header(name, mode, size, ino, nlink=1, rdev=(0, 0)):
    fields = (ino, mode, 0, 0, nlink, 0, size, 0, 0, rdev[0], rdev[1], len(name) + 1, 0)
    head = b"070701" + b"".join(b"%08x" % f for f in fields) + name.encode() + b"\0"
    return head + b"\0" * (-len(head) % 4)


def entries(staging):
    yield ".", os.lstat(staging), None
    for root, dirs, files in os.walk(staging):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(root, name)
            yield os.path.relpath(path, staging), os.lstat(path), path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("staging")
    parser.add_argument("output")
    parser.add_argument("--node", action="append", default=[])
    args = parser.parse_args()

    out = bytearray()
    ino = 1
    for name, st, path in entries(args.staging):
        kind = stat.S_IFMT(st.st_mode)
        perm = stat.S_IMODE(st.st_mode)
        if kind == stat.S_IFDIR:
            out += header(name, kind | perm, 0, ino, nlink=2)
        elif kind == stat.S_IFLNK:
            target = os.readlink(path).encode()
            out += header(name, kind | 0o777, len(target), ino) + target
            out += b"\0" * (-len(target) % 4)
        elif kind == stat.S_IFREG:
            with open(path, "rb") as f:
                data = f.read()
            out += header(name, kind | perm, len(data), ino) + data
            out += b"\0" * (-len(data) % 4)
        else:
            sys.exit(f"mkcpio: {name}: only directories, files and links are staged")
        ino += 1
    for node in args.node:
        path, kind, major, minor, mode = node.split(":")
        flag = stat.S_IFCHR if kind == "c" else stat.S_IFBLK
        out += header(path.lstrip("/"), flag | int(mode, 8), 0, ino, rdev=(int(major), int(minor)))
        ino += 1
    out += header("TRAILER!!!", 0, 0, 0, nlink=1)
    out += b"\0" * (-len(out) % 512)
    with open(args.output, "wb") as f:
        f.write(gzip.compress(bytes(out), compresslevel=9, mtime=0))


if __name__ == "__main__":
    main()
