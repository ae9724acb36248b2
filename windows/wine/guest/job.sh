#!/bin/sh
# Guest job of every later boot (on a throwaway overlay of the image): run
# each scenario of /mnt/share/scenarios/list under Wine. Each is a script
# of the calls below, made from its .pel file by windows/wine/scenarios.py;
# every step leaves its results in out/NAME/: N.out, N.err, N.rc for a
# pellinorctl step, N.out for an application's step (its answer), N.fail
# when a driver load or unload did not reach its state, an application
# step had no answer or an event step failed. What the job did besides the steps goes to out/NAME/notes.txt.
. /mnt/share/env.sh
# A write to an application that has gone fails instead of ending the job.
trap '' PIPE
# The applications' fifos: on the guest's own disk, not the share.
fifos=/tmp/job-fifos
mkdir -p "$fifos"
share=/mnt/share
service='HKLM\System\CurrentControlSet\Services\Pellinor'

note() { printf '%s\n' "$*" >>"$d/notes.txt"; }

# guarded WHAT COMMAND...: the command, ended after 120 s if it has not
# ended by then (a last guard: a hung Wine program would otherwise hold the
# whole job until the host's guard ends the guest). Exit status 124 then.
guarded() {
  what=$1; shift
  timeout -k 10 120 "$@"
  rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    note "GUARD: $what did not end within 120 s: ended"
    echo "job: GUARD: $what did not end within 120 s: ended" >&2
    return 124
  fi
  return $rc
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# ctl N ARGS...: pellinorctl.exe with these arguments. No Wine debug
# output: its error output is the tool's alone.
ctl() {
  n=$1; shift
  t=$(now)
  guarded "step $n: pellinorctl.exe" env WINEDEBUG=-all wine pellinorctl.exe "$@" \
    >"$d/$n.out" 2>"$d/$n.err"
  echo $? >"$d/$n.rc"
  note "step $n: pellinorctl $* (exit $(cat "$d/$n.rc"), $(since "$t") s)"
}

# service_state [SERVICE]: the state word of sc query (RUNNING, STOPPED ...),
# or ABSENT when there is no such service. SERVICE is Pellinor unless named.
service_state() {
  guarded "sc query" env WINEDEBUG=-all wine sc query "${1:-Pellinor}" >"$d/sc-query.txt" 2>&1
  # Wine's sc ends its lines with CR LF.
  s=$(tr -d '\r' <"$d/sc-query.txt" | awk '$1 == "STATE" { print $4; exit }')
  echo "${s:-ABSENT}"
}

# wait_state N WANTED [SERVICE]: poll sc query until the service is in that
# state: each query is a Wine program, no pause between them; at most 30
# queries (the last guard; a query takes a second or two under emulation).
wait_state() {
  n=$1 wanted=$2 i=0
  while [ $i -lt 30 ]; do
    i=$((i + 1))
    s=$(service_state "${3:-Pellinor}")
    if [ "$s" = "$wanted" ]; then
      note "step $n: $wanted after $i queries of sc query"
      return 0
    fi
    # A start that ended in STOPPED (or a service gone) will not come back.
    case "$wanted:$s" in
      RUNNING:STOPPED | *:ABSENT)
        echo "the service is $s, not $wanted; sc query: $(tr -s ' \r\n' ' ' <"$d/sc-query.txt")" >"$d/$n.fail"
        return 1 ;;
    esac
  done
  echo "the service is still $s, not $wanted, after $i queries of sc query" >"$d/$n.fail"
  return 1
}

# TEMPORARY setup step, until pellinorctl install writes
# \SystemRoot\System32\drivers\pellinor.sys: Wine 8.0 does not resolve the
# relative ImagePath System32\drivers\pellinor.sys (Windows does), and its
# load fails with 0xC0000142. Rewritten here only while it is relative.
patch_image_path() {
  WINEDEBUG=-all wine reg query "$service" /v ImagePath >"$d/imagepath.txt" 2>&1
  if grep -q 'REG_[A-Z_]*SZ *System32\\drivers\\pellinor.sys' "$d/imagepath.txt"; then
    WINEDEBUG=-all wine reg add "$service" /v ImagePath /t REG_EXPAND_SZ \
      /d '\SystemRoot\System32\drivers\pellinor.sys' /f >>"$d/imagepath.txt" 2>&1
    note "step $1: TEMPORARY: ImagePath rewritten to \\SystemRoot\\System32\\drivers\\pellinor.sys for Wine"
  fi
}

