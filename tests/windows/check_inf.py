#!/usr/bin/env python3
"""Checks the driver package's INF as Windows setup would read it.

usage: check_inf.py INF PACKAGE_DIR

Fails unless the INF is 8-bit text with CR LF line ends; every section that
Windows 2000/XP and Windows 98/Me install and remove with is there; every
section a directive names (CopyFiles, DelFiles, AddReg, DelReg, AddService)
exists, and every file list has a destination; every file the file lists
name is among the source files, and every source file is in the package
folder next to the INF; every %string% is defined in [Strings]; and
[Version] carries the signature both families read and a DriverVer.
"""
import os
import re
import sys

# The sections setup runs: [DefaultInstall] and [DefaultUninstall] on 98/Me,
# the .NT ones (and their .Services) on 2000/XP.
REQUIRED = [
    "Version", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings",
    "DefaultInstall", "DefaultUninstall",
    "DefaultInstall.NT", "DefaultInstall.NT.Services",
    "DefaultUninstall.NT", "DefaultUninstall.NT.Services",
]
SECTION_LISTS = ("CopyFiles", "DelFiles", "AddReg", "DelReg")


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ';' and not quoted:
            return line[:i]
    return line


def read(path, problems):
    data = open(path, "rb").read()
    if any(b > 0x7E or (b < 0x20 and b not in (0x09, 0x0A, 0x0D)) for b in data):
        problems.append("not plain 8-bit text (setup of 98/Me reads no UTF-8 or UTF-16)")
    if data.count(b"\n") != data.count(b"\r\n"):
        problems.append("a line does not end in CR LF")
    sections, current = {}, None
    for number, raw in enumerate(data.decode("latin-1").splitlines(), 1):
        line = strip_comment(raw).strip()
        if not line:
            continue
        if line.startswith("["):
            if not line.endswith("]"):
                problems.append(f"line {number}: section header without ']'")
            current = line[1:line.index("]")] if "]" in line else line[1:]
            key = current.lower()
            if key in sections:
                problems.append(f"line {number}: section [{current}] twice")
            sections[key] = (current, [])
        elif current is None:
            problems.append(f"line {number}: outside any section")
        else:
            sections[current.lower()][1].append((number, line))
    return sections


def entries(sections, name):
    return sections.get(name.lower(), (name, []))[1]


def key_value(line):
    if "=" not in line:
        return None, line
    key, value = line.split("=", 1)
    return key.strip(), value.strip()


def main():
    inf, package = sys.argv[1], sys.argv[2]
    problems = []
    sections = read(inf, problems)

    for name in REQUIRED:
        if name.lower() not in sections:
            problems.append(f"no [{name}] section")

    version = {k.lower(): v for k, v in (key_value(l) for _, l in entries(sections, "Version")) if k}
    if version.get("signature", "").strip('"').lower() != "$chicago$":
        problems.append("[Version] Signature is not \"$CHICAGO$\" (the one 98/Me and 2000/XP both read)")
    if not re.fullmatch(r"\d\d/\d\d/\d{4},\d+\.\d+\.\d+\.\d+", version.get("driverver", "")):
        problems.append("[Version] DriverVer is not mm/dd/yyyy,w.x.y.z")

    strings = {k.lower() for k, _ in (key_value(l) for _, l in entries(sections, "Strings")) if k}
    for key, (name, lines) in sections.items():
        for number, line in lines:
            # "%%" is a percent sign of the value itself.
            for token in re.findall(r"%([^%]*)%", line.replace("%%", "")):
                if not token.isdigit() and token.lower() not in strings:
                    problems.append(f"line {number}: %{token}% is not in [Strings]")

    # The sections that directives name, and which of them are file lists.
    file_lists = set()
    for key, (name, lines) in sections.items():
        for number, line in lines:
            directive, value = key_value(line)
            if directive is None:
                continue
            named = []
            if directive in SECTION_LISTS:
                named = [v.strip() for v in value.split(",") if v.strip()]
                if directive in ("CopyFiles", "DelFiles"):
                    file_lists.update(n.lower() for n in named)
            elif directive == "AddService":
                # The service's install section, and its event log's.
                fields = [v.strip() for v in value.split(",")]
                named = [f for f in fields[2:4] if f]
            for section in named:
                if section.lower() not in sections:
                    problems.append(f"line {number}: {directive} names [{section}], which is missing")

    destinations = {k.lower() for k, _ in (key_value(l) for _, l in entries(sections, "DestinationDirs")) if k}
    source_files = {}
    disks = {k for k, _ in (key_value(l) for _, l in entries(sections, "SourceDisksNames")) if k}
    for number, line in entries(sections, "SourceDisksFiles"):
        name, disk = key_value(line)
        source_files[name.lower()] = name
        if disk.split(",")[0].strip() not in disks:
            problems.append(f"line {number}: {name} is on disk {disk}, which [SourceDisksNames] lacks")
    named_files = set()
    for section in sorted(file_lists):
        if section not in destinations and "defaultdestdir" not in destinations:
            problems.append(f"[{sections[section][0]}] has no [DestinationDirs] entry")
        for number, line in sections.get(section, ("", []))[1]:
            name = line.split(",")[0].strip()
            named_files.add(name.lower())
            if name.lower() not in source_files:
                problems.append(f"line {number}: {name} is not in [SourceDisksFiles]")
    for lower, name in sorted(source_files.items()):
        if lower not in named_files:
            problems.append(f"{name} is a source file that no file list copies")
        if not os.path.isfile(os.path.join(package, name)):
            problems.append(f"{name} is not in the package folder {package}")

    for problem in problems:
        print(f"{inf}: {problem}")
    if problems:
        return 1
    print(f"{inf}: {len(sections)} sections; files {', '.join(sorted(source_files.values()))} "
          f"in {package}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
