"""Generated machines under Wine: `winsim create --random SEED` describes a
machine (FOLDER/random/machine.json and its files); the harness builds the
same state in a Wine prefix and runs SETUP.EXE there, and the differential
run (differential/) runs it again on a winsim machine made from the
prefix's capture and compares, through the restart when the run asks for one.

Odd seeds run unattended (/X), even ones interactive with the seed's answers
(random/answers.txt) as standard input. What Wine cannot hold is left out of
the prefix and printed, each under the name of its entry in
docs/differences.md (SKIPPED). One scenario random_seed_N per seed:
WINE_RANDOM_SEEDS of them (default 6) from WINE_RANDOM_FIRST_SEED (default
1), read when CMake lists the scenarios; any seed runs alone by its name.
"""

import json
import os
import shutil

from harness import prefix_state
from harness.checks import Failure, Skip, expect
from harness.family import WINE_SYSTEM_DIR, is_family_key
from harness.prefix import WinePrefix, device_add
from harness.sim_machine import base_devices, winsim
from scenarios.registry import register

DEFAULT_SEEDS = 6
NAME_PREFIX = "random_seed_"

# What a generated machine may hold that the prefix does not, by the name of
# the entry of docs/differences.md that says why.
SKIPPED = {
    "wine-everyone-administrator": "a plain user's account: the run is an administrator's",
    "wine-root-devices": "the HID interface of a device, a device without hardware ids, a bound earlier driver, "
                         "a binding that asks for a restart, the parent of a child function: every device is a "
                         "root-enumerated device of the System class with the same hardware and compatible ids",
}

LANGUAGES = {"0x0409": "en_US.UTF-8", "0x0407": "de_DE.UTF-8", "0x040C": "fr_FR.UTF-8", "0x040A": "es_ES.UTF-8",
             "0x0411": "ja_JP.UTF-8"}


def seeds():
    first = int(os.environ.get("WINE_RANDOM_FIRST_SEED", "1"))
    count = int(os.environ.get("WINE_RANDOM_SEEDS", str(DEFAULT_SEEDS)))
    return list(range(first, first + count))


def seed_of(name):
    """The seed of a scenario name random_seed_N, or None."""
    if name and name.startswith(NAME_PREFIX) and name[len(NAME_PREFIX):].isdigit():
        return int(name[len(NAME_PREFIX):])
    return None


def seed_scenario(seed):
    """The scenario of a seed, registered under random_seed_N."""
    return register(NAME_PREFIX + str(seed), lambda env: run_seed(env, seed))


# ---------------------------------------------------------------------------
# What the prefix is given


def sddl(key):
    """The owner and DACL of a described key as SDDL."""
    text = "O:%s" % key["owner"] if key.get("owner") else ""
    if "dacl" in key:
        aces = "".join("(%s;%s;%s;;;%s)" % ("D" if ace.get("deny") else "A", "CIIO" if ace.get("flags") else "",
                                             ace["mask"] if isinstance(ace["mask"], str) else hex(ace["mask"]),
                                             ace["sid"]) for ace in key["dacl"])
        text += "D:" + aces
    return text


def value_command(path, name, data):
    if isinstance(data, int):
        return ["reg-set", path, name, "REG_DWORD", str(data)]
    if isinstance(data, str):
        return ["reg-set", path, name, "REG_SZ", data]
    kind = data["type"]
    if kind == "REG_MULTI_SZ":
        return ["reg-set", path, name, kind] + list(data["data"])
    if kind in ("REG_SZ", "REG_EXPAND_SZ"):
        return ["reg-set", path, name, kind, data["data"]]
    number = {"REG_BINARY": 3, "REG_NONE": 0}.get(kind, kind)
    return ["reg-set", path, name, str(number), data.get("hex", "")]


def wine_path(windows_path, system_directory):
    """A path of the generated machine on the prefix's drive C:, whose
    system directory is Wine's."""
    if windows_path.lower().startswith(system_directory.lower()):
        return WINE_SYSTEM_DIR + windows_path[len(system_directory):]
    return windows_path


class Plan:
    """What the prefix is given of a generated machine."""

    def skip(self, name, what):
        self.skipped.setdefault(name, []).append(what)

    def __init__(self, env, description):
        self.devices = []  # [hardware ids, compatible ids]
        self.keys = []  # the keys and their values
        self.security = []  # their owners and DACLs
        self.skipped = {}  # name -> what was left out
        # The files in use, each held by a process of the session.
        system_directory = description.get("systemDirectory", WINE_SYSTEM_DIR)
        self.held = [wine_path(path, system_directory) for path in description.get("filesInUse", [])]
        if description.get("account", "administrator") != "administrator":
            self.skip("wine-everyone-administrator", "the account " + description["account"])
        base = {d["instanceId"] for d in base_devices(env)}
        for d in description.get("devices", []):
            if d["instanceId"] in base:
                continue
            ids, compatible = d.get("hardwareIds", []), d.get("compatibleIds", [])
            for field in ("hid", "boundInf", "needsRestart", "parent"):
                if field in d:
                    self.skip("wine-root-devices", "%s of %s" % (field, d["instanceId"]))
            if not ids:
                self.skip("wine-root-devices", d["instanceId"])
                continue
            self.devices.append([ids, compatible])
        for k in description.get("registry", []):
            if not is_family_key(k["path"]):
                continue
            self.keys.append(["reg-create", k["path"]])
            for name, data in k.get("values", {}).items():
                self.keys.append(value_command(k["path"], name, data))
            if k.get("securityReadable") is False:
                # Administrators may read the values but not the security.
                self.security.append(["reg-security", k["path"], "O:SYD:P(A;;KA;;;SY)(A;;0x19;;;BA)"])
            elif "owner" in k or "dacl" in k:
                self.security.append(["reg-security", k["path"], sddl(k)])

    def device_commands(self):
        return [device_add(ids, compatible) for ids, compatible in self.devices]

    def report(self, seed):
        return "seed %d: %d devices of its own, %d registry commands%s%s" % (
            seed, len(self.devices), len(self.keys) + len(self.security),
            "; in use: " + ", ".join(self.held) if self.held else "",
            "".join("; left out (%s): %s" % (n, ", ".join(self.skipped[n])) for n in sorted(self.skipped)))


