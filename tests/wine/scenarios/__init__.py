"""The Wine scenarios. Each runs the x86_64 SETUP.EXE in a Wine prefix of its
own and the Linux SETUP.EXE in a simulated machine with the same devices
(harness/pair.py), compares the console transcripts and exit codes exactly
(Wine's text-mode CR LF taken back to LF), and checks the state that the run
left in the prefix. Where Wine does not behave as Windows does, the
scenario's name or comment says so and it checks what Wine does.

One module per part of the installer, imported here in the order of the
CTest tests (a new module is added to MODULES); the scenarios' helpers are
the harness's (harness/) and common.py's.
"""

import importlib

from scenarios.registry import SCENARIOS

MODULES = ["command_line", "detection", "languages", "legacy_setup", "service_phase", "conformance", "runonce",
           "service_keys", "staging", "files_in_use", "snapshot", "generated"]
for _module in MODULES:
    importlib.import_module("scenarios." + _module)

from scenarios import generated  # noqa: E402 (after the modules before it)


def find(name):
    """The scenario of that name; random_seed_N for any seed N."""
    seed = generated.seed_of(name)
    return SCENARIOS.get(name) or (generated.seed_scenario(seed) if seed is not None else None)
