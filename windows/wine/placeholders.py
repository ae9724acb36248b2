#!/usr/bin/python3
"""Which of the routines the driver uses are only placeholders in Wine.

  placeholders.py [--replaced SHIM_REPORT] WINE_DLL_DIR DRIVER.sys NAME...

Wine exports many kernel routines it does not implement: the export is a
short thunk that hands the routine's own name to the code that aborts the
process ("Call from ... to unimplemented function ntoskrnl.exe.NAME"). Such a
routine is found by MmGetSystemRoutineAddress as a real one would be, and a
data export found so reads as the thunk's code bytes. For the driver's
imports (from its import table) and the NAMEs it looks up at run time, this
tells which are placeholders in WINE_DLL_DIR's ntoskrnl.exe and hal.dll: an
export whose first bytes hold the address of a string that is its own name.
With --replaced, the shim driver's report (its lines "NAME: a placeholder;
replaced") marks those the job's test setup stands in for.
"""
import os
import struct
import sys


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        sections, = struct.unpack_from("<H", self.data, pe + 6)
        optional_size, = struct.unpack_from("<H", self.data, pe + 20)
        optional = pe + 24
        self.base, = struct.unpack_from("<I", self.data, optional + 28)
        self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * i)
                            for i in range(2)]
        self.sections = [struct.unpack_from("<IIII", self.data, optional + optional_size + 40 * i + 8)
                         for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw
        return None

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def exports(self):
        rva, size = self.directories[0]
        table = self.offset(rva)
        _, names, functions, name_table, ordinals = struct.unpack_from("<IIIII", self.data, table + 20)
        result = {}
        for i in range(names):
            name = self.text(struct.unpack_from("<I", self.data, self.offset(name_table) + 4 * i)[0])
            ordinal, = struct.unpack_from("<H", self.data, self.offset(ordinals) + 2 * i)
            address, = struct.unpack_from("<I", self.data, self.offset(functions) + 4 * ordinal)
            result[name] = None if rva <= address < rva + size else address  # None: forwarded
        return result

    def imports(self):
        rva, _ = self.directories[1]
        result = []
        entry = self.offset(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, entry)
            if name == 0:
                return result
            dll = self.text(name)
            at = self.offset(lookup or thunks)
            while True:
                value, = struct.unpack_from("<I", self.data, at)
                if value == 0:
                    break
                if not value & 0x80000000:
                    result.append((dll, self.text(value + 2)))
                at += 4
            entry += 20

    def is_placeholder(self, rva, name):
        start = self.offset(rva)
        code = self.data[start:start + 40]
        wanted = name.encode() + b"\0"
        for i in range(len(code) - 3):
            value, = struct.unpack_from("<I", code, i)
            if self.base < value < self.base + 0x10000000:
                at = self.offset(value - self.base)
                if at is not None and self.data[at:at + len(wanted)] == wanted:
                    return True
        return False


def main(argv):
    replaced = set()
    if len(argv) > 2 and argv[1] == "--replaced":
        with open(argv[2]) as f:
            for line in f:
                name, _, what = line.strip().partition(": ")
                if what == "a placeholder; replaced":
                    replaced.add(name)
        argv = argv[:1] + argv[3:]
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    folder, driver, looked_up = argv[1], argv[2], argv[3:]
    libraries = {name: Image(os.path.join(folder, name)) for name in ("ntoskrnl.exe", "hal.dll")}
    exports = {name: image.exports() for name, image in libraries.items()}
    wanted = [(dll.lower(), name, "imported") for dll, name in Image(driver).imports()]
    wanted += [("ntoskrnl.exe", name, "looked up") for name in looked_up]
    for dll, name, how in wanted:
        if dll not in libraries:
            continue
        rva = exports[dll].get(name, "missing")
        if rva == "missing":
            # MmGetSystemRoutineAddress looks in both.
            other = "hal.dll" if dll == "ntoskrnl.exe" else "ntoskrnl.exe"
            if name in exports[other]:
                dll, rva = other, exports[other][name]
        if rva == "missing":
            print("%s %s (%s): not exported" % (dll, name, how))
        elif rva is not None and libraries[dll].is_placeholder(rva, name):
            if name in replaced:
                effect = "replaced in the job by the shim driver (test setup)"
            elif name in DATA:
                effect = "read as data: the driver reads the thunk's code bytes"
            else:
                effect = "aborts the driver host when called"
            print("%s %s (%s): a placeholder, %s" % (dll, name, how, effect))
    return 0


# The data exports among the names looked up: read, not called.
DATA = {"MmUserProbeAddress", "PsThreadType"}

if __name__ == "__main__":
    sys.exit(main(sys.argv))
