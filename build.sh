#!/bin/bash
# Pellinor's one entry point on a Debian 12 machine (run as root):
#   ./build.sh demo   install what is missing, build what the demo runs, run it
#   ./build.sh test   install what is missing, build, run every test
#   ./build.sh bench  build and run the benchmarks (by hand; not part of CI)
#   ./build.sh wine [SCENARIO...]
#                     the Windows build under Wine in an emulated i386 guest,
#                     against the emulated kernel (windows/wine/)
# Each is idempotent: packages already present are not installed again, and
# the builds are incremental.
set -euo pipefail

root="$(cd "$(dirname "$0")" && pwd)"
build="${PELLINOR_BUILD_DIR:-$root/build}"
jobs="$(nproc)"

packages=(cmake ninja-build g++ g++-multilib googletest clang libclang-rt-14-dev
          g++-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-common
          binutils-mingw-w64-i686 python3 qemu-user clang-tidy cppcheck
          zlib1g-dev lib32z1-dev)
# What the Wine job needs besides: the emulated guest, and the tools that
# make its image from Debian's packages without mounting anything.
wine_packages=(qemu-system-x86 debootstrap e2fsprogs kmod cpio)

# install_missing [quiet] [PACKAGE...]: the packages above and these; quiet
# sends apt's lines to build/apt.log.
install_missing() {
  local quiet="" missing=()
  if [[ "${1:-}" == quiet ]]; then quiet=quiet; shift; fi
  for p in "${packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    if [[ -n "$quiet" ]]; then
      mkdir -p "$build"
      echo "   (apt's output in $build/apt.log)"
      { apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
      } >"$build/apt.log" 2>&1 || { tail -n 30 "$build/apt.log" >&2; return 1; }
    else
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
  fi
}

# configure NAME [cmake args...]: configure build/NAME once, then build it.
configure_and_build() {
  local name="$1"; shift
  local dir="$build/$name"
  if [[ ! -f "$dir/build.ninja" ]]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  fi
  cmake --build "$dir" -j "$jobs"
}

# run_i386 BUILD PROGRAM ARGS...: run an i386 program of a host build, under
# qemu-i386 where this kernel cannot run it natively.
run_i386() {
  local dir="$1"; shift
  local runner
  runner="$(cat "$dir/i386-runner" 2>/dev/null || true)"
  $runner "$@"
}

# build_quietly NAME TARGET...: configure build/NAME once and build only the
# targets given. Every line of cmake and the compiler goes to
# build/NAME/build.log; on a terminal the progress stays on one line. A
# failure prints the end of the log and its path.
build_quietly() {
  local name="$1"; shift
  local dir="$build/$name"
  local log="$dir/build.log"
  mkdir -p "$dir"
  : >"$log"
  echo "== building ${*} in $dir (every line in $log)"
  if [[ ! -f "$dir/build.ninja" ]]; then
    if ! cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >>"$log" 2>&1; then
      tail -n 30 "$log" >&2
      echo "== configuring failed; the whole output is in $log" >&2
      return 1
    fi
  fi
  local start=$SECONDS
  if ! NINJA_STATUS="[%f/%t] " cmake --build "$dir" -j "$jobs" --target "$@" 2>&1 |
       show_progress "$log"; then
    tail -n 30 "$log" >&2
    echo "== the build failed; the whole output is in $log" >&2
    return 1
  fi
  echo "== built in $((SECONDS - start)) s"
}

