#!/usr/bin/python3
"""Eye of GNOME itself, as a user meets it: a real window under xvfb-run
opening samples/sprite-4bit-clut.tim, screenshotted. Without the packages
the mushroom's colours must not be on screen (EoG says "Unrecognized image
file format"); with tim-thumbnailer and gdk-pixbuf-loader-tim installed
they must be. The screenshots stay in build/desktop/ to be looked at.

Usage (as root, or with sudo at hand):
    /usr/bin/python3 tests/desktop/eog_screenshot_test.py tim-thumbnailer_V_amd64.deb gdk-pixbuf-loader-tim_V_amd64.deb"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import debs  # noqa: E402
from samples import ROOT, SAMPLES  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "plugins"))
import screen  # noqa: E402

SAMPLE = "sprite-4bit-clut.tim"
# The sprite's cap and outline, as the handler draws them (TIM colours
# (29, 5, 4) and (4, 2, 3)); EoG shows the 64 x 64 image at 100 %.
CAP, OUTLINE = (239, 41, 33), (33, 16, 24)
SHOTS = os.path.join(ROOT, "build", "desktop")


def screenshot(name, work):
    """EoG opens the sample in a fresh home; the screen after a few seconds."""
    home = tempfile.mkdtemp(prefix="home-", dir=work)
    env = dict(os.environ, HOME=home, XDG_CACHE_HOME=home + "/cache", XDG_CONFIG_HOME=home + "/config",
               XDG_DATA_HOME=home + "/data", XDG_RUNTIME_DIR=home + "/run")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    image = os.path.join(work, SAMPLE)
    # EoG draws once the image is read; six seconds leave room for a busy machine.
    dump = os.path.join(work, name + ".xwd")
    script = (f"eog '{image}' >'{work}/{name}.log' 2>&1 & sleep 6; xwd -root -silent -out '{dump}'; "
              "kill $! 2>/dev/null; true")
    subprocess.run(["timeout", "90", "xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh", "-c", script],
                   env=env, check=True)
    with open(dump, "rb") as f:
        shot = screen.read_xwd(f.read())
    screen.write_png(shot, os.path.join(SHOTS, name))
    return shot


def colour_counts(shot, colours):
    return {colour: screen.count(shot, colour) for colour in colours}


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    os.makedirs(SHOTS, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tim-eog-test-")
    shutil.copyfile(os.path.join(SAMPLES, SAMPLE), os.path.join(work, SAMPLE))
    results = []

    def check(what, ok, detail):
        print(("ok: " if ok else "FAILED: ") + what + f" ({detail})")
        results.append(ok)

    try:
        names = [debs.package_name(d) for d in sys.argv[1:3]]
        if any(debs.is_installed(n) for n in names):
            print("skipped: the view without the packages (they were installed before the test)")
        else:
            counts = colour_counts(screenshot("eog-without-package.png", work), (CAP, OUTLINE))
            check("without the packages, Eye of GNOME shows none of the sprite's colours",
                  counts[CAP] == 0 and counts[OUTLINE] == 0, f"cap {counts[CAP]}, outline {counts[OUTLINE]} pixels")
        with debs.installed(sys.argv[1:3]):
            counts = colour_counts(screenshot("eog-with-package.png", work), (CAP, OUTLINE))
        # At 100 % the sprite has 720 cap and 832 outline pixels.
        check("with the packages, Eye of GNOME shows the sprite in its colours",
              counts[CAP] >= 500 and counts[OUTLINE] >= 500, f"cap {counts[CAP]}, outline {counts[OUTLINE]} pixels")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"screenshots in {SHOTS}")
    print(f"eog: {results.count(True)} passed, {results.count(False)} failed")
    sys.exit(0 if results and all(results) else 1)


if __name__ == "__main__":
    main()
