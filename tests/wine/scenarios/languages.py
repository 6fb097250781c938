"""Languages: the LANG of Wine's session gives the default language id, and
the banner comes in the language file's language."""

import os

from harness.checks import expect_equal
from harness.pair import Pair
from scenarios.common import BANNER, media_has
from scenarios.registry import register


def language_scenario(lang, expect_english):
    def run(env):
        with Pair(env, "language_" + lang.split(".")[0], lang=lang) as p:
            rc, text = p.setup(["/Q"])
            english = text.startswith(BANNER)
            if media_has(env, os.path.join("nls", "english.nls")):
                expect_equal("English banner for LANG=%s (language id 0x%04X)" % (lang, p.lang_id), english,
                             expect_english)
    return register("language_" + lang.split(".")[0], run,
                    "LANG=%s under Wine gives the language of the same default language id." % lang)


for _lang, _english in (("de_DE.UTF-8", False), ("fr_CA.UTF-8", False), ("ja_JP.UTF-8", False),
                        ("es_ES.UTF-8", False), ("en_US.UTF-8", True)):
    language_scenario(_lang, _english)
