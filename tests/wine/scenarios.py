"""The Wine scenarios. Each runs the x86_64 SETUP.EXE in a Wine prefix of its
own and the Linux SETUP.EXE in a simulated machine with the same devices,
compares the console transcripts and exit codes exactly (Wine's text-mode
CR LF taken back to LF), and checks the state that the run left in the
prefix. Where Wine does not behave as Windows does, the scenario's name or
comment says so and it checks what Wine does.
"""

import json
import os
import shutil
import subprocess
import time

import random_machines
from harness import (RUNONCE_KEY, SERVICES_KEY, STAGING_DIR, Failure, SimMachine, Skip, WinePrefix, expect,
                     expect_equal, read)

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


BANNER = "QRV Service Processor server software installation\n\r"

# The hardware ids of the device table, by entry.
IDS = ["PCI\\VEN_1D3C&DEV_0207&CC_0680", "PCI\\VEN_1D3C&DEV_01A4", "*QRV51A1", "*QRV51A5", "*QRV51A6", "*QRV5190",
       "MF\\MGTPROC_DEV0", "MF\\MGTPROC_DEV1", "MF\\MGTPROC_DEV2", "MF\\MGTPROC_DEV3", "MF\\MGTPROC_DEV4",
       "MF\\MGTPROC_DEV5"]


# The scenarios that the i686 stage runs too, with the shipped 32-bit
# SETUP.EXE under 32-bit Wine through qemu (qemu.py), in this order, in one
# shared prefix: the typical unattended run with the restart and the service
# phase, the detection of each kind of known device by its hardware id (the
# newer adapter in the unattended run), the copy prompt answered from
# standard input, earlier service keys with resisting DACLs; and the command
# line, the USB management device's road and the legacy setup program's exit
# codes. Others run the same way when asked (WINE_I686_SCENARIOS);
# runonce_road passes under i686 too, but is left out of the stage for its
# time (another restart, about 90 s).
I686_SCENARIOS = ["invalid_force_code", "detect_entry_2", "detect_entry_3", "detect_entry_4", "detect_entry_5",
                  "detect_entry_6", "detect_entry_7", "detect_older_adapter_long_id", "force_code_U",
                  "legacy_setup_exit_codes", "staging_newer_file_prompt_from_stdin",
                  "service_key_cleanup_resets_dacl", "unattended_run_then_service_phase"]


