"""The Wine harness: runs the Windows build of SETUP.EXE in a Wine prefix and
the Linux build in a simulated machine with the same devices, and compares.

A scenario gets a WinePrefix (a copy of the suite's template prefix with the
media mapped as drive D:) and a SimMachine (a winsim machine folder). Every
Wine process writes to files, never to a pipe: background processes of the
session inherit the standard handles.
"""

import json
import os
import shutil
import subprocess
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for this suite

# The system directory of a fresh 64-bit prefix; the simulated machine is
# given the same one, so that transcripts and paths compare as they are.
WINE_SYSTEM_DIR = "C:\\windows\\system32"
SETUP_PATH = "D:\\win2000\\SETUP.EXE"


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def find_wine():
    """The wine64 loader and the wineserver, or (None, None); WINE_SUITE_NO_WINE=1
    acts as if Wine were not installed."""
    if os.environ.get("WINE_SUITE_NO_WINE") == "1":
        return None, None
    for loader in ("/usr/lib/wine/wine64", shutil.which("wine64") or ""):
        if loader and os.access(loader, os.X_OK):
            folder = os.path.dirname(os.path.realpath(loader))
            for server in (os.path.join(folder, "wineserver"), os.path.join(folder, "wineserver64"),
                           shutil.which("wineserver") or ""):
                if server and os.access(server, os.X_OK):
                    return loader, server
    return None, None


def read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return b"" if "b" in mode else ""


def console_text(raw):
    """What the program wrote, with the text mode's CR LF for every LF of the
    Windows C runtime taken back; bytes above 127 kept as they are."""
    return raw.replace(b"\r\n", b"\n").decode("latin-1")


def show(text):
    return repr(text)


class Env:
    """Where things are: the two builds, the work folder, Wine."""

    def __init__(self, args):
        self.source = args.source
        self.host_build = args.host_build
        self.win_build = args.win_build
        self.work = args.work
        self.wine, self.wineserver = find_wine()
        self.template = os.path.join(self.work, "prefix-template")
        self.winsim = os.path.join(self.host_build, "winsim")
        self.host_media = os.path.join(self.host_build, "media")
        self.win_media = os.path.join(self.win_build, "media")
        self.tool = os.path.join(self.win_build, "tools", "prefixtool.exe")
        self.keep = os.environ.get("WINE_SUITE_KEEP") == "1"

    def require_wine(self):
        if not self.wine:
            raise Skip("wine64 is not installed (Debian package wine64): the Wine suite is skipped")


