"""The hostile files every client is run with, written once: padding and
further TIMs after a finished image, blocks whose lengths claim hundreds of
MiB (sparse files, a few KB on disk), and the pixel cap at its edge.

    cases = write_cases(folder)   # [Case], the files written into folder

Each case says what every client must make of it: the picture it must show
(a sample's expected picture, or one colour at a known size), or that it is
refused and why (in tim2png's words)."""

import os
import struct
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(os.path.dirname(os.path.dirname(HERE)), "samples")
MIB = 1 << 20
# The writes a streaming client is fed in, from one byte to more than the file.
CHUNKS = (1, 7, 4096, 65536)


@dataclass
class Case:
    name: str
    path: str
    width: int = 0           # 0: refused
    height: int = 0
    sample: str = ""         # the drawn picture is this sample's expected one
    first_pixel: tuple = ()  # else the top-left pixel, straight RGBA
    reason: str = ""         # refused: tim2png's reason
    claims: bool = False     # memory must not follow the claimed lengths
    chunks: tuple = ()       # also fed in writes of these sizes
    extra: dict = field(default_factory=dict)


def sample_bytes(name):
    with open(os.path.join(SAMPLES, name + ".tim"), "rb") as f:
        return f.read()


def block(length, x, y, w, h):
    return struct.pack("<IHHHH", length, x, y, w, h)


def write_sparse(path, parts, size):
    """`parts` are (offset, bytes); everything else is a hole."""
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in parts:
            f.seek(offset)
            f.write(data)


def write_cases(folder):
    os.makedirs(folder, exist_ok=True)
    cases = []

    def add(case, data=None, sparse=None):
        case.path = os.path.join(folder, case.name)
        if data is not None:
            with open(case.path, "wb") as f:
                f.write(data)
        else:
            write_sparse(case.path, *sparse)
        cases.append(case)

    sprite = sample_bytes("sprite-4bit-clut")
    others = [sample_bytes(n) for n in ("gradient-24bit", "bands-4bit-grey", "checker-16bit", "rings-8bit-clut")]
    # Ripped TIMs are padded to a sector, and a file may hold more than one:
    # the first image is the picture, whatever follows it.
    add(Case("padded-5000.tim", "", 64, 64, sample="sprite-4bit-clut", chunks=CHUNKS),
        sprite + bytes(5000 - len(sprite)))
    add(Case("two-back-to-back.tim", "", 64, 64, sample="sprite-4bit-clut", chunks=(4096,)), sprite + others[0])
    add(Case("then-200-others.tim", "", 64, 64, sample="sprite-4bit-clut", chunks=(65536,)),
        sprite + b"".join(others[i % len(others)] for i in range(200)))

    # A 1 x 1 16-bit image (opaque red) whose block claims 256 MiB.
    head = struct.pack("<II", 16, 2)
    red = struct.pack("<H", 0x801F)
    add(Case("block-claims-256mib.tim", "", 1, 1, first_pixel=(255, 0, 0, 255), claims=True),
        sparse=([(0, head + block(256 * MIB, 0, 0, 1, 1) + red)], 8 + 256 * MIB))
    # A 4-bit image after a CLUT block that claims 512 MiB: its 16 colours
    # (colour 1 opaque green), then a hole, then the image of four pixels.
    colours = struct.pack("<16H", 0, 0x83E0, *([0x801F] * 14))
    image_at = 8 + 512 * MIB
    add(Case("clut-claims-512mib.tim", "", 4, 1, first_pixel=(0, 255, 0, 255), claims=True),
        sparse=([(0, struct.pack("<II", 16, 8) + block(512 * MIB, 0, 480, 16, 1) + colours),
                 (image_at, block(12 + 2, 0, 0, 1, 1) + bytes([0x11, 0x11]))], image_at + 14))

    # The pixel cap, 2^24, at its edge: drawn at it, refused one row past it.
    def big(height):
        pixels = 2 * 4096 * height
        return [(0, head + block(12 + pixels, 0, 0, 4096, height) + red)], 20 + pixels
    add(Case("4096x4096.tim", "", 4096, 4096, first_pixel=(255, 0, 0, 255)), sparse=big(4096))
    add(Case("4096x4097.tim", "", reason="image too large: 4096 x 4097 pixels (at most 16777216 in all)"),
        sparse=big(4097))
    return cases


def small_case(folder):
    """The loose sample the claims' memory is measured against."""
    path = os.path.join(folder, "small.tim")
    with open(path, "wb") as f:
        f.write(sample_bytes("sprite-4bit-clut"))
    return Case("small.tim", path, 64, 64, sample="sprite-4bit-clut")
