"""Wine's reservations beyond the guest's address space made to fail at once
in every 32-bit Wine process instead of after a search by qemu (about 2 s of
processor time per process): tools/mmap_noreplace.c, built here for i386 with
the host compiler and preloaded by qemu (stage.py), and what it saves
measured (WINE_I686_MEASURE=1)."""

import os
import resource
import shutil
import subprocess

from i686.report import say

SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "mmap_noreplace.c")


def library(env):
    return os.path.join(env.work, "mmap_noreplace-i386.so")


def build(env):
    """Builds tools/mmap_noreplace.c for i386 where it is missing or older
    than its source; None, or why it could not (a stale build is removed:
    the stage then runs without it, several times slower)."""
    out = library(env)
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(SOURCE):
        return None
    if os.path.exists(out):
        os.remove(out)
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        return "no C compiler"
    r = subprocess.run([compiler, "-m32", "-O2", "-shared", "-fPIC", "-nostdlib", "-Wall", "-Wextra", "-Werror",
                        "-o", out + ".new", SOURCE], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    if r.returncode != 0:
        return "%s -m32 failed: %s" % (compiler, r.stdout.decode(errors="replace").strip())
    os.replace(out + ".new", out)
    return None


def measure(env, session, runs=3):
    """Says how much processor time one Wine process (the prefix tool asking
    for the machine's facts) takes under qemu without the preloaded library
    and with it, each the median of a few runs in the booted session."""
    def cpu_seconds(with_library):
        saved = dict(env.wine_env)
        if not with_library:
            env.wine_env.pop("QEMU_SET_ENV", None)
        try:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            session.wine.tool(["info"])
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
        finally:
            env.wine_env.clear()
            env.wine_env.update(saved)
        return (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)

    if "QEMU_SET_ENV" not in env.wine_env:
        say("  (no preloaded library to measure)")
        return
    without = sorted(cpu_seconds(False) for _ in range(runs))[runs // 2]
    with_it = sorted(cpu_seconds(True) for _ in range(runs))[runs // 2]
    say("  one Wine process: %.2f s of processor time without tools/mmap_noreplace.c, %.2f s with it (ratio %.2f)"
        % (without, with_it, with_it / without if without else 0))
