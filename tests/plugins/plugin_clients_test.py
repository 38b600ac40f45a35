#!/usr/bin/python3
"""The Qt and KDE plug-ins as users get them: installs the Debian packages
that scripts/deb.sh built, drives the real clients headless, and removes the
packages again:

- QImageReader (Qt 5, then Qt 6) over samples/ and the fuzz seeds, on the
  installed plugin (qt<N>_reader_tests, built by the plugins preset);
- KIO::PreviewJob, the call Dolphin makes (kio_preview_tests);
- Dolphin and Gwenview under xvfb-run, screenshotted with the packages and
  again without them (applications_test.py).

Each client runs with QT_QPA_PLATFORM=offscreen (the applications on the X
server xvfb-run starts) and a HOME, XDG folders and thumbnail cache of its
own, made afresh.

Usage (as root, or with sudo at hand), with Debian's /usr/bin/python3:
    /usr/bin/python3 tests/plugins/plugin_clients_test.py BUILD_DIR SCREENSHOT_DIR PACKAGE.deb...
BUILD_DIR is the plugins preset's tree (build/plugins); the packages are
tim-thumbnailer and the qt5, qt6 and kio plug-in packages."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "desktop"))
import debs  # noqa: E402

XVFB = ["xvfb-run", "-a", "-s", "-screen 0 1280x800x24"]


def fresh_env():
    work = tempfile.mkdtemp(prefix="tim-plugin-client-")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("QT_PLUGIN_PATH", None)
    for var in ("HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"):
        env[var] = os.path.join(work, var.lower())  # absolute: relative XDG paths are ignored
        os.makedirs(env[var], mode=0o700)
    return work, env


def qt_plugin_dir(qmake):
    return subprocess.run([qmake, "-query", "QT_INSTALL_PLUGINS"], check=True, capture_output=True,
                          text=True).stdout.strip()


def step(name, command, extra_env=None):
    work, env = fresh_env()
    env.update(extra_env or {})
    started = time.monotonic()
    result = subprocess.run(command, env=env)
    shutil.rmtree(work, ignore_errors=True)
    ok = result.returncode == 0
    print(f"{'ok' if ok else 'FAILED'}: {name} ({time.monotonic() - started:.1f} s)", flush=True)
    return ok


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    build, shots, packages = sys.argv[1], sys.argv[2], sys.argv[3:]
    tests = os.path.join(build, "tests", "plugins")
    apps = ["/usr/bin/python3", os.path.join(HERE, "applications_test.py")]
    results = []
    with debs.installed(packages):
        for major, qmake in ((5, "qmake"), (6, "qmake6")):
            results.append(step(f"Qt {major}: QImageReader on the installed plugin",
                                [os.path.join(tests, "qt", f"qt{major}", f"qt{major}_reader_tests")],
                                {"TIM_QT_PLUGIN": os.path.join(qt_plugin_dir(qmake), "imageformats")}))
        # KDE's libraries keep allocations to the end; only the plugin's
        # road is judged here, and it runs in KIO's worker process.
        results.append(step("KIO::PreviewJob on the installed thumbnailer",
                            [os.path.join(tests, "kde", "kio_preview_tests")], {"ASAN_OPTIONS": "detect_leaks=0"}))
        results.append(step("Dolphin and Gwenview show the samples", XVFB + apps + ["--expect", "shown", shots]))
    results.append(step("without the packages, neither does", XVFB + apps + ["--expect", "absent", shots]))
    failed = results.count(False)
    print(f"plugin clients: {len(results) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
