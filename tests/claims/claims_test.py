#!/usr/bin/python3
"""The hostile files of claims.py through every Linux client as users get it:
installs the Debian packages, then runs each file through tim2png, GdkPixbuf
(by name, and a PixbufLoader fed in writes), QImageReader of Qt 5 and Qt 6
(by name, and from a sequential device) and KIO::PreviewJob, each in a
process of its own. Every client must show the case's picture or refuse it,
and none may use more than 64 MiB over what it uses on a small file on the
files whose blocks claim hundreds of MiB. tim2png must refuse /dev/zero and
a FIFO at once. Prints each client's peak memory.

Usage (as root, or with sudo at hand), with Debian's /usr/bin/python3:
    /usr/bin/python3 tests/claims/claims_test.py BUILD_DIR PACKAGE.deb...
    /usr/bin/python3 tests/claims/claims_test.py --windows WINE TIMTHUMB.EXE WIC_READ.EXE
BUILD_DIR is the plugins preset's tree (build/plugins), which holds the Qt
and KIO client programs; the packages are tim-thumbnailer,
gdk-pixbuf-loader-tim and the qt5, qt6 and kio plug-in packages. With
--windows, the files go through the installed Windows handler and codec
instead: the handler by timthumb.exe, the codec through WIC by wic_read.exe
(tests/windows/WicRead.cpp), run with the WINE command (scripts/wine-run.sh)."""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "desktop"))
import claims  # noqa: E402
import debs  # noqa: E402
from samples import conformance_failure  # noqa: E402

MEMORY_MARGIN_KIB = 64 * 1024
TIM2PNG = "/usr/bin/tim2png"


def run(command, env=None, timeout=300, worker=None):
    """(exit code, output, peak resident KiB of the process and the children
    it waited for). GNU time starts it: a child forked from this Python would
    count the Python's own peak too. A `worker` (a process name) that the
    process starts but does not wait for is watched while it runs, and its
    peak counted too."""
    with tempfile.NamedTemporaryFile() as peak, tempfile.TemporaryFile() as out:
        process = subprocess.Popen(["/usr/bin/time", "-q", "-f", "%M", "-o", peak.name] + command, env=env,
                                   stdout=out, stderr=subprocess.STDOUT)
        started, worker_peak = time.monotonic(), 0
        while process.poll() is None:
            if time.monotonic() - started > timeout:
                process.kill()
                raise subprocess.TimeoutExpired(command, timeout)
            if worker:
                worker_peak = max([worker_peak] + peaks_of(worker))
            time.sleep(0.02)
        out.seek(0)
        return (process.returncode, out.read().decode(errors="replace").strip(),
                max(int(peak.read().split()[-1]), worker_peak))


def peaks_of(name):
    """VmHWM in KiB of the running processes called `name`."""
    peaks = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/status") as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if status.get("Name", "").strip() == name and "VmHWM" in status:
            peaks.append(int(status["VmHWM"].split()[0]))
    return peaks


def read_png(path):
    """(width, height, straight RGBA rows) of any PNG, through GdkPixbuf."""
    import gi
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(path)
    if not pixbuf.get_has_alpha():
        pixbuf = pixbuf.add_alpha(False, 0, 0, 0)
    data, stride, width = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_width()
    return width, pixbuf.get_height(), [bytes(data[y * stride:y * stride + 4 * width])
                                        for y in range(pixbuf.get_height())]


def read_raw(path, width, height):
    with open(path, "rb") as f:
        data = f.read()
    return [data[y * 4 * width:(y + 1) * 4 * width] for y in range(height)]


def judge(case, code, output, picture, box=0):
    """None when a client's answer is the case's, else what is wrong.
    `picture()` gives (width, height, rows) of what the client drew; `box`:
    the client shrinks to fit box x box."""
    if not case.width:
        return None if code == 1 else f"not refused (exit {code}: {output})"
    if code != 0:
        return f"refused (exit {code}: {output})"
    width, height, rows = picture()
    scale = min(1.0, box / max(case.width, case.height)) if box else 1.0
    want = (max(1, round(case.width * scale)), max(1, round(case.height * scale)))
    if (width, height) != want:
        return f"drawn at {width} x {height}, not {want[0]} x {want[1]}"
    if case.sample:
        return conformance_failure(case.sample, width, height, rows)
    if scale == 1.0 and tuple(rows[0][:4]) != case.first_pixel:
        return f"top-left pixel {tuple(rows[0][:4])}, not {case.first_pixel}"
    return None


def tim2png(case, work):
    out = os.path.join(work, "out.png")
    code, output, peak = run([TIM2PNG, case.path, out])
    if case.reason and case.reason not in output:
        return f"refused without its reason: {output}", peak
    return judge(case, code, output, lambda: read_png(out)), peak


def pixbuf(case, work, chunk):
    out = os.path.join(work, "out.rgba")
    code, output, peak = run(["/usr/bin/python3", os.path.abspath(__file__), "--pixbuf", case.path, str(chunk), out])
    return judge(case, code, output, lambda: raw_picture(output, out)), peak


def raw_picture(output, path):
    width, height = map(int, output.split()[-2:])
    return width, height, read_raw(path, width, height)


def program(command_of, worker=None):
    def client(case, work, *args):
        out = os.path.join(work, "out.rgba")
        command, env, box = command_of(case.path, out, *args)
        code, output, peak = run(command, env, worker=worker)
        return judge(case, code, output, lambda: raw_picture(output, out), box), peak
    return client


