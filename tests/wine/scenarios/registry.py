"""The scenarios by name, in the order they are defined: each is a function
of the environment (harness/environment.py) that raises Failure or Skip, or
returns when it passed. One CTest test Wine.NAME each (suite.py list)."""

SCENARIOS = {}


def scenario(fn):
    """Registers a scenario under its function's name."""
    SCENARIOS[fn.__name__] = fn
    return fn


def register(name, run, doc=None):
    """Registers a scenario made for one value of a parameter (a force code,
    a device table entry, a language, a seed) under name."""
    run.__name__ = name
    run.__doc__ = doc
    return scenario(run)
