"""Known differences between Wine and winsim, by their names in
docs/differences.md. Each name has a predicate that says whether a
difference is that one: KNOWN for a key of the flattened captures
(captures.py), KNOWN_IN_TRANSCRIPTS for the transcripts of a run.

A predicate of KNOWN takes (key, Wine's value, the machine's value,
context): None stands for "absent"; the context has the machine's whole
capture (sim) and whether the comparison follows a restart (restarted).
"""

import difflib
import re

from harness.family import SERVICES_KEY


class Context:
    def __init__(self, sim, restarted):
        self.sim = sim
        self.restarted = restarted


def _inf_path(key, wine, sim, _ctx=None):
    # Windows and Wine name the INF's copy in the INF folder (oemN.inf);
    # the simulator names the bound INF itself.
    return ((key.endswith(" boundInf") or key.endswith(" value InfPath")) and isinstance(wine, str)
            and isinstance(sim, str) and re.fullmatch(r"oem\d+\.inf", wine.lower()) is not None)


def _decorated_section(key, wine, sim, _ctx=None):
    return (key.endswith(" boundSection") and isinstance(wine, str) and isinstance(sim, str)
            and sim.lower() == wine.lower() + ".nt")


# The DACL that Wine gives a key it creates below Services: its registry's
# own default (Users denied generic read on the children only,
# Administrators full control).
WINE_NEW_KEY_DACL = [{"sid": "S-1-5-32-545", "mask": "0x80000000", "flags": 10},
                     {"sid": "S-1-5-32-544", "mask": "0xF003F"}]


def _new_key_security(key, wine, sim, _ctx=None):
    return key.endswith(" dacl") and wine == WINE_NEW_KEY_DACL


SERVICE_KEYS = "key " + SERVICES_KEY.lower() + "\\"


def _service_key(key):
    return key.startswith(SERVICE_KEYS)


def _image_path(key, wine, sim, _ctx=None):
    # Wine's service manager keeps the binary's path as REG_SZ, a driver's
    # as a full path; Windows keeps REG_EXPAND_SZ, a driver's path relative
    # to the Windows folder.
    if not (_service_key(key) and key.endswith(" value ImagePath") and isinstance(wine, str)
            and isinstance(sim, dict) and sim.get("type") == "REG_EXPAND_SZ"):
        return False
    data = sim.get("data", "").lower()
    return wine.lower() in (data, "c:\\windows\\" + data)


def _service_values(key, wine, sim, _ctx=None):
    # Wine's CreateService writes ObjectName LocalSystem also for a driver,
    # and the later systems' PreshutdownTimeout.
    return (_service_key(key) and sim is None and
            (key.endswith(" value ObjectName") and wine == "LocalSystem" or key.endswith(" value PreshutdownTimeout")))


CHILD = r"mf\\mgtproc_dev\d\\4&\d{4}&0&0\d"
# What the child functions' drivers install: their service and driver file.
CHILD_DRIVERS = {"serw.inf": ("qrvserw", "qrvserw.sys"), "mpw.inf": ("qrvmpw", "qrvmpw.sys")}


def _bound_children(sim_flat):
    """The INF files that the machine's enumerated child functions are bound to."""
    return {str(v).lower().rsplit("\\", 1)[-1] for k, v in sim_flat.items()
            if re.match("device " + CHILD + " boundinf$", k.lower())}


def _child_functions(key, wine, sim, ctx):
    # The simulator's adapter driver enumerates the child functions that it
    # declares; a root device that stands in for the adapter under Wine has
    # no driver that enumerates anything: no such device, no key of it, no
    # driver key, and neither the service nor the file that their drivers
    # install (or update, where an earlier one was there).
    lower = key.lower()
    if wine is None and re.match(r"(device |key enum of |key driver key of )" + CHILD + r"\b", lower):
        return True
    for inf in _bound_children(ctx.sim):
        service, driver = CHILD_DRIVERS.get(inf, (None, None))
        if service and (re.match(re.escape(SERVICE_KEYS) + "%s( |$)" % service, lower)
                        or lower == "file c:\\windows\\system32\\drivers\\" + driver):
            return True
    return False


