"""How a check of the suite ends: passed, failed (Failure) or skipped (Skip,
and the exit code that CTest reads as skipped), the two checks that
scenarios make, and reading what a run left in a file."""

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


def read(path, mode="rb"):
    """A file's content; a file that does not exist reads as empty."""
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return b"" if "b" in mode else ""
