"""Call-level checks of Wine's answers where the simulator is as strict as
Windows: calls that the prefix tool makes as Wine's own conformance tests
make them (tools/prefixtool/conformance.cpp), each with its result and the
last error it left."""

import os

from harness.checks import expect_equal
from harness.prefix import WinePrefix
from scenarios.registry import scenario


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
        database, errors, _, _, _ = prefix.tool(
            ["service-database", "korpagone"], ["last-errors"],
            ["service-create", "korpaearly", "0x10", "3", image, "Korpa early stop"], ["service-start", "korpaearly"],
            ["hold", "3"])
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
