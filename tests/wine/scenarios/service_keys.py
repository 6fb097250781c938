"""The cleanup of earlier services' keys: keys with DACLs of their own,
deleted after a DACL reset, kept with Administrators' full control, or left
alone where Administrators may only read."""

from harness.checks import expect, expect_equal
from harness.family import SERVICES_KEY
from harness.pair import Pair
from scenarios.common import NEWER_ADAPTER
from scenarios.registry import scenario

ADMINS, SYSTEM, USERS = "S-1-5-32-544", "S-1-5-18", "S-1-5-32-545"


@scenario
def service_key_cleanup_resets_dacl(env):
    """Earlier services' keys, made by the harness with DACLs of their own: the
    restart feature's keys are deleted with their children after the DACL
    reset; a key with a key three levels down stays, with its DACL replaced by
    Administrators' full control; a key that Administrators may only read is
    not opened and keeps its DACL. RegSetKeySecurity and RegDeleteKeyA behave
    in Wine as on Windows while the session lasts; unlike Windows, Wine does
    not keep a key's security across sessions (its registry files hold none),
    so every step here runs in the one session that the harness holds."""
    keys = {
        "qrvrvosv": ["Parameters", "Security"],
        "qrvrvoex": ["Enum"],
        "xqrvrvosvx": ["Parameters\\Deep\\Deeper"],
        "qrvrvoexRO": [],
        "QRVRVOSV2": [],
        "qrvmprem": ["Parameters"],
    }
    sim_registry = []
    wine_commands = []
    for name, children in keys.items():
        base = SERVICES_KEY + "\\" + name
        sim_registry.append({"path": base, "values": {"Type": 16, "Start": 3}})
        wine_commands.append(["reg-set", base, "Type", "REG_DWORD", "16"])
        wine_commands.append(["reg-set", base, "Start", "REG_DWORD", "3"])
        for child in children:
            sim_registry.append({"path": base + "\\" + child, "values": {"Value": "x"}})
            wine_commands.append(["reg-set", base + "\\" + child, "Value", "REG_SZ", "x"])
    # Everyone may read, Administrators do everything; and a key that
    # Administrators may only read.
    wine_commands.append(["reg-dacl", SERVICES_KEY + "\\qrvrvosv", "D:P(A;;KA;;;BA)(A;;KR;;;SY)(A;;KR;;;BU)"])
    wine_commands.append(["reg-dacl", SERVICES_KEY + "\\qrvrvoexRO", "D:P(A;;KR;;;BA)"])
    for entry in sim_registry:
        if entry["path"].endswith("\\qrvrvosv"):
            entry["dacl"] = [{"sid": ADMINS, "mask": "0xF003F"}, {"sid": SYSTEM, "mask": "0x20019"},
                             {"sid": USERS, "mask": "0x20019"}]
        if entry["path"].endswith("\\qrvrvoexRO"):
            entry["dacl"] = [{"sid": ADMINS, "mask": "0x20019"}]
    with Pair(env, "service_key_cleanup", [NEWER_ADAPTER], sim_registry=sim_registry) as p:
        p.wine.tool(*wine_commands)
        rc, text = p.setup(["/Q"])
        expect_equal("exit code (keys deleted: a restart is asked for)", rc, 1)
        dumps = p.wine.tool(*[["reg-dump", SERVICES_KEY + "\\" + name] for name in keys])
        dump = {name: [l for l in lines if l.startswith("key ") or l == "missing"] for name, lines in zip(keys, dumps)}
        expect_equal("qrvrvosv under Wine", dump["qrvrvosv"], ["missing"])
        expect_equal("qrvrvoex under Wine", dump["qrvrvoex"], ["missing"])
        expect_equal("the key with a deep child under Wine", dump["xqrvrvosvx"][0],
                     "key %s\\xqrvrvosvx D:(A;;KA;;;BA)" % SERVICES_KEY)
        expect(any(l.startswith("key %s\\xqrvrvosvx\\Parameters\\Deep\\Deeper " % SERVICES_KEY)
                   for l in dump["xqrvrvosvx"]), "the deep key is gone under Wine: %r" % dump["xqrvrvosvx"])
        expect_equal("the read-only key under Wine", dump["qrvrvoexRO"],
                     ["key %s\\qrvrvoexRO D:P(A;;KR;;;BA)" % SERVICES_KEY])
        expect_equal("a key in other letter case under Wine", len(dump["QRVRVOSV2"]), 1)
        sim_keys = {k["path"]: k for k in p.sim.state()["registry"]}

        def sim_key(name):
            return next((k for path, k in sim_keys.items() if path.endswith("\\Services\\" + name)), None)
        for name in keys:
            expect_equal("%s exists, Wine against the simulator" % name, dump[name] != ["missing"],
                         sim_key(name) is not None)
        expect_equal("the simulator's DACL of the key with a deep child", (sim_key("xqrvrvosvx") or {}).get("dacl"),
                     [{"sid": ADMINS, "mask": 0xF003F}])
