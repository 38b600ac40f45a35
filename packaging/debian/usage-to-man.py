#!/usr/bin/env python3
"""Writes tim2png's manual page from its own usage text (`tim2png --help`), so
that the two say the same. The usage text is read as paragraphs: the Usage
lines, the description, the options (lines that start with --, continued by
indented lines) and the exit codes.

Usage: usage-to-man.py TIM2PNG VERSION OUTPUT.1"""

import re
import subprocess
import sys


def roff(text):
    """Plain text as roff: backslashes and hyphens escaped, no line taken
    for a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in (".", "'") else line for line in text.split("\n"))


def page(usage, version):
    paragraphs = [p for p in usage.strip("\n").split("\n\n")]
    synopsis = paragraphs[0].split("\n")
    if not synopsis[0].startswith("Usage: "):
        raise SystemExit("usage-to-man: the usage text does not start with 'Usage: '")
    out = [f'.TH TIM2PNG 1 "" "tim2png {version}" "User Commands"',
           ".SH NAME", "tim2png \\- convert PlayStation TIM images to PNG",
           ".SH SYNOPSIS"]
    for i, line in enumerate(synopsis):
        words = line.split()
        if i == 0:
            words = words[1:]
        out += [(".br" if i else ".nh"), f".B {words[0]}", roff(" ".join(words[1:]))]
    out += [".br", ".B tim2png", "\\-\\-help | \\-\\-version", ".hy"]

    description, options, status = [], [], []
    for paragraph in paragraphs[1:]:
        if paragraph.startswith("--"):
            options.append(paragraph)
        elif paragraph.startswith("Exit codes:"):
            status.append(paragraph[len("Exit codes:"):].strip())
        else:
            description.append(paragraph)
    out.append(".SH DESCRIPTION")
    for i, paragraph in enumerate(description):
        out += ([".PP"] if i else []) + [roff(" ".join(paragraph.split()))]
    out.append(".SH OPTIONS")
    for paragraph in options:
        # An option starts at column 0; its text continues on indented lines.
        for entry in re.split(r"\n(?=--)", paragraph):
            head, text = re.match(r"(--\S+(?: [A-Z]+)?)\s+(.*)", entry, re.S).groups()
            name, _, value = head.partition(" ")
            out += [".TP", f".B {roff(name)}" + (f" \\fI{value}\\fR" if value else ""), roff(" ".join(text.split()))]
    out += [".TP", ".B \\-\\-help", "print this usage and exit",
            ".TP", ".B \\-\\-version", "print the version and exit"]
    if status:
        out += [".SH EXIT STATUS", roff(" ".join(" ".join(status).split()))]
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    usage = subprocess.run([sys.argv[1], "--help"], check=True, capture_output=True, text=True).stdout
    with open(sys.argv[3], "w", encoding="utf-8") as f:
        f.write(page(usage, sys.argv[2]))


if __name__ == "__main__":
    main()
