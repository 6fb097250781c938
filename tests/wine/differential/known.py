"""Known differences between Wine and winsim, by their names in
docs/differences.md. Each name has a predicate that says whether a
difference is that one: KNOWN for a key of the flattened captures
(captures.py), KNOWN_IN_TRANSCRIPTS for the transcripts of a run.

A predicate of KNOWN takes (key, Wine's value, the machine's value,
context): None stands for "absent"; the context has the machine's whole
capture (sim), whether the comparison follows a restart (restarted) and the
files whose replacement waited for that restart in the machine (replaced).
KNOWN_IN_EXIT_CODES explains different exit codes of a run.
"""

import difflib
import re

from harness.family import SERVICES_KEY


class Context:
    def __init__(self, sim, restarted, replaced=()):
        self.sim = sim
        self.restarted = restarted
        self.replaced = set(replaced)


SESSION_MANAGER = "key hklm\\system\\currentcontrolset\\control\\session manager"
PENDING_RENAMES = SESSION_MANAGER + " value PendingFileRenameOperations"


def pending_replacements(sim_flat):
    """The file replacements that wait for the next start in a capture:
    [(source, target)], paths in lower case without the "\\??\\" and "!"."""
    value = sim_flat.get(PENDING_RENAMES)
    texts = value.get("data", []) if isinstance(value, dict) else []
    def path(text):
        return text.lstrip("!").replace("\\??\\", "", 1).lower()
    return [(path(texts[i]), path(texts[i + 1])) for i in range(0, len(texts) - 1, 2) if texts[i + 1]]


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


def _held_and_replaced_later(sim_flat):
    """The machine's replacements for the next start of files that are in
    use: [(source, target)]."""
    return [(s, t) for s, t in pending_replacements(sim_flat) if sim_flat.get("in use " + t)]


def _machine_waits(key, wine, waiting):
    """Whether the key is what only the machine has of replacements that wait
    for the next start: the session manager's value, the new files beside
    their targets."""
    if wine is not None or not waiting:
        return False
    return key in (SESSION_MANAGER, PENDING_RENAMES) or (key.startswith("file ") and
                                                          key[len("file "):] in {s for s, _ in waiting})


def _file_in_use(key, wine, sim, ctx):
    # Wine's setupapi skips a copy onto a file in use: nothing waits for the
    # next start under Wine; after the start that carried the replacement
    # out, the machine's file is the media's and Wine's the earlier one.
    if not ctx.restarted:
        return _machine_waits(key, wine, _held_and_replaced_later(ctx.sim))
    return (key.startswith("file ") and key[len("file "):] in ctx.replaced and isinstance(sim, str)
            and sim.startswith("media ") and wine != sim)


def _holder_at_start(key, wine, sim, ctx):
    # After a restart: a file that the machine still holds was held again in
    # the prefix only once the new session had started, after the second
    # phase that ran as it started had replaced it under Wine, while the
    # machine's second phase found it held and left its replacement for the
    # next start.
    if not ctx.restarted:
        return False
    waiting = _held_and_replaced_later(ctx.sim)
    held = {t for _, t in waiting}
    return _machine_waits(key, wine, waiting) or (key.startswith("file ") and key[len("file "):] in held
                                                  and isinstance(wine, str) and wine.startswith("media "))


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
    "wine-file-in-use-skipped": _file_in_use,
    "wine-holder-at-start": _holder_at_start,
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


def _in_use_reboot_message(wine_text, sim_text, sim_flat):
    # A binding of a file in use asked for a restart in winsim only: its
    # transcript has one line more, the reboot message (in any language),
    # and nothing else differs.
    if not _held_and_replaced_later(sim_flat):
        return False
    wine_lines, sim_lines = wine_text.split("\n"), sim_text.split("\n")
    opcodes = [o for o in difflib.SequenceMatcher(None, wine_lines, sim_lines, autojunk=False).get_opcodes()
               if o[0] != "equal"]
    return len(opcodes) == 1 and opcodes[0][0] == "insert" and opcodes[0][4] - opcodes[0][3] == 1


# Known differences of a transcript: predicates of (Wine's transcript,
# winsim's, winsim's capture after the run).
KNOWN_IN_TRANSCRIPTS = {
    "wine-no-child-functions": _child_function_bindings,
    "wine-file-in-use-skipped": _in_use_reboot_message,
}


def _in_use_exit_codes(wine_rc, sim_rc, sim_flat):
    # Complete under Wine, a restart needed in winsim.
    return (wine_rc, sim_rc) == (0, 1) and bool(_held_and_replaced_later(sim_flat))


# Known differences of a run's exit codes: predicates of (Wine's exit code,
# winsim's, winsim's capture after the run).
KNOWN_IN_EXIT_CODES = {
    "wine-file-in-use-skipped": _in_use_exit_codes,
}


def names_used():
    return sorted(set(KNOWN) | set(KNOWN_IN_TRANSCRIPTS) | set(KNOWN_IN_EXIT_CODES))


def explained_key(key, wine, sim, context):
    """The name of the known difference that explains a key's values, or None."""
    return next((n for n, known in KNOWN.items() if known(key, wine, sim, context)), None)


def explained_exit_codes(wine_rc, sim_rc, sim_flat):
    """The name of the known difference that explains two exit codes, or None."""
    return next((n for n, known in KNOWN_IN_EXIT_CODES.items() if known(wine_rc, sim_rc, sim_flat)), None)


def explained_transcript(wine_text, sim_text, sim_flat):
    """The name of the known difference that explains two transcripts, or None."""
    return next((n for n, known in KNOWN_IN_TRANSCRIPTS.items() if known(wine_text, sim_text, sim_flat)), None)
