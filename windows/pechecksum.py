#!/usr/bin/env python3
"""Compute the checksum of a PE image and store it in its optional header.

The NT loader refuses a kernel driver whose CheckSum field does not match the
image, so this runs after every link of pellinor.sys.

    pechecksum.py IMAGE           compute and store the checksum
    pechecksum.py --check IMAGE   exit 1 unless the stored checksum is right
"""
import struct
import sys


def checksum_offset(data):
    """Offset of the CheckSum field, after checking that this is a PE32 image."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise ValueError("not an MZ executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 68 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    if magic not in (0x10B, 0x20B):
        raise ValueError("unknown optional header magic 0x%X" % magic)
    # The field sits at the same place in PE32 and PE32+ optional headers.
    return pe + 24 + 64


def compute(data, offset):
    """The image checksum: 16-bit one's-complement style sum of the file
    with the CheckSum field taken as zero, plus the file length."""
    padded = data + (b"\0" if len(data) % 2 else b"")
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # Take the stored field out of the sum.
    for (word,) in struct.iter_unpack("<H", data[offset:offset + 4]):
        total -= word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(argv):
    check = len(argv) == 3 and argv[1] == "--check"
    if len(argv) != 2 and not check:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = argv[-1]
    with open(path, "rb") as f:
        data = f.read()
    try:
        offset = checksum_offset(data)
    except ValueError as e:
        print("%s: %s" % (path, e), file=sys.stderr)
        return 1
    stored = struct.unpack_from("<I", data, offset)[0]
    want = compute(data, offset)
    if check:
        if stored != want:
            print("%s: checksum 0x%08X, should be 0x%08X" % (path, stored, want), file=sys.stderr)
            return 1
        print("%s: checksum 0x%08X correct" % (path, stored))
        return 0
    if stored != want:
        with open(path, "r+b") as f:
            f.seek(offset)
            f.write(struct.pack("<I", want))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
