#!/bin/bash
# Static analysis of the kernel code (framework/ filter/ trace/ capi/ log/
# control/): clang-tidy 14 with the checks of .clang-tidy, and cppcheck with
# tools/static-analysis/cppcheck-suppressions.txt. Both see the sources with
# the host build's flags (i386, -m32, the emulated kernel's <ntddk.h>), taken
# from the compile commands of a host build folder.
#
#   tools/static-analysis/run.sh BUILD_DIR [JOBS]
#
# BUILD_DIR is a host build folder (configured, not necessarily built); it is
# reconfigured with CMAKE_EXPORT_COMPILE_COMMANDS=ON if it has no
# compile_commands.json yet. The results land in BUILD_DIR/static-analysis.
# Exit status: 0 when neither tool finds anything, 1 when one does, 2 for bad
# usage or a missing tool.
set -euo pipefail

if (($# < 1 || $# > 2)) || [[ ! -d "$1" ]]; then
  echo "usage: $0 BUILD_DIR [JOBS]" >&2
  exit 2
fi
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "$1" && pwd)"
jobs="${2:-$(nproc)}"
out="$build/static-analysis"
driver_dirs=(framework filter trace capi log control)

clang_tidy="$(command -v clang-tidy-14 || command -v clang-tidy || true)"
if [[ -z "$clang_tidy" ]] || ! command -v cppcheck >/dev/null || ! command -v python3 >/dev/null; then
  echo "$0: needs clang-tidy (14), cppcheck and python3" >&2
  exit 2
fi

if [[ ! -f "$build/compile_commands.json" ]]; then
  cmake "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
fi
mkdir -p "$out"

# The kernel code's compile commands, one per source file: the kernel library's
# (tools also compile trace/NameTables.cpp, with ordinary flags), and one for
# framework/CxxRuntime.cpp, which only pellinor.sys links, with the flags of
# the framework's other files.
python3 - "$root" "$build/compile_commands.json" "$out/compile_commands.json" "${driver_dirs[@]}" <<'EOF'
import json, os, sys
root, source, target, dirs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
entries = {}
for entry in json.load(open(source)):
    rel = os.path.relpath(entry["file"], root)
    if rel.split(os.sep)[0] in dirs and "-fno-rtti" in entry["command"]:
        entries.setdefault(entry["file"], entry)
runtime = os.path.join(root, "framework", "CxxRuntime.cpp")
model = entries.get(os.path.join(root, "framework", "Pool.cpp"))
if model is None:
    sys.exit("no compile command for framework/Pool.cpp in " + source)
if os.path.exists(runtime) and runtime not in entries:
    entries[runtime] = dict(model, file=runtime,
                            command=model["command"].replace(model["file"], runtime)
                                                    .replace("Pool.cpp.o", "CxxRuntime.cpp.o"))
json.dump(sorted(entries.values(), key=lambda e: e["file"]), open(target, "w"), indent=1)
EOF
files=()
while IFS= read -r f; do files+=("$f"); done < <(python3 -c '
import json, sys
for e in json.load(open(sys.argv[1])): print(e["file"])' "$out/compile_commands.json")

status=0

# clang-tidy, one process per file, JOBS at a time; a file's diagnostics are
# printed together. The compiler's own warnings against global constructors
# and exit-time destructors come along: nothing in the kernel runs them.
echo "== clang-tidy ($("$clang_tidy" --version | grep -o 'version [0-9.]*'), ${#files[@]} files)"
rm -rf "$out/tidy"
mkdir -p "$out/tidy"
export clang_tidy out root
printf '%s\0' "${files[@]}" | xargs -0 -P "$jobs" -n 1 bash -c '
  log="$out/tidy/$(echo "${0#$root/}" | tr / _).log"
  if ! "$clang_tidy" -p "$out" --quiet --extra-arg=-Wglobal-constructors \
       --extra-arg=-Wexit-time-destructors "$0" >"$log" 2>&1 ||
     grep -q -E "(warning|error):" "$log"; then
    touch "$log.failed"
  fi' || true
for log in "$out"/tidy/*.log; do
  if [[ -e "$log.failed" ]]; then
    grep -v -E '^[0-9]+ .*generated\.$' "$log" || true
    status=1
  fi
done
tidy_failed=$(find "$out/tidy" -name '*.failed' | wc -l)
echo "clang-tidy: $tidy_failed of ${#files[@]} files with findings"

# cppcheck over the same commands. The emulated kernel needs __i386__ and a
# 16-bit wchar_t, which the compiler defines by itself and cppcheck does not.
echo "== cppcheck ($(cppcheck --version))"
mkdir -p "$out/cppcheck-build"
if ! cppcheck --project="$out/compile_commands.json" --cppcheck-build-dir="$out/cppcheck-build" \
     -D__i386__ -D__SIZEOF_WCHAR_T__=2 --std=c++17 --platform=unix32 \
     --enable=warning,style,performance,portability --inline-suppr \
     --suppressions-list="$root/tools/static-analysis/cppcheck-suppressions.txt" \
     --error-exitcode=1 -j "$jobs" --quiet \
     --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  status=1
fi
if ((status == 0)); then
  echo "static analysis: no findings"
fi
exit "$status"