class Pair:
    """A Wine prefix and a simulated machine with the same root devices."""

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
        results = self.wine.tool(*([["device-add"] + list(ids) for ids in devices] + [["info"]]))
        self.instances = [lines[0] for lines in results[:-1]]
        info = dict(line.split("=", 1) for line in results[-1])
        self.lang_id = int(info["langId"], 16)
        expect_equal("system directory", info["systemDirectory"], "C:\\windows\\system32")
        self.sim = SimMachine(env, name, devices, self.lang_id, sim_registry, hardware)
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
    return "".join("Installing drivers for %s\\win2000\\%s.\n" % (STAGING_DIR, inf) for inf in infs)


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
def force_code_W_empty_id_wine_binding_reports_success(env):
    """-FWIDE is force code W (only three characters count). Detection does
    not run, so the older adapter is bound with an empty hardware id: the
    simulator refuses it as Windows does (ERROR_INVALID_PARAMETER), and the
    run fails there. Wine differs: its UpdateDriverForPlugAndPlayDevicesA
    returns TRUE for an id that no device has, so under Wine the adapter's
    binding counts as done and the two child functions are bound after it."""
    with Pair(env, "force_code_W") as p:
        notice = "Skipping hardware detection - forcing Kelvane.\n" + BANNER
        wine_rc, wine_text = p.wine.setup(["-FWIDE", "/Q"])
        sim_rc, sim_text = p.sim.setup(["-FWIDE", "/Q"])
        expect_equal("simulated transcript (as on Windows)", sim_text,
                     notice + binding_lines("korpa.inf") + "\nInstallation failed\n")
        expect_equal("simulated exit code (as on Windows)", sim_rc, 2)
        expect_equal("transcript under Wine", wine_text,
                     notice + binding_lines("korpa.inf", "serw.inf", "mpw.inf") + "Installation complete\n\r")
        expect_equal("exit code under Wine", wine_rc, 0)


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
    without the processor, the simulated run ends as a failed installation;
    under Wine it runs as the simulated run does on a machine that has the
    processor."""
    expect(media_has(env, os.path.join("win2000", "korp.inf")), "the media holds no win2000\\korp.inf")
    with Pair(env, "force_code_without_device") as p:
        wine_rc, wine_text = p.wine.setup(["-FA", "/Q"])
        sim_rc, sim_text = p.sim.setup(["-FA", "/Q"])
        expect_equal("simulated exit code (as on Windows)", sim_rc, 2)
        expect(sim_text.endswith(binding_lines("korp.inf") + "\nInstallation failed\n"), "simulator: %r" % sim_text)
        with_device = SimMachine(env, "force_code_without_device_but_with", [[IDS[2]]], p.lang_id)
        try:
            rc, text = with_device.setup(["-FA", "/Q"])
            expect_equal("Wine without the device against the simulator with it: transcript", wine_text, text)
            expect_equal("Wine without the device against the simulator with it: exit code", wine_rc, rc)
        finally:
            with_device.close(True)
        expect_equal("exit code under Wine", wine_rc, 0)

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
    ids = ["PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02", "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C",
           "PCI\\VEN_1D3C&DEV_01A4&CC_078000", "PCI\\VEN_1D3C&DEV_01A4&CC_0780"]
    with Pair(env, "detect_older_adapter", [ids]) as p:
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


# ---------------------------------------------------------------------------
# The legacy setup program (no known device)

LEGACY_RESULTS = {0: (0, "Installation complete\n\r"), 1: (1, "Installation complete\n\rReboot the machine for "
                  "the device driver to start. \n\r"), 2: (2, "\nInstallation failed\n"),
                  3: (0, "Installation complete\n\r"), 8: (8, "\nInstallation failed\n")}


@scenario
def legacy_setup_exit_codes(env):
    """No known device: the media's RVOSETUP.EXE runs in the installer's console
    and its exit code is passed on (1, 2 and 8 as they are, others as 0). The
    placeholder program takes its exit status from QRV_EXIT_RVOSETUP under
    Windows and from the machine in the simulator."""
    with Pair(env, "legacy_setup_exit_codes") as p:
        for code, (expected_rc, final) in sorted(LEGACY_RESULTS.items()):
            p.wine.extra_env["QRV_EXIT_RVOSETUP"] = str(code)
            p.sim.exit_code("RVOSETUP.EXE", code)
            rc, text = p.setup(["/Q"])
            expect_equal("exit code after RVOSETUP.EXE ended with %d" % code, rc, expected_rc)
            expect(text.endswith("RVOSETUP.EXE: setup, quiet, exit status %d\n%s" % (code, final)),
                   "transcript after RVOSETUP.EXE ended with %d: %r" % (code, text))
        # /H passes " -S -Q -H"; not quiet: the key wait, whose key the
        # simulator reads and Wine's _getch, without a console, does not.
        rc, text = p.setup(["/H"], stdin=b"k")
        expect("RVOSETUP.EXE: setup, quiet, hidden, exit status 8\n" in text, repr(text))
        p.wine.extra_env["QRV_EXIT_RVOSETUP"] = "0"
        p.sim.exit_code("RVOSETUP.EXE", 0)
        rc, text = p.setup([], stdin=b"k")
        expect(text.endswith("Installation complete\n\rPress any key to exit."), repr(text[-80:]))


# ---------------------------------------------------------------------------
# The typical unattended run, the restart and the service phase

NEWER_ADAPTER = ["PCI\\VEN_1D3C&DEV_0207&SUBSYS_02071D3C&REV_01", "PCI\\VEN_1D3C&DEV_0207&SUBSYS_02071D3C",
                 "PCI\\VEN_1D3C&DEV_0207&CC_068000", "PCI\\VEN_1D3C&DEV_0207&CC_0680"]
OLDER_ADAPTER = ["PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C&REV_02", "PCI\\VEN_1D3C&DEV_01A4&SUBSYS_01A41D3C",
                 "PCI\\VEN_1D3C&DEV_01A4&CC_078000", "PCI\\VEN_1D3C&DEV_01A4&CC_0780"]
SECOND_PHASE_PROGRAM = STAGING_DIR + "\\win2000\\SETUP.EXE"


def sim_device_state(p):
    """The simulator's devices with one of the scenario's ids:
    {first id: (present, bound section)}."""
    found = {}
    wanted = {ids[0] for ids in p.devices}
    for d in p.sim.state()["devices"]:
        ids = d.get("hardwareIds", [])
        if ids and ids[0] in wanted | {IDS[11]}:
            # The simulator keeps the decorated section it installed; a
            # driver key's InfSection holds the undecorated name (Windows
            # keeps ".NT" in InfSectionExt), which is what Wine shows.
            section = d.get("boundSection", "")
            if section.upper().endswith(".NT"):
                section = section[:-3]
            found.setdefault(ids[0], []).append((d.get("present", True), section))
    return found


def wine_device_state(p):
    """The same for Wine's present devices (made by the harness or by SETUP)."""
    found = {}
    for instance, (ids, inf, section) in p.wine.devices("KORPATEST", "MGTPROC", "VEN_1D3C").items():
        found.setdefault(ids.split(";")[0], {})[instance] = (True, section)
    return {k: sorted(v.values()) for k, v in found.items()}


