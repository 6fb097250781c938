"""qemu-user for i386 programs through binfmt_misc: in a user and mount
namespace of the stage's own where the kernel allows one (Linux 6.7 and
later: nothing outside the stage runs i386 programs through qemu, 64-bit
Wine prefixes included), otherwise on the machine, for the stage's time."""

import os
import shutil
import subprocess

from i686.report import say

QEMU = "/usr/bin/qemu-i386"
BINFMT = "/proc/sys/fs/binfmt_misc"
BINFMT_ENTRY = "qemu-i386"
# qemu for every ELF program of 32 bits for the 80386.
BINFMT_REGISTRATION = (
    ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:"
    "\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:"
    "/usr/bin/qemu-i386:F")


def register(mount=False):
    """Mounts binfmt_misc (where it is not mounted, or always: a namespace's
    own) and registers qemu for i386 programs where no entry of that name
    exists. Returns (what it did: a list of "mounted", "registered"; None),
    or (what it did, why it could not)."""
    done = []
    if mount or not os.path.exists(os.path.join(BINFMT, "register")):
        r = subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            return done, "mounting binfmt_misc was refused: %s" % r.stdout.decode().strip()
        done.append("mounted")
    if os.path.exists(os.path.join(BINFMT, BINFMT_ENTRY)):
        return done, None
    try:
        with open(os.path.join(BINFMT, "register"), "w") as f:
            f.write(BINFMT_REGISTRATION)
    except OSError as e:
        return done, "registering qemu for i386 programs was refused: %s" % e
    done.append("registered")
    return done, None


def undo(done):
    """Takes back what register() did on the machine."""
    try:
        if "registered" in done:
            with open(os.path.join(BINFMT, BINFMT_ENTRY), "w") as f:
                f.write("-1")
        if "mounted" in done:
            subprocess.run(["umount", BINFMT], stdin=subprocess.DEVNULL, check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        say("could not take back the binfmt_misc registration: %s" % e)


def runs_i386(loader):
    """Whether an i386 program runs here now: the 32-bit Wine loader asked for
    its version."""
    try:
        r = subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return False, str(e)
    return r.returncode == 0, r.stdout.decode(errors="replace").strip()


def namespace_command():
    """The command that runs a program in a new user and mount namespace with
    a binfmt_misc of its own, or None where the kernel does not allow it
    (before Linux 6.7, binfmt_misc is one for the whole machine)."""
    unshare = shutil.which("unshare")
    if not unshare:
        return None
    command = [unshare, "--user", "--map-root-user", "--mount", "--propagation", "private"]
    probe = subprocess.run(command + ["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return command if probe.returncode == 0 else None