def _key_security_session(key, wine, sim, ctx):
    # After a restart: Wine kept no key security across the sessions. A
    # service key shows Wine's default security (Administrators the owner,
    # Wine's DACL for a new key, readable), and one that resisted the
    # cleanup in the first session (and still does in winsim) was deleted
    # by the run after the restart.
    if not (ctx.restarted and _service_key(key)):
        return False
    if key.endswith((" owner", " dacl", " securityReadable")):
        return wine in (None, "S-1-5-32-544", WINE_NEW_KEY_DACL)
    if wine is not None:
        return False
    path = key.split(" ")[1]
    for prefix in [path[:i] for i in range(len(path), 0, -1) if i == len(path) or path[i] == "\\"]:
        owner = ctx.sim.get("key %s owner" % prefix)
        dacl = ctx.sim.get("key %s dacl" % prefix) or []
        if (owner not in (None, "S-1-5-32-544") or ctx.sim.get("key %s securityReadable" % prefix) is False
                or any(ace.get("deny") for ace in dacl)):
            return True
    return False


def _owner_after_dacl(key, wine, sim, _ctx=None):
    # RegSetKeySecurity with the DACL alone: Wine reports its user's primary
    # group as the key's owner from then on; Windows keeps the owner.
    return key.endswith(" owner") and isinstance(wine, str) and re.fullmatch(r"S-1-5-21-[-0-9]*-513", wine) is not None


def _id_letter_case(key, wine, sim, _ctx=None):
    # A stand-in device whose hardware id differs from the family's in
    # letter case only: Wine's binding compares ids in their letter case.
    return re.match(r"(?i:device |key driver key of |key enum of )ROOT\\KORPATEST\\<[^>]*[a-z]", key) is not None


KNOWN = {
    "sim-inf-path": _inf_path,
    "sim-decorated-section": _decorated_section,
    "wine-new-key-security": _new_key_security,
    "wine-service-image-path": _image_path,
    "wine-service-values": _service_values,
    "wine-no-child-functions": _child_functions,
    "wine-binding-id-letter-case": _id_letter_case,
    "wine-owner-after-dacl": _owner_after_dacl,
    "wine-key-security-session": _key_security_session,
}


def _child_function_bindings(wine_text, sim_text, sim_flat):
    # The installer binds the child functions again once the adapter's
    # binding made them appear (wine-no-child-functions): winsim's transcript
    # has those binding lines more (in any language: the INF's path, then
    # the end of the line or a space), and nothing else.
    if not _bound_children(sim_flat):
        return False
    wine_lines, sim_lines = wine_text.split("\n"), sim_text.split("\n")
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, wine_lines, sim_lines, autojunk=False).get_opcodes():
        if tag == "equal":
            continue
        if tag != "insert" or not all(re.search(r"\\(serw|mpw)\.inf(\.$|\s)", line) for line in sim_lines[j1:j2]):
            return False
    return True


# Known differences of a transcript: predicates of (Wine's transcript,
# winsim's, winsim's capture after the run).
KNOWN_IN_TRANSCRIPTS = {
    "wine-no-child-functions": _child_function_bindings,
}


def names_used():
    return sorted(set(KNOWN) | set(KNOWN_IN_TRANSCRIPTS))


def explained_key(key, wine, sim, context):
    """The name of the known difference that explains a key's values, or None."""
    return next((n for n, known in KNOWN.items() if known(key, wine, sim, context)), None)


def explained_transcript(wine_text, sim_text, sim_flat):
    """The name of the known difference that explains two transcripts, or None."""
    return next((n for n, known in KNOWN_IN_TRANSCRIPTS.items() if known(wine_text, sim_text, sim_flat)), None)
