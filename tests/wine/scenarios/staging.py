"""The guarded copy into the staging tree, answered through standard input:
a newer file already staged, the prompt, "n" keeps it and "y" replaces it."""

import os

from harness.checks import expect, expect_equal, read
from harness.family import STAGING_DIR
from harness.pair import Pair
from scenarios.common import BANNER, NEWER_DRIVER, media_has
from scenarios.registry import scenario


# What the staging tree holds after a run from the media, relative to it in
# lower case; nt\K4100\rmtptr is made empty.
STAGED_FILES = sorted([os.path.join("win2000", n.lower()) for n in (
    "SETUP.EXE", "KORP.INF", "KORPA.INF", "SERW.INF", "QRVSERW.SYS", "QRVMPREM.DLL", "QRVMPW.DLL", "QRVMPW.SYS",
    "MPW.INF", "KORP.CAT", "KORPA.CAT", "SERW.CAT", "MPW.CAT", "COINFCP.DLL", "QRVMPREM.EXE", "QRVMPSVC.EXE")] +
    [os.path.join("nt", "rvosetup.exe"), os.path.join("nls", "english.nls"), os.path.join("nls", "japanese.nls")])
# The version stamp of the media's QRVMPW.SYS.
MEDIA_VERSION_STAMP = b"!@#$5.10.0$#@!"


@scenario
def staging_newer_file_prompt_from_stdin(env):
    """No known device, the legacy program succeeding, no /Q. The staging
    tree already holds a QRVMPW.SYS stamped 9.10.0, newer than the media's
    5.10.0: the guarded copy prints a blank line, the older-than line and the
    prompt, and reads the answer from standard input. "n" keeps the staged
    file and every other file is staged; a second run answering "y" replaces
    it with the media's. The same file is placed in the simulated machine,
    and the transcripts compare exactly. The "k" after the answer is for the
    key wait at the end: the simulator reads it, Wine's _getch without a
    console returns at once (see legacy_setup_exit_codes)."""
    staged_driver = STAGING_DIR + "\\win2000\\QRVMPW.SYS"
    media_driver = os.path.join("win2000", "QRVMPW.SYS")
    expect(media_has(env, media_driver), "the media holds no win2000\\QRVMPW.SYS")
    with Pair(env, "staging_newer_file_prompt") as p:
        wine_path, sim_path = p.wine.host_path(staged_driver), p.sim.host_path(staged_driver)
        media = {}
        for side, path, root in (("Wine", wine_path, env.win_media), ("simulator", sim_path, env.host_media)):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(NEWER_DRIVER)
            with open(os.path.join(root, media_driver), "rb") as f:
                media[side] = f.read()
            expect(MEDIA_VERSION_STAMP in media[side], "the %s media's QRVMPW.SYS is not stamped 5.10.0: %r"
                   % (side, media[side]))
        p.wine.extra_env["QRV_EXIT_RVOSETUP"] = "0"
        p.sim.exit_code("RVOSETUP.EXE", 0)
        question = ("\nD:\\win2000\\QRVMPW.SYS is older than %s.\nDo you want to copy anyway? (y/n):\n"
                    % staged_driver)

        def staged_content():
            return read(wine_path), read(sim_path)

        def expect_staged(answer):
            for side, root in zip(("Wine", "simulator"), p.staging_roots()):
                rmtptr = os.path.join(root, "nt", "K4100", "rmtptr")
                expect(os.path.isdir(rmtptr) and os.listdir(rmtptr) == [],
                       "%s after %r: nt\\K4100\\rmtptr is not an empty folder" % (side, answer))
            wine_files = p.expect_same_staging()
            expect_equal("staged files after %r" % answer, sorted(wine_files), STAGED_FILES)

        for answer, expected in ((b"n", (NEWER_DRIVER, NEWER_DRIVER)), (b"y", (media["Wine"], media["simulator"]))):
            rc, text = p.setup([], stdin=answer + b"\nk")
            expect_equal("exit code after %r" % answer, rc, 0)
            expect(text.startswith(BANNER), "transcript after %r: %r" % (answer, text[:120]))
            expect(text.count(question) == 1, "the question is not asked once after %r: %r" % (answer, text))
            expect(text.endswith("RVOSETUP.EXE: setup, exit status 0\nInstallation complete\n\r"
                                 "Press any key to exit."), "transcript after %r: %r" % (answer, text[-160:]))
            expect_equal("staged QRVMPW.SYS after %r (Wine, simulator)" % answer, staged_content(), expected)
            expect_staged(answer)
