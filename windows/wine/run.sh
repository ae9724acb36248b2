#!/bin/bash
# The Windows build under Wine, in an emulated i386 Debian 12 guest, against
# the emulated kernel:
#   windows/wine/run.sh WORK WINDOWS_BUILD HOST_BUILD [SCENARIO...]
# WORK is the job's folder (the cached image, the results), WINDOWS_BUILD
# holds pellinor.sys and pellinorctl.exe, HOST_BUILD pellinor-sim. The
# scenarios are windows/wine/scenarios/*.pel and the bundled scenarios named
# in windows/wine/bundled.txt (or the names given, looked for in both
# folders): each runs on the emulated machine (pellinor-sim, with the same
# pellinor.sys) and under Wine, and the two logs, and the two trace logs
# where the scenario traces, are compared (windows/wine/scenarios.py). The
# last line says how many gave the same logs; the exit status is 0 when all
# did.
set -euo pipefail

work="$(mkdir -p "$1" && cd "$1" && pwd)"
windows="${2:?usage: run.sh WORK WINDOWS_BUILD HOST_BUILD [SCENARIO...]}"
host="${3:?usage: run.sh WORK WINDOWS_BUILD HOST_BUILD [SCENARIO...]}"
shift 3
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
image="$work/image"
# Last guards only: each boot ends when its job powers the guest off.
prefix_timeout=1500
job_timeout=900

