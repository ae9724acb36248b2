#!/usr/bin/python3
"""The Wine job's scenarios: the same .pel file runs on the emulated machine
(pellinor-sim) and under Wine, and the two logs are compared.

  scenarios.py guest PEL... --to DIR
      For each scenario, DIR/NAME.sh (the guest's calls, for guest/job.sh)
      and DIR/NAME.steps.json (what the host needs to write Wine's log);
      DIR/list names them in order.
  scenarios.py compare --steps DIR --emulated DIR --wine DIR --to DIR NAME...
      Writes Wine's log of each scenario in pellinor-sim's form (NAME.wine.log),
      normalises both (NAME.emulated.log beside it), writes NAME.diff where
      they differ, and ends with one line: "N/N scenarios: the same log under
      Wine", or which differ (exit status 1 then).

  scenarios.py tools --list FILE --emulated DIR --wine DIR --to DIR
      Line N of FILE ran the host build's log tool with N.out, N.err and N.rc
      in the first DIR and its .exe under Wine with them in the second;
      writes tool-N.diff where they differ (CR LF made LF) and ends with one
      line: "N/N tool commands: the same output under Wine" (exit status 1
      when one differs).

A Wine scenario is a pellinor-sim scenario of these commands only:
  pellinorctl ARGS [=> EXIT]   pellinorctl.exe under Wine, pellinorctl on the
                               emulated machine; both logs hold the command
                               line, its output, its error output and a
                               non-zero exit status, as pellinor-sim prints them
  driver load                  sc start Pellinor, then sc query until RUNNING
  driver unload                sc stop Pellinor, then sc query until STOPPED
  capi load                    the CAPI provider driver capisim.sys, started
                               by sc in the shim's driver host
  capi complete KIND|all immediate|pending, capi pending-delay MS
                               before capi load: the provider's service key
                               values PendingKinds and PendingDelayMs
                               (with pending kinds, CompleteOnEvent too: the
                               provider holds them for the job)
  capi manufacturer TEXT, capi controllers N, capi serial|version|bchannels|
  profile C ...                before capi load: the values Manufacturer,
                               Controllers, SerialC, VersionC, BChannelsC and
                               ProfileC (windows/capisim/CapiSimDriver.cpp)
  app NAME open user [ioctl|readwrite] | open kernel ... app NAME close
                               capiapp.exe --serve under Wine (a kernel-mode one
                               through the provider driver's test client), one
                               process from open to close, each step written to
                               it as the scenario reaches it, so others may
                               come between (at most MAX_APPS open at once);
                               their lines are left out of both logs, a failure
                               under Wine is shown in its log
  background pellinorctl ARGS | background app NAME STEP, wait background
                               in the background until the wait (pellinor-sim
                               prints a background pellinorctl step's lines
                               at the wait, and so does Wine's log)
  wait pending 1, wait detached
                               the provider's event CapiSimPending, the shim's
                               PellinorWineDetached (each reset before the
                               background step it is for)
  clock advance MS             while a background step waits: the provider's
                               completion pass (CapiSimComplete, then
                               CapiSimCompleted waited for); MS must reach the
                               pending-delay, since under Wine all that is held
                               completes at once
  expect ..., registry expect ..., clock ...
                               otherwise left to pellinor-sim (the trace logs
                               are compared without their times)
When the scenario writes a trace log (C:\Pellinor.log), the two trace logs
are compared too, once file objects and IRPs are named in order of
appearance, message pointers set aside as PTR and the time lines as (time)
(see normalise_addresses).
"""
import difflib
import json
import os
import re
import shlex
import sys

COMMANDS = ("pellinorctl", "driver", "capi", "app", "background", "wait", "expect",
            "registry expect", "clock")

# The provider's request kinds, as pellinor-sim names them, in the order of
# their bits in PendingKinds (sim::RequestKind).
REQUEST_KINDS = ("register", "release", "put-message", "get-message", "get-manufacturer",
                 "get-version", "get-serial", "get-profile", "manufacturer", "read", "write")
