#!/usr/bin/env python3
"""Layout check: the kernel structures the driver touches must have the same
sizes and field offsets in the emulated kernel (emu/include, host build) as in
the DDK headers that pellinor.sys is compiled against.

Each side compiles one generated translation unit that includes <ntddk.h> and
records every size and offset as an assembler comment ("#@@LAYOUT ..."), so the
values come from the compiler itself, with the build's own flags, and nothing
has to run on the target. The two tables are written next to each other and
compared.

    layout.py CONFIG.json

CONFIG names the field list, the output folder and, for "host" and "windows",
the compiler and its flags. The Windows side must declare everything. A
structure the emulated kernel does not declare yet is reported and skipped; a
field missing from a structure it does declare is a failure, since the same
driver source would not compile in both builds.
"""
import json
import os
import re
import subprocess
import sys
import tempfile

MARK = re.compile(r"#@@LAYOUT (\S+) (\S+) (\d+)")


def read_fields(path):
    structs = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if line:
                fields = [f for f in line[1:] if f != "-size"]
                structs.append((line[0], fields, "-size" not in line))
    return structs


def source(items):
    """A translation unit recording (struct, field or None) items."""
    out = [
        "#include <ntddk.h>",
        "#include <stddef.h>",
        "#define PELLINOR_LAYOUT(key, what, value) \\",
        '  __asm__ volatile("#@@LAYOUT " key " " what " %c0" : : "n"((unsigned long)(value)))',
        'extern "C" void PellinorKernelLayout(void) {',
    ]
    for struct, field in items:
        if field is None:
            out.append('  PELLINOR_LAYOUT("%s", "size", sizeof(%s));' % (struct, struct))
        else:
            key = "%s.%s" % (struct, field)
            out.append('  PELLINOR_LAYOUT("%s", "offset", offsetof(%s, %s));' % (key, struct, field))
            out.append('  PELLINOR_LAYOUT("%s", "size", sizeof(((%s*)0)->%s));' % (key, struct, field))
    out.append("}")
    return "\n".join(out) + "\n"


def compile_items(side, items, workdir):
    """Compile and return ({key: {what: value}}, None) or (None, diagnostics)."""
    src = os.path.join(workdir, "layout.cpp")
    asm = os.path.join(workdir, "layout.s")
    with open(src, "w") as f:
        f.write(source(items))
    cmd = [side["cxx"]] + side["flags"] + ["-S", "-o", asm, src]
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode != 0:
        return None, run.stdout
    table = {}
    with open(asm) as f:
        for m in MARK.finditer(f.read()):
            table.setdefault(m.group(1), {})[m.group(2)] = int(m.group(3))
    return table, None


def record(name, side, structs, workdir, strict):
    """The layout table of one side; with strict, everything must compile."""
    everything = [(s, None) for s, _, _ in structs] + [
        (s, f) for s, fields, _ in structs for f in fields]
    table, errors = compile_items(side, everything, workdir)
    if table is not None:
        return table
    if strict:
        print("%s: the layout translation unit does not compile:\n%s" % (name, errors))
        return None
    # Narrow down what this side does not declare (yet).
    table = {}
    for struct, fields, _ in structs:
        part, _ = compile_items(side, [(struct, None)] + [(struct, f) for f in fields], workdir)
        if part is not None:
            table.update(part)
            continue
        part, _ = compile_items(side, [(struct, None)], workdir)
        if part is None:
            table[struct] = {"missing": 1}
            continue
        table.update(part)
        for field in fields:
            part, _ = compile_items(side, [(struct, field)], workdir)
            table.update(part if part is not None else {"%s.%s" % (struct, field): {"missing": 1}})
    return table


def write_table(path, table):
    with open(path, "w") as f:
        for key in sorted(table):
            values = table[key]
            f.write(key + "".join(" %s %d" % (k, values[k]) for k in sorted(values)) + "\n")


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        config = json.load(f)
    structs = read_fields(config["fields"])
    os.makedirs(config["outdir"], exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        windows = record("windows", config["windows"], structs, work, strict=True)
        host = record("host", config["host"], structs, work, strict=False)
    if windows is None:
        return 1
    write_table(os.path.join(config["outdir"], "kernel-layout-windows.txt"), windows)
    write_table(os.path.join(config["outdir"], "kernel-layout-host.txt"), host)

    failures, skipped, compared = [], [], 0
    for struct, fields, with_size in structs:
        if "missing" in host.get(struct, {}):
            skipped.append(struct)
            continue
        keys = ([struct] if with_size else []) + ["%s.%s" % (struct, f) for f in fields]
        for key in keys:
            mine, theirs = host.get(key, {}), windows[key]
            if "missing" in mine:
                failures.append("%s: declared by the DDK, missing in emu/include" % key)
            elif mine != theirs:
                failures.append("%s: emu/include %s, DDK %s" % (
                    key, " ".join("%s %d" % kv for kv in sorted(mine.items())),
                    " ".join("%s %d" % kv for kv in sorted(theirs.items()))))
            compared += 1
    for s in skipped:
        print("not declared by emu/include yet, skipped: %s" % s)
    for line in failures:
        print("LAYOUT MISMATCH " + line)
    print("%d sizes and fields compared, %d mismatches, %d structures skipped"
          % (compared, len(failures), len(skipped)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
