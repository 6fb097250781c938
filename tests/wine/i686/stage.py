"""The i686 stage: the shipped 32-bit SETUP.EXE under 32-bit Wine, whose
i386 programs run through qemu-user, because this machine's kernel executes
no 32-bit code (suite.py i686, the CTest test Wine.i686.qemu).

The stage runs in two processes. The outer one (outside the namespace) makes
the x86_64 twins' records (twins.py), builds the preloaded library
(noreplace.py) and registers qemu for i386 programs (binfmt.py); it then
runs suite.py again, as the inner one, where i386 programs run: in a user
and mount namespace of its own where the kernel allows one, otherwise on the
machine. Where neither is allowed, or 32-bit Wine or qemu is missing, the
stage is skipped with the reason.

The inner one boots the shared prefix and session (session.py) and runs
each scenario of the x86_64 suite (scenarios/) in it, compared with the
simulator as there, and its record compared with the x86_64 twin's. A
scenario that fails while one of Wine's processes faulted under qemu runs
once more in a new session, at most twice.
"""

import json
import os
import signal
import subprocess
import sys
import time

from harness.checks import SKIP, Failure
from harness.environment import Env
from i686 import binfmt, noreplace, twins
from i686.report import load_average, open_report, say
from i686.session import WINE_DLL_OVERRIDES, Session

# The guest address space qemu gives each Wine process: the 2 GiB of a 32-bit
# Windows process and 16 MiB above them (the guest's stack). Wine reserves
# all the address space above 2 GiB page by page when qemu ignores
# MAP_FIXED_NOREPLACE, which cost about 1 s of CPU per 32 MiB before the
# preloaded library (noreplace.py): 0x81000000 started a process in about
# 2 s, 0x90000000 in 12 s, the full 4 GiB in over a minute; 0x80000000
# leaves no room for the shared user data.
QEMU_RESERVED_VA = "0x81000000"
# Set in the inner process: "namespace" or "machine", where qemu is registered.
INSIDE = "WINE_I686_STAGE_INSIDE"
# What the outer process hands the inner one: the scenarios whose twin failed.
TWINS_FAILED = "i686-twins-failed.json"


def i686_env(args):
    """Where things are for the i686 build, and the environment of every
    32-bit Wine process."""
    env = Env(args, flavour="i686", win_build=args.i686_build)
    env.wine_env = {"WINEARCH": "win32", "QEMU_RESERVED_VA": QEMU_RESERVED_VA, "WINEDLLOVERRIDES": WINE_DLL_OVERRIDES}
    if os.path.exists(noreplace.library(env)):
        env.wine_env["QEMU_SET_ENV"] = "LD_PRELOAD=" + noreplace.library(env)
    env.slowness = 3
    return env


def check_tools(env):
    """None when the stage can run, else why it is skipped."""
    if not env.wine:
        return "32-bit Wine is not installed (Debian package wine32:i386)"
    if not os.access(binfmt.QEMU, os.X_OK):
        return "qemu-user is not installed (Debian package qemu-user, %s)" % binfmt.QEMU
    for path, what in ((os.path.join(env.win_media, "win2000", "SETUP.EXE"), "the i686 SETUP.EXE"),
                       (env.tool, "the i686 prefix tool")):
        if not os.path.exists(path):
            return "%s is missing (%s): the Wine.build.i686 test builds it" % (what, path)
    return None


def run(args):
    """The stage, or its inner part when this is the inner process."""
    return inside(args) if os.environ.get(INSIDE) else outside(args)