# What an application run under Wine may do.
APP_VERBS = ("open", "call", "register", "release", "get", "close")


class ScenarioError(Exception):
    pass


def split_line(row, line):
    """The words of one line, as pellinor-sim splits them: (text, quoted)."""
    words = []
    i = 0
    while i < len(row):
        c = row[i]
        if c in " \t":
            i += 1
            continue
        if c == "#":
            break
        if c == '"':
            i += 1
            text = ""
            closed = False
            while i < len(row):
                q = row[i]
                if q == '"':
                    closed = True
                    i += 1
                    break
                if q == "\\" and i + 1 < len(row) and row[i + 1] == '"':
                    text += '"'
                    i += 2
                    continue
                text += q
                i += 1
            if not closed:
                raise ScenarioError("%d: unterminated quote" % line)
            if i < len(row) and row[i] not in " \t#":
                raise ScenarioError("%d: a quoted word must be followed by a blank" % line)
            words.append((text, True))
        else:
            start = i
            while i < len(row) and row[i] not in " \t":
                i += 1
            words.append((row[start:i], False))
    return words


def quote(text):
    """pellinor-sim's quoting of a word in the lines it prints."""
    if text and not any(c in text for c in ' \t"#\n'):
        return text
    return " ".join('"' + line.replace('"', '\\"') + '"' for line in text.split("\n"))


# Named events through which the job keeps step with the provider driver
# (windows/capisim/CapiSimDriver.cpp) and the shim (windows/wine/shim).
PENDING_EVENT, DETACHED_EVENT = "CapiSimPending", "PellinorWineDetached"
# A pass of the provider's completion: every request pending then completes.
COMPLETION_PASS = [["reset", "CapiSimCompleted"], ["set", "CapiSimComplete"],
                   ["wait", "CapiSimCompleted"]]
# Applications open at once: each holds two descriptors of the job's shell.
MAX_APPS = 3
# The provider's controllers (sim::kMaxControllers).
MAX_CONTROLLERS = 8


