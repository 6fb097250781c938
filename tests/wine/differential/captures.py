"""Captures, as the differential runs compare them. A capture is what
SNAPSHOT.EXE writes (machine.json and copies of the files): under Wine of the
prefix, in winsim of the machine. It is compared as a flat list of keys (a
device's field, a key's value, owner or DACL, a folder, a file, a file's
attributes, a file in use), each with its value.

Only what must differ is normalised; each normalisation is named in
NORMALISATIONS, and applied here: when the machine is made from the prefix's
capture (machine_description), and when a capture is flattened (load).
"""

import hashlib
import json
import os

from harness.checks import read
from harness.family import STAND_IN_PREFIX, media_files

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
    "harness-holders": "a file in use is held in the prefix by a process of the session (prefixtool file-hold), "
                       "which a restart ends: once the machine has started again, the harness holds again the "
                       "files that the machine still holds (their driver or program starts again)",
}

EXIT_CODE_VARIABLE = "QRV_EXIT_"
ENUM = "hklm\\system\\currentcontrolset\\enum\\"
CLASS = "hklm\\system\\currentcontrolset\\control\\class\\"


def machine_description(capture, hardware, program_environment):
    """The description of the machine made from the prefix's capture, with
    the harness's own settings: the stand-ins as hardware where the scenario
    treats them so (harness-hardware), and the placeholder programs' exit
    codes from the prefix's environment (program-exit-codes). Returns its
    path, beside the capture."""
    with open(os.path.join(capture, "machine.json")) as f:
        description = json.load(f)
    if hardware:
        for d in description["devices"]:
            if d["instanceId"].upper().startswith(STAND_IN_PREFIX):
                d.pop("rootCreated", None)
    codes = {}
    for name, value in program_environment.items():
        if name.startswith(EXIT_CODE_VARIABLE):
            codes[name[len(EXIT_CODE_VARIABLE):] + ".EXE"] = int(value)
    if codes:
        description["programExitCodes"] = codes
    path = os.path.join(capture, "machine-run.json")
    with open(path, "w") as f:
        json.dump(description, f, indent=1)
    return path


def load(folder, media):
    """A capture flattened to {key: value}, names in lower case (name-case)."""
    with open(os.path.join(folder, "machine.json")) as f:
        c = json.load(f)
    names = media_files(media)
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
    for path in c.get("filesInUse", []):
        flat["in use " + path.lower()] = True
    return flat


def file_content(path, name, media):
    """media-builds: "media NAME" for a copy of the side's media file of that
    name, else the bytes as text."""
    data = read(path)
    for candidate in media.get(name.lower(), []):
        if read(candidate) == data:
            return "media " + name.lower()
    return "%d bytes, sha1 %s" % (len(data), hashlib.sha1(data).hexdigest()[:12])


def device_keys(c):
    """harness-hardware: the harness's stand-ins count by their hardware ids
    (and, for stand-ins with the same ids, by their order)."""
    keys, seen = {}, {}
    for d in c.get("devices", []):
        instance = d["instanceId"]
        key = instance
        if instance.upper().startswith(STAND_IN_PREFIX):
            ids = ";".join(d.get("hardwareIds", []))
            seen[ids] = seen.get(ids, 0) + 1
            key = "%s<%s>%s" % (STAND_IN_PREFIX, ids, "" if seen[ids] == 1 else "#%d" % seen[ids])
        keys[instance.lower()] = key
    return keys


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
