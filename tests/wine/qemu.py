"""The i686 stage: the shipped 32-bit SETUP.EXE under 32-bit Wine, whose
i386 programs run through qemu-user, because this machine's kernel executes
no 32-bit code.

The stage registers qemu for i386 programs with binfmt_misc: in a user and
mount namespace of its own where the kernel allows one (so that nothing
outside the stage runs i386 programs through qemu, 64-bit Wine prefixes
included), otherwise on the machine, for the stage's time. Where neither is
allowed, it is skipped with the reason.

Every Wine process starts slowly under qemu (seconds) and a new Wine session
takes a minute, so the scenarios share one prefix and one session: the
prefix is made once, a held process keeps its session alive, and after each
scenario the prefix is reset (the installer's devices, services, keys,
RunOnce value and files removed) and checked against the state it had when
it was made. A scenario that simulates a restart starts a new session, which
the following scenarios keep using.

Each scenario is the x86_64 suite's own (scenarios.py), compared with the
simulator as there, and its record (exit codes and transcripts of every run
of SETUP.EXE, and the prefix's state at the end) is compared with the x86_64
twin's record of the same scenario, which the x86_64 suite writes; a missing
or stale one is made first.
"""

import glob
import hashlib
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
import traceback

import harness
import scenarios

QEMU = "/usr/bin/qemu-i386"
BINFMT = "/proc/sys/fs/binfmt_misc"
BINFMT_ENTRY = "qemu-i386"
# qemu for every ELF program of 32 bits for the 80386.
BINFMT_REGISTRATION = (
    ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:"
    "\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:"
    "/usr/bin/qemu-i386:F")
# The guest address space qemu gives each Wine process: the 2 GiB of a 32-bit
# Windows process and 16 MiB above them (the guest's stack). Wine reserves
# all the address space above 2 GiB page by page when qemu ignores
# MAP_FIXED_NOREPLACE, which cost about 1 s of CPU per 32 MiB before the
# preloaded library below: 0x81000000 started a process in about 2 s,
# 0x90000000 in 12 s, the full 4 GiB in over a minute; 0x80000000 leaves no
# room for the shared user data.
QEMU_RESERVED_VA = "0x81000000"
# Wine's reservations beyond the guest's address space fail at once in every
# 32-bit Wine process instead of after a search by qemu (about 2 s of
# processor time per process): tools/mmap_noreplace.c, preloaded by qemu.
NOREPLACE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools", "mmap_noreplace.c")
INSIDE = "WINE_I686_STAGE_INSIDE"
HOLD_SECONDS = 1800  # the session's keeper ends by itself at the latest then
BOOT_SECONDS = 330  # Wine waits 300 s for a session's boot
SERVICE_MANAGER_SECONDS = 300
# The session's own processes report errors of exception handling and of the
# service manager on the keeper's standard error.
KEEPER_DEBUG = "-all,+timestamp,+pid,err+seh,err+service,err+eventlog"
# What a fault in one of Wine's processes under qemu leaves on standard error.
FAULT_SIGNS = (b"unexpected trap", b"uncaught target signal")
CONTROL_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Control"
# A process that crashes starts the debugger named here; a name that does not
# exist ends it at once (winedbg under qemu takes minutes and can hang).
AEDEBUG_KEY = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"
NO_DEBUGGER = "C:\\windows\\no-debugger.exe %ld %ld"
# Drivers run in winedevice.exe, which crashes under qemu (and then spins in
# its fault handler, the service manager waiting for it). No driver can do
# anything here (the media's are placeholders, Wine's own are not needed), so
# winedevice.exe does not start: a driver service's start fails at once with
# ERROR_MOD_NOT_FOUND (126) instead of after loading (1114 under wine64). The
# services that start drivers at each session start, and the event log,
# start on demand only, from the first restart on.
WINE_DLL_OVERRIDES = "mscoree,mshtml=;winedevice.exe=d"
ON_DEMAND = ["MountMgr", "NDIS", "nsiproxy", "Eventlog"]
RESET_COMMANDS = [["devices-remove"] + harness.DEVICE_WORDS, ["services-remove"] + harness.SERVICE_WORDS,
                  ["reg-delete-value", harness.RUNONCE_KEY, "Setup"]]