def restart_wine(p, wait_for=None, during=None):
    """The next start of Windows in Wine: the hardware that SETUP removed is
    found again (the harness makes the root devices anew), the session ends,
    and a new session starts the auto-start services and runs the RunOnce
    values; during() runs as soon as it has started. The harness keeps a
    process alive until mpsetup has gone (at most 120 s), then until
    wait_for() holds (at most 60 s)."""
    present = [entry[0].split(";") for entry in p.wine.devices("KORPATEST").values()]
    missing = [["device-add"] + ids for ids in p.devices if ids not in present]
    if missing:
        p.wine.tool(*missing)
    p.wine.kill()
    p.wine.hold()
    if during:
        during()
    result = p.wine.tool(["service-wait-gone", "mpsetup", "120"], check=False)[0]
    deadline = time.time() + 60
    while wait_for and not wait_for() and time.time() < deadline:
        time.sleep(1)
    if p.wine.differential:
        p.wine.differential.restart()
    return result


@scenario
def unattended_run_then_service_phase(env):
    """SETUP.EXE /X with the newer adapter and child function 4: message 77,
    the old devices removed, mpsetup created, message 78, exit code 1. At the
    next start Wine's service control manager starts the staged SETUP.EXE as
    mpsetup; it binds the adapter from the staging tree (with the temporary
    root device for child function 5) and deletes its own service. Under
    Wine no binding asks for a restart (Wine never sets the flag), so no
    reboot is requested; the service phase's console is not visible under
    Wine, so its effects are compared instead."""
    with Pair(env, "unattended_run", [NEWER_ADAPTER, [IDS[10]]], hardware=True) as p:
        rc, text = p.setup(["/X"])
        expect_equal("first phase", (rc, text), (1, BANNER + "Removing older version of the device drivers.\n"
                                                  "Removed the old device drivers. \nReboot the machine to install "
                                                  "the new drivers.\n"))
        p.expect_same_staging()
        expect_equal("mpsetup under Wine", p.wine.service("mpsetup"),
                     "type=0x10 start=2 state=1 image=%s display=QRV Varnock Installation" % SECOND_PHASE_PROGRAM)
        expect_equal("devices left by the first phase under Wine", p.wine.devices("KORPATEST"), {})
        sim_services = p.sim.state()["registry"]
        expect(any(k["path"].lower().endswith("\\services\\mpsetup") for k in sim_services),
               "the simulator has no mpsetup")

        expect_equal("service wait under Wine", restart_wine(p), ["gone"])
        restart_log = p.sim.restart()
        expect("Installation complete" in restart_log, "simulated service phase:\n" + restart_log)
        expect_equal("mpsetup after the service phase under Wine", p.wine.service("mpsetup"), "missing")
        expect(not any(k["path"].lower().endswith("\\services\\mpsetup") for k in p.sim.state()["registry"]),
               "mpsetup stays in the simulator")
        wine = wine_device_state(p)
        expect_equal("adapter binding under Wine", wine.get(NEWER_ADAPTER[0]), [(True, "KorpaNewer")])
        expect_equal("temporary root device under Wine", wine.get(IDS[11]), None)
        sim = sim_device_state(p)
        expect_equal("adapter binding in the simulator", sim.get(NEWER_ADAPTER[0]), [(True, "KorpaNewer")])
        # The temporary root device is gone; the simulator's adapter driver
        # enumerates child functions of its own, which Wine's root device
        # cannot.
        temporary = [d for d in p.sim.state()["devices"]
                     if d.get("rootCreated") and IDS[11] in d.get("hardwareIds", []) and d.get("present", True)]
        expect_equal("temporary root device in the simulator", temporary, [])