def read_scenario(path):
    """The steps of a Wine scenario: dicts of kind, line and what it needs."""
    steps = []
    pending_kinds, pending_delay = 0, 0
    maker = {}  # the provider's maker values: name -> [type, data], as given
    controllers = 1
    apps = {}  # the applications open now: name -> descriptor slot
    background = []  # the background steps not yet waited for
    with open(path, encoding="utf-8") as f:
        rows = f.read().split("\n")
    for number, row in enumerate(rows, 1):
        row = row.rstrip("\r")
        words = split_line(row, number)
        if not words:
            continue
        in_background = words[0] == ("background", False)
        if in_background:
            words = words[1:]
            if not words or words[0][0] not in ("pellinorctl", "app"):
                raise ScenarioError("%s:%d: only pellinorctl and app steps run in the background"
                                    % (path, number))
        command = words[0][0]
        rest = words[1:]
        expectation = None
        if len(rest) >= 2 and rest[-2] == ("=>", False):
            expectation = rest[-1][0]
            rest = rest[:-2]
        where = "%s:%d" % (path, number)
        if command == "pellinorctl":
            args = [w[0] for w in rest]
            step = {"kind": "ctl", "line": number, "args": args,
                    "header": " ".join(["> pellinorctl"] + [quote(a) for a in args])}
            if in_background:
                # The event is the shim's: a detach from now on is this
                # step's.
                steps.append({"kind": "event", "line": number,
                              "actions": [["reset", DETACHED_EVENT]]})
                step["background"] = True
                background.append(step)
            steps.append(step)
        elif command == "driver":
            if [w[0] for w in rest] not in (["load"], ["unload"]) or expectation is not None:
                raise ScenarioError("%s: the Wine job runs only 'driver load' and 'driver unload'"
                                    " (no expected status)" % where)
            steps.append({"kind": "driver", "line": number, "what": rest[0][0]})
        elif command == "clock":
            # Only the provider's timer makes the clock matter to what the
            # logs compare, and only while a background step waits for a
            # request pending there: under Wine the provider holds those
            # until the job has it complete them all (its timer is the
            # scenario's clock there).
            words = [w[0] for w in rest]
            if background and words[:1] == ["advance"]:
                if not pending_kinds:
                    raise ScenarioError("%s: a background step waits, and the provider completes"
                                        " nothing later" % where)
                if len(words) != 2 or not words[1].isdigit() or int(words[1]) < pending_delay:
                    raise ScenarioError("%s: under Wine the clock advances past the provider's"
                                        " pending-delay (%d ms) or not at all" % (where, pending_delay))
                steps.append({"kind": "event", "line": number, "actions": COMPLETION_PASS})
        elif command == "expect" or (command == "registry" and rest
                                     and rest[0] == ("expect", False)):
            continue
        elif command == "wait":
            words = [w[0] for w in rest]
            if words == ["background"]:
                if not background:
                    raise ScenarioError("%s: nothing runs in the background" % where)
                steps.append({"kind": "wait", "line": number,
                              "apps": [[b["name"], b["slot"]] for b in background
                                       if b["kind"] == "app"]})
                background = []
            elif words == ["pending", "1"]:
                steps.append({"kind": "event", "line": number, "actions": [["wait", PENDING_EVENT]]})
            elif words == ["detached"]:
                steps.append({"kind": "event", "line": number,
                              "actions": [["wait", DETACHED_EVENT]]})
            else:
                raise ScenarioError("%s: the Wine job waits for background, pending 1 or detached"
                                    % where)
        elif command == "capi":
            words = [w[0] for w in rest]
            numbered = len(words) >= 3 and words[0] in ("serial", "version", "bchannels",
                                                         "profile") and words[1].isdigit() \
                and 1 <= int(words[1]) <= MAX_CONTROLLERS
            value = None  # a numbered value of the maker's: [name, type, data]
            if numbered and words[0] in ("serial", "bchannels") and len(words) == 3 and \
                    (words[0] == "serial" or words[2].isdigit()):
                value = [("Serial" if words[0] == "serial" else "BChannels") + words[1],
                         "REG_SZ" if words[0] == "serial" else "REG_DWORD", words[2]]
            elif numbered and words[0] == "version" and len(words) == 6 and \
                    all(w.isdigit() and int(w) < 65536 for w in words[2:]):
                value = ["Version" + words[1], "REG_BINARY", "".join(
                    "%02x%02x" % (int(w) & 0xFF, int(w) >> 8) for w in words[2:])]
            elif numbered and words[0] == "profile" and \
                    re.fullmatch(r"[0-9A-Fa-f]{128}", "".join(words[2:])):
                value = ["Profile" + words[1], "REG_BINARY", "".join(words[2:])]
            if words == ["load"] and expectation is None:
                steps.append({"kind": "capi", "line": number, "pending": pending_kinds,
                              "delay": pending_delay,
                              "values": [[k] + maker[k] for k in sorted(maker)]})
            elif len(words) == 2 and words[0] == "manufacturer":
                maker["Manufacturer"] = ["REG_SZ", words[1]]
            elif len(words) == 2 and words[0] == "controllers" and words[1].isdigit() \
                    and 1 <= int(words[1]) <= MAX_CONTROLLERS:
                controllers = int(words[1])
                maker["Controllers"] = ["REG_DWORD", str(controllers)]
            elif value is not None:
                # A controller beyond the count adds controllers, as
                # pellinor-sim's capi steps do.
                controllers = max(controllers, int(words[1]))
                maker["Controllers"] = ["REG_DWORD", str(controllers)]
                maker[value[0]] = value[1:]
            elif len(words) == 3 and words[0] == "complete" and words[2] in ("immediate", "pending"):
                kinds = range(len(REQUEST_KINDS)) if words[1] == "all" else \
                    [REQUEST_KINDS.index(words[1])] if words[1] in REQUEST_KINDS else None
                if kinds is None:
                    raise ScenarioError("%s: no request kind %s" % (where, words[1]))
                for k in kinds:
                    if words[2] == "pending":
                        pending_kinds |= 1 << k
                    else:
                        pending_kinds &= ~(1 << k)
            elif len(words) == 2 and words[0] == "pending-delay" and words[1].isdigit():
                pending_delay = int(words[1])
            else:
                raise ScenarioError("%s: the Wine job runs capi load, complete, pending-delay,"
                                    " manufacturer, controllers, serial, version, bchannels and"
                                    " profile only" % where)
        elif command == "app":
            words = [w[0] for w in rest]
            if len(words) < 2 or words[1] not in APP_VERBS or expectation is not None:
                raise ScenarioError("%s: the Wine job runs app NAME %s, without an expected"
                                    " status" % (where, "|".join(APP_VERBS)))
            name, verb = words[0], words[1]
            if not re.fullmatch(r"[A-Za-z0-9_-]+", name):
                raise ScenarioError("%s: under Wine an application's name is letters, digits,"
                                    " - and _" % where)
            if name not in apps:
                if verb != "open" or words[2:3] not in (["user"], ["kernel"]):
                    raise ScenarioError("%s: under Wine an application begins with"
                                        " 'app NAME open user|kernel'" % where)
                free = [n for n in range(MAX_APPS) if n not in apps.values()]
                if not free:
                    raise ScenarioError("%s: under Wine at most %d applications are open at once"
                                        % (where, MAX_APPS))
                apps[name] = free[0]
            elif verb == "open":
                raise ScenarioError("%s: application %s is open already" % (where, name))
            if any(b["kind"] == "app" and b["name"] == name for b in background):
                raise ScenarioError("%s: application %s's background step is not waited for"
                                    % (where, name))
            if in_background and verb in ("open", "close"):
                raise ScenarioError("%s: open and close do not run in the background" % where)
            step = {"kind": "app", "line": number, "name": name, "slot": apps[name],
                    "command": " ".join((["background"] if in_background else []) + words[1:])}
            if in_background:
                if pending_kinds:
                    # The provider's: a request left pending from now on is
                    # this step's.
                    steps.append({"kind": "event", "line": number,
                                  "actions": [["reset", PENDING_EVENT]]})
                background.append(step)
            steps.append(step)
            if verb == "close":
                del apps[name]
        else:
            raise ScenarioError("%s: the Wine job cannot run '%s' (only %s)"
                                % (where, command, ", ".join(COMMANDS)))
    if apps:
        raise ScenarioError("%s: application %s is not closed" % (path, ", ".join(sorted(apps))))
    if background:
        raise ScenarioError("%s: a background step is not waited for" % path)
    return steps