# show_progress LOG: appends standard input to LOG; on a terminal, rewrites
# one line with ninja's step count.
show_progress() {
  local log="$1" line shown=0
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    if [[ -t 1 && "$line" =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
      printf '\r   step %s of %s' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
      shown=1
    fi
  done
  if ((shown)); then printf '\r\033[K'; fi
}

# The demo scenario on the emulated machine; it prints the log it wrote. A
# fresh registry each time, so that the scenario's install always works.
# Only pellinor-sim is built (the driver, the emulated kernel and the
# simulated device are in it), not the tests and benchmarks.
run_demo() {
  build_quietly host pellinor-sim
  echo "== pellinor-sim --fresh --print scenarios/demo.pel"
  run_i386 "$build/host" "$build/host/tools/pellinor-sim/pellinor-sim" --fresh --print \
    --drive "$build/demo_drive_c" "$root/scenarios/demo.pel"
}

run_tests() {
  # The Windows build first: the host tests load its pellinor.sys into the
  # emulated kernel and run every bundled scenario with it as well.
  local image_args=()
  if [[ -f "$root/windows/Windows.cmake" ]]; then
    echo "== Windows build (mingw-w64, i386): pellinor.sys, pellinorctl.exe and the log tools"
    configure_and_build windows -DCMAKE_TOOLCHAIN_FILE="$root/windows/toolchain-i686-mingw32.cmake"
    echo "== Windows checks: image, imports, kernel structure layouts"
    (cd "$build/windows" && ctest --output-on-failure -j "$jobs")
    image_args=(-DPELLINOR_WINDOWS_IMAGE="$build/windows/pellinor.sys")
  fi

  echo "== host build (i386), all tests"
  configure_and_build host "${image_args[@]}"
  # A folder configured before knows nothing of the image yet.
  if ((${#image_args[@]})); then
    cmake "$build/host" "${image_args[@]}" >/dev/null
    cmake --build "$build/host" -j "$jobs"
  fi
  echo "== static analysis of the kernel code (clang-tidy, cppcheck)"
  "$root/tools/static-analysis/run.sh" "$build/host" "$jobs"
  (cd "$build/host" && ctest --output-on-failure -j "$jobs")

  echo "== host build under AddressSanitizer and UndefinedBehaviorSanitizer"
  # LeakSanitizer does not work under qemu-i386 user-mode emulation (it
  # never finishes); leaks of driver pool are caught by the emulated pool's
  # own checks at unload instead.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
  # AddressSanitizer's i386 layout ends the application's memory at 3 GB;
  # qemu-i386 otherwise hands a busy program mappings above that, and the
  # sanitizer stops ("AddrIsInMem"). Keep qemu's guest below 3 GB, as an
  # i386 process on a 32-bit kernel is (no effect where i386 runs natively).
  export QEMU_RESERVED_VA="${QEMU_RESERVED_VA:-0xc0000000}"
  configure_and_build asan -DPELLINOR_SANITIZE=ON "${image_args[@]}"
  if ((${#image_args[@]})); then
    cmake "$build/asan" "${image_args[@]}" >/dev/null
    cmake --build "$build/asan" -j "$jobs"
  fi
  # The soak runs its full minute in the plain suite; here a shorter one.
  (cd "$build/asan" && PELLINOR_SOAK_SECONDS="${PELLINOR_SOAK_SECONDS:-20}" \
     ctest --output-on-failure -j "$jobs")

  if [[ -f "$root/fuzz/CMakeLists.txt" ]]; then
    echo "== fuzz targets (libFuzzer, ${PELLINOR_FUZZ_SECONDS:-60} s each)"
    configure_and_build fuzz -DPELLINOR_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
    (cd "$build/fuzz" && PELLINOR_FUZZ_SECONDS="${PELLINOR_FUZZ_SECONDS:-60}" \
       ctest --output-on-failure -j "$jobs")
  fi
}

run_benchmarks() {
  configure_and_build host
  local runner how="i386"
  runner="$(cat "$build/host/i386-runner" 2>/dev/null || true)"
  [[ -n "$runner" ]] && how="i386, under qemu-i386"
  for bench in "$build/host"/bench/*_bench; do
    echo "== $(basename "$bench") ($how)"
    run_i386 "$build/host" "$bench"
  done
  # The kernel-free benchmarks also natively (x86-64), and under qemu-i386,
  # which inflates computation more than system calls: each figure says
  # which build it is, and these headers say how it ran.
  configure_and_build native -DPELLINOR_NATIVE=ON
  for bench in "$build/native"/bench/*_bench; do
    echo "== $(basename "$bench") (x86-64, native)"
    "$bench"
  done
  if [[ -z "$runner" ]] && command -v qemu-i386 >/dev/null; then
    for bench in "$build/native"/bench/*_bench; do
      local name
      name="$(basename "$bench")"
      if [[ -x "$build/host/bench/$name" ]]; then
        echo "== $name (i386, under qemu-i386)"
        qemu-i386 "$build/host/bench/$name"
      fi
    done
  fi
}

# The Windows build under Wine (windows/wine/run.sh): the Windows build as
# the tests make it, pellinor-sim of the host build for the emulated side.
run_wine() {
  echo "== Windows build (mingw-w64, i386): pellinor.sys, pellinorctl.exe and the log tools"
  configure_and_build windows -DCMAKE_TOOLCHAIN_FILE="$root/windows/toolchain-i686-mingw32.cmake"
  build_quietly host pellinor-sim pellinor-log capidecode
  "$root/windows/wine/run.sh" "$build/wine" "$build/windows" "$build/host" "$@"
}

case "${1:-}" in
  demo) install_missing quiet; run_demo ;;
  test) install_missing; run_tests ;;
  bench) install_missing; run_benchmarks ;;
  wine) shift; install_missing "${wine_packages[@]}"; run_wine "$@" ;;
  *) echo "usage: $0 demo|test|bench|wine" >&2; exit 2 ;;
esac