class WinePrefix:
    """A Wine prefix of its own for one scenario."""

    def __init__(self, env, name, lang="en_US.UTF-8"):
        env.require_wine()
        if not os.path.exists(os.path.join(env.template, "system.reg")):
            raise Failure("no template prefix in %s (the Wine.prefix test makes it)" % env.template)
        self.env = env
        self.folder = os.path.join(env.work, "scenarios", name)
        self.path = os.path.join(self.folder, "prefix")
        self.lang = lang
        self.extra_env = {}  # more environment for the Windows programs
        self.runs = 0
        self.keeper = None
        if os.path.exists(self.folder):
            self.kill()
            shutil.rmtree(self.folder)
        os.makedirs(self.folder)
        subprocess.run(["cp", "-a", "--reflink=auto", env.template, self.path], check=True)
        os.symlink(env.win_media, os.path.join(self.path, "dosdevices", "d:"))

    def environment(self, debug="-all"):
        e = dict(os.environ)
        e.update({
            "WINEPREFIX": self.path,
            "WINELOADER": self.env.wine,
            "WINESERVER": self.env.wineserver,
            "WINEDEBUG": debug,
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LANG": self.lang,
            "LC_ALL": self.lang,
            "DISPLAY": "",
        })
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
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            p.wait()
            raise Failure("%s %s did not end within %d s" % (program, " ".join(args), timeout))
        return rc, read(out), read(err)

    def setup(self, args=(), stdin=b"", timeout=120, debug="-all"):
        """Runs the media's SETUP.EXE: (exit code, console text)."""
        rc, out, _ = self.run(SETUP_PATH, args, stdin, timeout, debug)
        return rc, console_text(out)

    def tool(self, *commands, check=True):
        """Runs prefixtool with commands (each a list of words); returns the
        output of each command as a list of lines."""
        words = []
        for c in commands:
            if words:
                words.append("+")
            words.extend(c)
        rc, out, _ = self.run(self.env.tool, words, timeout=60)
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
        return self.tool(["device-add"] + list(ids))[0][0]

    def devices(self, text):
        """Present devices whose instance id or ids contain text:
        {instance: (ids, InfPath, InfSection)}."""
        found = {}
        for line in self.tool(["devices", text])[0]:
            instance, ids, inf, section = line.split("|")
            found[instance] = (ids, inf, section)
        return found

    def service(self, name):
        """'missing' or the service's configuration line."""
        return self.tool(["service-query", name])[0][0]

    def host_path(self, windows_path):
        """The host path of a path on drive C: of the prefix."""
        rest = windows_path[3:].replace("\\", "/")
        return os.path.join(self.path, "drive_c", rest)

    def hold(self, seconds=600):
        """Starts a process that keeps the session alive, so that the steps of
        a scenario share one session: Wine runs RunOnce values and starts
        auto-start services when a session starts, and keeps a registry key's
        security only while the session lasts. A restart is kill() then
        hold() again; returns once the new session has started."""
        self.keeper = self.start(self.env.tool, ["hold", str(seconds)])[0]
        self.tool(["info"])

    def wait(self):
        subprocess.run([self.env.wineserver, "-w"], env=self.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def kill(self):
        subprocess.run([self.env.wineserver, "-k"], env=self.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.keeper:
            self.keeper.wait()
            self.keeper = None

    def close(self, passed):
        self.kill()
        if passed and not self.env.keep:
            shutil.rmtree(self.folder, ignore_errors=True)


class SimMachine:
    """A simulated machine with the base Windows 2000 devices plus chosen ones,
    and Wine's system directory."""

    def __init__(self, env, name, devices=(), lang_id=0x0409, registry=(), hardware=False):
        self.env = env
        self.folder = os.path.join(env.work, "sim", name)
        if os.path.exists(self.folder):
            shutil.rmtree(self.folder)
        os.makedirs(os.path.dirname(self.folder), exist_ok=True)
        description = {
            "systemDirectory": WINE_SYSTEM_DIR,
            "defaultLangId": "0x%04X" % lang_id,
            "devices": base_devices(env) + [sim_device(i, ids, hardware) for i, ids in enumerate(devices)],
            "registry": list(registry),
        }
        self.description = self.folder + ".json"
        with open(self.description, "w") as f:
            json.dump(description, f, indent=1)
        self.winsim("create", "--from", self.description, "--media", env.host_media, output=False)

    def winsim(self, command, *args, output=True):
        out = self.folder + ".winsim.out"
        with open(out, "wb") as o:
            rc = subprocess.run([self.env.winsim, command, self.folder] + list(args), stdout=o,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
        if rc != 0 and command != "run":
            raise Failure("winsim %s failed: %s" % (command, read(out, "r")))
        return rc, read(out, "r") if output else ""

    def setup(self, args=(), stdin=b""):
        """Runs the media's SETUP.EXE: (exit code, console text)."""
        inp, out = self.folder + ".in", self.folder + ".console"
        with open(inp, "wb") as f:
            f.write(stdin)
        if os.path.exists(out):
            os.remove(out)
        line = " ".join([SETUP_PATH] + list(args))
        rc, _ = self.winsim("run", "--cwd", "D:\\win2000", "--input", inp, "--output", out, "--", line)
        return rc, read(out).decode("latin-1")

    def state(self):
        return json.loads(self.winsim("show", "--json")[1])

    def exit_code(self, program, code):
        self.winsim("exit-code", program, str(code))

    def restart(self):
        """The next start of Windows: auto-start services, then RunOnce."""
        rc, out = self.winsim("restart")
        if rc != 0:
            raise Failure("winsim restart failed: %s" % out)
        return out

    def host_path(self, windows_path):
        return os.path.join(self.folder, "drives", "C", windows_path[3:].replace("\\", "/"))

    def close(self, passed):
        if passed and not self.env.keep:
            shutil.rmtree(self.folder, ignore_errors=True)


_base_devices = None


def base_devices(env):
    """The devices of the plain simulated Windows 2000 machine."""
    global _base_devices
    if _base_devices is None:
        folder = os.path.join(env.work, "sim", "base-%d" % os.getpid())
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        subprocess.run([env.winsim, "create", folder, "--preset", "clean", "--force"], check=True,
                       stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        shown = subprocess.run([env.winsim, "show", folder, "--json"], check=True, stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL).stdout
        _base_devices = json.loads(shown)["devices"]
        shutil.rmtree(folder, ignore_errors=True)
    return list(_base_devices)


def sim_device(index, ids, hardware=False):
    """A root-enumerated device as the harness makes them in Wine; with
    hardware, one that the next start of Windows finds again after software
    removed it (the harness makes it again in Wine before that start)."""
    return {
        "instanceId": "ROOT\\KORPATEST\\%04d" % index,
        "class": "System",
        "classGuid": "{4D36E97D-E325-11CE-BFC1-08002BE10318}",
        "hardwareIds": list(ids),
        "rootCreated": not hardware,
    }


def expect_equal(what, wine, sim):
    if wine != sim:
        raise Failure("%s differs\n  Wine:      %s\n  simulator: %s" % (what, show(wine), show(sim)))


def expect(condition, message):
    if not condition:
        raise Failure(message)


def timed(label, fn):
    start = time.time()
    result = fn()
    print("%-40s %.1f s" % (label, time.time() - start))
    return result
