"""Files in use: a binding whose driver file a running driver holds. On
Windows the Setup API writes the new file beside it, leaves the replacement
for the next start (PendingFileRenameOperations) and asks for a restart, and
so does winsim; Wine's setupapi skips the copy (wine-file-in-use-skipped).
The differential run compares the two on a machine made from the prefix's
capture, which records the file in use."""

import json
import os

from harness.checks import expect, expect_equal, read
from harness.family import WINE_SYSTEM_DIR
from harness.prefix import WinePrefix
from scenarios.common import BANNER, IDS, binding_lines
from scenarios.registry import scenario

DRIVER = WINE_SYSTEM_DIR + "\\drivers\\QRVMPW.SYS"
EARLIER_DRIVER = b"Placeholder QRVMPW.SYS of an earlier installation\r\n!@#$4.21.0$#@!\r\n"


@scenario
def driver_file_in_use_replaced_at_restart(env):
    """The on-board processor *QRV51A1 bound on the quiet road while an
    earlier QRVMPW.SYS is held open by a process of the prefix, sharing
    reading alone (prefixtool file-hold). The capture records the file in
    use. Under Wine the copy onto it is skipped: exit code 0, the earlier
    file stays, nothing waits for the next start, and it stays after it. On
    the machine made from the capture, winsim writes the new file beside it,
    records the replacement and ends with 1 and the reboot message; its next
    start puts the media's file in place and nothing holds it any more. A
    further /Q then replaces the file under Wine too, and ends with 0 on
    both."""
    prefix = WinePrefix(env, "driver_file_in_use_replaced_at_restart")
    prefix.differential.hardware = True
    passed = False
    try:
        prefix.hold()
        prefix.add_device(IDS[2])
        with open(prefix.host_path(DRIVER), "wb") as f:
            f.write(EARLIER_DRIVER)
        prefix.hold_file(DRIVER)

        rc, text = prefix.setup(["/Q"])
        expect_equal("exit code under Wine", rc, 0)
        expect_equal("transcript under Wine", text, BANNER + binding_lines("korp.inf") + "Installation complete\n\r")
        expect_equal("driver file under Wine", read(prefix.host_path(DRIVER)), EARLIER_DRIVER)
        differential = prefix.differential
        with open(os.path.join(prefix.folder, "capture-01-before", "machine.json")) as f:
            expect_equal("files in use in the capture", json.load(f).get("filesInUse"), [DRIVER])
        expect(differential.explained.get("wine-file-in-use-skipped"), repr(differential.explained))
        machine = differential.machine
        expect_equal("the machine's reasons for a restart",
                     [why for why in machine.pending_restarts() if "file" in why],
                     ["a file replacement waits for the next start: " + DRIVER])
        expect_equal("driver file in the machine", read(machine.host_path(DRIVER)), EARLIER_DRIVER)

        prefix.restart([([IDS[2]], [])])
        media = os.path.join(env.host_media, "win2000", "QRVMPW.SYS")
        expect_equal("driver file in the machine after its start", read(machine.host_path(DRIVER)), read(media))
        expect_equal("files in use in the machine after its start", machine.state().get("filesInUse"), [])
        expect_equal("driver file under Wine after the restart", read(prefix.host_path(DRIVER)), EARLIER_DRIVER)

        rc, text = prefix.setup(["/Q"])
        expect_equal("exit code of the further run under Wine", rc, 0)
        expect_equal("driver file under Wine after the further run", read(prefix.host_path(DRIVER)),
                     read(os.path.join(env.win_media, "win2000", "QRVMPW.SYS")))
        passed = True
    finally:
        prefix.close(passed)
