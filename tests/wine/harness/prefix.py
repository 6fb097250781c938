"""A Wine prefix for one scenario, and its session.

A prefix of its own is a copy (cp -a --reflink=auto) of the template prefix
(template.py) with drive D: mapped to the Windows build's media; in the i686
stage every scenario shares the stage's one prefix and session instead
(i686/session.py). Wine runs headless, with standard input from a file and
the output to files, never to a pipe: background processes of the session
inherit the standard handles. A held process keeps the session alive for
the whole scenario (hold()), since Wine runs RunOnce values and starts
auto-start services when a session starts, and keeps a registry key's
security only while the session lasts; the next start of Windows is the
session ended and a new one started (restart()). A file in use is held by a
process of the session too (hold_file()), which ends with it.

The prefix tool (tools/prefixtool, built for each flavour) prepares and reads
the prefix: several commands in one run, each a list of words (tool()).
"""

import os
import shutil
import subprocess
import time

from differential.runs import NOT_COMPARED, Differential
from harness import prefix_state, records
from harness.checks import Failure, read, wait_until
from harness.family import SETUP_PATH

# What Wine runs without: the .NET and HTML engines' installers.
DLL_OVERRIDES = "mscoree,mshtml="


def wine_environment(env, path, debug="-all"):
    """The environment of a Wine process in the prefix at path: headless,
    with Wine's own messages as debug asks."""
    e = dict(os.environ)
    e.update({"WINEPREFIX": path, "WINELOADER": env.wine, "WINEDEBUG": debug, "WINEDLLOVERRIDES": DLL_OVERRIDES,
              "DISPLAY": ""})
    return e


def console_text(raw):
    """What the program wrote, with the text mode's CR LF for every LF of the
    Windows C runtime taken back; bytes above 127 kept as they are."""
    return raw.replace(b"\r\n", b"\n").decode("latin-1")


def device_add(ids, compatible=()):
    """The prefix tool's command that makes a root device of the System class
    with those hardware ids (and compatible ids)."""
    return ["device-add"] + list(ids) + (["--compatible"] + list(compatible) if compatible else [])