def windows_programs(env):
    """The Windows build's family programs by file name in lower case."""
    found = {}
    for folder in (os.path.join(env.win_build, "programs"), os.path.join(env.win_media, "win2000"),
                   os.path.join(env.win_media, "nt")):
        for name in (os.listdir(folder) if os.path.isdir(folder) else []):
            if name.lower().endswith(".exe"):
                found.setdefault(name.lower(), os.path.join(folder, name))
    return found


def copy_files(env, prefix, folder, description):
    """The seed's files with their stamps on the prefix's drive C:,
    read-only ones without write permission."""
    system_directory = description.get("systemDirectory", WINE_SYSTEM_DIR)
    programs = windows_programs(env)
    for path, source in description.get("files", {}).items():
        target = prefix.host_path(wine_path(path, system_directory))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(os.path.join(folder, "random", source), "rb") as f:
            data = f.read()
        program = programs.get(path.split("\\")[-1].lower())
        if data.startswith(b"MZ") and program:
            # An earlier program stands for a Windows image: the Windows
            # build's program of that name, its stamp in the bytes after the
            # image, so that Wine can run it and its version reads as the
            # seed's. winsim runs its own program of that name in its place
            # (sim-windows-image).
            with open(program, "rb") as f:
                data = f.read() + data
        with open(target, "wb") as f:
            f.write(data)
    for path, attributes in description.get("fileAttributes", {}).items():
        if attributes & 1:  # read-only: Wine reads it from the write permission
            os.chmod(prefix.host_path(wine_path(path, system_directory)), 0o444)


# ---------------------------------------------------------------------------
# A seed's run


def run_seed(env, seed):
    if os.environ.get("WINE_DIFFERENTIAL") == "0":
        raise Skip("the differential runs are left out (WINE_DIFFERENTIAL=0): a generated machine has nothing "
                   "else to compare")
    name = NAME_PREFIX + str(seed)
    folder = os.path.join(env.work, "sim", name)
    rc, out = winsim(env, "create", folder, "--random", str(seed), "--media", env.host_media, "--force")
    expect(rc == 0, "winsim create --random %d: %r" % (seed, out))
    with open(os.path.join(folder, "random", "machine.json")) as f:
        description = json.load(f)
    plan = Plan(env, description)
    lang = LANGUAGES[description.get("defaultLangId", "0x0409").upper().replace("0X", "0x")]
    prefix = WinePrefix(env, name, lang)
    prefix.differential.hardware = True
    passed = False
    try:
        copy_files(env, prefix, folder, description)
        prefix.hold()
        if plan.keys:
            # Service keys become services when the system starts: the
            # session starts again once they are written. Wine keeps a key's
            # security only within a session, so that comes after.
            prefix.tool(*plan.keys)
            prefix.kill()
            prefix.hold()
        if plan.security or plan.devices:
            prefix.tool(*(plan.device_commands() + plan.security))
        for path in plan.held:
            prefix.hold_file(path)
        print(plan.report(seed))
        if seed % 2:
            args, stdin = ["/X"], b""
        else:
            with open(os.path.join(folder, "random", "answers.txt"), "rb") as f:
                args, stdin = [], f.read()
        rc, _ = prefix.setup(args, stdin)
        if rc == 1:
            # The second phase runs as the session starts (the RunOnce road:
            # Wine's wineboot deletes the value and runs it); it has ended
            # once the family's part of the prefix stays the same for a few
            # seconds.
            prefix.restart(plan.devices, settled=unchanged(prefix), seconds=90, interval=3)
        passed = True
    except Failure as failure:
        raise Failure("%s\nseed %d; again with: %s" % (failure, seed, reproduce(env, name)))
    finally:
        prefix.close(passed)
        if passed and not env.keep:
            shutil.rmtree(folder, ignore_errors=True)


def unchanged(prefix):
    """A test of whether the family's part of the prefix is what it was at
    the test before, with no RunOnce value left."""
    last = []

    def settled():
        now = prefix.tool(*prefix_state.state_commands())
        if last and now == last[0] and not [line for line in now[-1] if line.startswith("value ")]:
            return True
        last[:] = [now]
        return False
    return settled


def reproduce(env, name):
    return ("python3 %s/tests/wine/suite.py --source %s --host-build %s --win-build %s --work %s scenario %s"
            % (env.source, env.source, env.host_build, env.win_build, env.work, name))


for _seed in seeds():
    seed_scenario(_seed)
