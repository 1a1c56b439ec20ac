#!/usr/bin/python3
"""What a board's C library and kernel must offer for an ELF program to start, read from the
ELF file itself (32- or 64-bit, either byte order), as auditwheel does for Python wheels.

    elf_abi.py glibc-floor FLOOR PROGRAM   fails when PROGRAM needs a GLIBC_x.y version above
                                           FLOOR; prints the versions needed and who needs the
                                           newest
    elf_abi.py static KERNEL PROGRAM       fails unless PROGRAM is static (no interpreter, no
                                           shared libraries) and its ABI note asks for a Linux
                                           kernel no newer than KERNEL
"""
import struct
import sys

SHT_NOTE, SHT_DYNSYM = 7, 11
SHT_GNU_VERNEED, SHT_GNU_VERSYM = 0x6FFFFFFE, 0x6FFFFFFF
PT_DYNAMIC, PT_INTERP = 2, 3
NT_GNU_ABI_TAG = 1


class Elf:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:4] != b"\x7fELF":
            raise SystemExit(f"{path}: not an ELF file")
        self.wide = d[4] == 2
        self.end = "<" if d[5] == 1 else ">"
        if self.wide:
            (self.phoff, self.shoff) = self.unpack("QQ", 0x20)
            (self.phentsize, self.phnum, self.shentsize, self.shnum) = self.unpack("HHHH", 0x36)
        else:
            (self.phoff, self.shoff) = self.unpack("II", 0x1C)
            (self.phentsize, self.phnum, self.shentsize, self.shnum) = self.unpack("HHHH", 0x2A)
        self.sections = [self.section(i) for i in range(self.shnum)]

    def unpack(self, fmt, offset):
        return struct.unpack_from(self.end + fmt, self.data, offset)

    def section(self, i):
        off = self.shoff + i * self.shentsize
        if self.wide:
            _, kind, _, _, offset, size, link, _, _, entsize = self.unpack("IIQQQQIIQQ", off)
        else:
            _, kind, _, _, offset, size, link, _, _, entsize = self.unpack("IIIIIIIIII", off)
        return {"type": kind, "offset": offset, "size": size, "link": link, "entsize": entsize}

    def segment_types(self):
        return [self.unpack("I", self.phoff + i * self.phentsize)[0] for i in range(self.phnum)]

    def string(self, table, offset):
        start = self.sections[table]["offset"] + offset
        return self.data[start:self.data.index(b"\0", start)].decode()

    def version_needs(self):
        """{version index: (library, version name)} from .gnu.version_r."""
        needs = {}
        for sec in self.sections:
            if sec["type"] != SHT_GNU_VERNEED:
                continue
            off = sec["offset"]
            while True:
                _, count, file_name, aux, next_need = self.unpack("HHIII", off)
                library = self.string(sec["link"], file_name)
                a = off + aux
                for _ in range(count):
                    _, _, other, name, next_aux = self.unpack("IHHII", a)
                    needs[other] = (library, self.string(sec["link"], name))
                    a += next_aux
                if not next_need:
                    break
                off += next_need
        return needs

    def symbols_by_version(self):
        """{version index: [names of the dynamic symbols bound to it]}."""
        dynsym = next((s for s in self.sections if s["type"] == SHT_DYNSYM), None)
        versym = next((s for s in self.sections if s["type"] == SHT_GNU_VERSYM), None)
        result = {}
        if not dynsym or not versym:
            return result
        for i in range(dynsym["size"] // dynsym["entsize"]):
            name = self.unpack("I", dynsym["offset"] + i * dynsym["entsize"])[0]
            index = self.unpack("H", versym["offset"] + 2 * i)[0] & 0x7FFF
            if name and index > 1:
                result.setdefault(index, []).append(self.string(dynsym["link"], name))
        return result

    def abi_tag(self):
        """The (major, minor, patch) Linux version of the GNU ABI note, or None."""
        for sec in self.sections:
            if sec["type"] != SHT_NOTE:
                continue
            off, stop = sec["offset"], sec["offset"] + sec["size"]
            while off + 12 <= stop:
                namesz, descsz, kind = self.unpack("III", off)
                name = self.data[off + 12:off + 12 + namesz].rstrip(b"\0")
                desc = off + 12 + (namesz + 3) // 4 * 4
                if name == b"GNU" and kind == NT_GNU_ABI_TAG and descsz >= 16:
                    os_id, major, minor, patch = self.unpack("IIII", desc)
                    if os_id == 0:
                        return (major, minor, patch)
                off = desc + (descsz + 3) // 4 * 4
        return None


def version_tuple(text, places=3):
    parts = [int(x) for x in text.split(".")]
    return tuple(parts + [0] * (places - len(parts)))


def glibc_floor(floor, path):
    elf = Elf(path)
    needs = elf.version_needs()
    glibc = {i: v for i, (lib, v) in needs.items() if v.startswith("GLIBC_") and
             v[6:].replace(".", "").isdigit()}
    if not glibc:
        print(f"{path}: needs no versioned glibc symbol")
        return 0
    top = max(glibc.values(), key=lambda v: version_tuple(v[6:]))
    symbols = elf.symbols_by_version()
    users = sorted(s for i, v in glibc.items() if v == top for s in symbols.get(i, []))
    listed = " ".join(sorted(set(glibc.values()), key=lambda v: version_tuple(v[6:])))
    print(f"{path}: needs {listed}")
    print(f"newest: {top} ({', '.join(users) or 'no symbol named'}); stated floor GLIBC_{floor}")
    if version_tuple(top[6:]) > version_tuple(floor):
        print(f"FAIL: {top} is above the stated glibc floor {floor}: a board with glibc {floor} "
              f"cannot start this program")
        return 1
    return 0


def static(kernel, path):
    elf = Elf(path)
    faults = []
    types = elf.segment_types()
    if PT_INTERP in types:
        faults.append("it names a program interpreter (dynamically linked)")
    if PT_DYNAMIC in types:
        faults.append("it has a dynamic section")
    if elf.version_needs():
        faults.append("it needs versioned symbols of shared libraries")
    tag = elf.abi_tag()
    if tag is None:
        faults.append("it has no GNU ABI note naming its oldest Linux kernel")
    elif tag > version_tuple(kernel):
        faults.append(f"it asks for Linux {'.'.join(map(str, tag))}, above {kernel}")
    print(f"{path}: static: {'no' if faults else 'yes'}; "
          f"oldest kernel: {'.'.join(map(str, tag)) if tag else 'not stated'}")
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
