"""The typical unattended run, the restart and the service phase: the first
phase's outcome, mpsetup started by Wine's service manager at the next
start, the adapter bound; and a stop sent while the phase runs, answered
with stop pending, with the phase's outcome in the event log."""

import os

from harness.checks import expect, expect_equal, read
from harness.pair import Pair
from scenarios.common import BANNER, IDS, NEWER_ADAPTER, SECOND_PHASE_PROGRAM
from scenarios.registry import scenario


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

        expect_equal("service wait under Wine", p.restart(), ["gone"])
        restart_log = p.sim.restart()
        expect("Installation complete" in restart_log, "simulated service phase:\n" + restart_log)
        expect_equal("mpsetup after the service phase under Wine", p.wine.service("mpsetup"), "missing")
        expect(not any(k["path"].lower().endswith("\\services\\mpsetup") for k in p.sim.state()["registry"]),
               "mpsetup stays in the simulator")
        wine = p.wine_device_state()
        expect_equal("adapter binding under Wine", wine.get(NEWER_ADAPTER[0]), [(True, "KorpaNewer")])
        expect_equal("temporary root device under Wine", wine.get(IDS[11]), None)
        sim = p.sim_device_state()
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
    QRVMPSVC.HOLD beside it): the handler answers stop pending at check
    point 1 with the wait hint of one step, the installation runs to its end
    (adapter bound, temporary root device removed, mpsetup deleted) and the
    phase's outcome goes to the event log, which Wine prints on its eventlog
    channel. The simulator gets the same stop at the same call, reports
    stop pending once more before the clean-up that follows the install run,
    and reports the same entry."""
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

        p.restart(during=stop_while_held)
        session_err = "".join(read(os.path.join(p.wine.folder, "run%02d.err" % n), "r")
                              for n in range(first_run, p.wine.runs + 1))
        expect_equal("the handler's answer to the stop under Wine", answers, [["state=3 checkpoint=1 wait=120000"]])
        expect_equal("mpsetup after the service phase under Wine", p.wine.service("mpsetup"), "missing")
        wine = p.wine_device_state()
        expect_equal("adapter binding under Wine", wine.get(NEWER_ADAPTER[0]), [(True, "KorpaNewer")])
        expect_equal("temporary root device under Wine", wine.get(IDS[11]), None)
        wine_events = [line.split("ReportEventW ", 1)[1] for line in session_err.splitlines()
                       if ":eventlog:ReportEventW " in line]

        p.sim.winsim("control", "mpsetup", "stop", "--before", "CreateProcessA#1")
        log = p.sim.restart()
        expect("    states reported: 4 3 3 1\n" in log, "simulated service phase:\n" + log)
        sim_event = p.sim.state()["eventLog"][-1]
        expect_equal("the outcome entry under Wine and in the simulator", wine_events,
                     ['L"%s"' % text for text in sim_event["strings"]])
        expect_equal("the outcome entry in the simulator", (sim_event["type"], sim_event["strings"]),
                     (4, ["mpsetup exit code: 0", "Installation complete"]))
        expect_equal("adapter binding in the simulator", p.sim_device_state().get(NEWER_ADAPTER[0]),
                     [(True, "KorpaNewer")])
