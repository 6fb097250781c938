"""The Wine scenarios. Each runs the x86_64 SETUP.EXE in a Wine prefix of its
own and the Linux SETUP.EXE in a simulated machine with the same devices,
compares the console transcripts and exit codes exactly (Wine's text-mode
CR LF taken back to LF), and checks the state that the run left in the
prefix. Where Wine does not behave as Windows does, the scenario's name or
comment says so and it checks what Wine does.
"""

import os

from harness import Failure, SimMachine, Skip, WinePrefix, expect, expect_equal

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


BANNER = "QRV Service Processor server software installation\n\r"
STAGING_DIR = "C:\\windows\\system32\\drivers\\korpa"
SERVICES_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services"
RUNONCE_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

# The hardware ids of the device table, by entry.
IDS = ["PCI\\VEN_1D3C&DEV_0207&CC_0680", "PCI\\VEN_1D3C&DEV_01A4", "*QRV51A1", "*QRV51A5", "*QRV51A6", "*QRV5190",
       "MF\\MGTPROC_DEV0", "MF\\MGTPROC_DEV1", "MF\\MGTPROC_DEV2", "MF\\MGTPROC_DEV3", "MF\\MGTPROC_DEV4",
       "MF\\MGTPROC_DEV5"]


class Pair:
    """A Wine prefix and a simulated machine with the same root devices."""

    def __init__(self, env, name, devices=(), lang="en_US.UTF-8"):
        self.env = env
        self.name = name
        self.wine = WinePrefix(env, name, lang)
        self.instances = [self.wine.add_device(*ids) for ids in devices]
        info = dict(line.split("=", 1) for line in self.wine.tool(["info"])[0])
        self.lang_id = int(info["langId"], 16)
        expect_equal("system directory", info["systemDirectory"], "C:\\windows\\system32")
        self.sim = SimMachine(env, name, devices, self.lang_id)
        self.passed = False

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

    def staged_files(self):
        """The names under the staging tree, on both sides, relative and in
        lower case (file names compare without regard to case on Windows)."""
        def walk(root):
            found = set()
            for folder, _, files in os.walk(root):
                for f in files:
                    found.add(os.path.relpath(os.path.join(folder, f), root).lower())
            return found
        sim_root = os.path.join(self.sim.folder, "drives", "C", "windows", "system32", "drivers", "korpa")
        return walk(self.wine.host_path(STAGING_DIR)), walk(sim_root)

    def expect_same_staging(self):
        wine_files, sim_files = self.staged_files()
        expect_equal("staged files", sorted(wine_files), sorted(sim_files))
        return wine_files


def media_has(env, relative):
    return os.path.exists(os.path.join(env.win_media, relative))


# ---------------------------------------------------------------------------
# Command line: force codes


@scenario
def invalid_force_code(env):
    """An invalid code stops at once: the notice, exit code 0, no banner, and
    the arguments after it are never read; nothing changes in the prefix."""
    with Pair(env, "invalid_force_code") as p:
        for args in (["-FZ", "/Q"], ["-F"], ["-fz"], ["-F1", "-FA"], ["/Q", "-F"], ["-FA", "-Fq", "/X"]):
            rc, text = p.setup(args)
            expected = "Invalid force code!\n"
            if args[0] == "-FA":
                expected = "Skipping hardware detection - forcing RVO.\n" + expected
            expect_equal("transcript of %s" % args, text, expected)
            expect_equal("exit code of %s" % args, rc, 0)
        expect(not os.path.exists(p.wine.host_path(STAGING_DIR)), "an invalid force code staged the media")
        expect_equal("mpsetup", p.wine.service("mpsetup"), "missing")


FORCED = {
    # code: (notice name, entries whose devices the machine carries)
    "A": ("RVO", [2]),
    "P": ("Ferrix", [3]),
    "J": ("Quillo", [4]),
    "R": ("Blenna", [5]),
    "E": ("Tovik", [0, 9, 11]),
}


def forced_scenario(code):
    name, entries = FORCED[code]

    def run(env):
        # The machine carries root devices with the forced entries' ids, so
        # that the bindings succeed on Windows, on Wine and in the simulator
        # alike. The code is given in lower case: options are upper-cased.
        devices = [[IDS[e]] for e in entries]
        with Pair(env, "force_code_" + code, devices) as p:
            rc, text = p.setup(["-f" + code.lower(), "/q"])
            expect(text.startswith("Skipping hardware detection - forcing %s.\n%s" % (name, BANNER)),
                   "the force-code notice does not come before the banner: %r" % text[:120])
            p.expect_same_staging()
            bound = p.wine.devices("ROOT\\KORPATEST")
            expect_equal("root devices", len(bound), len(devices))
            if rc == 0:
                for instance, (ids, inf, section) in bound.items():
                    expect(inf != "" and section != "", "%s (%s) has no driver after exit code 0" % (instance, ids))
    run.__name__ = "force_code_" + code
    run.__doc__ = "Force code %s on a machine with its devices." % code
    return run


