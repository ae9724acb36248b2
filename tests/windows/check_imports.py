#!/usr/bin/env python3
"""Import check of a PE image: every imported function must be listed.

    check_imports.py OBJDUMP ALLOWED IMAGE

ALLOWED holds lines "DLL FUNCTION  # reason" or "DLL *" (any function of that
DLL), and "DLL !FUNCTION" for a function refused even where "DLL *" allows
the rest; DLL names compare without regard to case. The import table is read
from `objdump -p`. Fails on an import from an unlisted DLL, on an unlisted
function, and on an import by ordinal (nothing here imports by ordinal).
"""
import re
import subprocess
import sys


def read_allowed(path):
    allowed = {}
    with open(path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            if len(words) != 2:
                raise SystemExit("%s: expected 'DLL FUNCTION': %s" % (path, line.strip()))
            allowed.setdefault(words[0].lower(), set()).add(words[1])
    return allowed


def read_imports(objdump, image):
    text = subprocess.run([objdump, "-p", image], check=True, stdout=subprocess.PIPE,
                          text=True).stdout
    imports, dll = [], None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            continue
        if dll is None:
            continue
        if not line.strip():
            if imports and imports[-1][0] == dll:
                dll = None
            continue
        # "\t5064\t   95  KfAcquireSpinLock" or, by ordinal, "\t5064\t  12  <none>".
        m = re.match(r"\s+[0-9a-fA-F]+\s+(\d+)\s+(\S+)", line)
        if m:
            imports.append((dll, m.group(2)))
    return imports


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    objdump, allowed_path, image = argv[1:]
    allowed = read_allowed(allowed_path)
    imports = read_imports(objdump, image)
    bad = []
    for dll, name in imports:
        names = allowed.get(dll.lower())
        if names is None:
            bad.append("%s!%s: %s is not an allowed DLL" % (dll, name, dll))
        elif "!" + name in names:
            bad.append("%s!%s: a function this image must not import" % (dll, name))
        elif "*" not in names and name not in names:
            bad.append("%s!%s: not a function this image is meant to import" % (dll, name))
    for dll, name in imports:
        print("import %s!%s" % (dll, name))
    for line in bad:
        print("FORBIDDEN IMPORT " + line)
    if not imports:
        print("%s: no imports found (objdump output not understood?)" % image)
        return 1
    print("%d imports, %d not allowed" % (len(imports), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
