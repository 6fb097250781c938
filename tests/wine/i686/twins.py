"""Each scenario of the i686 stage is compared with its x86_64 twin: the
x86_64 run of the same scenario, whose record (harness/records.py) the x86_64
suite leaves. A twin's record that is missing or stale (older than the
x86_64 build, the prefix tool or the suite's code) is made first."""

import os
import time
import traceback

from harness import records
from harness.checks import Failure, Skip
from i686.report import say
from scenarios import SCENARIOS

# The scenarios that the i686 stage runs too, with the shipped 32-bit
# SETUP.EXE under 32-bit Wine through qemu, in this order, in one shared
# prefix: the typical unattended run with the restart and the service phase,
# the detection of each kind of known device by its hardware id (the newer
# adapter in the unattended run), the copy prompt answered from standard
# input, earlier service keys with resisting DACLs; and the command line,
# the USB management device's road and the legacy setup program's exit
# codes. Others run the same way when asked (WINE_I686_SCENARIOS);
# runonce_road passes under i686 too, but is left out of the stage for its
# time (another restart, about 90 s).
I686_SCENARIOS = ["invalid_force_code", "detect_entry_2", "detect_entry_3", "detect_entry_4", "detect_entry_5",
                  "detect_entry_6", "detect_entry_7", "detect_older_adapter_long_id", "force_code_U",
                  "legacy_setup_exit_codes", "staging_newer_file_prompt_from_stdin",
                  "service_key_cleanup_resets_dacl", "unattended_run_then_service_phase"]


def chosen_scenarios():
    """The stage's scenarios; WINE_I686_SCENARIOS=a,b runs only those."""
    chosen = [n for n in os.environ.get("WINE_I686_SCENARIOS", "").split(",") if n]
    return chosen or I686_SCENARIOS


def begin_x86_64_record(env, name):
    """An x86_64 run of a scenario that the i686 stage runs too leaves the
    record that the stage compares with."""
    if name in I686_SCENARIOS:
        records.begin(env, records.path(env, "x86_64", name), records.key(env))


def run_scenario(env, name):
    """Runs one scenario; returns None when it passed, else what went wrong."""
    try:
        SCENARIOS[name](env)
    except Failure as f:
        return str(f)
    except Skip as s:
        return "skipped: %s" % s
    except Exception:
        return traceback.format_exc()
    return None


def make_records(env):
    """Makes the x86_64 records that are missing or stale; returns the
    scenarios whose twin failed, with why."""
    key = records.key(env)
    failed = {}
    for name in chosen_scenarios():
        path = records.path(env, "x86_64", name)
        record = records.load(path)
        if record and record.get("key") == key:
            continue
        start = time.time()
        records.begin(env, path, key)
        problem = run_scenario(env, name)
        if problem:
            failed[name] = problem
        say("  x86_64 twin %-44s %6.1f s  %s" % (name, time.time() - start, "failed" if problem else "recorded"))
    env.record_path = None
    return failed


def differences(twin, mine):
    """How an i686 record differs from its x86_64 twin's."""
    found = []
    if len(twin["setup"]) != len(mine["setup"]):
        found.append("SETUP.EXE ran %d times, the x86_64 twin %d times" % (len(mine["setup"]), len(twin["setup"])))
    for i, (a, b) in enumerate(zip(twin["setup"], mine["setup"])):
        for what, x, y in (("arguments", a[0], b[0]), ("standard input", a[1], b[1]), ("exit code", a[2], b[2]),
                           ("transcript", a[3], b[3])):
            if x != y:
                found.append("run %d of SETUP.EXE %s: %s differs\n    x86_64: %r\n    i686:   %r"
                             % (i + 1, " ".join(a[0]), what, x, y))
    for part in sorted(twin["state"]):
        if twin["state"][part] != mine["state"].get(part):
            found.append("the prefix's %s differ\n    x86_64: %r\n    i686:   %r"
                         % (part, twin["state"][part], mine["state"].get(part)))
    return found


def attempt(env, name, twins_failed):
    """One i686 run of a scenario: None, or what went wrong (a failed reset
    after it is in the session's dirty)."""
    records.begin(env, records.path(env, "i686", name))
    problem = run_scenario(env, name)
    if problem:
        return problem
    twin = records.load(records.path(env, "x86_64", name))
    if name in twins_failed or not twin:
        return "no record of the x86_64 twin: %s" % twins_failed.get(name, "missing")
    mine = records.load(env.record_path)
    if not mine:
        # The scenario ended without leaving its record (a helper of the
        # harness that Wine could not start under qemu, say).
        return "no record of the i686 run"
    found = differences(twin, mine)
    return "differs from the x86_64 twin:\n  " + "\n  ".join(found) if found else None
