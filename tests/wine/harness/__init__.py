"""The harness: what a scenario runs on. A Wine prefix (prefix.py, a copy of
template.py's template) and a simulated machine (sim_machine.py) side by
side (pair.py), where things are (environment.py), the installer's names on
a machine (family.py), what a run leaves in a prefix (prefix_state.py), the
records that the i686 stage compares (records.py), and how a check fails
(checks.py)."""