class WinePrefix:
    """A Wine prefix of its own for one scenario, or the shared one (a
    session of the i686 stage, or path)."""

    def __init__(self, env, name, lang="en_US.UTF-8", path=None):
        env.require_wine()
        self.env = env
        self.session = env.session  # a shared session, or None: a prefix of its own
        self.folder = os.path.join(env.scratch, "scenarios", name)
        self.path = path or (self.session.path if self.session else os.path.join(self.folder, "prefix"))
        self.lang = lang
        self.extra_env = {}  # more environment for the Windows programs
        self.runs = 0
        self.keeper = None
        self.holders = []  # the processes that hold files in use
        self.transcripts = []  # every SETUP.EXE run: [args, stdin, exit code, console text]
        self.shared = bool(self.session or path)  # a prefix and session that others use too
        # Every SETUP.EXE run is run again on a machine made from the
        # prefix's capture (differential/): x86_64 prefixes of their own,
        # in scenarios that can be compared. WINE_DIFFERENTIAL=0 leaves them
        # out (to measure what they cost).
        self.differential = None
        if (env.flavour == "x86_64" and not self.shared and env.scenario not in NOT_COMPARED
                and os.environ.get("WINE_DIFFERENTIAL") != "0"):
            self.differential = Differential(self)
        if self.shared:
            shutil.rmtree(self.folder, ignore_errors=True)
            os.makedirs(self.folder)
            return
        if not os.path.exists(os.path.join(env.template, "system.reg")):
            raise Failure("no template prefix in %s (the Wine.prefix test makes it)" % env.template)
        if os.path.exists(self.folder):
            self.kill()
            shutil.rmtree(self.folder)
        os.makedirs(self.folder)
        subprocess.run(["cp", "-a", "--reflink=auto", env.template, self.path], check=True)
        os.symlink(env.win_media, os.path.join(self.path, "dosdevices", "d:"))

    # -- running programs

    def environment(self, debug="-all"):
        e = wine_environment(self.env, self.path, debug)
        e.update({"WINESERVER": self.env.wineserver, "LANG": self.lang, "LC_ALL": self.lang})
        e.update(self.env.wine_env)
        e.update(self.extra_env)
        return e

    def start(self, program, args, stdin=b"", debug="-all", cwd=None):
        """Starts a Windows program; returns (process, stdout file, stderr file)."""
        self.runs += 1
        base = os.path.join(self.folder, "run%02d" % self.runs)
        with open(base + ".in", "wb") as f:
            f.write(stdin)
        out, err = base + ".out", base + ".err"
        with open(base + ".in", "rb") as i, open(out, "wb") as o, open(err, "wb") as e:
            p = subprocess.Popen([self.env.wine, program] + list(args), stdin=i, stdout=o, stderr=e,
                                 env=self.environment(debug), cwd=cwd or os.path.join(self.env.win_media, "win2000"))
        return p, out, err

    def run(self, program, args=(), stdin=b"", timeout=120, debug="-all"):
        """Runs a Windows program to its end: (exit code, stdout bytes, stderr bytes)."""
        p, out, err = self.start(program, args, stdin, debug)
        timeout *= self.env.slowness
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            if self.shared:
                p.kill()  # only this process: the session goes on
            else:
                self.kill()
            p.wait()
            raise Failure("%s %s did not end within %d s" % (program, " ".join(args), timeout))
        return rc, read(out), read(err)

    def setup(self, args=(), stdin=b"", timeout=120, debug="-all"):
        """Runs the media's SETUP.EXE: (exit code, console text)."""
        capture = self.differential.before() if self.differential else None
        rc, out, _ = self.run(SETUP_PATH, args, stdin, timeout, debug)
        self.transcripts.append([list(args), stdin.decode("latin-1"), rc, console_text(out)])
        if capture:
            self.differential.run(capture, args, stdin, rc, console_text(out))
        return rc, console_text(out)

    def host_path(self, windows_path):
        """The host path of a path on drive C: of the prefix."""
        rest = windows_path[3:].replace("\\", "/")
        return os.path.join(self.path, "drive_c", rest)

    # -- the prefix tool

    def tool(self, *commands, check=True, timeout=60):
        """Runs prefixtool with commands (each a list of words); returns the
        output of each command as a list of lines."""
        words = []
        for c in commands:
            if words:
                words.append("+")
            words.extend(c)
        rc, out, _ = self.run(self.env.tool, words, timeout=timeout)
        results, current = [], None
        for line in out.decode("latin-1").splitlines():
            if line.startswith("== "):
                current = []
                results.append(current)
            elif current is not None:
                current.append(line)
        if check and rc != 0:
            raise Failure("prefixtool %s failed: %s" % (" ".join(words), results))
        return results

    def add_device(self, *ids):
        return self.tool(device_add(ids))[0][0]

    def devices(self, *texts):
        """Present devices whose instance id or ids contain one of the texts:
        {instance: (ids, InfPath, InfSection)}."""
        found = {}
        for lines in self.tool(*[["devices", text] for text in texts]):
            for line in lines:
                instance, ids, inf, section = line.split("|")
                found[instance] = (ids, inf, section)
        return found

    def service(self, name):
        """'missing' or the service's configuration line."""
        return self.tool(["service-query", name])[0][0]

    # -- the session

    def hold(self, seconds=600):
        """Starts a process that keeps the session alive, so that the steps of
        a scenario share one session. A restart is kill() then hold() again;
        returns once the new session has started. In a shared session,
        starts it when it is not running."""
        if self.session:
            self.session.start()
            return
        self.keeper = self.start(self.env.tool, ["hold", str(seconds)])[0]
        self.tool(["info"])

    def hold_file(self, windows_path, seconds=600):
        """Holds a file in use, as a driver or program that runs holds it
        (prefixtool file-hold: open for reading, sharing reading alone),
        until the session ends; returns once it is held."""
        holder, out, _ = self.start(self.env.tool, ["file-hold", windows_path, str(seconds)])
        self.holders.append(holder)
        deadline = time.time() + 30 * self.env.slowness
        while b"held " not in read(out):
            if holder.poll() is not None or time.time() > deadline:
                raise Failure("prefixtool file-hold %s: %r" % (windows_path, read(out)))
            time.sleep(0.2)

    def wineserver(self, flag):
        """Asks the prefix's wineserver to wait for the session's end (-w) or
        to end it (-k)."""
        subprocess.run([self.env.wineserver, flag], env=self.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def kill(self):
        if self.session:
            self.session.end()
            return
        self.wineserver("-k")
        if self.keeper:
            self.keeper.wait()
            self.keeper = None
        for holder in self.holders:
            holder.wait()
        self.holders = []

    def restart(self, devices, during=None, settled=None, seconds=60, interval=1):
        """The next start of Windows in Wine. The root devices that stand in
        for hardware (devices: [hardware ids, compatible ids]) and that SETUP
        removed are made again, as the hardware is found again at boot; the
        session ends, and a new one starts the auto-start services and runs
        the RunOnce values; during() runs as soon as it has started. The
        harness keeps a process alive until mpsetup has gone (at most 120 s),
        then until settled() holds (at most seconds, asked every interval
        seconds); the differential run starts its machine again. Returns the
        prefix tool's answer of the wait for mpsetup."""
        present = [ids.split(";") for ids, _, _ in self.devices("KORPATEST").values()]
        missing = []
        for ids, compatible in devices:  # two devices may carry the same ids
            if ids in present:
                present.remove(ids)
            else:
                missing.append(device_add(ids, compatible))
        if missing:
            self.tool(*missing)
        self.kill()
        self.hold()
        if during:
            during()
        gone = self.tool(["service-wait-gone", "mpsetup", "120"], check=False)[0]
        if settled:
            wait_until(settled, seconds, interval)
        if self.differential:
            self.differential.restart()
        return gone

    def close(self, passed):
        """Ends the scenario's use of the prefix: its record written where the
        i686 stage wants one, the session ended (a shared one reset), and its
        folder removed when the scenario passed (WINE_SUITE_KEEP=1 keeps it)."""
        if self.session:
            self.session.finish(self, passed)
        else:
            if passed and self.env.record_path:
                records.write(self.env, self.transcripts, prefix_state.state(self))
            self.kill()
        if passed and not self.env.keep:
            shutil.rmtree(self.folder, ignore_errors=True)
