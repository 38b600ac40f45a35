#!/usr/bin/env python3
"""Writes a tool's manual page from its own usage text (`PROGRAM --help`), so
that the two say the same. The usage text is read as paragraphs: the Usage
lines, the description, the options (lines that start with - or --,
continued by indented lines) and the exit codes.

Usage: usage-to-man.py PROGRAM VERSION OUTPUT.1 SUMMARY
    SUMMARY: the NAME line's text after "PROGRAM - "."""

import os
import re
import subprocess
import sys


def roff(text):
    """Plain text as roff: backslashes and hyphens escaped, no line taken
    for a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in (".", "'") else line for line in text.split("\n"))


def page(usage, version, name, summary):
    paragraphs = [p for p in usage.strip("\n").split("\n\n")]
    synopsis = paragraphs[0].split("\n")
    if not synopsis[0].startswith("Usage: "):
        raise SystemExit("usage-to-man: the usage text does not start with 'Usage: '")
    out = [f'.TH {name.upper()} 1 "" "{name} {version}" "User Commands"',
           ".SH NAME", f"{name} \\- {roff(summary)}",
           ".SH SYNOPSIS"]
    for i, line in enumerate(synopsis):
        words = line.split()
        if i == 0:
            words = words[1:]
        out += [(".br" if i else ".nh"), f".B {words[0]}", roff(" ".join(words[1:]))]
    out += [".br", f".B {name}", "\\-\\-help | \\-\\-version", ".hy"]

    description, options, status = [], [], []
    for paragraph in paragraphs[1:]:
        if paragraph.startswith("-"):
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
        for entry in re.split(r"\n(?=-)", paragraph):
            head, text = re.match(r"(--?\S+(?: [A-Z]+(?:\.[a-z]+)?)*)\s+(.*)", entry, re.S).groups()
            option, _, value = head.partition(" ")
            out += [".TP", f".B {roff(option)}" + (f" \\fI{value}\\fR" if value else ""),
                    roff(" ".join(text.split()))]
    out += [".TP", ".B \\-\\-help", "print this usage and exit",
            ".TP", ".B \\-\\-version", "print the version and exit"]
    if status:
        out += [".SH EXIT STATUS", roff(" ".join(" ".join(status).split()))]
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    usage = subprocess.run([sys.argv[1], "--help"], check=True, capture_output=True, text=True).stdout
    name = os.path.basename(sys.argv[1])
    with open(sys.argv[3], "w", encoding="utf-8") as f:
        f.write(page(usage, sys.argv[2], name, sys.argv[4]))


if __name__ == "__main__":
    main()