# Test setup: Wine starts a kernel driver in the driver host of a running
# driver of the same load-order group, else in a host of its own. Pellinor
# joins the shim's host (see start_shim), where the shim's routines stand in
# for Wine's placeholders. Windows has one kernel: there the group changes
# nothing of this.
join_shim_host() {
  if guarded "step $1: pellinor-wine-setup" env WINEDEBUG=-all wine pellinor-wine-setup.exe \
       group Pellinor PellinorWine >"$d/$1.setup" 2>&1; then
    note "step $1: setup: service Pellinor put in group PellinorWine (the shim's driver host)"
  else
    note "step $1: setup: FAILED to put Pellinor in group PellinorWine: $(tr -s '\r\n' ' ' <"$d/$1.setup")"
  fi
}

# driver_load N: what the emulated machine's driver load is, by the service
# control manager: sc start, then sc query until RUNNING.
driver_load() {
  patch_image_path "$1"
  join_shim_host "$1"
  t=$(now)
  guarded "step $1: sc start" env WINEDEBUG=-all wine sc start Pellinor >"$d/$1.sc" 2>&1
  wait_state "$1" RUNNING
  note "step $1: driver load by sc start ($(since "$t") s)"
}

# driver_unload N: sc stop, then sc query until STOPPED.
driver_unload() {
  t=$(now)
  guarded "step $1: sc stop" env WINEDEBUG=-all wine sc stop Pellinor >"$d/$1.sc" 2>&1
  wait_state "$1" STOPPED
  note "step $1: driver unload by sc stop ($(since "$t") s)"
}

