#!/usr/bin/env python3
"""The message table of pellinor.sys against the driver's event codes.

    check_messages.py IMAGE EVENT_CODES_H

The event log shows a driver's entry with the text its image holds for the
entry's code (the RT_MESSAGETABLE resource that windows/PellinorEvents.mc
compiles to). Every code of framework/EventCodes.h must have an English
text there that names the driver (%1) and the entry's first insertion
string (%2), and the table must hold no code the driver does not write.
"""
import re
import struct
import sys

RT_MESSAGETABLE = 11
LANG_ENGLISH_US = 0x409


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe, = struct.unpack_from("<I", self.data, 0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, = struct.unpack_from("<H", self.data, pe + 6)
        optional_size, = struct.unpack_from("<H", self.data, pe + 20)
        optional = pe + 24
        # Data directory 2: the resources.
        self.resources = struct.unpack_from("<II", self.data, optional + 96 + 8 * 2)
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append((address, max(virtual_size, raw_size), raw))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return rva - address + raw
        raise ValueError("address 0x%X lies in no section" % rva)


def directory_entries(image, base, at):
    """(id, is_directory, offset from base) of one resource directory."""
    named, ids = struct.unpack_from("<HH", image.data, base + at + 12)
    entries = []
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", image.data, base + at + 16 + 8 * i)
        entries.append((name, bool(target & 0x80000000), target & 0x7FFFFFFF))
    return entries


def message_table(image):
    """{code: text} of the English message table, or None without one."""
    rva, size = image.resources
    if size == 0:
        return None
    base = image.offset(rva)
    for type_id, is_dir, at in directory_entries(image, base, 0):
        if type_id != RT_MESSAGETABLE or not is_dir:
            continue
        for _, name_is_dir, name_at in directory_entries(image, base, at):
            if not name_is_dir:
                continue
            for lang, _, data_at in directory_entries(image, base, name_at):
                if lang != LANG_ENGLISH_US:
                    continue
                data_rva, data_size = struct.unpack_from("<II", image.data, base + data_at)
                return parse_table(image.data, image.offset(data_rva), data_size)
    return None


def parse_table(data, start, size):
    """MESSAGE_RESOURCE_DATA: blocks of (low id, high id, entries' offset)."""
    blocks, = struct.unpack_from("<I", data, start)
    table = {}
    for b in range(blocks):
        low, high, entries = struct.unpack_from("<III", data, start + 4 + 12 * b)
        at = start + entries
        for code in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, at)
            raw = data[at + 4:at + length]
            text = raw.decode("utf-16-le" if flags & 1 else "cp1252")
            table[code] = text.rstrip("\0").strip()
            at += length
        if at > start + size:
            raise ValueError("the message table runs past its resource")
    return table


def event_codes(header):
    """{name: code} as framework/EventCodes.h computes them."""
    text = open(header).read()
    constants = {name: int(value, 0) for name, value in
                 re.findall(r"constexpr uint32_t (PELLINOR_EVENT_\w+) = (0x[0-9A-Fa-f]+)u?;", text)}
    facility = constants["PELLINOR_EVENT_FACILITY"]
    customer = constants["PELLINOR_EVENT_CUSTOMER"]
    codes = {}
    for name, severity, number in re.findall(
            r"constexpr uint32_t (PELLINOR_EVENT_\w+) =\s*PellinorEventCode\("
            r"\s*(PELLINOR_EVENT_SEVERITY_\w+),\s*(\d+)\);", text):
        codes[name] = constants[severity] | customer | facility << 16 | int(number)
    return codes


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    image, header = argv[1:]
    faults = []
    codes = event_codes(header)
    if not codes:
        faults.append("no event codes found in %s" % header)
    table = message_table(Image(image))
    if table is None:
        faults.append("no English message table (RT_MESSAGETABLE) in the image")
        table = {}
    for name, code in sorted(codes.items(), key=lambda item: item[1]):
        text = table.get(code)
        if text is None:
            faults.append("%s (0x%08X) has no message" % (name, code))
        elif "%1" not in text or "%2" not in text:
            faults.append("the message of %s (0x%08X) does not name the driver (%%1) and its "
                          "first string (%%2): %r" % (name, code, text))
    for code in sorted(set(table) - set(codes.values())):
        faults.append("message 0x%08X is no event code of %s" % (code, header))
    for fault in faults:
        print("MESSAGE TABLE FAULT %s: %s" % (image, fault))
    if not faults:
        print("%s: %d event messages, one for each event code" % (image, len(codes)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
