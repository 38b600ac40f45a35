#!/usr/bin/env python3
"""Turns the checked-in expected pictures (samples/NAME.png, 8-bit straight
RGBA) into a C++ source of their pixels, so that the Windows builds, which
have no PNG library, compare against the same files as the native ones.

Every drawn sample (samples/*.tim except refused-*) must have its picture, and
no picture may lack its sample: a sample added without a reviewed picture
stops the build here rather than passing unchecked. So does a picture with
an alpha other than 0 or 255, which no TIM colour gives.

Usage: expected_pictures.py SAMPLES_DIR OUTPUT.cpp
Only the standard library (zlib) is used."""

import os
import struct
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_rgba_png(path):
    """(width, height, straight RGBA bytes top row first) of an 8-bit RGBA,
    non-interlaced PNG; anything else is an error, since the pictures must
    all be of that one kind."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(SIGNATURE):
        raise ValueError(f"{path}: not a PNG file")
    at, header, idat = len(SIGNATURE), None, []
    while True:
        if at + 12 > len(data):
            raise ValueError(f"{path}: cut short before IEND")
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if len(body) != length or at + 12 + length > len(data):
            raise ValueError(f"{path}: chunk {kind!r} cut short")
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if zlib.crc32(kind + body) != crc:
            raise ValueError(f"{path}: chunk {kind!r} fails its CRC")
        at += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError(f"{path}: no IHDR")
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError(f"{path}: depth {depth}, colour type {colour}, interlace {interlace}; "
                         "expected pictures are 8-bit RGBA (colour type 6), not interlaced")
    raw = zlib.decompress(b"".join(idat))
    row = width * 4
    if len(raw) != height * (row + 1):
        raise ValueError(f"{path}: {len(raw)} bytes of image data for {width} x {height}")
    out = bytearray()
    previous = bytearray(row)
    for y in range(height):
        start = y * (row + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + row])
        for i in range(row):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            upper_left = previous[i - 4] if i >= 4 else 0
            if kind == 0:
                continue
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                line[i] = (line[i] + paeth(left, up, upper_left)) & 0xFF
            else:
                raise ValueError(f"{path}: row {y} has filter type {kind}")
        out += line
        previous = line
    return width, height, bytes(out)


def c_string(data):
    """`data` as C++ string literal lines: printable characters as they are,
    the rest as three-digit octal escapes (which never swallow what follows)."""
    lines, line = [], []
    for byte in data:
        ch = chr(byte)
        line.append(ch if 0x20 <= byte < 0x7F and ch not in '"\\?' else f"\\{byte:03o}")
        if len(line) == 32:
            lines.append('    "' + "".join(line) + '"')
            line = []
    if line:
        lines.append('    "' + "".join(line) + '"')
    return "\n".join(lines)


def main():
    samples_dir, output = sys.argv[1], sys.argv[2]
    names = sorted(os.listdir(samples_dir))
    drawn = {n[:-4] for n in names if n.endswith(".tim") and not n.startswith("refused-")}
    pictures = {n[:-4] for n in names if n.endswith(".png")}
    if drawn != pictures:
        sys.exit(f"expected_pictures.py: samples without a picture: {sorted(drawn - pictures)}, "
                 f"pictures without a sample: {sorted(pictures - drawn)} (see docs/testing.md)")
    parts = ["// Written by tests/conformance/expected_pictures.py from samples/*.png: edit those, not this.",
             '#include "Conformance.h"', "", "namespace tim_conformance {", "namespace {", ""]
    table = []
    for i, name in enumerate(sorted(pictures)):
        width, height, rgba = read_rgba_png(os.path.join(samples_dir, name + ".png"))
        # A TIM colour is opaque or, colour 0 alone, clear: any other alpha is
        # a wrong picture, and the premultiplied layouts' rules would differ.
        if set(rgba[3::4]) - {0, 255}:
            sys.exit(f"expected_pictures.py: {name}.png has alpha other than 0 and 255")
        parts += [f"// {name}.png, {width} x {height}",
                  f"const unsigned char kPicture{i}[{len(rgba) + 1}] =", c_string(rgba) + ";", ""]
        table.append(f'    {{"{name}", {width}, {height}, kPicture{i}}},')
    parts += ["const ExpectedPicture kPictures[] = {"] + table + ["};", "", "}  // namespace", "",
              "std::span<const ExpectedPicture> ExpectedPictures() {", "    return kPictures;", "}", "",
              "}  // namespace tim_conformance", ""]
    with open(output + ".tmp", "w") as f:
        f.write("\n".join(parts))
    os.replace(output + ".tmp", output)


if __name__ == "__main__":
    main()