# Wine's channel for ReportEventA: error entries at err, others at trace.
EVENTLOG_CHANNEL = "-all,err+eventlog,trace+eventlog"


@scenario
def service_phase_stop_pending_and_outcome_event(env):
    """A stop sent through Wine's service manager while the service phase
    runs (held at the processor service program's install run by a file
    QRVMPSVC.HOLD beside it): the handler answers stop pending with its
    wait hint, the installation runs to its end (adapter bound, temporary
    root device removed, mpsetup deleted) and the phase's outcome goes to
    the event log, which Wine prints on its eventlog channel. The simulator
    gets the same stop at the same call and reports the same entry."""
    with Pair(env, "service_phase_stop", [NEWER_ADAPTER, [IDS[10]]], hardware=True) as p:
        rc, _ = p.setup(["/X"])
        expect_equal("first phase exit code", rc, 1)
        hold_file = p.wine.host_path("C:\\windows\\system32\\QRVMPSVC.HOLD")
        with open(hold_file, "wb"):
            pass
        # Services get the machine's environment, not the session's: the
        # eventlog channel is asked for there. Their standard error is that
        # of the session's first processes.
        p.wine.tool(["reg-set", "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
                     "WINEDEBUG", "REG_SZ", EVENTLOG_CHANNEL])
        answers, first_run = [], p.wine.runs + 1

        def stop_while_held():
            # The tool waits up to 120 s for the service to run (a restart on a
            # busy machine); its process is given more than that.
            answers.append(p.wine.tool(["service-stop-when-running", "mpsetup", "120"], check=False,
                                       timeout=180)[0])
            os.remove(hold_file)

        restart_wine(p, during=stop_while_held)
        session_err = "".join(read(os.path.join(p.wine.folder, "run%02d.err" % n), "r")
                              for n in range(first_run, p.wine.runs + 1))
        expect_equal("the handler's answer to the stop under Wine", answers, [["state=3 wait=120000"]])
        expect_equal("mpsetup after the service phase under Wine", p.wine.service("mpsetup"), "missing")
        wine = wine_device_state(p)
        expect_equal("adapter binding under Wine", wine.get(NEWER_ADAPTER[0]), [(True, "KorpaNewer")])
        expect_equal("temporary root device under Wine", wine.get(IDS[11]), None)
        wine_events = [line.split("ReportEventW ", 1)[1] for line in session_err.splitlines()
                       if ":eventlog:ReportEventW " in line]

        p.sim.winsim("control", "mpsetup", "stop", "--before", "CreateProcessA#1")
        log = p.sim.restart()
        expect("    states reported: 4 3 1\n" in log, "simulated service phase:\n" + log)
        sim_event = p.sim.state()["eventLog"][-1]
        expect_equal("the outcome entry under Wine and in the simulator", wine_events,
                     ['L"%s"' % text for text in sim_event["strings"]])
        expect_equal("the outcome entry in the simulator", (sim_event["type"], sim_event["strings"]),
                     (4, ["mpsetup exit code: 0", "Installation complete"]))
        expect_equal("adapter binding in the simulator", sim_device_state(p).get(NEWER_ADAPTER[0]),
                     [(True, "KorpaNewer")])


@scenario
def service_manager_database_and_last_errors(env):
    """Wine's answers where the simulator is as strict as Windows: a service
    whose key is deleted with the registry functions stays known to the
    manager until the next start; a display name of another service is
    refused; a failing registry call leaves the last error alone; the
    dispatcher returns once its service has reported stopped, and the
    process ends with ServiceMain's thread still working. Unlike Windows,
    Wine leaves the last error of successful Setup API calls as it was."""
    prefix = WinePrefix(env, "service_manager_database")
    passed = False
    try:
        prefix.hold()
        image = "Z:" + env.tool.replace("/", "\\") + " serve-early-stop"
        database, errors, _, _, _ = prefix.tool(
            ["service-database", "korpagone"], ["last-errors"],
            ["service-create", "korpaearly", "0x10", "3", image, "Korpa early stop"], ["service-start", "korpaearly"],
            ["hold", "3"])
        expect_equal("the manager's answers for a service whose key was deleted", database,
                     ["RegDeleteKeyA 0 0xdeadbeef", "OpenServiceA 1 0xdeadbeef", "CreateServiceA-same-name 0 0x431",
                      "CreateServiceA-same-display 0 0x436", "DeleteService 1 0xdeadbeef",
                      "OpenServiceA-after-close 0 0x424"])
        expect_equal("last errors", errors,
                     ["RegOpenKeyExA-missing 2 0xdeadbeef", "SetupDiGetClassDevsA 1 0xdeadbeef",
                      "SetupDiEnumDeviceInfo 1 0xdeadbeef", "SetupDiDestroyDeviceInfoList 1 0x0"])
        steps = {name: os.path.exists(prefix.host_path("C:\\" + name))
                 for name in ("korpaearly-returned", "korpaearly-after-stop")}
        expect_equal("what the early stopping service did", steps,
                     {"korpaearly-returned": True, "korpaearly-after-stop": False})
        prefix.tool(["service-delete", "korpaearly"])
        passed = True
    finally:
        prefix.close(passed)


