"""The legacy setup program (no known device): its exit codes passed on, /H,
and the key wait without /Q."""

from harness.checks import expect, expect_equal
from harness.pair import Pair
from scenarios.registry import scenario


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
