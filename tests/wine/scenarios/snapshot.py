"""The snapshot program: the x86_64 SNAPSHOT.EXE captures a prefix, winsim
makes a machine of the capture, and the Linux SNAPSHOT.EXE captures the same
description of that machine."""

import json
import os

from harness.checks import expect, expect_equal, read
from harness.family import RUNONCE_KEY, SERVICES_KEY, SNAPSHOT_PATH, STAGING_DIR
from harness.prefix import WinePrefix, console_text
from harness.sim_machine import SimMachine
from scenarios.common import IDS, NEWER_DRIVER
from scenarios.registry import scenario


@scenario
def snapshot_of_a_prefix_makes_the_same_machine(env):
    """The x86_64 SNAPSHOT.EXE captures a prefix with the newer adapter and
    *QRV5190 as root devices, a processor driver key whose Parameters key
    only SYSTEM may change, a RunOnce value, a library of the family in the
    system directory and a staging tree with an empty folder. winsim makes a
    machine of the capture, and the Linux SNAPSHOT.EXE captures that machine
    in turn: the two descriptions are the same, and the copies of the files
    are the bytes of the prefix's."""
    library = "C:\\windows\\system32\\QRVMPW.DLL"
    staged = STAGING_DIR + "\\win2000\\QRVMPW.SYS"
    prefix = WinePrefix(env, "snapshot_of_a_prefix")
    passed = False
    try:
        prefix.hold()
        instances = [prefix.add_device(IDS[0]), prefix.add_device(IDS[5])]
        prefix.tool(["service-create", "qrvmpw", "1", "3", "System32\\drivers\\qrvmpw.sys",
                     "QRV Service Processor (Version 4.21)"],
                    ["reg-create", SERVICES_KEY + "\\qrvmpw\\Parameters"],
                    ["reg-dacl", SERVICES_KEY + "\\qrvmpw\\Parameters", "D:(A;;KA;;;SY)(A;;KR;;;BA)"],
                    ["reg-set", RUNONCE_KEY, "Other", "REG_SZ", "C:\\other.exe /once"])
        contents = {library: b"MZ\r\n!@#$5.0.0$#@!\r\n", staged: NEWER_DRIVER}
        for path, data in contents.items():
            os.makedirs(os.path.dirname(prefix.host_path(path)), exist_ok=True)
            with open(prefix.host_path(path), "wb") as f:
                f.write(data)
        os.makedirs(prefix.host_path(STAGING_DIR + "\\nt\\K4100"))

        rc, out, err = prefix.run(SNAPSHOT_PATH, ["C:\\capture"])
        text = console_text(out)
        expect_equal("SNAPSHOT.EXE exit code under Wine (output %r %r)" % (text, err), rc, 0)
        expect("  Family service keys:  1 (the product family's and mpsetup)\n  RunOnce values:       1\n"
               "  Family files:         2\n  Staging tree folders: 4\n"
               "Wrote C:\\capture\\machine.json; the files are copied below C:\\capture\\files.\n" in text,
               "SNAPSHOT.EXE under Wine: %r" % text)
        capture_path = prefix.host_path("C:\\capture\\machine.json")
        with open(capture_path) as f:
            capture = json.load(f)
        devices = {d["instanceId"]: d for d in capture["devices"]}
        for instance, ids in zip(instances, (IDS[0], IDS[5])):
            expect_equal("captured device " + instance, (devices[instance].get("hardwareIds"),
                                                         devices[instance].get("rootCreated")), ([ids], True))
        keys = {k["path"].lower(): k for k in capture["registry"]}
        parameters = keys[(SERVICES_KEY + "\\qrvmpw\\Parameters").lower()]
        expect_equal("captured DACL of qrvmpw\\Parameters", parameters.get("dacl"),
                     [{"sid": "S-1-5-18", "mask": "0xF003F"}, {"sid": "S-1-5-32-544", "mask": "0x20019"}])
        expect_equal("captured RunOnce", keys[RUNONCE_KEY.lower()].get("values"), {"Other": "C:\\other.exe /once"})
        expect_equal("captured directories", len(capture["directories"]), 4)

        machine = SimMachine.made_from(env, os.path.join(env.work, "sim", "snapshot_of_a_prefix"), capture_path)
        rc, out = machine.winsim("run", "--", SNAPSHOT_PATH + " C:\\capture")
        expect_equal("SNAPSHOT.EXE in the simulated machine (%r)" % out, rc, 0)
        with open(machine.host_path("C:\\capture\\machine.json")) as f:
            expect_equal("the simulated machine's capture", json.load(f), capture)
        for path, data in contents.items():
            copy = os.path.join(os.path.dirname(capture_path), capture["files"][path])
            expect_equal("copy of " + path, read(copy), data)
        passed = True
        machine.close(passed)
    finally:
        prefix.close(passed)
