"""The command line: invalid force codes, each force code on a machine with
its devices, and force codes without the device, where Wine's binding
reports success (wine-binding-without-device)."""

import os

from harness.checks import expect, expect_equal
from harness.family import STAGING_DIR
from harness.pair import Pair
from harness.sim_machine import SimMachine
from scenarios.common import BANNER, IDS, binding_lines, media_has
from scenarios.registry import register, scenario


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
    return register("force_code_" + code, run, "Force code %s on a machine with its devices." % code)


for _code in FORCED:
    forced_scenario(_code)


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