def outside(args):
    """The whole stage, from outside any namespace: the x86_64 twins' records,
    then the i686 part where i386 programs run."""
    start = time.time()
    env32 = i686_env(args)
    open_report(env32.work)
    why = check_tools(env32)
    if why:
        say("i686 stage skipped: " + why)
        return SKIP
    env64 = Env(args)
    if not env64.wine:
        say("i686 stage skipped: wine64 is not installed, so there is no x86_64 twin to compare with")
        return SKIP
    say("i686 stage: the shipped SETUP.EXE under 32-bit Wine through qemu-user (load average %s)" % load_average())
    twins_failed = twins.make_records(env64)
    say("  %-57s %6.1f s" % ("x86_64 twins' records", time.time() - start))
    why = noreplace.build(env32)
    if why:
        say("  Wine's reservations beyond the guest's address space go through qemu's search (%s)" % why)
    with open(os.path.join(env32.work, TWINS_FAILED), "w") as f:
        json.dump(twins_failed, f)

    argv = [sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:]
    child_env = dict(os.environ)
    child_env[INSIDE] = "namespace"
    command = binfmt.namespace_command()
    if command:
        say("  qemu is registered for i386 programs in a user and mount namespace of the stage's own")
        rc = subprocess.run(command + argv, env=child_env, stdin=subprocess.DEVNULL).returncode
    else:
        say("  no binfmt_misc of the stage's own here (Linux before 6.7, or no user namespaces): "
            "qemu is registered on the machine for the stage's time")
        done, why = binfmt.register()
        try:
            if why:
                say("i686 stage skipped: " + why)
                return SKIP
            child_env[INSIDE] = "machine"
            rc = subprocess.run(argv, env=child_env, stdin=subprocess.DEVNULL).returncode
        finally:
            binfmt.undo(done)
    say("i686 stage: %s in %.1f s (load average %s)" % (
        {0: "passed", SKIP: "skipped"}.get(rc, "FAILED"), time.time() - start, load_average()))
    return rc


def part(label, seconds, outcome=""):
    say("  %-57s %6.1f s  %s" % (label, seconds, outcome))


def inside(args):
    """The part of the stage where i386 programs run through qemu."""
    env = i686_env(args)
    open_report(env.work)
    if os.environ.get(INSIDE) == "namespace":
        _, why = binfmt.register(mount=True)
        if why:
            say("i686 stage skipped: " + why)
            return SKIP
    works, output = binfmt.runs_i386(env.wine)
    if not works:
        say("i686 stage skipped: the 32-bit Wine loader does not run through qemu here: %s" % output)
        return SKIP
    with open(os.path.join(env.work, TWINS_FAILED)) as f:
        twins_failed = json.load(f)

    session = Session(env)

    def on_signal(number, frame):
        session.end()
        sys.exit(1)
    signal.signal(signal.SIGTERM, on_signal)

    failures = 0
    try:
        t = time.time()
        try:
            session.boot()
        except Failure as f:
            part("prefix made (wineboot --init) and its session started", time.time() - t, "FAILED")
            say("    %s" % f)
            return 1
        part("prefix made (wineboot --init) and its session started", time.time() - t)
        if os.environ.get("WINE_I686_MEASURE") == "1":
            noreplace.measure(env, session)
        env.session = session
        for name in twins.chosen_scenarios():
            t = time.time()
            problem, outcome = run_scenario(env, session, name, twins_failed)
            part(name, time.time() - t, "FAILED" if problem else outcome)
            if problem:
                failures += 1
                say("    " + problem.replace("\n", "\n    "))
                if session.dirty or not session.answers():
                    say("    the prefix could not be reset: the remaining scenarios are not run")
                    break
    finally:
        t = time.time()
        session.end()
        part("session ended", time.time() - t)
    if failures == 0 and not env.keep:
        session.remove()
    else:
        say("  the prefix stays in %s" % session.path)
    return 1 if failures else 0


def run_scenario(env, session, name, twins_failed):
    """Runs a scenario in the shared session, once more in a new session
    after a fault of one of Wine's processes (at most twice), and resets the
    prefix in a new session where the scenario's own session could not:
    (None, or what went wrong; what the report says of a pass)."""
    faults = session.faults()
    problem = twins.attempt(env, name, twins_failed)
    outcome = "passed, same as x86_64"
    faults = session.faults() - faults
    for again in ("second", "third"):
        if not problem or not (faults or session.dirty or not session.answers()):
            break
        # One of Wine's processes faulted under qemu (a system one: the
        # service manager, the Plug and Play service...): a new session, and
        # the scenario once more. A failure of the installer's own repeats
        # itself.
        say("    %s\n    %d faults of Wine's processes under qemu meanwhile: a new session, and %s once more"
            % (problem.replace("\n", "\n    "), faults, name))
        faults = session.faults()
        problem = session.recover() or twins.attempt(env, name, twins_failed)
        faults = session.faults() - faults
        outcome = "passed the %s time, same as x86_64" % again
    if not problem and session.dirty:
        # The scenario passed, but what it left could not be removed in this
        # session (a service that the manager does not let go).
        say("    %s\n    a new session for the reset" % session.dirty.replace("\n", "\n    "))
        problem = session.dirty = session.recover()
    return problem, outcome