@scenario
def runonce_road(env):
    """Without /X the second phase is the RunOnce value Setup, which runs the
    staged SETUP.EXE with -R at the next logon. The older adapter and the
    on-board processor *QRV5190 with an old processor driver file: the file is
    deleted, the value written, exit code 1. Wine's wineboot runs HKLM's
    RunOnce values when the next session starts."""
    with Pair(env, "runonce_road", [OLDER_ADAPTER, [IDS[5]]], hardware=True) as p:
        driver = "C:\\windows\\system32\\drivers\\qrvmpw.sys"
        for path in (p.wine.host_path(driver), p.sim.host_path(driver)):
            with open(path, "wb") as f:
                f.write(b"old processor driver without a version stamp\0")
        rc, text = p.setup(["/Q"])
        expect_equal("exit code", rc, 1)
        expect("Removed the old device drivers." in text, repr(text))
        expect(not os.path.exists(p.wine.host_path(driver)), "qrvmpw.sys stays under Wine")
        runonce = p.wine.tool(["reg-dump", RUNONCE_KEY])[0]
        expect_equal("RunOnce under Wine", runonce[1:],
                     ["value %s\\Setup REG_SZ %s -R" % (RUNONCE_KEY, SECOND_PHASE_PROGRAM)])
        expect_equal("mpsetup", p.wine.service("mpsetup"), "missing")

        def adapter_bound():
            try:
                return wine_device_state(p).get(OLDER_ADAPTER[0]) == [(True, "KorpaOlder")]
            except Failure:  # the session is still starting
                return False
        restart_wine(p, adapter_bound)
        p.sim.restart()
        runonce = p.wine.tool(["reg-dump", RUNONCE_KEY])[0]
        expect_equal("RunOnce after the logon under Wine", runonce[1:], [])
        wine, sim = wine_device_state(p), sim_device_state(p)
        expect_equal("older adapter under Wine", wine.get(OLDER_ADAPTER[0]), [(True, "KorpaOlder")])
        expect_equal("older adapter in the simulator", sim.get(OLDER_ADAPTER[0]), [(True, "KorpaOlder")])
        expect_equal("processor under Wine and in the simulator", wine.get(IDS[5]), sim.get(IDS[5]))


# ---------------------------------------------------------------------------
# Service key cleanup

ADMINS, SYSTEM, USERS = "S-1-5-32-544", "S-1-5-18", "S-1-5-32-545"


