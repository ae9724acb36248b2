#!/usr/bin/env python3
"""Seed inputs for fuzz_capidecode from a file of sample messages.

Each message line becomes one input: the 4-byte prefix that the target reads
(MaxDataB3Bytes 32, available length = bytes held, the largest text buffer)
followed by the message's bytes.
usage: make_seeds.py MESSAGES_FILE OUTPUT_DIR
"""
import os
import re
import sys


def main():
    source, output = sys.argv[1], sys.argv[2]
    os.makedirs(output, exist_ok=True)
    prefix = bytes([32 + 33 * 3, 0, 0, 0xFF])
    count = 0
    with open(source, encoding="ascii") as lines:
        for line in lines:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            digits = re.sub(r"[ \t,:]", "", line)
            with open(os.path.join(output, "sample%03d" % count), "wb") as seed:
                seed.write(prefix + bytes.fromhex(digits))
            count += 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
