"""Call-level checks of Wine's answers: the conformance program
(tests/conformance, built with MinGW-w64 as tools/conformance.exe), whose
checks the Linux build runs against the simulator too, and the calls that
the prefix tool makes as Wine's own conformance tests make them
(tools/prefixtool/conformance.cpp), each with its result and the last
error it left."""

import os
import re

from harness.checks import expect, expect_equal, read, wait_until
from harness.prefix import WinePrefix, console_text, device_add
from scenarios.registry import scenario

# The hardware id of the device whose binding asks for a restart, which the
# program's machine brings (tests/conformance/setupapi.cpp).
RESTART_DEVICE_ID = "KORPACONF_RESTART"
# A row's name in the program's source, as its known_answer() checks name it.
ROW_NAME = re.compile(r'"((?:wine|sim|qemu)-[a-z0-9-]+)"')


def difference_names(source):
    """The rows of docs/differences.md that the conformance program names."""
    folder = os.path.join(source, "tests", "conformance")
    names = set()
    for name in sorted(os.listdir(folder)):
        if name.endswith((".cpp", ".h")):
            names |= set(ROW_NAME.findall(read(os.path.join(folder, name), "r")))
    return names


@scenario
def conformance_calls(env):
    """The conformance program in a prefix with a root device of the id
    whose binding asks for a restart in the simulator: every check gives
    Windows' answer, or the one that a named row of docs/differences.md
    says Wine gives (the program checks both), and nothing is skipped."""
    prefix = WinePrefix(env, "conformance_calls")
    passed = False
    try:
        # Run by root, Wine copies onto read-only files (wine-read-only-as-root).
        prefix.extra_env["CONFORMANCE_WINE_RUNS_AS_ROOT"] = "1" if os.geteuid() == 0 else "0"
        prefix.hold()
        prefix.tool(device_add([RESTART_DEVICE_ID]))
        rc, out, err = prefix.run(env.conformance)
        text = console_text(out)
        print(text, end="")
        summary = re.search(r"^conformance on (\w+): (\d+) checks of \d+ calls, (\d+) failed, (\d+) known "
                            r"differences, (\d+) skipped$", text, re.M)
        expect(summary, "the conformance program gave no report (exit code %d)\n%s" % (rc, console_text(err)))
        where, checks, failed, _, skipped = summary.groups()
        expect_equal("where the checks ran, how many failed and were skipped", (where, failed, skipped),
                     ("wine", "0", "0"))
        expect(rc == 0 and int(checks) > 0, "the conformance program ended with %d" % rc)
        passed = True
    finally:
        prefix.close(passed)


@scenario
def service_manager_database_and_last_errors(env):
    """Wine's answers where the simulator is as strict as Windows: a service
    whose key is deleted with the registry functions stays known to the
    manager until the next start; a display name of another service is
    refused; a failing registry call leaves the last error alone; the
    dispatcher returns once its service has reported stopped, and the
    process ends with ServiceMain's thread still working. Unlike Windows,
    Wine leaves the last error of successful Setup API calls as it was."""
    prefix = WinePrefix(env, "service_manager_database")
    passed = False
    try:
        prefix.hold()
        image = "Z:" + env.tool.replace("/", "\\") + " serve-early-stop"
        database, errors, _, _ = prefix.tool(
            ["service-database", "korpagone"], ["last-errors"],
            ["service-create", "korpaearly", "0x10", "3", image, "Korpa early stop"], ["service-start", "korpaearly"])
        # The service reports stopped once its start has been answered.
        with open(prefix.host_path("C:\\korpaearly-go"), "w"):
            pass
        wait_until(lambda: os.path.exists(prefix.host_path("C:\\korpaearly-returned")), 30 * env.slowness, 0.1)
        # Time for ServiceMain's thread to leave its mark (1.5 s after the
        # stop) if the process went on.
        prefix.tool(["hold", "3"])
        expect_equal("the manager's answers for a service whose key was deleted", database,
                     ["RegDeleteKeyA 0 0xdeadbeef", "OpenServiceA 1 0xdeadbeef", "CreateServiceA-same-name 0 0x431",
                      "CreateServiceA-same-display 0 0x436", "DeleteService 1 0xdeadbeef",
                      "OpenServiceA-after-close 0 0x424"])
        expect_equal("last errors", errors,
                     ["RegOpenKeyExA-missing 2 0xdeadbeef", "SetupDiGetClassDevsA 1 0xdeadbeef",
                      "SetupDiEnumDeviceInfo 1 0xdeadbeef", "SetupDiDestroyDeviceInfoList 1 0x0"])
        steps = {name: os.path.exists(prefix.host_path("C:\\" + name))
                 for name in ("korpaearly-returned", "korpaearly-after-stop")}
        expect_equal("what the early stopping service did", steps,
                     {"korpaearly-returned": True, "korpaearly-after-stop": False})
        prefix.tool(["service-delete", "korpaearly"])
        passed = True
    finally:
        prefix.close(passed)
