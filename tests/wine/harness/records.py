"""The record of a scenario's run that the i686 stage compares with its
x86_64 twin's: every run of SETUP.EXE (arguments, standard input, exit code,
transcript) and the prefix's state at the end (prefix_state.py). The x86_64
run of a scenario that the i686 stage runs too leaves one when it passes,
<work>/records/x86_64/NAME.json; the i686 run leaves records/i686/NAME.json.
A record carries the key of what it depends on, so that a stale twin is made
again.
"""

import hashlib
import json
import os

from harness.checks import read

SUITE_FOLDER = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def path(env, flavour, name):
    folder = os.path.join(env.work, "records", flavour)
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, name + ".json")


def key(env):
    """What a record of the x86_64 twin depends on: its SETUP.EXE and prefix
    tool and the suite's code."""
    digest = hashlib.sha256()
    code = sorted(os.path.join(folder, f) for folder, _, files in os.walk(SUITE_FOLDER)
                  for f in files if f.endswith(".py"))
    for p in [os.path.join(env.win_media, "win2000", "SETUP.EXE"), env.tool] + code:
        digest.update(read(p))
    return digest.hexdigest()


def begin(env, record, record_key=None):
    """The scenario about to run leaves its record at record (an earlier one
    is removed), with record_key in it."""
    env.record_path, env.record_key = record, record_key
    if os.path.exists(record):
        os.remove(record)


def write(env, transcripts, state):
    with open(env.record_path, "w") as f:
        json.dump({"key": env.record_key, "setup": transcripts, "state": state}, f, indent=1, sort_keys=True)


def load(record):
    try:
        with open(record) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None
