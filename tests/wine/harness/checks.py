"""How a check of the suite ends: passed, failed (Failure) or skipped (Skip,
and the exit code that CTest reads as skipped), the two checks that
scenarios make, the wait for a condition, and reading what a run left in
a file."""

import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for this suite


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_equal(what, wine, sim):
    if wine != sim:
        raise Failure("%s differs\n  Wine:      %r\n  simulator: %r" % (what, wine, sim))


def wait_until(condition, seconds, interval):
    """Asks condition() every interval seconds until it holds or seconds have
    passed; returns its last answer."""
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(interval)
    return condition()


def read(path, mode="rb"):
    """A file's content; a file that does not exist reads as empty."""
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return b"" if "b" in mode else ""
