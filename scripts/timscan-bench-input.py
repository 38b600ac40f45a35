#!/usr/bin/env python3
"""Writes the inputs of bench.sh's timscan step, in pieces, never whole in
memory: `any` (random bytes with a 16-bit 64 x 64 TIM every MiB, at an
unaligned offset), `raw` (raw Mode 2 Form 1 sectors whose user data is the
same kind of bytes; placeholder EDC and ECC, which readers never check) and
`random` (random bytes only, for the false-positive count).

Usage: timscan-bench-input.py any|raw|random MIB OUTPUT"""

import os
import random
import struct
import sys

MIB = 1 << 20


def tim():
    pixels = bytes(random.getrandbits(8) for _ in range(64 * 64 * 2))
    return struct.pack("<IIIHHHH", 16, 2, 12 + len(pixels), 0, 0, 64, 64) + pixels


def planted(mib):
    """MiB after MiB of random bytes, each with one TIM at an odd offset."""
    t = tim()
    for i in range(mib):
        chunk = bytearray(os.urandom(MIB))
        at = 1001 + 7 * i
        chunk[at:at + len(t)] = t
        yield bytes(chunk)


def bcd(n):
    return (n // 10) << 4 | n % 10


def raw(mib, out):
    sync = b"\x00" + b"\xff" * 10 + b"\x00"
    subheader = b"\x00\x00\x08\x00" * 2
    tail = b"\x01" * (2352 - 24 - 2048)
    sectors = mib * MIB // 2352
    data = b"".join(planted(mib))
    for lba in range(sectors):
        f = lba + 150
        header = bytes((bcd(f // 4500), bcd(f // 75 % 60), bcd(f % 75), 2))
        out.write(sync + header + subheader + data[lba * 2048:(lba + 1) * 2048] + tail)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    kind, mib, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    random.seed(1)
    with open(path, "wb") as out:
        if kind == "any":
            for chunk in planted(mib):
                out.write(chunk)
        elif kind == "raw":
            raw(mib, out)
        elif kind == "random":
            for _ in range(mib):
                out.write(os.urandom(MIB))
        else:
            sys.exit(__doc__)


if __name__ == "__main__":
    main()