@scenario
def service_key_cleanup_resets_dacl(env):
    """Earlier services' keys, made by the harness with DACLs of their own: the
    restart feature's keys are deleted with their children after the DACL
    reset; a key with a key three levels down stays, with its DACL replaced by
    Administrators' full control; a key that Administrators may only read is
    not opened and keeps its DACL. RegSetKeySecurity and RegDeleteKeyA behave
    in Wine as on Windows while the session lasts; unlike Windows, Wine does
    not keep a key's security across sessions (its registry files hold none),
    so every step here runs in the one session that the harness holds."""
    keys = {
        "qrvrvosv": ["Parameters", "Security"],
        "qrvrvoex": ["Enum"],
        "xqrvrvosvx": ["Parameters\\Deep\\Deeper"],
        "qrvrvoexRO": [],
        "QRVRVOSV2": [],
        "qrvmprem": ["Parameters"],
    }
    sim_registry = []
    wine_commands = []
    for name, children in keys.items():
        base = SERVICES_KEY + "\\" + name
        sim_registry.append({"path": base, "values": {"Type": 16, "Start": 3}})
        wine_commands.append(["reg-set", base, "Type", "REG_DWORD", "16"])
        wine_commands.append(["reg-set", base, "Start", "REG_DWORD", "3"])
        for child in children:
            sim_registry.append({"path": base + "\\" + child, "values": {"Value": "x"}})
            wine_commands.append(["reg-set", base + "\\" + child, "Value", "REG_SZ", "x"])
    # Everyone may read, Administrators do everything; and a key that
    # Administrators may only read.
    wine_commands.append(["reg-dacl", SERVICES_KEY + "\\qrvrvosv", "D:P(A;;KA;;;BA)(A;;KR;;;SY)(A;;KR;;;BU)"])
    wine_commands.append(["reg-dacl", SERVICES_KEY + "\\qrvrvoexRO", "D:P(A;;KR;;;BA)"])
    for entry in sim_registry:
        if entry["path"].endswith("\\qrvrvosv"):
            entry["dacl"] = [{"sid": ADMINS, "mask": "0xF003F"}, {"sid": SYSTEM, "mask": "0x20019"},
                             {"sid": USERS, "mask": "0x20019"}]
        if entry["path"].endswith("\\qrvrvoexRO"):
            entry["dacl"] = [{"sid": ADMINS, "mask": "0x20019"}]
    with Pair(env, "service_key_cleanup", [NEWER_ADAPTER], sim_registry=sim_registry) as p:
        p.wine.tool(*wine_commands)
        rc, text = p.setup(["/Q"])
        expect_equal("exit code (keys deleted: a restart is asked for)", rc, 1)
        dumps = p.wine.tool(*[["reg-dump", SERVICES_KEY + "\\" + name] for name in keys])
        dump = {name: [l for l in lines if l.startswith("key ") or l == "missing"] for name, lines in zip(keys, dumps)}
        expect_equal("qrvrvosv under Wine", dump["qrvrvosv"], ["missing"])
        expect_equal("qrvrvoex under Wine", dump["qrvrvoex"], ["missing"])
        expect_equal("the key with a deep child under Wine", dump["xqrvrvosvx"][0],
                     "key %s\\xqrvrvosvx D:(A;;KA;;;BA)" % SERVICES_KEY)
        expect(any(l.startswith("key %s\\xqrvrvosvx\\Parameters\\Deep\\Deeper " % SERVICES_KEY)
                   for l in dump["xqrvrvosvx"]), "the deep key is gone under Wine: %r" % dump["xqrvrvosvx"])
        expect_equal("the read-only key under Wine", dump["qrvrvoexRO"],
                     ["key %s\\qrvrvoexRO D:P(A;;KR;;;BA)" % SERVICES_KEY])
        expect_equal("a key in other letter case under Wine", len(dump["QRVRVOSV2"]), 1)
        sim_keys = {k["path"]: k for k in p.sim.state()["registry"]}

        def sim_key(name):
            return next((k for path, k in sim_keys.items() if path.endswith("\\Services\\" + name)), None)
        for name in keys:
            expect_equal("%s exists, Wine against the simulator" % name, dump[name] != ["missing"],
                         sim_key(name) is not None)
        expect_equal("the simulator's DACL of the key with a deep child", (sim_key("xqrvrvosvx") or {}).get("dacl"),
                     [{"sid": ADMINS, "mask": 0xF003F}])


# ---------------------------------------------------------------------------
# The guarded copy into the staging tree, answered through standard input

# What the staging tree holds after a run from the media, relative to it in
# lower case; nt\K4100\rmtptr is made empty.
STAGED_FILES = sorted([os.path.join("win2000", n.lower()) for n in (
    "SETUP.EXE", "KORP.INF", "KORPA.INF", "SERW.INF", "QRVSERW.SYS", "QRVMPREM.DLL", "QRVMPW.DLL", "QRVMPW.SYS",
    "MPW.INF", "KORP.CAT", "KORPA.CAT", "SERW.CAT", "MPW.CAT", "COINFCP.DLL", "QRVMPREM.EXE", "QRVMPSVC.EXE")] +
    [os.path.join("nt", "rvosetup.exe"), os.path.join("nls", "english.nls"), os.path.join("nls", "japanese.nls")])
MEDIA_VERSION_STAMP = b"!@#$5.10.0$#@!"
# The guarded copy compares the digits of a version text as one number
# (5.10.0 is 5100), so the staged file is stamped 9.10.0 (9100): newer by
# that reading too. 9.0.0 (900) would count as older and be replaced silently.
NEWER_DRIVER = b"Placeholder QRVMPW.SYS: a newer processor driver already staged\r\n!@#$9.10.0$#@!\r\n"


