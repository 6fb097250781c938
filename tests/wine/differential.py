"""Differential runs: every SETUP.EXE run of a Wine scenario is run again on a
winsim machine made from a capture of the prefix, and the two outcomes are
compared.

Before SETUP.EXE runs in the prefix, the x86_64 SNAPSHOT.EXE captures the
prefix (into a host folder of the scenario, through Wine's drive Z:); `winsim
create --from` makes a machine of that capture, and the Linux SETUP.EXE runs
there with the same command line and standard input. Compared are the exit
codes, the transcripts (carriage returns taken back) and the captures after
the run: SNAPSHOT.EXE under Wine again, and the Linux SNAPSHOT.EXE inside the
machine. A scenario whose prefix then starts again (restart_wine) has the
machine started again too (`winsim restart`), and both are captured and
compared once more.

Only what must differ is normalised; each normalisation is named in
NORMALISATIONS. What still differs is either explained by an entry of
docs/differences.md, matched by its name in KNOWN, or fails the scenario with
the list of differences.
"""

import difflib
import hashlib
import json
import os
import re
import shutil
import subprocess

SNAPSHOT_PATH = "D:\\tools\\SNAPSHOT.EXE"
SETUP_PATH = "D:\\win2000\\SETUP.EXE"

# Scenarios whose runs are not compared, with the reason.
NOT_COMPARED = {
    "force_code_W_empty_id_wine_binding_reports_success":
        "a binding without a device succeeds under Wine only (wine-binding-without-device); the scenario "
        "compares with the simulator's answer itself",
    "force_code_without_device_wine_binding_reports_success":
        "a binding without a device succeeds under Wine only (wine-binding-without-device); the scenario "
        "compares with a simulated machine that has the device",
    "snapshot_of_a_prefix_makes_the_same_machine": "runs no SETUP.EXE; it is the capture's own check",
    "service_manager_database_and_last_errors": "runs no SETUP.EXE",
}

# What is normalised before the captures are compared, and why.
NORMALISATIONS = {
    "driver-keys": "a device's key below Enum is named by the device, and its driver key below Control\\Class "
                   "(numbered in the order of the bindings) by the device whose Driver value names it",
    "media-builds": "a file that holds the bytes of its side's media file of the same name counts as that "
                    "media file: the prefix's media is the Windows build, the machine's the Linux build",
    "name-case": "paths of files, folders and keys compare without regard to letter case, as Windows "
                 "compares them",
    "harness-hardware": "root devices that the harness makes to stand in for hardware (ROOT\\KORPATEST) come "
                        "back at a restart: the machine's description drops their rootCreated, and the "
                        "instance ids that the harness gives them when it makes them again count by their "
                        "hardware ids",
    "program-exit-codes": "a placeholder program's exit code, which the prefix takes from QRV_EXIT_<NAME>, "
                          "is the machine's programExitCodes entry",
}

# Known differences, by their names in docs/differences.md: each a predicate
# of (key, Wine's value, the machine's value, context) that says whether the
# difference at that key is this one. None stands for "absent"; the context
# has the machine's whole capture (sim) and whether the comparison follows a
# restart (restarted).


class Context:
    def __init__(self, sim, restarted):
        self.sim = sim
        self.restarted = restarted


def _inf_path(key, wine, sim, _ctx=None):
    # Windows and Wine name the INF's copy in the INF folder (oemN.inf);
    # the simulator names the bound INF itself.
    return ((key.endswith(" boundInf") or key.endswith(" value InfPath")) and isinstance(wine, str)
            and isinstance(sim, str) and re.fullmatch(r"oem\d+\.inf", wine.lower()) is not None)


def _decorated_section(key, wine, sim, _ctx=None):
    return (key.endswith(" boundSection") and isinstance(wine, str) and isinstance(sim, str)
            and sim.lower() == wine.lower() + ".nt")


# The DACL that Wine gives a key it creates below Services: its registry's
# own default (Users denied generic read on the children only,
# Administrators full control).
WINE_NEW_KEY_DACL = [{"sid": "S-1-5-32-545", "mask": "0x80000000", "flags": 10},
                     {"sid": "S-1-5-32-544", "mask": "0xF003F"}]


def _new_key_security(key, wine, sim, _ctx=None):
    return key.endswith(" dacl") and wine == WINE_NEW_KEY_DACL


def _service_key(key):
    return key.startswith("key hklm\\system\\currentcontrolset\\services\\")


def _image_path(key, wine, sim, _ctx=None):
    # Wine's service manager keeps the binary's path as REG_SZ, a driver's
    # as a full path; Windows keeps REG_EXPAND_SZ, a driver's path relative
    # to the Windows folder.
    if not (_service_key(key) and key.endswith(" value ImagePath") and isinstance(wine, str)
            and isinstance(sim, dict) and sim.get("type") == "REG_EXPAND_SZ"):
        return False
    data = sim.get("data", "").lower()
    return wine.lower() in (data, "c:\\windows\\" + data)


