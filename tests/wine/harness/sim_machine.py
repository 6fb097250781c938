"""A simulated machine: a winsim machine folder, in which the Linux build's
SETUP.EXE runs through `winsim run`.

A scenario's machine has the devices of the plain simulated Windows 2000
machine, the same root devices as the scenario's prefix, the default
language id that Wine reports for the scenario's LANG, and Wine's system
directory, so that paths compare as they are. The differential runs make
theirs from a capture of the prefix (made_from()).
"""

import json
import os
import shutil
import subprocess

from harness.checks import Failure, read
from harness.family import SETUP_FOLDER, SETUP_PATH, STAND_IN_PREFIX, WINE_SYSTEM_DIR


def winsim(env, command, machine, *args):
    """Runs `winsim COMMAND MACHINE ARGS...`: (exit code, its output)."""
    result = subprocess.run([env.winsim, command, machine] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    return result.returncode, result.stdout.decode("utf-8", "replace")


class SimMachine:
    """A simulated machine with the base Windows 2000 devices plus chosen ones,
    and Wine's system directory."""

    def __init__(self, env, name, devices=(), lang_id=0x0409, registry=(), hardware=False):
        folder = os.path.join(env.scratch, "sim", name)
        if os.path.exists(folder):
            shutil.rmtree(folder)
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        description = {
            "systemDirectory": WINE_SYSTEM_DIR,
            "defaultLangId": "0x%04X" % lang_id,
            "devices": base_devices(env) + [sim_device(i, ids, hardware) for i, ids in enumerate(devices)],
            "registry": list(registry),
        }
        with open(folder + ".json", "w") as f:
            json.dump(description, f, indent=1)
        self.env = env
        self.folder = folder
        self.winsim("create", "--from", folder + ".json", "--media", env.host_media)

    @classmethod
    def made_from(cls, env, folder, description):
        """The machine of a description file (a capture), made anew at folder."""
        machine = cls.__new__(cls)
        machine.env, machine.folder = env, folder
        machine.winsim("create", "--from", description, "--media", env.host_media, "--force")
        return machine

    def winsim(self, command, *args):
        """Runs a winsim command on the machine: (exit code, output); a
        command other than run that fails is a Failure."""
        rc, out = winsim(self.env, command, self.folder, *args)
        if rc != 0 and command != "run":
            raise Failure("winsim %s failed: %s" % (command, out))
        return rc, out

    def setup(self, args=(), stdin=b""):
        """Runs the media's SETUP.EXE: (exit code, console text)."""
        inp, out = self.folder + ".in", self.folder + ".console"
        with open(inp, "wb") as f:
            f.write(stdin)
        if os.path.exists(out):
            os.remove(out)
        line = " ".join([SETUP_PATH] + list(args))
        rc, _ = self.winsim("run", "--cwd", SETUP_FOLDER, "--input", inp, "--output", out, "--", line)
        return rc, read(out).decode("latin-1")  # the Linux runtime writes LF as it is

    def state(self):
        return json.loads(self.winsim("show", "--json")[1])

    def pending_restarts(self):
        """Why the machine waits for its next start, one reason a text (the
        lines below "Restart pending" of `winsim show`)."""
        shown = self.winsim("show")[1].split("\nRestart pending: ", 1)[1].split("\n\n", 1)[0]
        return [line.strip() for line in shown.split("\n")[1:]]

    def exit_code(self, program, code):
        self.winsim("exit-code", program, str(code))

    def restart(self):
        """The next start of Windows: auto-start services, then RunOnce."""
        return self.winsim("restart")[1]

    def host_path(self, windows_path):
        return os.path.join(self.folder, "drives", "C", windows_path[3:].replace("\\", "/"))

    def close(self, passed):
        if passed and not self.env.keep:
            shutil.rmtree(self.folder, ignore_errors=True)


_base_devices = None


def base_devices(env):
    """The devices of the plain simulated Windows 2000 machine."""
    global _base_devices
    if _base_devices is None:
        folder = os.path.join(env.work, "sim", "base-%d" % os.getpid())
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        for command, args in (("create", ["--preset", "clean", "--force"]), ("show", ["--json"])):
            rc, out = winsim(env, command, folder, *args)
            if rc != 0:
                raise Failure("winsim %s %s failed: %s" % (command, folder, out))
        _base_devices = json.loads(out)["devices"]
        shutil.rmtree(folder, ignore_errors=True)
    return list(_base_devices)


def sim_device(index, ids, hardware=False):
    """A root-enumerated device as the harness makes them in Wine; with
    hardware, one that the next start of Windows finds again after software
    removed it (the harness makes it again in Wine before that start)."""
    return {
        "instanceId": STAND_IN_PREFIX + "%04d" % index,
        "class": "System",
        "classGuid": "{4D36E97D-E325-11CE-BFC1-08002BE10318}",
        "hardwareIds": list(ids),
        "rootCreated": not hardware,
    }
