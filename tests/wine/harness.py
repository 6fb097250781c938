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

import differential

SKIP = 77  # CTest's SKIP_RETURN_CODE for this suite

# The system directory of a fresh prefix (64-bit and 32-bit alike); the
# simulated machine is given the same one, so that transcripts and paths
# compare as they are.
WINE_SYSTEM_DIR = "C:\\windows\\system32"
SETUP_PATH = "D:\\win2000\\SETUP.EXE"
STAGING_DIR = WINE_SYSTEM_DIR + "\\drivers\\korpa"
SERVICES_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services"
RUNONCE_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

# What the installer and the scenarios leave in a prefix: devices whose
# instance or hardware ids hold one of these words, services and service keys
# whose names do, the RunOnce value, and the files of the media wherever they
# were copied.
DEVICE_WORDS = ["KORPATEST", "VEN_1D3C", "MGTPROC", "QRV5"]
SERVICE_WORDS = ["qrv", "mpsetup"]


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


def find_wine32():
    """The 32-bit loader (Debian's wine32:i386, an i386 program) and the
    wineserver it starts, or (None, None)."""
    if os.environ.get("WINE_SUITE_NO_WINE") == "1":
        return None, None
    loader, server = "/usr/lib/wine/wine", "/usr/lib/wine/wineserver"
    head = read(loader)[:20]
    # An ELF file of 32 bits for the 80386 (e_machine 3).
    if head[:5] != b"\x7fELF\x01" or head[18:20] != b"\x03\x00" or not os.access(server, os.X_OK):
        return None, None
    return loader, server


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
    """Where things are: the two builds, the work folder, Wine. The flavour
    x86_64 runs the 64-bit build with wine64; i686 runs the shipped 32-bit
    build with 32-bit Wine through qemu-user (see qemu.py), whose scenarios
    share one prefix and session (session) and keep their files apart
    (scratch)."""

    def __init__(self, args):
        self.source = args.source
        self.host_build = args.host_build
        self.win_build = args.win_build
        self.work = args.work
        self.flavour = getattr(args, "flavour", "x86_64")
        if self.flavour == "i686":
            self.wine, self.wineserver = find_wine32()
            self.scratch = os.path.join(self.work, "i686")
        else:
            self.wine, self.wineserver = find_wine()
            self.scratch = self.work
        self.wine_env = {}  # more environment for every Wine process
        self.slowness = 1  # how many times longer a Wine process may take
        self.session = None
        self.record_path = None  # where a passing scenario's record goes
        self.record_key = None
        self.template = os.path.join(self.work, "prefix-template")
        self.winsim = os.path.join(self.host_build, "winsim")
        self.host_media = os.path.join(self.host_build, "media")
        self.win_media = os.path.join(self.win_build, "media")
        self.tool = os.path.join(self.win_build, "tools", "prefixtool.exe")
        self.keep = os.environ.get("WINE_SUITE_KEEP") == "1"
        self.scenario = getattr(args, "name", None)  # the scenario that runs

    def require_wine(self):
        if not self.wine:
            if self.flavour == "i686":
                raise Skip("32-bit Wine is not installed (Debian package wine32:i386): the i686 stage is skipped")
            raise Skip("wine64 is not installed (Debian package wine64): the Wine suite is skipped")


