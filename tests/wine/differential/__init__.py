"""Differential runs: every SETUP.EXE run of a Wine scenario run again on a
winsim machine made from a capture of the prefix, and the outcomes compared
(runs.py); what a capture holds and how it is flattened and normalised for
the comparison (captures.py); the known differences by their names in
docs/differences.md (known.py), each of which must be a row there
(named.py)."""
