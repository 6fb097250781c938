"""The template prefix that every x86_64 scenario's prefix copies: made once
per Wine version (wineboot -i, about 25 s, 700 MB) in <work>/prefix-template,
with a stamp of the version it was made with."""

import os
import shutil
import subprocess
import time

from harness.checks import SKIP, read
from harness.prefix import wine_environment


def make(env):
    """Makes the template prefix unless it is ready; the suite's exit code."""
    if not env.wine:
        print(env.missing_wine())
        return SKIP
    version = subprocess.run([env.wine, "--version"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).stdout.decode().strip()
    stamp = os.path.join(env.template, ".suite-stamp")
    if read(stamp, "r") == version:
        print("template prefix for %s is ready in %s" % (version, env.template))
        return 0
    if os.path.exists(env.template):
        shutil.rmtree(env.template)
    os.makedirs(env.template)
    e = wine_environment(env, env.template)
    e["LANG"] = "en_US.UTF-8"
    start = time.time()
    log = os.path.join(env.work, "prefix-template.log")
    with open(log, "wb") as f:
        rc = subprocess.run([env.wine, "wineboot", "-i"], env=e, stdin=subprocess.DEVNULL, stdout=f,
                            stderr=subprocess.STDOUT).returncode
        subprocess.run([env.wineserver, "-w"], env=e, stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT)
    if rc != 0 or not os.path.exists(os.path.join(env.template, "system.reg")):
        print(read(log, "r"))
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