REPORT = []  # the stage's report file, which scripts/test.sh shows


def say(text):
    print(text, flush=True)
    if REPORT:
        with open(REPORT[0], "a") as f:
            f.write(text + "\n")


def load_average():
    return harness.read("/proc/loadavg", "r").split(" ")[0] or "?"


# ---------------------------------------------------------------------------
# binfmt_misc


def register_binfmt(mount=False):
    """Mounts binfmt_misc (where it is not mounted, or always: a namespace's
    own) and registers qemu for i386 programs where no entry of that name
    exists. Returns (what it did: a list of "mounted", "registered"; None),
    or (what it did, why it could not)."""
    done = []
    if mount or not os.path.exists(os.path.join(BINFMT, "register")):
        r = subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            return done, "mounting binfmt_misc was refused: %s" % r.stdout.decode().strip()
        done.append("mounted")
    if os.path.exists(os.path.join(BINFMT, BINFMT_ENTRY)):
        return done, None
    try:
        with open(os.path.join(BINFMT, "register"), "w") as f:
            f.write(BINFMT_REGISTRATION)
    except OSError as e:
        return done, "registering qemu for i386 programs was refused: %s" % e
    done.append("registered")
    return done, None


def undo_binfmt(done):
    """Takes back what register_binfmt() did on the machine."""
    try:
        if "registered" in done:
            with open(os.path.join(BINFMT, BINFMT_ENTRY), "w") as f:
                f.write("-1")
        if "mounted" in done:
            subprocess.run(["umount", BINFMT], stdin=subprocess.DEVNULL, check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        say("could not take back the binfmt_misc registration: %s" % e)


def runs_i386(loader):
    """Whether an i386 program runs here now: the 32-bit Wine loader asked for
    its version."""
    try:
        r = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return False, str(e)
    return r.returncode == 0, r.stdout.decode(errors="replace").strip()


def namespace_command():
    """The command that runs a program in a new user and mount namespace with
    a binfmt_misc of its own, or None where the kernel does not allow it
    (before Linux 6.7, binfmt_misc is one for the whole machine)."""
    unshare = shutil.which("unshare")
    if not unshare:
        return None
    command = [unshare, "--user", "--map-root-user", "--mount", "--propagation", "private"]
    probe = subprocess.run(command + ["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return command if probe.returncode == 0 else None


# ---------------------------------------------------------------------------
# The shared prefix and session


def prefix_processes(prefix):
    """The ids of the processes that run in a Wine prefix (the wineserver
    included)."""
    wanted = ("WINEPREFIX=%s" % prefix).encode()
    found = []
    for entry in glob.glob("/proc/[0-9]*/environ"):
        try:
            with open(entry, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    found.append(int(entry.split("/")[2]))
        except OSError:
            pass
    return [pid for pid in found if pid != os.getpid()]


class Session:
    """One 32-bit prefix and the Wine session that the scenarios share."""

    def __init__(self, env):
        self.env = env
        self.path = os.path.join(env.scratch, "prefix")
        self.wine = None  # the session's own runs of the prefix tool
        self.keeper = None
        self.baseline = None
        self.dirty = None  # what the last reset left behind

    def boot(self):
        """Makes the prefix: its first process creates it (wineboot --init)
        and its session goes on for the scenarios. A boot that a crash of one
        of Wine's processes spoiled is done once more."""
        for attempt in (1, 2):
            try:
                self.make_prefix()
                return
            except harness.Failure as f:
                self.end()
                if attempt == 2:
                    raise
                say("    making the prefix failed (%s): once more" % f)

    def make_prefix(self):
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.wine = harness.WinePrefix(self.env, "session", path=self.path)
        self.keeper = self.wine.start(self.env.tool, ["hold", str(HOLD_SECONDS)], debug=KEEPER_DEBUG)[0]
        # The first process creates the prefix's folder at once; a second one
        # started after that joins the session and waits for its boot.
        deadline = time.time() + 60
        while not os.path.isdir(os.path.join(self.path, "dosdevices")) and time.time() < deadline:
            if self.keeper.poll() is not None:
                raise harness.Failure("the first Wine process ended with %d" % self.keeper.returncode)
            time.sleep(0.2)
        self.wait_for_boot()
        os.symlink(self.env.win_media, os.path.join(self.path, "dosdevices", "d:"))
        # Services get more time to connect than Wine's 10 s default, from the
        # next session on; a crash ends the process; and the state that every
        # reset must come back to.
        settings = [["reg-set", CONTROL_KEY, "ServicesPipeTimeout", "REG_SZ", "60000"],
                    ["reg-set", AEDEBUG_KEY, "Debugger", "REG_SZ", NO_DEBUGGER]]
        settings += [["reg-set", harness.SERVICES_KEY + "\\" + name, "Start", "REG_DWORD", "3"] for name in ON_DEMAND]
        results = self.wine.tool(*(settings + self.wine.state_commands()))
        self.baseline = self.wine.state(results[len(settings):])
        if any(self.baseline[part] for part in ("devices", "service keys", "files")):
            raise harness.Failure("a fresh prefix already holds the installer's traces: %r" % self.baseline)

    def wait_for_boot(self):
        """Waits until the session has booted (Wine gives up after 300 s) and
        its service manager answers: it starts the auto-start services after
        the boot, and under qemu does not answer for a minute or more."""
        rc, out, err = self.wine.run(self.env.tool, ["info"], timeout=BOOT_SECONDS / self.env.slowness)
        if b"boot event wait timed out" in err or rc != 0:
            raise harness.Failure("the session did not boot: %s" % err.decode(errors="replace").strip())
        if ("systemDirectory=%s" % harness.WINE_SYSTEM_DIR).encode() not in out:
            raise harness.Failure("unexpected machine: %r" % out)
        deadline = time.time() + SERVICE_MANAGER_SECONDS
        while not self.answers():
            if time.time() > deadline:
                raise harness.Failure("the service manager did not answer within %d s of the boot"
                                      % SERVICE_MANAGER_SECONDS)

    def start(self):
        if self.keeper and self.keeper.poll() is None:
            return
        self.keeper = self.wine.start(self.env.tool, ["hold", str(HOLD_SECONDS)], debug=KEEPER_DEBUG)[0]
        self.wait_for_boot()

    def answers(self):
        """Whether the service manager answers."""
        try:
            self.wine.tool(["services", "mpsetup"], timeout=20)
            return True
        except harness.Failure:
            return False

    def faults(self):
        """How many faults Wine's processes have reported so far, in the
        session's and the scenarios' standard error files."""
        count = 0
        for path in glob.glob(os.path.join(self.env.scratch, "scenarios", "*", "run*.err")):
            content = harness.read(path)
            count += sum(content.count(sign) for sign in FAULT_SIGNS)
        return count

    def recover(self):
        """A new session after one of Wine's processes crashed under qemu,
        and the prefix reset in it; None, or why that failed."""
        try:
            self.end()
            self.start()
            results = self.wine.tool(*(RESET_COMMANDS + self.wine.state_commands()))
            after = self.wine.state(results[len(RESET_COMMANDS):])
            return None if after == self.baseline else "the reset left %r" % after
        except harness.Failure as f:
            return str(f)

    def end(self):
        """Ends the session: every process of the prefix, the wineserver last
        (which then saves the registry)."""
        if not self.wine:
            return
        e = self.wine.environment()
        subprocess.run([self.env.wineserver, "-k"], env=e, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if self.keeper:
            try:
                self.keeper.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.keeper.kill()
                self.keeper.wait()
            self.keeper = None
        # wineserver -k does not end processes that are still starting.
        deadline = time.time() + 60
        while time.time() < deadline:
            left = prefix_processes(self.path)
            if not left:
                return
            for pid in left:
                if time.time() > deadline - 50:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
            time.sleep(0.5)
        say("processes of %s still running: %s" % (self.path, prefix_processes(self.path)))

    def finish(self, scenario_prefix, passed):
        """Ends a scenario: reads the prefix's state for the record, removes
        what the scenario left (its files; its devices, services, service
        keys and RunOnce value) and reads the state again, which must be the
        fresh prefix's; the three in one run of the prefix tool."""
        self.dirty = None
        try:
            self.start()
            files = scenario_prefix.family_files()
            windows = os.path.join(self.path, "drive_c", "windows")
            for path in scenario_prefix.family_paths():
                if os.path.relpath(path, windows).lower() not in self.baseline["files"]:
                    os.remove(path)
            shutil.rmtree(scenario_prefix.host_path(harness.STAGING_DIR), ignore_errors=True)
            state = self.wine.state_commands()
            results = self.wine.tool(*(state + RESET_COMMANDS + state))
            if passed and self.env.record_path:
                scenario_prefix.write_record(self.wine.state(results[:len(state)], files))
            after = self.wine.state(results[len(state) + len(RESET_COMMANDS):])
            if after != self.baseline:
                self.dirty = "the reset left the prefix as %r, not as %r (reset: %r)" % (
                    after, self.baseline, results[len(state):len(state) + len(RESET_COMMANDS)])
        except Exception as e:  # the session must not go on after a failed reset
            self.dirty = "the reset failed: %s" % e

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


# ---------------------------------------------------------------------------
# Records of the x86_64 twins


def twin_key(env):
    """What a record of the x86_64 twin depends on: its SETUP.EXE and prefix
    tool and the suite's code."""
    digest = hashlib.sha256()
    folder = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(env.win_media, "win2000", "SETUP.EXE"), env.tool,
                 os.path.join(folder, "scenarios.py"), os.path.join(folder, "harness.py")):
        digest.update(harness.read(path))
    return digest.hexdigest()


def record_path(env, flavour, name):
    folder = os.path.join(env.work, "records", flavour)
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, name + ".json")


def load_record(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def chosen_scenarios():
    """The stage's scenarios; WINE_I686_SCENARIOS=a,b runs only those."""
    chosen = [n for n in os.environ.get("WINE_I686_SCENARIOS", "").split(",") if n]
    return chosen or scenarios.I686_SCENARIOS


def run_scenario(env, name):
    """Runs one scenario; returns None when it passed, else what went wrong."""
    try:
        scenarios.SCENARIOS[name](env)
    except harness.Failure as f:
        return str(f)
    except harness.Skip as s:
        return "skipped: %s" % s
    except Exception:
        return traceback.format_exc()
    return None


def twin_records(env):
    """Makes the x86_64 records that are missing or stale; returns the
    scenarios whose twin failed, with why."""
    key = twin_key(env)
    failed = {}
    for name in chosen_scenarios():
        path = record_path(env, "x86_64", name)
        record = load_record(path)
        if record and record.get("key") == key:
            continue
        start = time.time()
        env.record_path, env.record_key = path, key
        if os.path.exists(path):
            os.remove(path)
        problem = run_scenario(env, name)
        if problem:
            failed[name] = problem
        say("  x86_64 twin %-44s %6.1f s  %s" % (name, time.time() - start, "failed" if problem else "recorded"))
    env.record_path = None
    return failed


def differences(twin, mine):
    """How an i686 record differs from its x86_64 twin's."""
    found = []
    if len(twin["setup"]) != len(mine["setup"]):
        found.append("SETUP.EXE ran %d times, the x86_64 twin %d times" % (len(mine["setup"]), len(twin["setup"])))
    for i, (a, b) in enumerate(zip(twin["setup"], mine["setup"])):
        for what, x, y in (("arguments", a[0], b[0]), ("standard input", a[1], b[1]), ("exit code", a[2], b[2]),
                           ("transcript", a[3], b[3])):
            if x != y:
                found.append("run %d of SETUP.EXE %s: %s differs\n    x86_64: %r\n    i686:   %r"
                             % (i + 1, " ".join(a[0]), what, x, y))
    for part in sorted(twin["state"]):
        if twin["state"][part] != mine["state"].get(part):
            found.append("the prefix's %s differ\n    x86_64: %r\n    i686:   %r"
                         % (part, twin["state"][part], mine["state"].get(part)))
    return found


# ---------------------------------------------------------------------------
# The stage


def i686_env(args):
    a = type("Args", (), dict(vars(args)))()
    a.flavour, a.win_build = "i686", args.i686_build
    env = harness.Env(a)
    env.wine_env = {"WINEARCH": "win32", "QEMU_RESERVED_VA": QEMU_RESERVED_VA, "WINEDLLOVERRIDES": WINE_DLL_OVERRIDES}
    if os.path.exists(noreplace_library(env)):
        env.wine_env["QEMU_SET_ENV"] = "LD_PRELOAD=" + noreplace_library(env)
    env.slowness = 3
    return env


def noreplace_library(env):
    return os.path.join(env.work, "mmap_noreplace-i386.so")


def measure_noreplace(env, session, runs=3):
    """Says how much processor time one Wine process (the prefix tool asking
    for the machine's facts) takes under qemu without the preloaded library
    and with it, each the median of a few runs in the booted session."""
    def cpu_seconds(with_library):
        saved = dict(env.wine_env)
        if not with_library:
            env.wine_env.pop("QEMU_SET_ENV", None)
        try:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            session.wine.tool(["info"])
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
        finally:
            env.wine_env.clear()
            env.wine_env.update(saved)
        return (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)

    if "QEMU_SET_ENV" not in env.wine_env:
        say("  (no preloaded library to measure)")
        return
    without = sorted(cpu_seconds(False) for _ in range(runs))[runs // 2]
    with_it = sorted(cpu_seconds(True) for _ in range(runs))[runs // 2]
    say("  one Wine process: %.2f s of processor time without tools/mmap_noreplace.c, %.2f s with it (ratio %.2f)"
        % (without, with_it, with_it / without if without else 0))


def build_noreplace(env):
    """Builds tools/mmap_noreplace.c for i386 where it is missing or older
    than its source; None, or why it could not (a stale build is removed:
    the stage then runs without it, several times slower)."""
    out = noreplace_library(env)
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(NOREPLACE_SOURCE):
        return None
    if os.path.exists(out):
        os.remove(out)
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        return "no C compiler"
    r = subprocess.run([compiler, "-m32", "-O2", "-shared", "-fPIC", "-nostdlib", "-Wall", "-Wextra", "-Werror",
                        "-o", out + ".new", NOREPLACE_SOURCE], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    if r.returncode != 0:
        return "%s -m32 failed: %s" % (compiler, r.stdout.decode(errors="replace").strip())
    os.replace(out + ".new", out)
    return None


def check_tools(env):
    """None when the stage can run, else why it is skipped."""
    if not env.wine:
        return "32-bit Wine is not installed (Debian package wine32:i386)"
    if not os.access(QEMU, os.X_OK):
        return "qemu-user is not installed (Debian package qemu-user, %s)" % QEMU
    for path, what in ((os.path.join(env.win_media, "win2000", "SETUP.EXE"), "the i686 SETUP.EXE"),
                       (env.tool, "the i686 prefix tool")):
        if not os.path.exists(path):
            return "%s is missing (%s): the Wine.build.i686 test builds it" % (what, path)
    return None


def stage(args):
    """The whole stage, from outside any namespace: the x86_64 twins' records,
    then the i686 part where i386 programs run."""
    start = time.time()
    env32 = i686_env(args)
    REPORT[:] = [os.path.join(env32.work, "i686-stage.log")]
    why = check_tools(env32)
    if why:
        say("i686 stage skipped: " + why)
        return harness.SKIP
    env64 = harness.Env(args)
    if not env64.wine:
        say("i686 stage skipped: wine64 is not installed, so there is no x86_64 twin to compare with")
        return harness.SKIP
    say("i686 stage: the shipped SETUP.EXE under 32-bit Wine through qemu-user (load average %s)" % load_average())
    twins_failed = twin_records(env64)
    say("  %-57s %6.1f s" % ("x86_64 twins' records", time.time() - start))
    why = build_noreplace(env32)
    if why:
        say("  Wine's reservations beyond the guest's address space go through qemu's search (%s)" % why)
    with open(os.path.join(env32.work, "i686-twins-failed.json"), "w") as f:
        json.dump(twins_failed, f)

    argv = [sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:]
    child_env = dict(os.environ)
    child_env[INSIDE] = "namespace"
    command = namespace_command()
    if command:
        say("  qemu is registered for i386 programs in a user and mount namespace of the stage's own")
        rc = subprocess.run(command + argv, env=child_env, stdin=subprocess.DEVNULL).returncode
    else:
        say("  no binfmt_misc of the stage's own here (Linux before 6.7, or no user namespaces): "
            "qemu is registered on the machine for the stage's time")
        done, why = register_binfmt()
        try:
            if why:
                say("i686 stage skipped: " + why)
                return harness.SKIP
            child_env[INSIDE] = "machine"
            rc = subprocess.run(argv, env=child_env, stdin=subprocess.DEVNULL).returncode
        finally:
            undo_binfmt(done)
    say("i686 stage: %s in %.1f s (load average %s)" % (
        {0: "passed", harness.SKIP: "skipped"}.get(rc, "FAILED"), time.time() - start, load_average()))
    return rc


def inside(args):
    """The part of the stage where i386 programs run through qemu."""
    env = i686_env(args)
    REPORT[:] = [os.path.join(env.work, "i686-stage.log")]
    if os.environ.get(INSIDE) == "namespace":
        _, why = register_binfmt(mount=True)
        if why:
            say("i686 stage skipped: " + why)
            return harness.SKIP
    works, output = runs_i386(env.wine)
    if not works:
        say("i686 stage skipped: the 32-bit Wine loader does not run through qemu here: %s" % output)
        return harness.SKIP
    with open(os.path.join(env.work, "i686-twins-failed.json")) as f:
        twins_failed = json.load(f)

    session = Session(env)
    results = []

    def part(label, seconds, outcome=""):
        results.append((label, seconds, outcome))
        say("  %-57s %6.1f s  %s" % (label, seconds, outcome))

    def on_signal(number, frame):
        session.end()
        sys.exit(1)
    signal.signal(signal.SIGTERM, on_signal)
    def attempt(name):
        """One run of a scenario: None, or what went wrong (a failed reset
        after it is in session.dirty)."""
        env.record_path = record_path(env, "i686", name)
        if os.path.exists(env.record_path):
            os.remove(env.record_path)
        problem = run_scenario(env, name)
        if problem:
            return problem
        twin = load_record(record_path(env, "x86_64", name))
        if name in twins_failed or not twin:
            return "no record of the x86_64 twin: %s" % twins_failed.get(name, "missing")
        mine = load_record(env.record_path)
        if not mine:
            # The scenario ended without leaving its record (a helper of the
            # harness that Wine could not start under qemu, say).
            return "no record of the i686 run"
        found = differences(twin, mine)
        return "differs from the x86_64 twin:\n  " + "\n  ".join(found) if found else None

    failures = 0
    try:
        t = time.time()
        try:
            session.boot()
        except harness.Failure as f:
            part("prefix made (wineboot --init) and its session started", time.time() - t, "FAILED")
            say("    %s" % f)
            return 1
        part("prefix made (wineboot --init) and its session started", time.time() - t)
        if os.environ.get("WINE_I686_MEASURE") == "1":
            measure_noreplace(env, session)
        env.session = session
        for name in chosen_scenarios():
            t = time.time()
            faults = session.faults()
            problem = attempt(name)
            outcome = "passed, same as x86_64"
            faults = session.faults() - faults
            for again in ("second", "third"):
                if not problem or not (faults or session.dirty or not session.answers()):
                    break
                # One of Wine's processes faulted under qemu (a system one:
                # the service manager, the Plug and Play service...): a new
                # session, and the scenario once more. A failure of the
                # installer's own repeats itself.
                say("    %s\n    %d faults of Wine's processes under qemu meanwhile: a new session, and %s once more"
                    % (problem.replace("\n", "\n    "), faults, name))
                faults = session.faults()
                problem = session.recover() or attempt(name)
                faults = session.faults() - faults
                outcome = "passed the %s time, same as x86_64" % again
            if not problem and session.dirty:
                # The scenario passed, but what it left could not be removed
                # in this session (a service that the manager does not let go).
                say("    %s\n    a new session for the reset" % session.dirty.replace("\n", "\n    "))
                problem = session.dirty = session.recover()
            part(name, time.time() - t, "FAILED" if problem else outcome)
            if problem:
                failures += 1
                say("    " + problem.replace("\n", "\n    "))
                if session.dirty or not session.answers():
                    say("    the prefix could not be reset: the remaining scenarios are not run")
                    break
    finally:
        t = time.time()
        session.end()
        part("session ended", time.time() - t)
    if failures == 0 and not env.keep:
        session.remove()
    else:
        say("  the prefix stays in %s" % session.path)
    return 1 if failures else 0
