#!/usr/bin/env python3
"""A tool's manual page says what its usage text says: every Usage line,
sentence, option and exit code of `PROGRAM --help` is in the rendered page
(man -l, as lintian and users read it), and man renders it without a warning.

Usage: man_page_test.py PROGRAM MANPAGE.1.gz SUMMARY"""

import os
import re
import subprocess
import sys
import unittest

PROGRAM, PAGE, SUMMARY = sys.argv[1:4] if len(sys.argv) == 4 else (None, None, None)


def words(text):
    # groff's typographic hyphens and quotes, back to the usage text's own.
    for fancy, plain in (("\u2010", "-"), ("\u2212", "-"), ("\u2019", "'"), ("\u2018", "'")):
        text = text.replace(fancy, plain)
    return " ".join(text.split())


class ManPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.usage = subprocess.run([PROGRAM, "--help"], check=True, capture_output=True, text=True).stdout
        env = dict(os.environ, MANWIDTH="10000", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING="")
        # --warnings: groff's complaints on stderr, which lintian also reports.
        shown = subprocess.run(["man", "--warnings", "-l", PAGE], env=env, capture_output=True, text=True)
        cls.page, cls.warnings = words(shown.stdout), shown.stderr.strip()
        cls.returncode = shown.returncode

    def test_renders_cleanly(self):
        self.assertEqual(self.returncode, 0)
        self.assertEqual(self.warnings, "")
        self.assertIn(os.path.basename(PROGRAM) + " - " + SUMMARY, self.page)

    def test_every_part_of_the_usage_text_is_in_the_page(self):
        paragraphs = self.usage.strip().split("\n\n")
        pieces = [line.replace("Usage:", "").strip() for line in paragraphs[0].split("\n")]
        for paragraph in paragraphs[1:]:
            if paragraph.startswith("-"):
                # Each option and its text (the page sets them apart).
                for entry in re.split(r"\n(?=-)", paragraph):
                    head, text = re.match(r"(--?\S+(?: [A-Z]+(?:\.[a-z]+)?)*)\s+(.*)", entry, re.S).groups()
                    pieces += [head, words(text)]
            else:
                pieces.append(words(paragraph.replace("Exit codes:", "")))
        self.assertGreaterEqual(len(pieces), 10)
        for piece in pieces:
            with self.subTest(piece[:40]):
                self.assertIn(piece, self.page)


if __name__ == "__main__":
    if not PAGE:
        sys.exit(__doc__)
    unittest.main(argv=sys.argv[:1])
