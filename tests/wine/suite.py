#!/usr/bin/env python3
"""The Wine suite's entry point, called by CTest (see CMakeLists.txt here).

  suite.py build --flavour x86_64|i686 --dir DIR   the Windows build, warnings fatal
  suite.py imports --dir DIR [--program PATH]      checks of the i686 SETUP.EXE (or another program)
  suite.py prefix                                  the template Wine prefix
  suite.py scenario NAME                           one scenario
  suite.py i686 --i686-build DIR                   the i686 stage (qemu.py)
  suite.py list                                    the scenarios' names
  suite.py names                                   the known differences' names are in docs/differences.md

Exit code 0: passed; 1: failed; 77: skipped (the reason is printed).
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import scenarios  # noqa: E402
import pe_checks  # noqa: E402
import qemu  # noqa: E402


def compilers(flavour):
    triple = "x86_64-w64-mingw32" if flavour == "x86_64" else "i686-w64-mingw32"
    return [shutil.which("%s-g++%s" % (triple, variant)) for variant in ("-posix", "-win32", "")]


def run_logged(command, log, cwd=None):
    with open(log, "ab") as f:
        f.write(("$ %s\n" % " ".join(command)).encode())
        f.flush()
        return subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              cwd=cwd).returncode


def build(args):
    if not any(compilers(args.flavour)):
        print("MinGW-w64 for %s is not installed: the Windows build is skipped" % args.flavour)
        return harness.SKIP
    toolchain = os.path.join(args.source, "cmake", "mingw-%s.cmake" % args.flavour)
    # Any compiler warning is an error in these builds, so that a warning in
    # a file that an incremental build does not recompile still failed once.
    flags = ["-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_C_FLAGS=-Werror", "-DCMAKE_CXX_FLAGS=-Werror"]
    projects = [(args.source, args.dir, ["-DSETUP_TESTS=OFF"]),
                (os.path.join(args.source, "tests", "wine", "tools"), os.path.join(args.dir, "tools"), [])]
    log = os.path.join(args.dir + ".log")
    os.makedirs(args.dir, exist_ok=True)
    open(log, "wb").close()
    for source, binary, extra in projects:
        if (run_logged(["cmake", "-S", source, "-B", binary] + flags + extra, log) != 0 or
                run_logged(["cmake", "--build", binary, "-j2"], log) != 0):
            sys.stdout.write(harness.read(log, "r")[-6000:])
            print("the %s build failed (log: %s)" % (args.flavour, log))
            return 1
    text = harness.read(log, "r")
    if "warning:" in text:
        print("\n".join(line for line in text.splitlines() if "warning:" in line))
        print("the %s build is not free of warnings" % args.flavour)
        return 1
    print("the %s build in %s is up to date and free of warnings" % (args.flavour, args.dir))
    return 0


def imports(args):
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if not objdump:
        print("i686-w64-mingw32-objdump is not installed: the checks of the i686 program are skipped")
        return harness.SKIP
    return pe_checks.check_windows_2000_program(objdump, os.path.join(args.dir, *args.program.split("/")))


def prefix(args):
    env = harness.Env(args)
    if not env.wine:
        print("wine64 is not installed (Debian package wine64): the Wine suite is skipped")
        return harness.SKIP
    version = subprocess.run([env.wine, "--version"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).stdout.decode().strip()
    stamp = os.path.join(env.template, ".suite-stamp")
    if harness.read(stamp, "r") == version:
        print("template prefix for %s is ready in %s" % (version, env.template))
        return 0
    if os.path.exists(env.template):
        shutil.rmtree(env.template)
    os.makedirs(env.template)
    e = dict(os.environ)
    e.update({"WINEPREFIX": env.template, "WINELOADER": env.wine, "WINEDEBUG": "-all",
              "WINEDLLOVERRIDES": "mscoree,mshtml=", "DISPLAY": "", "LANG": "en_US.UTF-8"})
    start = time.time()
    log = os.path.join(env.work, "prefix-template.log")
    with open(log, "wb") as f:
        rc = subprocess.run([env.wine, "wineboot", "-i"], env=e, stdin=subprocess.DEVNULL, stdout=f,
                            stderr=subprocess.STDOUT).returncode
        subprocess.run([env.wineserver, "-w"], env=e, stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT)
    if rc != 0 or not os.path.exists(os.path.join(env.template, "system.reg")):
        print(harness.read(log, "r"))
        print("wineboot -i failed")
        return 1
    # Services get more time to connect than Wine's 10 s default: the suite
    # runs while other programs compile.
    reg = os.path.join(env.work, "services-timeout.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control]\n"
                "\"ServicesPipeTimeout\"=\"60000\"\n")
    subprocess.run([env.wine, "regedit", "/S", reg], env=e, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([env.wineserver, "-w"], env=e, stdin=subprocess.DEVNULL)
    with open(stamp, "w") as f:
        f.write(version)
    print("template prefix for %s made in %.1f s" % (version, time.time() - start))
    return 0


def scenario(args):
    env = harness.Env(args)
    fn = scenarios.find(args.name)
    if fn is None:
        print("no scenario named %s" % args.name)
        return 1
    if args.name in scenarios.I686_SCENARIOS:
        # The i686 stage compares its run of this scenario with this one.
        env.record_path = qemu.record_path(env, "x86_64", args.name)
        env.record_key = qemu.twin_key(env)
        if os.path.exists(env.record_path):
            os.remove(env.record_path)
    start = time.time()
    try:
        fn(env)
    except harness.Skip as s:
        print(s)
        return harness.SKIP
    except harness.Failure as f:
        print("FAILED: %s" % f)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    print("passed in %.1f s" % (time.time() - start))
    return 0


def names(args):
    """Every name of a known difference that the differential runs use is a
    row of docs/differences.md."""
    import differential
    import random_machines
    path = os.path.join(args.source, "docs", "differences.md")
    rows = {line.split("|")[1].strip().strip("`") for line in harness.read(path, "r").splitlines()
            if line.startswith("| `")}
    used = set(differential.names_used()) | set(random_machines.SKIPPED)
    for reason in differential.NOT_COMPARED.values():
        used |= {word.strip("()`,;.") for word in reason.split() if word.startswith(("(wine-", "(sim-"))}
    missing = sorted(used - rows)
    if missing:
        print("named in the Wine suite but not in %s: %s" % (path, ", ".join(missing)))
        return 1
    print("%d names of known differences, each a row of %s" % (len(used), path))
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("command", choices=["build", "imports", "prefix", "scenario", "i686", "list", "names"])
    p.add_argument("name", nargs="?")
    p.add_argument("--source", default=os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
    p.add_argument("--host-build", default="")
    p.add_argument("--win-build", default="")
    p.add_argument("--work", default="")
    p.add_argument("--flavour", default="x86_64")
    p.add_argument("--dir", default="")
    p.add_argument("--program", default="media/win2000/SETUP.EXE", help="imports: the program below --dir")
    p.add_argument("--i686-build", default="")
    args = p.parse_args()
    if args.command == "names":
        return names(args)
    if args.command == "list":
        print(";".join(scenarios.SCENARIOS))
        return 0
    if args.work:
        os.makedirs(args.work, exist_ok=True)
    if args.command == "i686":
        return qemu.inside(args) if os.environ.get(qemu.INSIDE) else qemu.stage(args)
    return {"build": build, "imports": imports, "prefix": prefix, "scenario": scenario}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