def _service_values(key, wine, sim, _ctx=None):
    # Wine's CreateService writes ObjectName LocalSystem also for a driver,
    # and the later systems' PreshutdownTimeout.
    return (_service_key(key) and sim is None and
            (key.endswith(" value ObjectName") and wine == "LocalSystem" or key.endswith(" value PreshutdownTimeout")))


CHILD = r"mf\\mgtproc_dev\d\\4&\d{4}&0&0\d"
# What the child functions' drivers install: their service and driver file.
CHILD_DRIVERS = {"serw.inf": ("qrvserw", "qrvserw.sys"), "mpw.inf": ("qrvmpw", "qrvmpw.sys")}


def _bound_children(sim_flat):
    """The INF files that the machine's enumerated child functions are bound to."""
    return {str(v).lower().rsplit("\\", 1)[-1] for k, v in sim_flat.items()
            if re.match("device " + CHILD + " boundinf$", k.lower())}


def _child_functions(key, wine, sim, ctx):
    # The simulator's adapter driver enumerates the child functions that it
    # declares; a root device that stands in for the adapter under Wine has
    # no driver that enumerates anything: no such device, no key of it, no
    # driver key, and neither the service nor the file that their drivers
    # install (or update, where an earlier one was there).
    lower = key.lower()
    if wine is None and re.match(r"(device |key enum of |key driver key of )" + CHILD + r"\b", lower):
        return True
    for inf in _bound_children(ctx.sim):
        service, driver = CHILD_DRIVERS.get(inf, (None, None))
        if service and (re.match(r"key hklm\\system\\currentcontrolset\\services\\%s( |$)" % service, lower)
                        or lower == "file c:\\windows\\system32\\drivers\\" + driver):
            return True
    return False


def _key_security_session(key, wine, sim, ctx):
    # After a restart: Wine kept no key security across the sessions. A
    # service key shows Wine's default security (Administrators the owner,
    # Wine's DACL for a new key, readable), and one that resisted the
    # cleanup in the first session (and still does in winsim) was deleted
    # by the run after the restart.
    if not (ctx.restarted and _service_key(key)):
        return False
    if key.endswith((" owner", " dacl", " securityReadable")):
        return wine in (None, "S-1-5-32-544", WINE_NEW_KEY_DACL)
    if wine is not None:
        return False
    path = key.split(" ")[1]
    for prefix in [path[:i] for i in range(len(path), 0, -1) if i == len(path) or path[i] == "\\"]:
        owner = ctx.sim.get("key %s owner" % prefix)
        dacl = ctx.sim.get("key %s dacl" % prefix) or []
        if (owner not in (None, "S-1-5-32-544") or ctx.sim.get("key %s securityReadable" % prefix) is False
                or any(ace.get("deny") for ace in dacl)):
            return True
    return False


def _owner_after_dacl(key, wine, sim, _ctx=None):
    # RegSetKeySecurity with the DACL alone: Wine reports its user's primary
    # group as the key's owner from then on; Windows keeps the owner.
    return key.endswith(" owner") and isinstance(wine, str) and re.fullmatch(r"S-1-5-21-[-0-9]*-513", wine) is not None


def _id_letter_case(key, wine, sim, _ctx=None):
    # A stand-in device whose hardware id differs from the family's in
    # letter case only: Wine's binding compares ids in their letter case.
    return re.match(r"(?i:device |key driver key of |key enum of )ROOT\\KORPATEST\\<[^>]*[a-z]", key) is not None


KNOWN = {
    "sim-inf-path": _inf_path,
    "sim-decorated-section": _decorated_section,
    "wine-new-key-security": _new_key_security,
    "wine-service-image-path": _image_path,
    "wine-service-values": _service_values,
    "wine-no-child-functions": _child_functions,
    "wine-binding-id-letter-case": _id_letter_case,
    "wine-owner-after-dacl": _owner_after_dacl,
    "wine-key-security-session": _key_security_session,
}


def _child_function_bindings(wine_text, sim_text, sim_flat):
    # The installer binds the child functions again once the adapter's
    # binding made them appear (wine-no-child-functions): winsim's transcript
    # has those binding lines more (in any language: the INF's path, then
    # the end of the line or a space), and nothing else.
    if not _bound_children(sim_flat):
        return False
    wine_lines, sim_lines = wine_text.split("\n"), sim_text.split("\n")
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, wine_lines, sim_lines, autojunk=False).get_opcodes():
        if tag == "equal":
            continue
        if tag != "insert" or not all(re.search(r"\\(serw|mpw)\.inf(\.$|\s)", line) for line in sim_lines[j1:j2]):
            return False
    return True


