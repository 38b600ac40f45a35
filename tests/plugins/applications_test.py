#!/usr/bin/python3
"""The applications themselves on an X server of their own: Dolphin showing
samples/ and Gwenview opening one sample. A screenshot of each must show the
sample's known colours when the packages are installed (--expect shown), and
none of them when they are not (--expect absent). The screenshots are kept
as PNG files in OUTDIR.

Usage (under xvfb-run, which gives the X server and DISPLAY):
    xvfb-run -a -s "-screen 0 1280x800x24" /usr/bin/python3 tests/plugins/applications_test.py \\
        --expect shown|absent OUTDIR"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import screen  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLES = os.path.join(ROOT, "samples")

# The mushroom's cap (TIM colour (29, 5, 4)) in sprite-4bit-clut.tim, and its
# spots (31, 31, 30): large flat areas that survive any scaling inside them.
# Neither is a colour of the applications' own.
CAP = (0xEF, 0x29, 0x21)
SPOTS = (0xFF, 0xFF, 0xF7)
# A 64 x 64 sample at 100 % has 720 cap pixels; a thumbnail somewhat fewer.
ENOUGH = 100


def run_app(name, command, expect, outdir):
    """Starts the application with a home of its own, waits for it to draw,
    screenshots the screen and stops the application again."""
    work = tempfile.mkdtemp(prefix=f"tim-{name}-")
    env = dict(os.environ)
    for var in ("HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"):
        env[var] = os.path.join(work, var.lower())
        os.makedirs(env[var], mode=0o700)
    env["QT_QPA_PLATFORM"] = "xcb"
    log = open(os.path.join(outdir, f"{name}-{expect}.log"), "w")
    app = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT)
    try:
        # Shown: until the colours are there (30 s at most). Absent: until the
        # window is up, then as long again as drawing ever took.
        started, drawn_at, shot = time.monotonic(), None, None
        while time.monotonic() - started < 30:
            time.sleep(1)
            shot = screen.grab(env)
            if drawn_at is None and any(any(row) for row in shot[2][::50]):
                drawn_at = time.monotonic()
            if expect == "shown" and screen.count(shot, CAP) >= ENOUGH:
                break
            if expect == "absent" and drawn_at and time.monotonic() - drawn_at > 6:
                break
    finally:
        app.terminate()
        try:
            app.wait(10)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()
        log.close()
        shutil.rmtree(work, ignore_errors=True)
    path = os.path.join(outdir, f"{name}-{expect}.png")
    screen.write_png(shot, path)
    cap, spots = screen.count(shot, CAP), screen.count(shot, SPOTS)
    ok = (cap >= ENOUGH and spots > 0) if expect == "shown" else cap == 0
    print(f"{'ok' if ok else 'FAILED'}: {name}, colours {expect}: {cap} cap and {spots} spot pixels "
          f"after {time.monotonic() - started:.0f} s; {path}")
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect", choices=("shown", "absent"), required=True)
    parser.add_argument("outdir")
    args = parser.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="tim-samples-")
    try:
        for name in os.listdir(SAMPLES):
            if name.endswith(".tim"):
                shutil.copy(os.path.join(SAMPLES, name), folder)
        results = [
            run_app("dolphin", ["dolphin", "--new-window", folder], args.expect, args.outdir),
            run_app("gwenview", ["gwenview", os.path.join(folder, "sprite-4bit-clut.tim")], args.expect,
                    args.outdir),
        ]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
