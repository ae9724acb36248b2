#!/usr/bin/env python3
"""Signature check: every kernel function that pellinor.sys may import must be
declared with the same type by the emulated kernel (emu/include) as by the DDK
headers, so that a driver source that compiles in the host build compiles for
Windows too (and calls with the same convention).

    signatures.py CONFIG.json IMPORTS

CONFIG is the layout check's (compilers and flags of both sides); IMPORTS the
driver's import list (tests/windows/driver-imports.txt). Each side compiles
one translation unit that spells out decltype(&function) of each; the
spellings are compared after dropping what does not change a call (noexcept,
the default cdecl convention).
"""
import json
import os
import re
import subprocess
import sys
import tempfile

# Functions the compiler provides as intrinsics or that the C library
# overloads in C++ (strchr): no single address to compare.
NOT_COMPARED = {"memcpy", "memset", "memmove", "memcmp", "strchr",
                "InterlockedIncrement", "InterlockedDecrement", "InterlockedExchange"}

# Known differences that no driver source can trip over, each with its reason.
ACCEPTED = {
    # The DDK makes it an inline function of the default convention on i386;
    # the emulated kernel exports it as stdcall. Calls read the same; the
    # driver never takes its address.
    "KeInitializeSpinLock",
    # Differences of the emulated kernel's declarations, reported to its
    # maintainers; until they are mended, a source that trips over one still
    # fails the Windows compile.
    # The emulated kernel takes the event as a KEVENT pointer where the DDK
    # takes a handle; the driver passes none.
    "ZwWriteFile",
    # The emulated kernel takes a const ANSI_STRING.
    "RtlAnsiStringToUnicodeString",
}

MARK = re.compile(r'P<T, N>::get\(\) \[with T = (.*?); int N = (\d+)\]')


def normalise(spelling):
    spelling = spelling.replace(" noexcept", "").replace("__attribute__((cdecl)) ", "")
    return spelling.replace("(__attribute__((cdecl)) *)", "(*)")


def spellings(side, functions, workdir):
    """{function: type spelling}, or None when the unit does not compile."""
    src = os.path.join(workdir, "signature.cpp")
    asm = os.path.join(workdir, "signature.s")
    lines = ["#include <ntddk.h>",
             "template <typename T, int N> struct P {",
             "  static const char* get() { return __PRETTY_FUNCTION__; }",
             "};"]
    for n, function in enumerate(functions):
        lines.append("const char* Spelling%d() { return P<decltype(&%s), %d>::get(); }"
                     % (n, function, n))
    with open(src, "w") as f:
        f.write("\n".join(lines) + "\n")
    run = subprocess.run([side["cxx"]] + side["flags"] + ["-w", "-S", "-o", asm, src],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if run.returncode != 0:
        return None
    # A long string may be split over several directives; join them all.
    text = "".join(re.findall(r'\.(?:ascii|string)\s+"((?:[^"\\]|\\.)*)"', open(asm).read()))
    result = {}
    for m in MARK.finditer(text.replace("\\0", "")):
        result[functions[int(m.group(2))]] = normalise(m.group(1))
    return result


def side_spellings(side, functions, workdir):
    """All at once; function by function where something is not declared."""
    result = spellings(side, functions, workdir)
    if result is not None:
        return result
    result = {}
    for function in functions:
        one = spellings(side, [function], workdir)
        if one is not None:
            result.update(one)
    return result


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        config = json.load(f)
    functions = []
    with open(argv[2]) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) == 2 and words[1] not in NOT_COMPARED:
                functions.append(words[1])
    failures = []
    with tempfile.TemporaryDirectory() as work:
        ddks = side_spellings(config["windows"], functions, work)
        emus = side_spellings(config["host"], functions, work)
        for function in functions:
            ddk, emu = ddks.get(function), emus.get(function)
            if ddk is None:
                failures.append("%s: not declared by the DDK headers" % function)
            elif emu is None:
                failures.append("%s: not declared by emu/include" % function)
            elif ddk != emu:
                line = "%s:\n    DDK:         %s\n    emu/include: %s" % (function, ddk, emu)
                if function in ACCEPTED:
                    print("accepted difference " + line)
                else:
                    failures.append(line)
    for line in failures:
        print("SIGNATURE MISMATCH " + line)
    print("%d functions compared, %d mismatches" % (len(functions), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
