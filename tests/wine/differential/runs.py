"""The differential runs of one Wine prefix.

Before SETUP.EXE runs in the prefix, the x86_64 SNAPSHOT.EXE captures the
prefix (into a host folder of the scenario, through Wine's drive Z:); `winsim
create --from` makes a machine of that capture, and the Linux SETUP.EXE runs
there with the same command line and standard input. Compared are the exit
codes, the transcripts (carriage returns taken back) and the captures after
the run: SNAPSHOT.EXE under Wine again, and the Linux SNAPSHOT.EXE inside the
machine. A scenario whose prefix then starts again (WinePrefix.restart) has
the machine started again too (`winsim restart`); the files that the machine
still holds in use are held again in the prefix (harness-holders), and both
are captured and compared once more.

What still differs after the normalisations (captures.py) is either
explained by a known difference (known.py) or fails the scenario with the
list of differences.
"""

import difflib
import json
import os
import shutil

from differential import captures, known
from harness.checks import Failure
from harness.family import SNAPSHOT_PATH
from harness.sim_machine import SimMachine

# Scenarios whose runs are not compared, with the reason.
NOT_COMPARED = {
    "force_code_W_empty_id_wine_binding_reports_success":
        "a binding without a device succeeds under Wine only (wine-binding-without-device); the scenario "
        "compares with the simulator's answer itself",
    "force_code_without_device_wine_binding_reports_success":
        "a binding without a device succeeds under Wine only (wine-binding-without-device); the scenario "
        "compares with a simulated machine that has the device",
    "snapshot_of_a_prefix_makes_the_same_machine": "runs no SETUP.EXE; it is the capture's own check",
    "service_manager_database_and_last_errors": "runs no SETUP.EXE",
    "conformance_calls": "runs no SETUP.EXE; the conformance program is compared with Windows' answers itself",
}


class Differential:
    """The differential runs of one WinePrefix."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.env = prefix.env
        self.count = 0
        self.machine = None  # the SimMachine of the last run
        self.hardware = False  # whether the harness's root devices stand in for hardware
        self.explained = {}  # name -> how many differences it explained
        self.waiting = []  # the machine's file replacements that wait for its next start

    def failure(self, message):
        return Failure("differential run %d: %s" % (self.count, message))

    # -- captures

    def capture_wine(self, label):
        folder = os.path.join(self.prefix.folder, "capture-" + label)
        shutil.rmtree(folder, ignore_errors=True)
        rc, out, err = self.prefix.run(SNAPSHOT_PATH, ["Z:" + folder.replace("/", "\\")])
        if rc != 0:
            raise self.failure("SNAPSHOT.EXE under Wine ended with %d: %r %r" % (rc, out[-600:], err[-600:]))
        return folder

    def capture_sim(self, label):
        inside = "C:\\diffcapture-" + label
        rc, out = self.machine.winsim("run", "--", "%s %s" % (SNAPSHOT_PATH, inside))
        if rc != 0:
            raise self.failure("SNAPSHOT.EXE in the machine ended with %d: %s" % (rc, out[-600:]))
        return self.machine.host_path(inside)

    def captures(self, label):
        """Both sides captured and flattened."""
        return (captures.load(self.capture_wine(label), self.env.win_media),
                captures.load(self.capture_sim(label), self.env.host_media))

    # -- a run

    def before(self):
        """Captures the prefix before a SETUP.EXE run."""
        self.count += 1
        return self.capture_wine("%02d-before" % self.count)

    def run(self, capture, args, stdin, wine_rc, wine_text):
        """The same run on a machine made from the capture; compares."""
        description = captures.machine_description(capture, self.hardware, self.prefix.extra_env)
        folder = os.path.join(self.prefix.folder, "machine-%02d" % self.count)
        try:
            self.machine = SimMachine.made_from(self.env, folder, description)
        except Failure as f:
            raise self.failure("making the machine of the capture: %s" % f)
        rc, text = self.machine.setup(args, stdin)
        problems = []
        wine_state, sim_state = self.captures("%02d-after" % self.count)
        self.waiting = known.pending_replacements(sim_state)
        if rc != wine_rc:
            name = known.explained_exit_codes(wine_rc, rc, sim_state)
            if name:
                self.explained[name] = self.explained.get(name, 0) + 1
            else:
                problems.append("exit code: Wine %d, winsim %d" % (wine_rc, rc))
        if text != wine_text:
            name = known.explained_transcript(wine_text, text, sim_state)
            if name:
                self.explained[name] = self.explained.get(name, 0) + 1
            else:
                problems.append("transcript:\n" + text_diff(wine_text, text))
        problems += self.differences(wine_state, sim_state)
        self.settle(problems, "SETUP.EXE %s" % " ".join(args))

    def restart(self):
        """After the prefix started again: the machine starts again too."""
        if self.machine is None:
            return
        try:
            self.machine.restart()
        except Failure as f:
            raise self.failure(str(f))
        for path in self.machine.state().get("filesInUse", []):
            self.prefix.hold_file(path)
        replaced = [target for _, target in self.waiting]
        self.waiting = []
        self.settle(self.differences(*self.captures("%02d-restart" % self.count), restarted=True, replaced=replaced),
                    "the restart")

    def differences(self, wine, sim, restarted=False, replaced=()):
        context = known.Context(sim, restarted, replaced)
        problems = []
        for key in sorted(set(wine) | set(sim)):
            w, s = wine.get(key), sim.get(key)
            if w == s:
                continue
            name = known.explained_key(key, w, s, context)
            if name:
                self.explained[name] = self.explained.get(name, 0) + 1
                continue
            problems.append("%s\n    Wine:   %s\n    winsim: %s" % (key, show(w), show(s)))
        return problems

    def settle(self, problems, what):
        if problems:
            raise self.failure("%s differs between Wine and winsim on the machine made from the prefix's "
                               "capture (%s); differences that docs/differences.md does not name:\n  %s"
                               % (what, self.machine.folder, "\n  ".join(problems)))
        print("differential run %d (%s): the same%s" % (
            self.count, what, "".join(", %s x%d" % item for item in sorted(self.explained.items()))))


def show(value):
    return "(absent)" if value is None else json.dumps(value)


def text_diff(wine, sim):
    return "\n".join(difflib.unified_diff(wine.split("\n"), sim.split("\n"), "Wine", "winsim", lineterm=""))
