"""The one 32-bit prefix and Wine session that the i686 stage's scenarios
share.

Every Wine process starts slowly under qemu (seconds) and a new Wine session
takes a minute, so the prefix is made once by the session's first process
(the keeper, `prefixtool hold`), whose session then goes on; a scenario's
WinePrefix shares it (env.session). After each scenario the prefix is reset
(the installer's devices, services, keys, RunOnce value and files removed)
and checked against the state it had when it was made. A scenario that
simulates a restart starts a new session, which the following scenarios keep
using.
"""

import glob
import os
import shutil
import signal
import subprocess
import time

from harness import prefix_state, records
from harness.checks import Failure, read
from harness.family import DEVICE_WORDS, RUNONCE_KEY, SERVICE_WORDS, SERVICES_KEY, STAGING_DIR, WINE_SYSTEM_DIR
from harness.prefix import DLL_OVERRIDES, WinePrefix
from i686.report import say

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
WINE_DLL_OVERRIDES = DLL_OVERRIDES + ";winedevice.exe=d"
ON_DEMAND = ["MountMgr", "NDIS", "nsiproxy", "Eventlog"]
# What a scenario's reset removes: the installer's devices, services and
# service keys, and the RunOnce value (its files the harness deletes).
RESET_COMMANDS = [["devices-remove"] + DEVICE_WORDS, ["services-remove"] + SERVICE_WORDS,
                  ["reg-delete-value", RUNONCE_KEY, "Setup"]]


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
            except Failure as f:
                self.end()
                if attempt == 2:
                    raise
                say("    making the prefix failed (%s): once more" % f)

    def make_prefix(self):
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.wine = WinePrefix(self.env, "session", path=self.path)
        self.start_keeper()
        # The first process creates the prefix's folder at once; a second one
        # started after that joins the session and waits for its boot.
        deadline = time.time() + 60
        while not os.path.isdir(os.path.join(self.path, "dosdevices")) and time.time() < deadline:
            if self.keeper.poll() is not None:
                raise Failure("the first Wine process ended with %d" % self.keeper.returncode)
            time.sleep(0.2)
        self.wait_for_boot()
        os.symlink(self.env.win_media, os.path.join(self.path, "dosdevices", "d:"))
        # Services get more time to connect than Wine's 10 s default, from the
        # next session on; a crash ends the process; and the state that every
        # reset must come back to.
        settings = [["reg-set", CONTROL_KEY, "ServicesPipeTimeout", "REG_SZ", "60000"],
                    ["reg-set", AEDEBUG_KEY, "Debugger", "REG_SZ", NO_DEBUGGER]]
        settings += [["reg-set", SERVICES_KEY + "\\" + name, "Start", "REG_DWORD", "3"] for name in ON_DEMAND]
        _, self.baseline = self.then_state(settings)
        if any(self.baseline[part] for part in ("devices", "service keys", "files")):
            raise Failure("a fresh prefix already holds the installer's traces: %r" % self.baseline)

    def start_keeper(self):
        self.keeper = self.wine.start(self.env.tool, ["hold", str(HOLD_SECONDS)], debug=KEEPER_DEBUG)[0]

    def wait_for_boot(self):
        """Waits until the session has booted (Wine gives up after 300 s) and
        its service manager answers: it starts the auto-start services after
        the boot, and under qemu does not answer for a minute or more."""
        rc, out, err = self.wine.run(self.env.tool, ["info"], timeout=BOOT_SECONDS / self.env.slowness)
        if b"boot event wait timed out" in err or rc != 0:
            raise Failure("the session did not boot: %s" % err.decode(errors="replace").strip())
        if ("systemDirectory=%s" % WINE_SYSTEM_DIR).encode() not in out:
            raise Failure("unexpected machine: %r" % out)
        deadline = time.time() + SERVICE_MANAGER_SECONDS
        while not self.answers():
            if time.time() > deadline:
                raise Failure("the service manager did not answer within %d s of the boot" % SERVICE_MANAGER_SECONDS)

    def start(self):
        if self.keeper and self.keeper.poll() is None:
            return
        self.start_keeper()
        self.wait_for_boot()

    def answers(self):
        """Whether the service manager answers."""
        try:
            self.wine.tool(["services", "mpsetup"], timeout=20)
            return True
        except Failure:
            return False

    def then_state(self, commands):
        """Runs commands and reads the prefix's state after them, in one run
        of the prefix tool: (the commands' output, the state)."""
        results = self.wine.tool(*(commands + prefix_state.state_commands()))
        return results[:len(commands)], prefix_state.state(self.wine, results[len(commands):])

    def faults(self):
        """How many faults Wine's processes have reported so far, in the
        session's and the scenarios' standard error files."""
        count = 0
        for path in glob.glob(os.path.join(self.env.scratch, "scenarios", "*", "run*.err")):
            content = read(path)
            count += sum(content.count(sign) for sign in FAULT_SIGNS)
        return count

    def recover(self):
        """A new session after one of Wine's processes crashed under qemu,
        and the prefix reset in it; None, or why that failed."""
        try:
            self.end()
            self.start()
            _, after = self.then_state(RESET_COMMANDS)
            return None if after == self.baseline else "the reset left %r" % after
        except Failure as f:
            return str(f)

    def end(self):
        """Ends the session: every process of the prefix, the wineserver last
        (which then saves the registry)."""
        if not self.wine:
            return
        self.wine.wineserver("-k")
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
            files = prefix_state.family_files(scenario_prefix)
            windows = os.path.join(self.path, "drive_c", "windows")
            for path in prefix_state.family_paths(scenario_prefix):
                if os.path.relpath(path, windows).lower() not in self.baseline["files"]:
                    os.remove(path)
            shutil.rmtree(scenario_prefix.host_path(STAGING_DIR), ignore_errors=True)
            state = prefix_state.state_commands()
            results, after = self.then_state(state + RESET_COMMANDS)
            if passed and self.env.record_path:
                record_state = prefix_state.state(self.wine, results[:len(state)], files)
                records.write(self.env, scenario_prefix.transcripts, record_state)
            if after != self.baseline:
                self.dirty = "the reset left the prefix as %r, not as %r (reset: %r)" % (
                    after, self.baseline, results[len(state):])
        except Exception as e:  # the session must not go on after a failed reset
            self.dirty = "the reset failed: %s" % e

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
