#!/usr/bin/env python3
"""The Wine suite's command line, called by CTest (see CMakeLists.txt here)
and by scripts/test.sh; README.md here says what each module holds.

  suite.py build --flavour x86_64|i686 --dir DIR   the Windows build, warnings fatal (windows_builds.py)
  suite.py imports --dir DIR [--program PATH]      checks of the i686 SETUP.EXE or another program (pe_checks.py)
  suite.py prefix                                  the template Wine prefix (harness/template.py)
  suite.py scenario NAME                           one scenario (scenarios/)
  suite.py i686 --i686-build DIR                   the i686 stage (i686/)
  suite.py list                                    the scenarios' names, for CMake
  suite.py names                                   the known differences' names are in docs/differences.md

Exit code 0: passed; 1: failed; 77: skipped (the reason is printed).
"""

import argparse
import os
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pe_checks  # noqa: E402
import scenarios  # noqa: E402
import windows_builds  # noqa: E402
from differential import named  # noqa: E402
from harness import template  # noqa: E402
from harness.checks import SKIP, Failure, Skip  # noqa: E402
from harness.environment import Env  # noqa: E402
from i686 import stage, twins  # noqa: E402


def scenario(args):
    env = Env(args)
    fn = scenarios.find(args.name)
    if fn is None:
        print("no scenario named %s" % args.name)
        return 1
    # The i686 stage compares its run of the scenario with this one.
    twins.begin_x86_64_record(env, args.name)
    start = time.time()
    try:
        fn(env)
    except Skip as s:
        print(s)
        return SKIP
    except Failure as f:
        print("FAILED: %s" % f)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    print("passed in %.1f s" % (time.time() - start))
    return 0


COMMANDS = {
    "build": lambda args: windows_builds.build(args.source, args.flavour, args.dir),
    "imports": lambda args: pe_checks.check(args.dir, args.program),
    "prefix": lambda args: template.make(Env(args)),
    "scenario": scenario,
    "i686": stage.run,
    "names": lambda args: named.check(args.source),
}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("command", choices=["build", "imports", "prefix", "scenario", "i686", "list", "names"])
    p.add_argument("name", nargs="?")
    p.add_argument("--source", default=os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
    p.add_argument("--host-build", default="")
    p.add_argument("--win-build", default="")
    p.add_argument("--work", default="")
    p.add_argument("--flavour", default="x86_64", help="build: the Windows build's flavour")
    p.add_argument("--dir", default="")
    p.add_argument("--program", default="media/win2000/SETUP.EXE", help="imports: the program below --dir")
    p.add_argument("--i686-build", default="")
    args = p.parse_args()
    if args.command == "list":
        print(";".join(scenarios.SCENARIOS))
        return 0
    if args.work and args.command != "names":
        os.makedirs(args.work, exist_ok=True)
    return COMMANDS[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
