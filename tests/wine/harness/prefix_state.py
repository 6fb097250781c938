"""What the installer left in a prefix, read from the registry and the files
only (under qemu every connection to the service manager risks a fault in
one of its threads): its devices with their drivers' INF and section, its
service keys with values and DACLs, the RunOnce values, and its files under
C:\\windows. The i686 stage compares it with the x86_64 twin's (records.py)
and checks that a reset prefix is as fresh as it was made (i686/session.py).
"""

import os

from harness.checks import read
from harness.family import DEVICE_WORDS, RUNONCE_KEY, SERVICE_WORDS, SERVICES_KEY, STAGING_DIR, media_files


def state_commands():
    """The prefix tool's commands that state() reads."""
    return [["devices", word] for word in DEVICE_WORDS] + [["reg-dump", SERVICES_KEY] + SERVICE_WORDS,
                                                            ["reg-dump", RUNONCE_KEY]]


def state(prefix, results=None, files=None):
    """The state of a prefix (harness/prefix.py). results: the output of
    state_commands() when already run; files: family_files()."""
    if results is None:
        results = prefix.tool(*state_commands())
    devices = sorted({line for lines in results[:len(DEVICE_WORDS)] for line in lines})
    keys, runonce = results[len(DEVICE_WORDS):]
    return {"devices": devices, "service keys": keys, "RunOnce": runonce,
            "files": family_files(prefix) if files is None else files}


def family_paths(prefix):
    """The host paths of the installer's files under C:\\windows: the
    staging tree, and every file named as one of the media's (or as the
    compiled form of one of its INF files); with the media's file of that
    name or None."""
    media = {name: paths[0] for name, paths in media_files(prefix.env.win_media).items()}
    staging = prefix.host_path(STAGING_DIR)
    found = {}
    for folder, _, files in os.walk(os.path.join(prefix.path, "drive_c", "windows")):
        for f in files:
            path = os.path.join(folder, f)
            if (path.startswith(staging + os.sep) or f.lower() in media or
                    os.path.splitext(f.lower())[0] + ".inf" in media):
                found[path] = media.get(f.lower())
    return found


def family_files(prefix):
    """family_paths() relative to C:\\windows in lower case, each either
    "media" (a copy of the media's file of that name) or its size."""
    windows = os.path.join(prefix.path, "drive_c", "windows")
    found = {}
    for path, media in family_paths(prefix).items():
        content = read(path)
        same = media is not None and content == read(media)
        found[os.path.relpath(path, windows).lower()] = "media" if same else "%d bytes" % len(content)
    return found