scenarios=()
if (($#)); then
  for name in "$@"; do
    if [[ -f "$here/scenarios/$name.pel" ]]; then
      scenarios+=("$here/scenarios/$name.pel")
    else
      scenarios+=("$root/scenarios/$name.pel")
    fi
  done
else
  scenarios=("$here"/scenarios/*.pel)
  for name in $(grep -v '^#' "$here/bundled.txt"); do scenarios+=("$root/scenarios/$name.pel"); done
fi
names=()
for s in "${scenarios[@]}"; do
  [[ -f "$s" ]] || { echo "== wine: no scenario $s" >&2; exit 2; }
  names+=("$(basename "$s" .pel)")
done
for f in pellinor.sys pellinorctl.exe pellinor-log.exe capidecode.exe pellinor-wine-shim.sys \
         pellinor-wine-setup.exe capisim.sys capiapp.exe; do
  [[ -f "$windows/$f" ]] || { echo "== wine: no $windows/$f (the Windows build)" >&2; exit 1; }
done
sim="$host/tools/pellinor-sim/pellinor-sim"
[[ -x "$sim" ]] || { echo "== wine: no $sim (the host build)" >&2; exit 1; }
runner="$(cat "$host/i386-runner" 2>/dev/null || true)"

# boot WHAT SHARE DISK_MODE TIMEOUT: the guest with this share, until its
# job powers it off; the console goes to WORK/boot-WHAT.log. DISK_MODE
# "snapshot" puts every write to the image on a throwaway overlay.
boot() {
  local what="$1" share="$2" mode="$3" limit="$4"
  local log="$work/boot-$what.log" snapshot=off start=$SECONDS rc=0
  [[ "$mode" == snapshot ]] && snapshot=on
  # TCG, not KVM: this machine's /dev/kvm cannot boot a stock kernel. -smap
  # off: QEMU 7.2's emulation of it faults every Wine process at an iret.
  timeout "$limit" qemu-system-i386 -accel tcg,thread=multi -cpu max,-smap -smp 2 -m 2048 \
    -display none -monitor none -serial "file:$log" -no-reboot -net none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=4" \
    -drive "file=$image/rootfs.img,if=virtio,format=raw,cache=unsafe,snapshot=$snapshot" \
    -virtfs "local,path=$share,mount_tag=share,security_model=none,id=share" \
    -device virtio-rng-pci </dev/null || rc=$?
  if ((rc == 124)); then
    echo "== wine: the guest ($what) did not power off within $limit s; its console is in $log" >&2
    return 1
  fi
  if ((rc != 0)); then
    echo "== wine: qemu-system-i386 ($what) ended with $rc; the guest's console is in $log" >&2
    return 1
  fi
  if [[ "$(cat "$share/out/job.rc" 2>/dev/null)" != 0 ]]; then
    tail -n 20 "$log" >&2
    echo "== wine: the guest job ($what) failed (exit $(cat "$share/out/job.rc" 2>/dev/null ||
      echo "none: it did not end")); its console is in $log," \
      "its files in $share/out" >&2
    return 1
  fi
  echo "   guest ($what) done in $((SECONDS - start)) s"
}

# new_share SHARE JOB: a share holding the guest's environment and this job.
new_share() {
  rm -rf "$1"
  mkdir -p "$1/out"
  cp "$here/guest/env.sh" "$1/"
  cp "$here/guest/$2" "$1/job.sh"
}

"$here/image.sh" "$work"

# The first boot of an image makes the Wine prefix in it; it stays there.
if [[ ! -f "$image/prefix.done" ]]; then
  echo "== wine: first boot of the image: making the Wine prefix (wineboot -i)"
  new_share "$work/share-prefix" prefix.sh
  boot prefix "$work/share-prefix" persistent "$prefix_timeout"
  cp "$image/key" "$image/prefix.done"
fi

echo "== wine: ${#names[@]} scenarios on the emulated machine (pellinor-sim --driver $windows/pellinor.sys)"
rm -rf "$work/emulated"
mkdir -p "$work/emulated"
for i in "${!names[@]}"; do
  name="${names[$i]}"
  # A drive of its own, as every scenario under Wine begins without a log.
  if ! $runner "$sim" --fresh --drive "$work/emulated/$name.drive" --driver "$windows/pellinor.sys" \
       "${scenarios[$i]}" >"$work/emulated/$name.log" 2>"$work/emulated/$name.err"; then
    cat "$work/emulated/$name.err" >&2
    echo "== wine: scenario $name fails on the emulated machine; it is not run under Wine" >&2
    exit 1
  fi
  if [[ -f "$work/emulated/$name.drive/Pellinor.log" ]]; then
    cp "$work/emulated/$name.drive/Pellinor.log" "$work/emulated/$name.trace.log"
  fi
done

echo "== wine: the same scenarios under Wine (guest console in $work/boot-job.log)"
share="$work/share"
new_share "$share" job.sh
mkdir -p "$share/bin"
cp "$windows/pellinor.sys" "$windows/pellinorctl.exe" "$windows/pellinor-log.exe" \
  "$windows/capidecode.exe" "$windows/pellinor-wine-shim.sys" \
  "$windows/pellinor-wine-setup.exe" "$windows/capisim.sys" "$windows/capiapp.exe" "$share/bin/"

# The log tools (tools.txt): their inputs, the logs of two bundled scenarios
# as the emulated machine writes them, go to the share; the host build's
# programs run each line here, pellinor-log.exe and capidecode.exe in the
# guest.
tools_list="$here/tools.txt"
tools_in="$share/tools"
mkdir -p "$tools_in" "$work/tools-host"
rm -f "$work/tools-host"/*
for s in demo callers; do
  rm -rf "$work/tool-inputs/$s"
  $runner "$sim" --fresh --drive "$work/tool-inputs/$s" "$root/scenarios/$s.pel" >/dev/null
  cp "$work/tool-inputs/$s/Pellinor.log" "$tools_in/$s.log"
done
cp "$root/samples/messages.txt" "$tools_in/"
grep -v '^#' "$tools_list" | grep . >"$tools_in/list"
n=0
while read -r tool args; do
  n=$((n + 1))
  case "$tool" in
    pellinor-log) program="$host/tools/pellinor-log/pellinor-log" ;;
    capidecode) program="$host/tools/capidecode" ;;
    *) echo "== wine: $tools_list: no tool $tool (pellinor-log or capidecode)" >&2; exit 2 ;;
  esac
  rc=0
  # shellcheck disable=SC2086  # the arguments split at blanks, as documented
  (cd "$tools_in" && exec $runner "$program" $args) \
    >"$work/tools-host/$n.out" 2>"$work/tools-host/$n.err" </dev/null || rc=$?
  echo "$rc" >"$work/tools-host/$n.rc"
done <"$tools_in/list"
python3 "$here/scenarios.py" guest "${scenarios[@]}" --to "$share/scenarios"
boot job "$share" snapshot "$job_timeout"
grep '^job:' "$work/boot-job.log" | sed 's/^/   /' || true

# The routines of the driver that this Wine only has as placeholders: its
# imports, and what it looks up with MmGetSystemRoutineAddress.
libwine="$(awk '$1 == "libwine" {print $2}' "$work/debs/debootstrap/debpaths")"
rm -rf "$work/wine-dlls"
mkdir -p "$work/wine-dlls"
dpkg-deb --fsys-tarfile "$work/debs$libwine" |
  tar -x -C "$work/wine-dlls" --strip-components=6 \
    ./usr/lib/i386-linux-gnu/wine/i386-windows/ntoskrnl.exe ./usr/lib/i386-linux-gnu/wine/i386-windows/hal.dll
echo "== wine: routines of the driver that Wine exports only as placeholders (windows/wine/placeholders.py):"
python3 "$here/placeholders.py" --replaced "$share/out/shim.txt" "$work/wine-dlls" "$windows/pellinor.sys" \
  $(sed -n 's/.*Find(L"\([A-Za-z0-9_]*\)").*/\1/p' "$here"/../../framework/*.cpp | sort -u) | sed 's/^/   /'

# The tools' line first, so that the scenarios' line ends the run; either
# differing fails it.
tools_rc=0
python3 "$here/scenarios.py" tools --list "$tools_in/list" --emulated "$work/tools-host" \
  --wine "$share/out/tools" --to "$work/results" || tools_rc=$?
scenarios_rc=0
python3 "$here/scenarios.py" compare --steps "$share/scenarios" --emulated "$work/emulated" \
  --wine "$share/out" --to "$work/results" "${names[@]}" || scenarios_rc=$?
((scenarios_rc == 0)) || exit "$scenarios_rc"
exit "$tools_rc"
