"""Every name of a known difference that the suite uses is a row of
docs/differences.md: the known differences of the differential runs
(known.py), the reasons why a scenario is not compared (runs.py), what a
generated machine leaves out of its prefix (scenarios/generated.py), and the
rows that the conformance program's checks name (tests/conformance, read by
scenarios/conformance.py). The test Wine.differences_named; it needs no
Wine."""

import os

from differential import known, runs
from harness.checks import read
from scenarios import conformance, generated


def check(source):
    """The suite's exit code: 0 when every name is a row."""
    path = os.path.join(source, "docs", "differences.md")
    rows = {line.split("|")[1].strip().strip("`") for line in read(path, "r").splitlines() if line.startswith("| `")}
    used = set(known.names_used()) | set(generated.SKIPPED) | conformance.difference_names(source)
    for reason in runs.NOT_COMPARED.values():
        used |= {word.strip("()`,;.") for word in reason.split() if word.startswith(("(wine-", "(sim-"))}
    missing = sorted(used - rows)
    if missing:
        print("named in the Wine suite but not in %s: %s" % (path, ", ".join(missing)))
        return 1
    print("%d names of known differences, each a row of %s" % (len(used), path))
    return 0
