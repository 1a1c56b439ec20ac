#!/usr/bin/python3
"""What a board's C library and kernel must offer for an ELF program to start, read from the
ELF file by binutils' readelf (any target, either byte order), as auditwheel does for wheels.

    elf_abi.py glibc-floor FLOOR PROGRAM   fails when PROGRAM needs a GLIBC_x.y version above
                                           FLOOR; prints the versions needed and who needs the
                                           newest
    elf_abi.py static KERNEL PROGRAM       fails unless PROGRAM is static (no interpreter, no
                                           shared libraries) and its ABI note asks for a Linux
                                           kernel no newer than KERNEL
"""
import re
import subprocess
import sys


def readelf(option, path):
    return subprocess.run(["readelf", "-W", option, path], capture_output=True, text=True,
                          check=True).stdout


def version_tuple(text, places=3):
    parts = [int(x) for x in text.split(".")]
    return tuple(parts + [0] * (places - len(parts)))


def glibc_floor(floor, path):
    users = {}  # GLIBC_x.y -> the dynamic symbols bound to it
    for name, version in re.findall(r" (\S+?)@+(GLIBC_[0-9.]+)\b", readelf("--dyn-syms", path)):
        users.setdefault(version, set()).add(name)
    users.update((v, users.get(v, set())) for v in re.findall(r"Name: (GLIBC_[0-9.]+)",
                                                              readelf("-V", path)))
    if not users:
        print(f"{path}: needs no versioned glibc symbol")
        return 0
    listed = sorted(users, key=lambda v: version_tuple(v[6:]))
    top = listed[-1]
    print(f"{path}: needs {' '.join(listed)}")
    print(f"newest: {top} ({', '.join(sorted(users[top])) or 'no symbol named'}); "
          f"stated floor GLIBC_{floor}")
    if version_tuple(top[6:]) > version_tuple(floor):
        print(f"FAIL: {top} is above the stated glibc floor {floor}: a board with glibc {floor} "
              f"cannot start this program")
        return 1
    return 0


def static(kernel, path):
    faults = []
    headers = readelf("-l", path)
    if re.search(r"^\s+INTERP\s", headers, re.M):
        faults.append("it names a program interpreter (dynamically linked)")
    if re.search(r"^\s+DYNAMIC\s", headers, re.M):
        faults.append("it has a dynamic section")
    if "Name: " in readelf("-V", path):
        faults.append("it needs versioned symbols of shared libraries")
    note = re.search(r"OS: Linux, ABI: ([0-9.]+)", readelf("-n", path))
    if not note:
        faults.append("it has no GNU ABI note naming its oldest Linux kernel")
    elif version_tuple(note.group(1)) > version_tuple(kernel):
        faults.append(f"it asks for Linux {note.group(1)}, above {kernel}")
    print(f"{path}: static: {'no' if faults else 'yes'}; "
          f"oldest kernel: {note.group(1) if note else 'not stated'}")
    for fault in faults:
        print(f"FAIL: {fault}")
    return 1 if faults else 0


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("glibc-floor", "static"):
        print(__doc__, file=sys.stderr)
        return 2
    check = glibc_floor if sys.argv[1] == "glibc-floor" else static
    return check(sys.argv[2], sys.argv[3])


if __name__ == "__main__":
    sys.exit(main())
