"""The Windows builds that the suite runs and checks: the whole project
configured with cmake/mingw-FLAVOUR.cmake, and the prefix tool (tools/),
each built with every compiler warning an error, so that a warning in a file
that an incremental build does not recompile still failed once. The log of
both is FOLDER.log. (suite.py build; the CTest tests Wine.build.*)"""

import os
import shutil
import subprocess
import sys

from harness.checks import SKIP, read

TRIPLES = {"x86_64": "x86_64-w64-mingw32", "i686": "i686-w64-mingw32"}


def compilers(flavour):
    return [shutil.which("%s-g++%s" % (TRIPLES[flavour], variant)) for variant in ("-posix", "-win32", "")]


def run_logged(command, log):
    with open(log, "ab") as f:
        f.write(("$ %s\n" % " ".join(command)).encode())
        f.flush()
        return subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode


def build(source, flavour, folder):
    """Configures and builds the flavour in folder; the suite's exit code."""
    if not any(compilers(flavour)):
        print("MinGW-w64 for %s is not installed: the Windows build is skipped" % flavour)
        return SKIP
    toolchain = os.path.join(source, "cmake", "mingw-%s.cmake" % flavour)
    flags = ["-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_C_FLAGS=-Werror", "-DCMAKE_CXX_FLAGS=-Werror"]
    projects = [(source, folder, ["-DSETUP_TESTS=OFF"]),
                (os.path.join(source, "tests", "wine", "tools"), os.path.join(folder, "tools"), [])]
    log = folder + ".log"
    os.makedirs(folder, exist_ok=True)
    open(log, "wb").close()
    for project, binary, extra in projects:
        if (run_logged(["cmake", "-S", project, "-B", binary] + flags + extra, log) != 0 or
                run_logged(["cmake", "--build", binary, "-j2"], log) != 0):
            sys.stdout.write(read(log, "r")[-6000:])
            print("the %s build failed (log: %s)" % (flavour, log))
            return 1
    text = read(log, "r")
    if "warning:" in text:
        print("\n".join(line for line in text.splitlines() if "warning:" in line))
        print("the %s build is not free of warnings" % flavour)
        return 1
    print("the %s build in %s is up to date and free of warnings" % (flavour, folder))
    return 0