# capi_load N KINDS DELAY [NAME TYPE DATA]...: the emulated machine's capi load: the CAPI
# provider driver (capisim.sys) as service CapiSim in the shim's driver host
# (where the shim finds its device for the trace driver), with the values
# PendingKinds and PendingDelayMs of its service key; sc start, then sc
# query until RUNNING. With pending kinds, CompleteOnEvent too: the job
# completes what the provider holds pending (a DPC would not run here,
# DIFFERENCES.md 12); and each NAME TYPE DATA, a value of the maker's
# (capi manufacturer, controllers, serial, version ...), as reg add takes it.
capi_load() {
  t=$(now)
  guarded "step $1: sc create CapiSim" env WINEDEBUG=-all wine sc create CapiSim type= kernel \
    start= demand group= PellinorWine binpath= '\SystemRoot\System32\drivers\capisim.sys' \
    >"$d/$1.sc" 2>&1
  key='HKLM\System\CurrentControlSet\Services\CapiSim'
  WINEDEBUG=-all wine reg add "$key" /v PendingKinds /t REG_DWORD /d "$2" /f >>"$d/$1.sc" 2>&1
  WINEDEBUG=-all wine reg add "$key" /v PendingDelayMs /t REG_DWORD /d "$3" /f >>"$d/$1.sc" 2>&1
  WINEDEBUG=-all wine reg add "$key" /v CompleteOnEvent /t REG_DWORD /d "$([ "$2" = 0 ] && echo 0 || echo 1)" \
    /f >>"$d/$1.sc" 2>&1
  n=$1
  shift 3
  while [ $# -ge 3 ]; do
    WINEDEBUG=-all wine reg add "$key" /v "$1" /t "$2" /d "$3" /f >>"$d/$n.sc" 2>&1
    shift 3
  done
  set -- "$n"
  guarded "step $1: sc start CapiSim" env WINEDEBUG=-all wine sc start CapiSim >>"$d/$1.sc" 2>&1
  wait_state "$1" RUNNING CapiSim
  note "step $1: capi load by sc start CapiSim ($(since "$t") s)"
}

# ctl_background N ARGS...: ctl in the background, waited for by
# wait_background.
ctl_background() {
  (ctl "$@") &
  echo $! >"$d/$1.bgpid"
}

# event N ACTION NAME...: capiapp.exe --event: set, reset or wait for the
# named events of the provider driver and the shim (scenarios.py says which
# step needs which). N.fail when one failed.
event() {
  n=$1; shift
  t=$(now)
  guarded "step $n: capiapp.exe --event" env WINEDEBUG=-all wine capiapp.exe --event "$@" \
    >"$d/$n.out" 2>"$d/$n.err" </dev/null
  rc=$?
  [ $rc -eq 0 ] || echo "exit status $rc: $(tr -s '\r\n' ' ' <"$d/$n.err")" >"$d/$n.fail"
  note "step $n: event $* (exit $rc, $(since "$t") s)"
}

# app N NAME SLOT STEP: one step of application NAME, in the process of
# capiapp.exe --serve that its open starts and its close ends (the handle
# lives as long as the emulated machine's application does, while the
# job's other steps run). The job writes each step on the process's
# standard input (descriptor SLOT*2+3, a fifo) and reads its one line of
# answer from its standard output (SLOT*2+4) into N.out; N.fail when there
# was none, or when the process ended with a status other than 0.
app() {
  local n=$1 name=$2 in=$(($3 * 2 + 3)) out=$(($3 * 2 + 4)) step=$4 t rc
  local fifo="$fifos/$name"
  t=$(now)
  case "$step" in
    open*)
      rm -f "$fifo.in" "$fifo.out" "$d/app-$name.rc" "$d/app-$name.gone"
      mkfifo "$fifo.in" "$fifo.out"
      # Its last guard is the scenario's: the process lives across steps.
      (env WINEDEBUG=-all timeout -k 10 600 wine capiapp.exe --name "$name" --serve \
         <"$fifo.in" >"$fifo.out" 2>"$d/app-$name.err"
       echo $? >"$d/app-$name.rc") &
      echo $! >"$d/app-$name.pid"
      # The two ends meet the process's in the order it opens them.
      eval "exec $in>\"\$fifo.in\" $out<\"\$fifo.out\""
      ;;
  esac
  if [ -f "$d/app-$name.gone" ]; then
    echo "the application had ended before this step" >"$d/$n.fail"
    return
  fi
  # A process gone makes the write fail (SIGPIPE is ignored) and the read
  # meet the end of its output.
  if ! printf '%s\n' "$step" >&"$in" 2>/dev/null ||
     ! timeout -k 5 120 sh -c 'IFS= read -r line; s=$?; printf "%s\n" "$line"; exit $s' \
       <&"$out" >"$d/$n.out"; then
    # Not waited for: a process that did not answer may not end either
    # (the job's end takes it with Wine).
    eval "exec $in>&- $out<&-"
    : >"$d/app-$name.gone"
    echo "no answer; $(tr -s '\r\n' ' ' <"$d/app-$name.err")" >"$d/$n.fail"
    note "step $n: app $name $step: NO ANSWER ($(since "$t") s)"
    return
  fi
  if [ "$step" = close ]; then
    wait "$(cat "$d/app-$name.pid")"
    eval "exec $in>&- $out<&-"
    : >"$d/app-$name.gone"
    rc=$(cat "$d/app-$name.rc" 2>/dev/null || echo none)
    if [ "$rc" != 0 ]; then
      echo "exit status $rc: $(cat "$d/$n.out" "$d/app-$name.err" | tr -s '\r\n' ' ')" >"$d/$n.fail"
    fi
  fi
  note "step $n: app $name $step ($(since "$t") s)"
}

