"""What several scenarios use: the installer's banner, the device table's
hardware ids, the adapters' full id lists, the staged second-phase program,
a newer driver file than the media's, and what the media hold."""

import os

from harness.family import STAGING_DIR

BANNER = "QRV Service Processor server software installation\n\r"

# The hardware ids of the device table, by entry.
IDS = ["PCI\\VEN_1D3C&DEV_0207&CC_0680", "PCI\\VEN_1D3C&DEV_01A4", "*QRV51A1", "*QRV51A5", "*QRV51A6", "*QRV5190",
       "MF\\MGTPROC_DEV0", "MF\\MGTPROC_DEV1", "MF\\MGTPROC_DEV2", "MF\\MGTPROC_DEV3", "MF\\MGTPROC_DEV4",
       "MF\\MGTPROC_DEV5"]

# The adapters as a machine shows them: every id, the longest first.
NEWER_ADAPTER = ["PCI\\VEN_1D3C&DEV_0207&SUBSYS_02071D3C&REV_01", "PCI\\VEN_1D3C&DEV_0207&SUBSYS_02071D3C",
                 "PCI\\VEN_1D3C&DEV_0207&CC_068000", "PCI\\VEN_1D3C&DEV_0207&CC_0680"]
OLDER_ADAPTER = ["PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02", "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C",
                 "PCI\\VEN_1D3C&DEV_01A4&CC_078000", "PCI\\VEN_1D3C&DEV_01A4&CC_0780"]

# The program that the second phase runs: the staged SETUP.EXE.
SECOND_PHASE_PROGRAM = STAGING_DIR + "\\win2000\\SETUP.EXE"

# The guarded copy compares the digits of a version text as one number
# (5.10.0 is 5100), so this staged file is stamped 9.10.0 (9100): newer by
# that reading too. 9.0.0 (900) would count as older and be replaced silently.
NEWER_DRIVER = b"Placeholder QRVMPW.SYS: a newer processor driver already staged\r\n!@#$9.10.0$#@!\r\n"


def media_has(env, relative):
    """Whether the Windows build's media holds a file, names compared without
    regard to case as Windows does."""
    folder = env.win_media
    for part in relative.split(os.sep):
        names = {n.lower(): n for n in os.listdir(folder)} if os.path.isdir(folder) else {}
        if part.lower() not in names:
            return False
        folder = os.path.join(folder, names[part.lower()])
    return True


def binding_lines(*infs):
    """The installer's lines for bindings with the staged INF files."""
    return "".join("Installing drivers for %s\\win2000\\%s.\n" % (STAGING_DIR, inf) for inf in infs)