@scenario
def staging_newer_file_prompt_from_stdin(env):
    """No known device, the legacy program succeeding, no /Q. The staging
    tree already holds a QRVMPW.SYS stamped 9.10.0, newer than the media's
    5.10.0: the guarded copy prints a blank line, the older-than line and the
    prompt, and reads the answer from standard input. "n" keeps the staged
    file and every other file is staged; a second run answering "y" replaces
    it with the media's. The same file is placed in the simulated machine,
    and the transcripts compare exactly. The "k" after the answer is for the
    key wait at the end: the simulator reads it, Wine's _getch without a
    console returns at once (see legacy_setup_exit_codes)."""
    staged_driver = STAGING_DIR + "\\win2000\\QRVMPW.SYS"
    media_driver = os.path.join("win2000", "QRVMPW.SYS")
    expect(media_has(env, media_driver), "the media holds no win2000\\QRVMPW.SYS")
    with Pair(env, "staging_newer_file_prompt") as p:
        wine_path, sim_path = p.wine.host_path(staged_driver), p.sim.host_path(staged_driver)
        media = {}
        for side, path, root in (("Wine", wine_path, env.win_media), ("simulator", sim_path, env.host_media)):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(NEWER_DRIVER)
            with open(os.path.join(root, media_driver), "rb") as f:
                media[side] = f.read()
            expect(MEDIA_VERSION_STAMP in media[side], "the %s media's QRVMPW.SYS is not stamped 5.10.0: %r"
                   % (side, media[side]))
        p.wine.extra_env["QRV_EXIT_RVOSETUP"] = "0"
        p.sim.exit_code("RVOSETUP.EXE", 0)
        question = ("\nD:\\win2000\\QRVMPW.SYS is older than %s.\nDo you want to copy anyway? (y/n):\n"
                    % staged_driver)

        def staged_content():
            return read(wine_path), read(sim_path)

        def expect_staged(answer):
            for side, root in (("Wine", p.wine.host_path(STAGING_DIR)),
                               ("simulator", os.path.join(p.sim.folder, "drives", "C", "windows", "system32",
                                                          "drivers", "korpa"))):
                rmtptr = os.path.join(root, "nt", "K4100", "rmtptr")
                expect(os.path.isdir(rmtptr) and os.listdir(rmtptr) == [],
                       "%s after %r: nt\\K4100\\rmtptr is not an empty folder" % (side, answer))
            wine_files = p.expect_same_staging()
            expect_equal("staged files after %r" % answer, sorted(wine_files), STAGED_FILES)

        for answer, expected in ((b"n", (NEWER_DRIVER, NEWER_DRIVER)), (b"y", (media["Wine"], media["simulator"]))):
            rc, text = p.setup([], stdin=answer + b"\nk")
            expect_equal("exit code after %r" % answer, rc, 0)
            expect(text.startswith(BANNER), "transcript after %r: %r" % (answer, text[:120]))
            expect(text.count(question) == 1, "the question is not asked once after %r: %r" % (answer, text))
            expect(text.endswith("RVOSETUP.EXE: setup, exit status 0\nInstallation complete\n\r"
                                 "Press any key to exit."), "transcript after %r: %r" % (answer, text[-160:]))
            expect_equal("staged QRVMPW.SYS after %r (Wine, simulator)" % answer, staged_content(), expected)
            expect_staged(answer)


# ---------------------------------------------------------------------------
# The snapshot program

SNAPSHOT_PATH = "D:\\tools\\SNAPSHOT.EXE"