class WinePrefix:
    """A Wine prefix of its own for one scenario."""

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
        self.transcripts = []  # every SETUP.EXE run: [args, stdin, exit code, console text]
        self.shared = bool(self.session or path)  # a prefix and session that others use too
        # Every SETUP.EXE run is run again on a machine made from the
        # prefix's capture (differential.py): x86_64 prefixes of their own,
        # in scenarios that can be compared.
        self.differential = None
        # WINE_DIFFERENTIAL=0 leaves them out (to measure what they cost).
        if (env.flavour == "x86_64" and not self.shared and env.scenario not in differential.NOT_COMPARED
                and os.environ.get("WINE_DIFFERENTIAL") != "0"):
            self.differential = differential.Differential(self)
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
        return self.tool(["device-add"] + list(ids))[0][0]

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

    def host_path(self, windows_path):
        """The host path of a path on drive C: of the prefix."""
        rest = windows_path[3:].replace("\\", "/")
        return os.path.join(self.path, "drive_c", rest)

    def hold(self, seconds=600):
        """Starts a process that keeps the session alive, so that the steps of
        a scenario share one session: Wine runs RunOnce values and starts
        auto-start services when a session starts, and keeps a registry key's
        security only while the session lasts. A restart is kill() then
        hold() again; returns once the new session has started. In a shared
        session, starts it when it is not running."""
        if self.session:
            self.session.start()
            return
        self.keeper = self.start(self.env.tool, ["hold", str(seconds)])[0]
        self.tool(["info"])

    def wait(self):
        subprocess.run([self.env.wineserver, "-w"], env=self.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def kill(self):
        if self.session:
            self.session.end()
            return
        subprocess.run([self.env.wineserver, "-k"], env=self.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.keeper:
            self.keeper.wait()
            self.keeper = None

    def state_commands(self):
        """The prefix tool's commands that state() reads: the registry only,
        since under qemu every connection to the service manager risks a
        fault in one of its threads."""
        return [["devices", word] for word in DEVICE_WORDS] + [["reg-dump", SERVICES_KEY] + SERVICE_WORDS,
                                                                ["reg-dump", RUNONCE_KEY]]

    def state(self, results=None, files=None):
        """What the installer left in the prefix: its devices (with their
        drivers' INF and section), service keys (values and DACLs),
        RunOnce values, and its files under C:\\windows, each either a copy of
        the media's file of that name or not. results: the output of
        state_commands() when already run; files: family_files()."""
        if results is None:
            results = self.tool(*self.state_commands())
        devices = sorted({line for lines in results[:len(DEVICE_WORDS)] for line in lines})
        keys, runonce = results[len(DEVICE_WORDS):]
        return {"devices": devices, "service keys": keys, "RunOnce": runonce,
                "files": self.family_files() if files is None else files}

    def family_paths(self):
        """The host paths of the installer's files under C:\\windows: the
        staging tree, and every file named as one of the media's (or as the
        compiled form of one of its INF files); with the media's file of that
        name or None."""
        media = {}
        for folder, _, files in os.walk(self.env.win_media):
            for f in files:
                media[f.lower()] = os.path.join(folder, f)
        staging = self.host_path(STAGING_DIR)
        found = {}
        for folder, _, files in os.walk(os.path.join(self.path, "drive_c", "windows")):
            for f in files:
                path = os.path.join(folder, f)
                if (path.startswith(staging + os.sep) or f.lower() in media or
                        os.path.splitext(f.lower())[0] + ".inf" in media):
                    found[path] = media.get(f.lower())
        return found

    def family_files(self):
        """family_paths() relative to C:\\windows in lower case, each either
        "media" (a copy of the media's file of that name) or its size."""
        windows = os.path.join(self.path, "drive_c", "windows")
        found = {}
        for path, media in self.family_paths().items():
            content = read(path)
            same = media is not None and content == read(media)
            found[os.path.relpath(path, windows).lower()] = "media" if same else "%d bytes" % len(content)
        return found

    def write_record(self, state):
        """The record that the i686 stage compares: every run of SETUP.EXE and
        the prefix's state at the end."""
        with open(self.env.record_path, "w") as f:
            json.dump({"key": self.env.record_key, "setup": self.transcripts, "state": state}, f, indent=1,
                      sort_keys=True)

    def close(self, passed):
        if self.session:
            self.session.finish(self, passed)
        else:
            if passed and self.env.record_path:
                self.write_record(self.state())
            self.kill()
        if passed and not self.env.keep:
            shutil.rmtree(self.folder, ignore_errors=True)


class SimMachine:
    """A simulated machine with the base Windows 2000 devices plus chosen ones,
    and Wine's system directory."""

    def __init__(self, env, name, devices=(), lang_id=0x0409, registry=(), hardware=False):
        self.env = env
        self.folder = os.path.join(env.scratch, "sim", name)
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
