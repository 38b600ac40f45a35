"""Screenshots of an X display for the application tests: xwd's dump of the
root window read into RGB rows, counted by colour and written as PNG, with
the standard library only."""

import struct
import subprocess
import zlib


def grab(display_env):
    """The whole screen as (width, height, rows of RGB bytes), via xwd."""
    return read_xwd(subprocess.run(["xwd", "-root", "-silent"], env=display_env, check=True,
                                   capture_output=True).stdout)


def read_xwd(data):
    """An xwd dump as (width, height, rows of RGB bytes)."""
    (header_size, _version, _format, depth, width, height, _xoffset, byte_order, _unit, _unit_order,
     _pad, bits_per_pixel, line_bytes, _visual, red_mask, green_mask, blue_mask, _bits_rgb,
     _entries, ncolors, _ww, _wh, _wx, _wy, _border) = struct.unpack(">25I", data[:100])
    if depth != 24 or bits_per_pixel not in (24, 32):
        raise ValueError(f"xwd: {depth}-bit depth at {bits_per_pixel} bits per pixel is not read here")
    step = bits_per_pixel // 8
    pixels = data[header_size + 12 * ncolors:]
    shifts = [(m, (m & -m).bit_length() - 1) for m in (red_mask, green_mask, blue_mask)]
    rows = []
    for y in range(height):
        line = pixels[y * line_bytes:y * line_bytes + step * width]
        row = bytearray()
        for x in range(0, step * width, step):
            v = int.from_bytes(line[x:x + step], "little" if byte_order == 0 else "big")
            row += bytes((v & m) >> s for m, s in shifts)
        rows.append(bytes(row))
    return width, height, rows


def count(shot, colour):
    """How many pixels of the screenshot have exactly this RGB colour."""
    width, _height, rows = shot
    needle = bytes(colour)
    return sum(1 for row in rows for x in range(width) if row[3 * x:3 * x + 3] == needle)


def write_png(shot, path):
    width, height, rows = shot

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = b"".join(b"\0" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
