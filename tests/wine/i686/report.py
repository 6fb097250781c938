"""The i686 stage's report: what it prints, also written to
<work>/i686-stage.log, which scripts/test.sh shows after its other stages."""

import os

from harness.checks import read

REPORT = []  # the report file, once the stage knows its work folder


def open_report(work):
    REPORT[:] = [os.path.join(work, "i686-stage.log")]


def say(text):
    print(text, flush=True)
    if REPORT:
        with open(REPORT[0], "a") as f:
            f.write(text + "\n")


def load_average():
    return read("/proc/loadavg", "r").split(" ")[0] or "?"
