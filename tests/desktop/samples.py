"""The samples and the conformance driver, for the desktop tests of every
client: a client's picture of a sample is compared with the sample's expected
picture (samples/NAME.png) by conformance_check, the native build's one
comparison (tests/conformance/), which `cmake --workflow --preset native`
builds; TIM_CONFORMANCE_CHECK may name another build of it."""

import os
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLES = os.path.join(ROOT, "samples")
FUZZ_SEEDS = os.path.join(ROOT, "fuzz", "corpus")
DAMAGED = "refused-truncated.tim"
DAMAGED_REASON = "damaged TIM file: its blocks do not fit the file"
CONFORMANCE_CHECK = os.environ.get("TIM_CONFORMANCE_CHECK") or \
    os.path.join(ROOT, "build", "native", "tests", "conformance", "conformance_check")


def conformance_failure(name, width, height, rows):
    """None when `rows` (top row first, straight RGBA bytes, width * 4 each)
    are sample `name`'s expected picture, else conformance_check's reason."""
    if not os.access(CONFORMANCE_CHECK, os.X_OK):
        raise RuntimeError(f"no {CONFORMANCE_CHECK}: build the native preset first")
    with tempfile.NamedTemporaryFile(prefix="tim-picture-", suffix=".rgba") as raw:
        raw.write(b"".join(rows))
        raw.flush()
        result = subprocess.run([CONFORMANCE_CHECK, name, "--raw", str(width), str(height), str(4 * width),
                                 "rgba", raw.name], capture_output=True, text=True)
    if result.returncode == 0:
        return None
    return result.stderr.strip() or f"conformance_check exited with {result.returncode}"


def drawn_samples():
    return sorted(n for n in os.listdir(SAMPLES) if n.endswith(".tim") and not n.startswith("refused-"))
