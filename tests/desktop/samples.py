"""The samples' known pixels, for the desktop tests of every client: the
handler's own colours at points chosen to cover every pixel format, with
and without a CLUT, transparent and opaque, the rows' order and the channels'.
Each value follows from samples/generator/SampleTims.h through the colour rule
(5-bit channel v widens to v << 3 | v >> 2; colour 0 is transparent)."""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLES = os.path.join(ROOT, "samples")
FUZZ_SEEDS = os.path.join(ROOT, "fuzz", "corpus")
DAMAGED = "refused-truncated.tim"
DAMAGED_REASON = "damaged TIM file: its blocks do not fit the file"

# name: [((x, y), (r, g, b, a)), ...], top-down coordinates, straight alpha.
KNOWN_PIXELS = {
    "sprite-4bit-clut.tim": [((0, 0), (0, 0, 0, 0)),           # colour 0: transparent
                             ((20, 4), (33, 16, 24, 255))],    # outline: TIM colour (4, 2, 3)
    "sprite-4bit-two-palettes.tim": [((0, 0), (0, 0, 0, 0)),
                                     ((20, 4), (33, 16, 24, 255))],
    "bands-4bit-grey.tim": [((0, 0), (0, 0, 0, 255)),          # built-in grey 0: opaque black
                            ((63, 63), (255, 255, 255, 255))],  # grey 15
    "rings-8bit-clut.tim": [((0, 0), (0, 0, 0, 0)),            # outside the disc: index 0
                            ((32, 32), (0, 255, 255, 255))],    # index 129: hue 96, cyan
    "glow-8bit-grey.tim": [((0, 0), (0, 0, 0, 255)),           # grey level 7 >> 3 = 0
                           ((32, 32), (255, 255, 255, 255))],   # level 255
    "checker-16bit.tim": [((0, 0), (0, 0, 0, 255)),            # 0x8000: opaque black
                          ((10, 2), (0, 0, 0, 0))],             # a hole
    "gradient-24bit.tim": [((0, 0), (0, 0, 255, 255)),
                           ((63, 0), (255, 0, 129, 255))],      # rows top-down, red first
}


def drawn_samples():
    return sorted(n for n in os.listdir(SAMPLES) if n.endswith(".tim") and not n.startswith("refused-"))
