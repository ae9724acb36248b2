#!/usr/bin/env python3
"""Loader-level checks of pellinor.sys, read from `objdump -p` and `-h`.

    check_image.py OBJDUMP PECHECKSUM IMAGE

The NT loader wants: the native subsystem; a correct image checksum;
relocations, since a driver is loaded wherever there is room; an entry point
in the code; no thread-local storage (there is none in the kernel); and no
section that is both executable and writable.
"""
import re
import subprocess
import sys


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    objdump, pechecksum, image = argv[1:]
    headers = subprocess.run([objdump, "-p", image], check=True, stdout=subprocess.PIPE,
                             text=True).stdout
    sections = subprocess.run([objdump, "-h", image], check=True, stdout=subprocess.PIPE,
                              text=True).stdout
    faults = []

    def field(name):
        m = re.search(r"^%s\s+([0-9a-fA-F]+)" % name, headers, re.M)
        if not m:
            faults.append("no %s in the optional header" % name)
            return None
        return int(m.group(1), 16)

    def directory(name):
        m = re.search(r"^Entry [0-9a-f] ([0-9a-f]+) ([0-9a-f]+) %s" % name, headers, re.M)
        return (int(m.group(1), 16), int(m.group(2), 16)) if m else (0, 0)

    if not re.search(r"^Subsystem\s+00000001\s+\(NT native\)", headers, re.M):
        faults.append("subsystem is not NT native")
    if field("CheckSum") == 0:
        faults.append("image checksum is 0")
    if subprocess.run([sys.executable, pechecksum, "--check", image]).returncode != 0:
        faults.append("image checksum does not match the image")
    if directory("Base Relocation Directory")[1] == 0:
        faults.append("no base relocations: the image could not be moved")
    if directory("Thread Storage Directory")[1] != 0:
        faults.append("thread-local storage directory present")
    base = field("ImageBase")
    if base is not None and base % 0x10000:
        faults.append("image base 0x%X is not 64 KiB aligned" % base)
    entry = field("AddressOfEntryPoint")

    # objdump -h: "  0 .text  000000c0  00011000 ..." then a line of flags.
    found_entry = False
    rows = re.findall(r"^\s*\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+[0-9a-f]+\s+\S+\n\s+(.*)$",
                      sections, re.M)
    if not rows:
        faults.append("no sections found")
    for name, size, vma, flags in rows:
        size, vma = int(size, 16), int(vma, 16)
        if "CODE" in flags and "READONLY" not in flags:
            faults.append("section %s is executable and writable" % name)
        if name.startswith(".debug"):
            faults.append("debug section %s left in the image" % name)
        if base is not None and entry and "CODE" in flags and vma <= base + entry < vma + size:
            found_entry = True
    if not found_entry:
        faults.append("entry point 0x%X is not in a code section" % (entry or 0))

    for fault in faults:
        print("IMAGE FAULT %s: %s" % (image, fault))
    if not faults:
        print("%s: native subsystem, checksum, relocations, entry point and sections correct" % image)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