def linux_clients(build, env):
    tests = os.path.join(build, "tests", "plugins")
    qt = {major: os.path.join(tests, "qt", f"qt{major}", f"qt{major}_claims_reader") for major in (5, 6)}
    kio = os.path.join(tests, "kde", "kio_claims_preview")
    clients = [("tim2png", tim2png, False), ("GdkPixbuf", pixbuf, True)]
    for major in (5, 6):
        clients.append((f"Qt {major}", program(lambda path, out, chunk, m=major: ([qt[m], path, str(chunk), out],
                                                                                  env, 0)), True))
    # The plugin runs in KIO's thumbnail worker, which the job starts.
    clients.append(("KIO::PreviewJob", program(lambda path, out: ([kio, path, "256", out], env, 256), "kioslave5"),
                    False))
    return clients


def windows_clients(wine, timthumb, wic_read):
    def handler(case, work):
        out = os.path.join(work, "out.png")
        if os.path.exists(out):
            os.remove(out)
        code, output, peak = run([wine, timthumb, case.path, out])
        # The handler gives the whole image, whatever size is asked for.
        return judge(case, code, output, lambda: read_png(out)), peak
    return [("timthumb (the Windows handler)", handler, False),
            ("WIC (the Windows codec)", program(lambda path, out: ([wine, wic_read, path, out], None, 0)), False)]


def pixbuf_child(path, chunk, out):
    """In a process of its own: the file through GdkPixbuf by name (chunk 0)
    or through a PixbufLoader fed `chunk` bytes a write."""
    import gi
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf, GLib
    try:
        if chunk == 0:
            image = GdkPixbuf.Pixbuf.new_from_file(path)
        else:
            loader = GdkPixbuf.PixbufLoader()
            with open(path, "rb") as f:
                while True:
                    data = f.read(chunk)
                    if not data:
                        break
                    loader.write(data)
            loader.close()
            image = loader.get_pixbuf()
    except GLib.Error as error:
        print(f"refused: {error.message}")
        return 1
    if not image.get_has_alpha():
        image = image.add_alpha(False, 0, 0, 0)
    data, stride, width = image.get_pixels(), image.get_rowstride(), image.get_width()
    with open(out, "wb") as f:
        for y in range(image.get_height()):
            f.write(bytes(data[y * stride:y * stride + 4 * width]))
    print(width, image.get_height())
    return 0


def not_a_file_at_once(work):
    """tim2png on /dev/zero and on a FIFO with no writer: exit 7 at once."""
    fifo = os.path.join(work, "fifo.tim")
    os.mkfifo(fifo)
    failures = []
    for path in ("/dev/zero", fifo):
        started = time.monotonic()
        try:
            code, output, _ = run([TIM2PNG, path, os.path.join(work, "x.png")], timeout=10)
        except subprocess.TimeoutExpired:
            code, output = None, "no answer in 10 s"
        if code != 7 or time.monotonic() - started > 5:
            failures.append(f"tim2png {path}: exit {code} ({output})")
    return failures


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--pixbuf":
        sys.exit(pixbuf_child(sys.argv[2], int(sys.argv[3]), sys.argv[4]))
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    work = tempfile.mkdtemp(prefix="tim-claims-")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", ASAN_OPTIONS="detect_leaks=0")
    for var in ("HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"):
        env[var] = os.path.join(work, var.lower())
        os.makedirs(env[var], mode=0o700)
    # (name, client, whether it is also fed in writes)
    if sys.argv[1] == "--windows":
        wine, timthumb, wic_read = sys.argv[2:5]
        packages, clients = [], windows_clients(wine, timthumb, wic_read)
    else:
        packages, clients = sys.argv[2:], linux_clients(sys.argv[1], env)

    cases = claims.write_cases(os.path.join(work, "files"))
    small = claims.small_case(os.path.join(work, "files"))
    failures, figures = [], []
    with debs.installed(packages) if packages else contextlib.nullcontext():
        if packages:
            failures += not_a_file_at_once(work)
        for name, client, streams in clients:
            base_failure, base = client(small, work, 0) if streams else client(small, work)
            if base_failure:
                failures.append(f"{name} on {small.name}: {base_failure}")
            for case in cases:
                for chunk in ((0,) + case.chunks if streams else (None,)):
                    label = f"{name} on {case.name}" + (f" in writes of {chunk}" if chunk else "")
                    failure, peak = client(case, work, chunk) if streams else client(case, work)
                    if failure:
                        failures.append(f"{label}: {failure}")
                    if case.claims or case.name == "4096x4096.tim":  # the largest image, for scale
                        figures.append((label, base, peak))
                        if case.claims and peak - base > MEMORY_MARGIN_KIB:
                            failures.append(f"{label}: peak {peak // 1024} MiB, "
                                            f"{(peak - base) // 1024} MiB over a small file's")
    shutil.rmtree(work, ignore_errors=True)
    print("peak memory (on a small file, then on the file):")
    for label, base, peak in figures:
        print(f"  {label}: {base / 1024:.1f} MiB -> {peak / 1024:.1f} MiB")
    for failure in failures:
        print("FAILED:", failure)
    print(f"claims: {len(cases)} files through {len(clients)} clients, {len(failures)} failures")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