@scenario
def snapshot_of_a_prefix_makes_the_same_machine(env):
    """The x86_64 SNAPSHOT.EXE captures a prefix with the newer adapter and
    *QRV5190 as root devices, a processor driver key whose Parameters key
    only SYSTEM may change, a RunOnce value, a library of the family in the
    system directory and a staging tree with an empty folder. winsim makes a
    machine of the capture, and the Linux SNAPSHOT.EXE captures that machine
    in turn: the two descriptions are the same, and the copies of the files
    are the bytes of the prefix's."""
    library = "C:\\windows\\system32\\QRVMPW.DLL"
    staged = STAGING_DIR + "\\win2000\\QRVMPW.SYS"
    prefix = WinePrefix(env, "snapshot_of_a_prefix")
    passed = False
    try:
        prefix.hold()
        instances = [prefix.add_device(IDS[0]), prefix.add_device(IDS[5])]
        prefix.tool(["service-create", "qrvmpw", "1", "3", "System32\\drivers\\qrvmpw.sys",
                     "QRV Service Processor (Version 4.21)"],
                    ["reg-create", SERVICES_KEY + "\\qrvmpw\\Parameters"],
                    ["reg-dacl", SERVICES_KEY + "\\qrvmpw\\Parameters", "D:(A;;KA;;;SY)(A;;KR;;;BA)"],
                    ["reg-set", RUNONCE_KEY, "Other", "REG_SZ", "C:\\other.exe /once"])
        contents = {library: b"MZ\r\n!@#$5.0.0$#@!\r\n", staged: NEWER_DRIVER}
        for path, data in contents.items():
            os.makedirs(os.path.dirname(prefix.host_path(path)), exist_ok=True)
            with open(prefix.host_path(path), "wb") as f:
                f.write(data)
        os.makedirs(prefix.host_path(STAGING_DIR + "\\nt\\K4100"))

        rc, out, err = prefix.run(SNAPSHOT_PATH, ["C:\\capture"])
        text = out.replace(b"\r\n", b"\n").decode("latin-1")
        expect_equal("SNAPSHOT.EXE exit code under Wine (output %r %r)" % (text, err), rc, 0)
        expect("  Family service keys:  1 (the product family's and mpsetup)\n  RunOnce values:       1\n"
               "  Family files:         2\n  Staging tree folders: 4\n"
               "Wrote C:\\capture\\machine.json; the files are copied below C:\\capture\\files.\n" in text,
               "SNAPSHOT.EXE under Wine: %r" % text)
        capture_path = prefix.host_path("C:\\capture\\machine.json")
        with open(capture_path) as f:
            capture = json.load(f)
        devices = {d["instanceId"]: d for d in capture["devices"]}
        for instance, ids in zip(instances, (IDS[0], IDS[5])):
            expect_equal("captured device " + instance, (devices[instance].get("hardwareIds"),
                                                         devices[instance].get("rootCreated")), ([ids], True))
        keys = {k["path"].lower(): k for k in capture["registry"]}
        parameters = keys[(SERVICES_KEY + "\\qrvmpw\\Parameters").lower()]
        expect_equal("captured DACL of qrvmpw\\Parameters", parameters.get("dacl"),
                     [{"sid": "S-1-5-18", "mask": "0xF003F"}, {"sid": "S-1-5-32-544", "mask": "0x20019"}])
        expect_equal("captured RunOnce", keys[RUNONCE_KEY.lower()].get("values"), {"Other": "C:\\other.exe /once"})
        expect_equal("captured directories", len(capture["directories"]), 4)

        machine = os.path.join(env.work, "sim", "snapshot_of_a_prefix")
        create = subprocess.run([env.winsim, "create", machine, "--from", capture_path, "--media", env.host_media,
                                 "--force"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        expect_equal("winsim create --from the capture (%r)" % create.stdout, create.returncode, 0)
        run = subprocess.run([env.winsim, "run", machine, "--", SNAPSHOT_PATH + " C:\\capture"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        expect_equal("SNAPSHOT.EXE in the simulated machine (%r)" % run.stdout, run.returncode, 0)
        with open(os.path.join(machine, "drives", "C", "capture", "machine.json")) as f:
            expect_equal("the simulated machine's capture", json.load(f), capture)
        for path, data in contents.items():
            copy = os.path.join(os.path.dirname(capture_path), capture["files"][path])
            expect_equal("copy of " + path, read(copy), data)
        passed = True
        shutil.rmtree(machine, ignore_errors=True)
    finally:
        prefix.close(passed)


# ---------------------------------------------------------------------------
# Generated machines (random_machines.py): seeds of winsim create --random
# built in a prefix, each run compared by the differential run.

def random_scenario(seed):
    def run(env):
        random_machines.run_seed(env, seed)
    run.__name__ = random_machines.scenario_name(seed)
    return run


def find(name):
    """The scenario of that name; random_seed_N for any seed N."""
    seed = random_machines.seed_of(name)
    return SCENARIOS.get(name) or (random_scenario(seed) if seed is not None else None)


for _seed in random_machines.seeds():
    scenario(random_scenario(_seed))