def guest(paths, to):
    os.makedirs(to, exist_ok=True)
    names = []
    for path in paths:
        name = os.path.splitext(os.path.basename(path))[0]
        if not re.fullmatch(r"[A-Za-z0-9_-]+", name):
            raise ScenarioError("%s: a scenario's name is letters, digits, - and _" % path)
        steps = read_scenario(path)
        lines = ["# %s, made from %s by windows/wine/scenarios.py" % (name, os.path.basename(path))]
        for index, step in enumerate(steps, 1):
            step["id"] = "%02d" % index
            kind = step["kind"]
            if kind == "ctl":
                lines.append("%s %s %s" % ("ctl_background" if step.get("background") else "ctl",
                                           step["id"], " ".join(shlex.quote(a) for a in step["args"])))
            elif kind == "capi":
                lines.append("capi_load %s %d %d%s" % (step["id"], step["pending"], step["delay"],
                                                       "".join(" " + " ".join(shlex.quote(w) for w in v)
                                                               for v in step["values"])))
            elif kind == "app":
                lines.append("app %s %s %d %s" % (step["id"], step["name"], step["slot"],
                                                  shlex.quote(step["command"])))
            elif kind == "event":
                lines.append("event %s %s" % (step["id"], " ".join(a + " " + n for a, n in
                                                                  step["actions"])))
            elif kind == "wait":
                lines.append("wait_background %s %s" % (step["id"], " ".join(
                    "%s:%d" % (n, slot) for n, slot in step["apps"])))
            else:
                lines.append("driver_%s %s" % (step["what"], step["id"]))
        with open(os.path.join(to, name + ".sh"), "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.join(to, name + ".steps.json"), "w") as f:
            json.dump({"source": path, "steps": steps}, f, indent=1)
        names.append(name)
    with open(os.path.join(to, "list"), "w") as f:
        f.write("".join(n + "\n" for n in names))


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def ctl_log(step, folder, counts):
    """A pellinorctl step's lines, as pellinor-sim prints them."""
    base = os.path.join(folder, step["id"])
    if not os.path.exists(base + ".rc"):
        return step["header"] + "\n(did not run under Wine)\n"
    text = read_text(base + ".out") + read_text(base + ".err")
    # Normalisation 1: the C runtime's text mode ends every line of
    # pellinorctl.exe's output with CR LF on Windows (and Wine).
    counts["CR LF line ends of pellinorctl.exe made LF"] += text.count("\r\n")
    text = text.replace("\r\n", "\n")
    log = step["header"] + "\n" + text
    status = int(read_text(base + ".rc").strip() or "-1")
    if status != 0:
        log += "(exit status %d)\n" % status
    return log


def wine_log(steps, folder, counts):
    """Wine's results of one scenario in pellinor-sim's form."""
    log = ""
    waiting = []  # background pellinorctl steps, printed at their wait
    for step in steps:
        base = os.path.join(folder, step["id"])
        kind = step["kind"]
        if kind in ("driver", "capi"):
            what = "driver " + step["what"] if kind == "driver" else "capi load"
            if os.path.exists(base + ".fail"):
                log += "%s under Wine: %s\n" % (what, read_text(base + ".fail").strip())
            elif not os.path.exists(base + ".sc"):
                log += "%s: did not run under Wine\n" % what
            continue
        if kind in ("app", "event", "wait"):
            # The applications' own lines are left out of both logs, and the
            # job's events are its own; the trace shows what they did. A
            # failure is not left out.
            if os.path.exists(base + ".fail"):
                what = "app %s %s" % (step["name"], step["command"]) if kind == "app" else \
                    "event %s" % " ".join(a + " " + n for a, n in step["actions"]) \
                    if kind == "event" else "wait background"
                log += "%s under Wine: %s\n" % (what, read_text(base + ".fail").strip())
            if kind == "wait":
                log += "".join(ctl_log(s, folder, counts) for s in waiting)
                waiting = []
            continue
        if step.get("background"):
            # pellinor-sim prints a background step's lines at its wait.
            waiting.append(step)
            continue
        log += ctl_log(step, folder, counts)
    return log


APP_LINE = re.compile(r"^app [^\n]*\n", re.M)
# pellinor-sim's last line, where the scenario wrote a trace log: its path on
# the host, in the scenario's own drive folder (the trace logs are compared
# apart).
LOG_PATH_LINE = re.compile(r"^/[^\n]*\.drive/[^\n]*\n\Z", re.M)
TIME_LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d\d\d [A-Z][a-z][a-z], [A-Z][a-z][a-z] \d\d \d{4,}$", re.M)
BUILD_DATE = re.compile(r"(Build Date) [^\n]*$", re.M)
ADDRESS_LEADS = ("FileObj ", "Irp ", "Pointer: 0x", "Pointer:  0x")


def normalise_addresses(text):
    """Addresses as two implementations can agree on them. A file object is
    named ADDR1, ADDR2 ... in order of appearance, and named afresh at each
    CAPI_REGISTER request on it (one kernel reuses a freed file object's
    address for the next application, another does not); each request's IRP
    is named afresh (IRP1, IRP2 ...) and its completion by the name of the
    pending request at that address; a message pointer is PTR (what it
    points to is decoded beside it; where the allocator put it is not
    compared)."""
    names, irps, counter = {}, {}, {"files": 0, "requests": 0}
    out = []
    lead_re = re.compile("(%s)([0-9A-F]{8})" % "|".join(re.escape(l) for l in ADDRESS_LEADS))
    for line in text.split("\n"):
        completion = line.startswith("COMPLETION")
        registration = line.startswith("CAPI_REGISTER ")

        def name(match):
            lead, address = match.group(1), match.group(2)
            if address == "00000000":
                return lead + address
            if lead.startswith("Pointer"):
                return lead + "PTR"
            if lead == "Irp ":
                if completion and address in irps:
                    return lead + irps.pop(address)
                counter["requests"] += 1
                irps[address] = "IRP%d" % counter["requests"]
                return lead + irps[address]
            if address not in names or registration:
                counter["files"] += 1
                names[address] = "ADDR%d" % counter["files"]
            return lead + names[address]
        out.append(lead_re.sub(name, line))
    return "\n".join(out)


def normalise_trace(text, counts):
    text, n = TIME_LINE.subn("(time)", text.replace("\r\n", "\n"))
    counts["time lines of the trace logs"] += n
    text = BUILD_DATE.sub(r"\1 (build date)", text)
    return normalise_addresses(text)


BUILD_LINE = re.compile(r"^(> pellinorctl --version\n[^\n]*\n)build: [^\n]*$", re.M)


def normalise(log, counts):
    # Normalisation 2: --version names the tool's own build, which is not
    # the same program on the two sides (the host build's pellinorctl, the
    # mingw-w64 build's pellinorctl.exe).
    log, n = BUILD_LINE.subn(r"\1build: (the tool's own build)", log)
    counts["the build: line of pellinorctl --version"] += n
    log, n = LOG_PATH_LINE.subn("", log)
    counts["pellinor-sim's line with the trace log's path"] += n
    # The applications' lines are the emulated machine's alone (see
    # wine_log).
    return APP_LINE.sub("", log)


def differs(diff_path, emulated, wine, emulated_name, wine_name, shown):
    """False when the two texts are the same (a diff of an earlier run at
    diff_path goes); else writes their diff there, prints its first lines,
    and returns True."""
    if emulated == wine:
        if os.path.exists(diff_path):
            os.remove(diff_path)
        return False
    diff = list(difflib.unified_diff(emulated.splitlines(True), wine.splitlines(True),
                                     emulated_name, wine_name))
    with open(diff_path, "w") as f:
        f.writelines(diff)
    print("== wine: %s differs (%s):" % (wine_name, diff_path))
    for line in diff[:shown]:
        print("   " + line.rstrip("\n"))
    return True


def compare(args):
    steps_dir, emulated_dir, wine_dir, to, names = args
    os.makedirs(to, exist_ok=True)
    same, differ = [], []
    counts = {"CR LF line ends of pellinorctl.exe made LF": 0,
              "the build: line of pellinorctl --version": 0,
              "time lines of the trace logs": 0,
              "pellinor-sim's line with the trace log's path": 0}
    for name in names:
        with open(os.path.join(steps_dir, name + ".steps.json")) as f:
            steps = json.load(f)["steps"]
        emulated = normalise(read_text(os.path.join(emulated_dir, name + ".log")), counts)
        wine = normalise(wine_log(steps, os.path.join(wine_dir, name), counts), counts)
        for side, text in (("emulated", emulated), ("wine", wine)):
            with open(os.path.join(to, "%s.%s.log" % (name, side)), "w") as f:
                f.write(text)
        different = differs(os.path.join(to, name + ".diff"), emulated, wine,
                            "%s (emulated kernel)" % name, "%s (Wine)" % name, 40)
        # The trace logs, where either side wrote one.
        traces = {}
        for side, path in (("emulated", os.path.join(emulated_dir, name + ".trace.log")),
                           ("wine", os.path.join(wine_dir, name, "trace.log"))):
            traces[side] = normalise_trace(read_text(path), counts) if os.path.exists(path) \
                else "(no trace log)\n"
            with open(os.path.join(to, "%s.%s.trace.log" % (name, side)), "w") as f:
                f.write(traces[side])
        if traces["emulated"] != "(no trace log)\n" or traces["wine"] != "(no trace log)\n":
            different |= differs(os.path.join(to, name + ".trace.diff"), traces["emulated"],
                                 traces["wine"], "%s trace (emulated kernel)" % name,
                                 "%s trace (Wine)" % name, 60)
        (differ if different else same).append(name)
    applied = ["%s (%d)" % (what, n) for what, n in counts.items() if n]
    print("== wine: normalised: %s" % ("; ".join(applied) if applied else "nothing"))
    total = len(names)
    if not differ:
        print("%d/%d scenarios: the same log under Wine" % (total, total))
        return 0
    print("%d/%d scenarios: the same log under Wine; differing: %s (diffs in %s)"
          % (len(same), total, ", ".join(differ), to))
    return 1


def tools(args):
    list_path, host_dir, wine_dir, to = args
    os.makedirs(to, exist_ok=True)
    with open(list_path) as f:
        commands = [line.strip() for line in f if line.strip()]
    differ = []
    for n, command in enumerate(commands, 1):
        texts = {}
        for side, folder in (("emulated", host_dir), ("wine", wine_dir)):
            parts = []
            for what in ("out", "err", "rc"):
                path = os.path.join(folder, "%d.%s" % (n, what))
                text = read_text(path) if os.path.exists(path) else "(no %s: not run)\n" % what
                # The .exe writes through the C runtime's text mode.
                parts.append("--- %s\n%s" % (what, text.replace("\r\n", "\n")))
            texts[side] = "> %s\n%s" % (command, "".join(parts))
        if differs(os.path.join(to, "tool-%d.diff" % n), texts["emulated"], texts["wine"],
                   "%s (host build)" % command, "%s (Wine)" % command, 30):
            differ.append(n)
    total = len(commands)
    if not differ:
        print("%d/%d tool commands: the same output under Wine" % (total, total))
        return 0
    print("%d/%d tool commands: the same output under Wine; differing: lines %s of the list"
          " (diffs in %s)" % (total - len(differ), total, ", ".join(map(str, differ)), to))
    return 1


def options(words, keys):
    """The values of "--KEY VALUE" pairs in the order of keys; None unless
    the words are exactly those keys, each once."""
    given = dict(zip(words[0::2], words[1::2]))
    if len(words) != 2 * len(keys) or sorted(given) != sorted(keys):
        return None
    return [given[k] for k in keys]


def main(argv):
    try:
        if len(argv) >= 4 and argv[1] == "guest" and argv[-2] == "--to":
            guest(argv[2:-2], argv[-1])
            return 0
        if len(argv) >= 10 and argv[1] == "compare":
            values = options(argv[2:10], ("--steps", "--emulated", "--wine", "--to"))
            if values is not None:
                return compare(values + [argv[10:]])
        if len(argv) == 10 and argv[1] == "tools":
            values = options(argv[2:10], ("--list", "--emulated", "--wine", "--to"))
            if values is not None:
                return tools(values)
    except ScenarioError as error:
        print("scenarios.py: %s" % error, file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
