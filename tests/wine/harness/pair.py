"""A Wine prefix and a simulated machine with the same root devices, side by
side: SETUP.EXE runs on both and must give the same transcript and exit
code; the staging trees, the devices' bindings and the next start of Windows
are compared or done on both."""

import os

from harness.checks import expect_equal
from harness.family import STAGING_DIR, WINE_SYSTEM_DIR
from harness.prefix import WinePrefix, device_add
from harness.sim_machine import SimMachine


class Pair:
    """A Wine prefix and a simulated machine with the same root devices;
    with hardware, devices that the next start of Windows finds again."""

    def __init__(self, env, name, devices=(), lang="en_US.UTF-8", hardware=False, sim_registry=()):
        self.env = env
        self.name = name
        self.devices = [list(ids) for ids in devices]
        self.wine = WinePrefix(env, name, lang)
        if self.wine.differential:
            self.wine.differential.hardware = hardware
        self.wine.hold()
        # One run of the prefix tool makes every device and reads the
        # machine: each Wine process costs seconds under qemu.
        results = self.wine.tool(*([device_add(ids) for ids in devices] + [["info"]]))
        self.instances = [lines[0] for lines in results[:-1]]
        info = dict(line.split("=", 1) for line in results[-1])
        self.lang_id = int(info["langId"], 16)
        expect_equal("system directory", info["systemDirectory"], WINE_SYSTEM_DIR)
        self.sim = SimMachine(env, name, devices, self.lang_id, sim_registry, hardware)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        self.wine.close(kind is None)
        self.sim.close(kind is None)
        return False

    def setup(self, args=(), stdin=b""):
        """Runs SETUP.EXE on both and insists on the same transcript and exit
        code; returns them."""
        wine_rc, wine_text = self.wine.setup(args, stdin)
        sim_rc, sim_text = self.sim.setup(args, stdin)
        what = "SETUP.EXE %s" % " ".join(args)
        expect_equal(what + ": console transcript", wine_text, sim_text)
        expect_equal(what + ": exit code", wine_rc, sim_rc)
        return wine_rc, wine_text

    def staging_roots(self):
        """The host folders of the staging tree: (Wine's, the simulator's)."""
        return self.wine.host_path(STAGING_DIR), self.sim.host_path(STAGING_DIR)

    def staged_files(self):
        """The names under the staging tree, on both sides, relative and in
        lower case (file names compare without regard to case on Windows)."""
        def walk(root):
            found = set()
            for folder, _, files in os.walk(root):
                for f in files:
                    found.add(os.path.relpath(os.path.join(folder, f), root).lower())
            return found
        return tuple(walk(root) for root in self.staging_roots())

    def expect_same_staging(self):
        wine_files, sim_files = self.staged_files()
        expect_equal("staged files", sorted(wine_files), sorted(sim_files))
        return wine_files

    def restart(self, wait_for=None, during=None):
        """The next start of Windows in Wine (WinePrefix.restart) with the
        scenario's devices as hardware; the harness waits (at most 60 s) until
        wait_for() holds. The simulated machine's restart is the scenario's."""
        return self.wine.restart([(ids, []) for ids in self.devices], during, wait_for)

    def sim_device_state(self):
        """The simulator's devices with one of the scenario's ids:
        {first id: [(present, bound section)]}."""
        found = {}
        wanted = {ids[0] for ids in self.devices}
        for d in self.sim.state()["devices"]:
            ids = d.get("hardwareIds", [])
            if ids and ids[0] in wanted:
                # The simulator keeps the decorated section it installed; a
                # driver key's InfSection holds the undecorated name (Windows
                # keeps ".NT" in InfSectionExt), which is what Wine shows.
                section = d.get("boundSection", "")
                if section.upper().endswith(".NT"):
                    section = section[:-3]
                found.setdefault(ids[0], []).append((d.get("present", True), section))
        return found

    def wine_device_state(self):
        """The same for Wine's present devices (made by the harness or by
        SETUP), the family's devices all."""
        found = {}
        for instance, (ids, inf, section) in self.wine.devices("KORPATEST", "MGTPROC", "VEN_1D3C").items():
            found.setdefault(ids.split(";")[0], {})[instance] = (True, section)
        return {k: sorted(v.values()) for k, v in found.items()}
