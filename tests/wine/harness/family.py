"""The installer's names on a Windows machine, the same in a Wine prefix and
in a simulated machine: where its programs and files are, the registry keys
it writes, the words by which the harness finds what it left, and the files
of a media tree."""

import os

# The system directory of a fresh prefix (64-bit and 32-bit alike); the
# simulated machine is given the same one, so that transcripts and paths
# compare as they are.
WINE_SYSTEM_DIR = "C:\\windows\\system32"
STAGING_DIR = WINE_SYSTEM_DIR + "\\drivers\\korpa"
# The media are drive D:.
SETUP_PATH = "D:\\win2000\\SETUP.EXE"
SETUP_FOLDER = "D:\\win2000"
SNAPSHOT_PATH = "D:\\tools\\SNAPSHOT.EXE"

SERVICES_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services"
RUNONCE_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

# The instance ids of the root devices that the harness makes to stand in
# for the family's hardware.
STAND_IN_PREFIX = "ROOT\\KORPATEST\\"

# What the installer and the scenarios leave in a prefix: devices whose
# instance or hardware ids hold one of these words, services and service keys
# whose names do, the RunOnce value, and the files of the media wherever they
# were copied.
DEVICE_WORDS = ["KORPATEST", "VEN_1D3C", "MGTPROC", "QRV5"]
SERVICE_WORDS = ["qrv", "mpsetup"]


def is_service_key(path):
    """Whether a key's path (in any letter case) lies below Services."""
    return path.lower().startswith(SERVICES_KEY.lower() + "\\")


def is_family_key(path):
    """Whether a key is the installer's: the RunOnce key, or a key below
    Services whose name holds one of SERVICE_WORDS."""
    lower = path.lower()
    if lower == RUNONCE_KEY.lower():
        return True
    return is_service_key(lower) and any(w in lower[len(SERVICES_KEY) + 1:] for w in SERVICE_WORDS)


def media_files(media):
    """The files of a media tree by their names in lower case: {name: [paths]}."""
    found = {}
    for folder, _, files in os.walk(media):
        for f in files:
            found.setdefault(f.lower(), []).append(os.path.join(folder, f))
    return found