# wait_background N NAME:SLOT...: the background pellinorctl steps, then
# each application's background step ("wait", its answer in N.NAME.out).
wait_background() {
  local n=$1 f a
  shift
  for f in "$d"/*.bgpid; do
    [ -f "$f" ] || continue
    wait "$(cat "$f")"
    rm -f "$f"
  done
  for a in "$@"; do
    app "$n.${a%%:*}" "${a%%:*}" "${a#*:}" wait
    [ -f "$d/$n.${a%%:*}.fail" ] && cat "$d/$n.${a%%:*}.fail" >>"$d/$n.fail"
  done
}

# remove_service NAME: stopped (if it runs) and deleted.
remove_service() {
  s=$(service_state "$1")
  [ "$s" = ABSENT ] && return 0
  note "setup: a service $1 was left ($s): stopped and deleted"
  if [ "$s" != STOPPED ]; then
    guarded "setup: sc stop $1" env WINEDEBUG=-all wine sc stop "$1" >/dev/null 2>&1
    wait_state setup STOPPED "$1"
  fi
  guarded "setup: sc delete $1" env WINEDEBUG=-all wine sc delete "$1" >/dev/null 2>&1
  wait_state setup ABSENT "$1"
}

# Every scenario begins as the emulated machine's --fresh does: no service
# Pellinor, no CAPI provider, no log. What the scenario before left is
# stopped and deleted: the trace driver first, as it sits above the
# provider.
clean_service() {
  remove_service Pellinor
  remove_service CapiSim
  rm -f "$WINEPREFIX/drive_c/Pellinor.log"
}

echo "job: $(wine --version) at $(uptime_s) s"
cp "$share/bin/pellinor.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/"
cp "$share/bin/pellinorctl.exe" "$share/bin/capiapp.exe" "$WINEPREFIX/drive_c/windows/"
cp "$share/bin/capisim.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/"
cd "$WINEPREFIX/drive_c" || exit 1
# A server that stays until it is told to go: the driver stays loaded
# between two programs.
wineserver -p
# Wine's system processes (services.exe, and winedevice.exe, which hosts the
# driver) start with the first program and keep its debug settings and its
# error output: Wine's errors, fixmes and ntoskrnl's trace go to
# out/wine-system.txt. That first program names a debugger that does not
# exist, so that a program that crashes (the driver host, on a routine Wine
# lacks) ends at once and its service is seen stopped: with winedbg (Wine's
# default, and no display for its dialog) every later command took about
# 10 s and sc stop did not return.
t=$(now)
WINEDEBUG=err+all,fixme+all,+ntoskrnl wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
  /v Debugger /t REG_SZ /d 'no-debugger-here.exe %ld %ld' /f >"$out/wine-start.txt" 2>"$out/wine-system.txt"
echo "job: Wine's system processes up in $(since "$t") s"

# Test setup: the shim driver (windows/wine/shim), started once and left
# running for the whole job, so that its driver host stays for every load of
# Pellinor. What it replaced goes to out/shim.txt.
d="$out/setup"
mkdir -p "$d"
cp "$share/bin/pellinor-wine-shim.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/"
cp "$share/bin/pellinor-wine-setup.exe" "$WINEPREFIX/drive_c/windows/"
t=$(now)
guarded "setup: sc create PellinorWineShim" env WINEDEBUG=-all wine sc create PellinorWineShim \
  type= kernel start= demand group= PellinorWine \
  binpath= '\SystemRoot\System32\drivers\pellinor-wine-shim.sys' >"$d/shim-create.txt" 2>&1
guarded "setup: sc start PellinorWineShim" env WINEDEBUG=-all wine sc start PellinorWineShim \
  >"$d/shim-start.txt" 2>&1
if wait_state shim RUNNING PellinorWineShim; then
  echo "job: the shim driver is running ($(since "$t") s)"
else
  echo "job: the shim driver did not start: $(cat "$d/shim.fail")" >&2
fi
tr -d '\r' <"$WINEPREFIX/drive_c/pellinor-wine-shim.txt" >"$out/shim.txt" 2>/dev/null ||
  echo "no report: the shim did not run" >"$out/shim.txt"
sed 's/^/job: shim: /' "$out/shim.txt"

for name in $(cat "$share/scenarios/list"); do
  d="$out/$name"
  mkdir -p "$d"
  t0=$(now)
  clean_service
  . "$share/scenarios/$name.sh"
  # The trace log, as the driver left it (the emulated machine's is beside
  # its drive).
  if [ -f "$WINEPREFIX/drive_c/Pellinor.log" ]; then
    cp "$WINEPREFIX/drive_c/Pellinor.log" "$d/trace.log"
  fi
  echo "job: $name in $(since "$t0") s"
  : >"$d/done"
done
# The log tools: each line of tools/list, in the folder that holds their
# inputs (Wine makes it the program's current folder); out/tools/N.out,
# N.err and N.rc, as the host build's programs left theirs.
if [ -f "$share/tools/list" ]; then
  d="$out/tools"
  mkdir -p "$d"
  cp "$share/bin/pellinor-log.exe" "$share/bin/capidecode.exe" "$WINEPREFIX/drive_c/windows/"
  t0=$(now)
  n=0
  cd "$share/tools" || exit 1
  while read -r tool args; do
    n=$((n + 1))
    t=$(now)
    # shellcheck disable=SC2086  # split at blanks, as tools.txt says
    guarded "tool $n: $tool.exe" env WINEDEBUG=-all wine "$tool.exe" $args \
      >"$d/$n.out" 2>"$d/$n.err" </dev/null
    echo $? >"$d/$n.rc"
    note "tool $n: $tool $args (exit $(cat "$d/$n.rc"), $(since "$t") s)"
  done <list
  cd "$WINEPREFIX/drive_c" || exit 1
  echo "job: $n tool commands in $(since "$t0") s"
fi
wineserver -k
wineserver -w
echo "job: Wine gone at $(uptime_s) s"
