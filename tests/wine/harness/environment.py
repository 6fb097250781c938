"""Where things are: the source, the Linux build (winsim and its media), the
Windows build (its media and the prefix tool), the work folder, and Wine.

The flavour x86_64 runs the 64-bit Windows build with wine64; i686 runs the
shipped 32-bit build with 32-bit Wine through qemu-user (the i686 stage,
i686/), whose scenarios share one prefix and session (session) and keep
their files apart (scratch). WINE_SUITE_NO_WINE=1 acts as if Wine were not
installed; WINE_SUITE_KEEP=1 keeps the folders of scenarios that passed.
"""

import os
import shutil

from harness.checks import Skip, read


def find_wine():
    """The wine64 loader and the wineserver, or (None, None)."""
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


class Env:
    """Where things are for one flavour; args are the suite's command line
    (suite.py), win_build the Windows build's folder when it is not
    --win-build."""

    def __init__(self, args, flavour="x86_64", win_build=None):
        self.source = args.source
        self.host_build = args.host_build
        self.win_build = win_build or args.win_build
        self.work = args.work
        self.flavour = flavour
        if flavour == "i686":
            self.wine, self.wineserver = find_wine32()
            self.scratch = os.path.join(self.work, "i686")
        else:
            self.wine, self.wineserver = find_wine()
            self.scratch = self.work
        self.wine_env = {}  # more environment for every Wine process
        self.slowness = 1  # how many times longer a Wine process may take
        self.session = None  # the shared session of the i686 stage
        self.record_path = None  # where a passing scenario's record goes (records.py)
        self.record_key = None
        self.template = os.path.join(self.work, "prefix-template")
        self.winsim = os.path.join(self.host_build, "winsim")
        self.host_media = os.path.join(self.host_build, "media")
        self.win_media = os.path.join(self.win_build, "media")
        self.tool = os.path.join(self.win_build, "tools", "prefixtool.exe")
        self.conformance = os.path.join(self.win_build, "tools", "conformance.exe")
        self.keep = os.environ.get("WINE_SUITE_KEEP") == "1"
        self.scenario = getattr(args, "name", None)  # the scenario that runs

    def missing_wine(self):
        """Why this flavour's Wine cannot run, or None."""
        if self.wine:
            return None
        if self.flavour == "i686":
            return "32-bit Wine is not installed (Debian package wine32:i386): the i686 stage is skipped"
        return "wine64 is not installed (Debian package wine64): the Wine suite is skipped"

    def require_wine(self):
        if not self.wine:
            raise Skip(self.missing_wine())