# Known differences of a transcript: predicates of (Wine's transcript,
# winsim's, winsim's capture after the run).
KNOWN_IN_TRANSCRIPTS = {
    "wine-no-child-functions": _child_function_bindings,
}


def names_used():
    return sorted(set(KNOWN) | set(KNOWN_IN_TRANSCRIPTS))


class Differential:
    """The differential runs of one WinePrefix."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.env = prefix.env
        self.count = 0
        self.machine = None  # the machine of the last run
        self.hardware = False  # whether the harness's root devices stand in for hardware
        self.explained = {}  # name -> how many differences it explained

    # -- captures

    def capture_wine(self, label):
        folder = os.path.join(self.prefix.folder, "capture-" + label)
        shutil.rmtree(folder, ignore_errors=True)
        rc, out, err = self.prefix.run(SNAPSHOT_PATH, ["Z:" + folder.replace("/", "\\")])
        if rc != 0:
            raise self.failure("SNAPSHOT.EXE under Wine ended with %d: %r %r" % (rc, out[-600:], err[-600:]))
        return folder

    def capture_sim(self, label):
        inside = "C:\\diffcapture-" + label
        rc, out = self.winsim("run", "--", "%s %s" % (SNAPSHOT_PATH, inside))
        if rc != 0:
            raise self.failure("SNAPSHOT.EXE in the machine ended with %d: %s" % (rc, out[-600:]))
        return os.path.join(self.machine, "drives", "C", "diffcapture-" + label)

    def winsim(self, command, *args):
        result = subprocess.run([self.env.winsim, command, self.machine] + list(args), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def failure(self, message):
        from harness import Failure
        return Failure("differential run %d: %s" % (self.count, message))

    # -- a run

    def before(self):
        """Captures the prefix before a SETUP.EXE run."""
        self.count += 1
        return self.capture_wine("%02d-before" % self.count)

    def make_machine(self, capture):
        """A machine from the capture, with the harness's own settings
        (harness-hardware, program-exit-codes)."""
        with open(os.path.join(capture, "machine.json")) as f:
            description = json.load(f)
        if self.hardware:
            for d in description["devices"]:
                if d["instanceId"].upper().startswith("ROOT\\KORPATEST\\"):
                    d.pop("rootCreated", None)
        codes = {}
        for name, value in self.prefix.extra_env.items():
            if name.startswith("QRV_EXIT_"):
                codes[name[len("QRV_EXIT_"):] + ".EXE"] = int(value)
        if codes:
            description["programExitCodes"] = codes
        path = os.path.join(capture, "machine-run.json")
        with open(path, "w") as f:
            json.dump(description, f, indent=1)
        self.machine = os.path.join(self.prefix.folder, "machine-%02d" % self.count)
        rc, out = self.winsim("create", "--from", path, "--media", self.env.host_media, "--force")
        if rc != 0:
            raise self.failure("winsim create --from the capture failed: %s" % out)

    def run(self, capture, args, stdin, wine_rc, wine_text):
        """The same run on a machine made from the capture; compares."""
        from harness import read
        self.make_machine(capture)
        inp, out = self.machine + ".in", self.machine + ".console"
        with open(inp, "wb") as f:
            f.write(stdin)
        line = " ".join([SETUP_PATH] + list(args))
        rc, _ = self.winsim("run", "--cwd", "D:\\win2000", "--input", inp, "--output", out, "--", line)
        text = read(out).decode("latin-1")  # the Linux runtime writes LF as it is
        problems = []
        if rc != wine_rc:
            problems.append("exit code: Wine %d, winsim %d" % (wine_rc, rc))
        wine_state, sim_state = self.captures("%02d-after" % self.count)
        if text != wine_text:
            name = next((n for n, known in KNOWN_IN_TRANSCRIPTS.items() if known(wine_text, text, sim_state)), None)
            if name:
                self.explained[name] = self.explained.get(name, 0) + 1
            else:
                problems.append("transcript:\n" + text_diff(wine_text, text))
        problems += self.differences(wine_state, sim_state)
        self.settle(problems, "SETUP.EXE %s" % " ".join(args))

    def restart(self):
        """After the prefix started again: the machine starts again too."""
        if self.machine is None:
            return
        rc, log = self.winsim("restart")
        if rc != 0:
            raise self.failure("winsim restart failed: %s" % log)
        self.settle(self.differences(*self.captures("%02d-restart" % self.count), restarted=True), "the restart")

    def captures(self, label):
        """Both sides captured and flattened."""
        return (load_capture(self.capture_wine(label), self.env.win_media),
                load_capture(self.capture_sim(label), self.env.host_media))

    def differences(self, wine, sim, restarted=False):
        context = Context(sim, restarted)
        problems = []
        for key in sorted(set(wine) | set(sim)):
            w, s = wine.get(key), sim.get(key)
            if w == s:
                continue
            name = next((n for n, known in KNOWN.items() if known(key, w, s, context)), None)
            if name:
                self.explained[name] = self.explained.get(name, 0) + 1
                continue
            problems.append("%s\n    Wine:   %s\n    winsim: %s" % (key, show(w), show(s)))
        return problems

    def settle(self, problems, what):
        if problems:
            raise self.failure("%s differs between Wine and winsim on the machine made from the prefix's "
                               "capture (%s); differences that docs/differences.md does not name:\n  %s"
                               % (what, self.machine, "\n  ".join(problems)))
        print("differential run %d (%s): the same%s" % (
            self.count, what, "".join(", %s x%d" % item for item in sorted(self.explained.items()))))


def show(value):
    return "(absent)" if value is None else json.dumps(value)


def text_diff(wine, sim):
    return "\n".join(difflib.unified_diff(wine.split("\n"), sim.split("\n"), "Wine", "winsim", lineterm=""))


def media_names(media):
    found = {}
    for folder, _, files in os.walk(media):
        for f in files:
            found.setdefault(f.lower(), []).append(os.path.join(folder, f))
    return found


def file_content(path, name, media):
    """media-builds: "media NAME" for a copy of the side's media file of that
    name, else the bytes as text."""
    from harness import read
    data = read(path)
    for candidate in media.get(name.lower(), []):
        if read(candidate) == data:
            return "media " + name.lower()
    return "%d bytes, sha1 %s" % (len(data), hashlib.sha1(data).hexdigest()[:12])


ENUM = "hklm\\system\\currentcontrolset\\enum\\"
CLASS = "hklm\\system\\currentcontrolset\\control\\class\\"


def key_names(c):
    """driver-keys: a device's key below Enum named by its device, its driver
    key below Control\\Class by the device whose Driver value names it."""
    devices = device_keys(c)
    names = {}
    for k in c.get("registry", []):
        path = k["path"].lower()
        if not path.startswith(ENUM):
            continue
        parts = path[len(ENUM):].split("\\")
        instance = "\\".join(parts[:3])
        if instance in devices:
            names[path] = "enum of %s%s" % (devices[instance], "".join("\\" + p for p in parts[3:]))
            driver = k.get("values", {}).get("Driver")
            if isinstance(driver, str) and len(parts) == 3:
                names[CLASS + driver.lower()] = "driver key of " + devices[instance]
    return names


def load_capture(folder, media):
    """A capture flattened to {key: value}, names in lower case (name-case)."""
    with open(os.path.join(folder, "machine.json")) as f:
        c = json.load(f)
    names = media_names(media)
    flat = {"systemDirectory": c.get("systemDirectory", "").lower(), "defaultLangId": c.get("defaultLangId")}
    keys = device_keys(c)
    for d in c.get("devices", []):
        base = "device " + keys[d["instanceId"].lower()]
        for field, value in d.items():
            if field != "instanceId":
                flat[base + " " + field] = value
    renamed = key_names(c)
    for k in c.get("registry", []):
        base = "key " + renamed.get(k["path"].lower(), k["path"].lower())
        flat[base] = True
        for field, value in k.items():
            if field == "values":
                for name, data in value.items():
                    if name == "Driver" and base.startswith("key enum of "):
                        data = "(its driver key)"
                    flat[base + " value " + name] = data
            elif field != "path":
                flat[base + " " + field] = value
    for d in c.get("directories", []):
        flat["folder " + d.lower()] = True
    for path, copy in c.get("files", {}).items():
        flat["file " + path.lower()] = file_content(os.path.join(folder, copy), path.split("\\")[-1], names)
    for path, attributes in c.get("fileAttributes", {}).items():
        flat["attributes " + path.lower()] = attributes
    return flat


def device_keys(c):
    """harness-hardware: the harness's stand-ins count by their hardware ids
    (and, for stand-ins with the same ids, by their order)."""
    keys, seen = {}, {}
    for d in c.get("devices", []):
        instance = d["instanceId"]
        key = instance
        if instance.upper().startswith("ROOT\\KORPATEST\\"):
            ids = ";".join(d.get("hardwareIds", []))
            seen[ids] = seen.get(ids, 0) + 1
            key = "ROOT\\KORPATEST\\<%s>%s" % (ids, "" if seen[ids] == 1 else "#%d" % seen[ids])
        keys[instance.lower()] = key
    return keys