for _code in FORCED:
    scenario(forced_scenario(_code))


@scenario
def force_code_W_long_form(env):
    """-FWIDE is force code W (only three characters count); detection does
    not run, so the older adapter is bound with an empty hardware id."""
    with Pair(env, "force_code_W_long_form") as p:
        rc, text = p.setup(["-FWIDE", "/Q"])
        expect(text.startswith("Skipping hardware detection - forcing Kelvane.\n" + BANNER), repr(text[:120]))


@scenario
def force_code_U(env):
    """Force code U: the USB management device's road without probing."""
    with Pair(env, "force_code_U") as p:
        rc, text = p.setup(["-FU", "/Q"])
        expect(text.startswith("Skipping hardware detection - forcing Dorrin.\n" + BANNER), repr(text[:120]))
        p.expect_same_staging()


@scenario
def force_codes_add_up(env):
    """-FA -FP: both notices in order, both processors bound."""
    with Pair(env, "force_codes_add_up", [[IDS[2]], [IDS[3]]]) as p:
        rc, text = p.setup(["-FA", "-FP", "/Q"])
        expect(text.startswith("Skipping hardware detection - forcing RVO.\n"
                               "Skipping hardware detection - forcing Ferrix.\n" + BANNER), repr(text[:160]))


@scenario
def force_code_without_device_wine_binding_reports_success(env):
    """Wine differs from Windows: UpdateDriverForPlugAndPlayDevicesA returns
    TRUE under Wine even when no present device has the hardware id, where
    Windows (and the simulator) fail the call. Forced with A on a machine
    without the processor, the simulated run therefore ends as a failed
    installation, while under Wine the binding counts as done."""
    if not media_has(env, os.path.join("win2000", "korp.inf")):
        raise Failure("the media holds no win2000\\korp.inf: the binding cannot be tried")
    with Pair(env, "force_code_without_device") as p:
        wine_rc, wine_text = p.wine.setup(["-FA", "/Q"])
        sim_rc, sim_text = p.sim.setup(["-FA", "/Q"])
        expect_equal("simulated exit code (as on Windows)", sim_rc, 2)
        expect(sim_text.endswith("\nInstallation failed\n"), "simulator: %r" % sim_text[-80:])
        expect_equal("exit code under Wine", wine_rc, 0)
        expect(wine_text.endswith("Installation complete\n\r"), "Wine: %r" % wine_text[-80:])
        expect_equal("transcript before the final message", wine_text[:-len("Installation complete\n\r")],
                     sim_text[:-len("\nInstallation failed\n")])


# ---------------------------------------------------------------------------
# Detection of root devices


def detection_scenario(entry):
    def run(env):
        with Pair(env, "detect_entry_%d" % entry, [[IDS[entry]]]) as p:
            rc, text = p.setup(["/Q"])
            expect(text.startswith(BANNER), repr(text[:80]))
            p.expect_same_staging()
    run.__name__ = "detect_entry_%d" % entry
    run.__doc__ = "A root device with the id of entry %d (%s) is detected." % (entry, IDS[entry])
    return run


for _entry in (2, 3, 4, 5, 6, 7):
    scenario(detection_scenario(_entry))


@scenario
def detect_id_in_other_letter_case(env):
    """An id that differs from a table id only in letter case matches nothing:
    the machine counts as one without known devices (the legacy road)."""
    with Pair(env, "detect_letter_case", [["*qrv51a1"], ["mf\\mgtproc_dev4"]]) as p:
        rc, text = p.setup(["/Q"])
        expect("Installing drivers" not in text, "a letter-case variant was bound: %r" % text)
        expect_equal("mpsetup", p.wine.service("mpsetup"), "missing")


@scenario
def detect_older_adapter_long_id(env):
    """The older adapter's id is matched anywhere in a longer id, and the whole
    id is what the binding uses."""
    long_id = "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02"
    with Pair(env, "detect_older_adapter", [[long_id, "PCI\\VEN_1D3C&DEV_01A4&CC_0780"]]) as p:
        rc, text = p.setup(["/Q"])
        expect(text.startswith(BANNER), repr(text[:80]))


# ---------------------------------------------------------------------------
# Language


def language_scenario(lang, expect_english):
    def run(env):
        with Pair(env, "language_" + lang.split(".")[0], lang=lang) as p:
            rc, text = p.setup(["/Q"])
            english = text.startswith(BANNER)
            if media_has(env, os.path.join("nls", "english.nls")):
                expect_equal("English banner for LANG=%s (language id 0x%04X)" % (lang, p.lang_id), english,
                             expect_english)
    run.__name__ = "language_" + lang.split(".")[0]
    run.__doc__ = "LANG=%s under Wine gives the language of the same default language id." % lang
    return run


for _lang, _english in (("de_DE.UTF-8", False), ("fr_CA.UTF-8", False), ("ja_JP.UTF-8", False),
                        ("es_ES.UTF-8", False), ("en_US.UTF-8", True)):
    scenario(language_scenario(_lang, _english))
