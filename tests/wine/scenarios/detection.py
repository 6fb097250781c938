"""Detection of root devices: a device with the id of each table entry is
detected and bound; ids that differ only in letter case match nothing; the
older adapter is found by a longer id."""

from harness.checks import expect, expect_equal
from harness.pair import Pair
from scenarios.common import BANNER, IDS, OLDER_ADAPTER
from scenarios.registry import register, scenario


def detection_scenario(entry):
    def run(env):
        with Pair(env, "detect_entry_%d" % entry, [[IDS[entry]]]) as p:
            rc, text = p.setup(["/Q"])
            expect(text.startswith(BANNER), repr(text[:80]))
            p.expect_same_staging()
    return register("detect_entry_%d" % entry, run,
                    "A root device with the id of entry %d (%s) is detected." % (entry, IDS[entry]))


for _entry in (2, 3, 4, 5, 6, 7):
    detection_scenario(_entry)


@scenario
def detect_id_in_other_letter_case(env):
    """An id that differs from a table id only in letter case matches nothing:
    the machine counts as one without known devices (the legacy road)."""
    with Pair(env, "detect_letter_case", [["*qrv51a1"], ["mf\\mgtproc_dev4"]]) as p:
        rc, text = p.setup(["/Q"])
        expect("Installing drivers" not in text, "a letter-case variant was bound: %r" % text)
        expect_equal("mpsetup", p.wine.service("mpsetup"), "missing")


@scenario
def detect_older_adapter_long_id(env):
    """The older adapter's id is matched anywhere in a longer id, and the whole
    id is what the binding uses."""
    with Pair(env, "detect_older_adapter", [OLDER_ADAPTER]) as p:
        rc, text = p.setup(["/Q"])
        expect(text.startswith(BANNER), repr(text[:80]))
