"""The RunOnce road: without /X the second phase is the RunOnce value Setup,
which Wine's wineboot runs when the next session starts."""

import os

from harness.checks import Failure, expect, expect_equal
from harness.family import RUNONCE_KEY
from harness.pair import Pair
from scenarios.common import IDS, OLDER_ADAPTER, SECOND_PHASE_PROGRAM
from scenarios.registry import scenario


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
                return p.wine_device_state().get(OLDER_ADAPTER[0]) == [(True, "KorpaOlder")]
            except Failure:  # the session is still starting
                return False
        p.restart(adapter_bound)
        p.sim.restart()
        runonce = p.wine.tool(["reg-dump", RUNONCE_KEY])[0]
        expect_equal("RunOnce after the logon under Wine", runonce[1:], [])
        wine, sim = p.wine_device_state(), p.sim_device_state()
        expect_equal("older adapter under Wine", wine.get(OLDER_ADAPTER[0]), [(True, "KorpaOlder")])
        expect_equal("older adapter in the simulator", sim.get(OLDER_ADAPTER[0]), [(True, "KorpaOlder")])
        expect_equal("processor under Wine and in the simulator", wine.get(IDS[5]), sim.get(IDS[5]))
