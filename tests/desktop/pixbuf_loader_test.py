#!/usr/bin/python3
"""Eye of GNOME's road, and that of every gdk-pixbuf client: installs the
packages that scripts/deb.sh built (tim-thumbnailer for the image/x-tim type,
gdk-pixbuf-loader-tim for the loader), then through Debian's Python gi
bindings opens samples/ and the fuzz seeds with GdkPixbuf.Pixbuf.new_from_file
and a PixbufLoader fed in chunks of 1, 7 and 4096 bytes. A sample's pixels
must be its expected picture (through the conformance driver), other files'
tim2png's (the handler's, top-down, straight alpha); every refused file must
give a GError with tim2png's reason. The dpkg
triggers must have put the loader and the type into the caches, and take
them out again on removal. Each client check runs in a fresh process, which
reads the caches as they are at that moment.

Usage (as root, or with sudo at hand):
    /usr/bin/python3 tests/desktop/pixbuf_loader_test.py tim-thumbnailer_V_amd64.deb gdk-pixbuf-loader-tim_V_amd64.deb"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import debs  # noqa: E402
from samples import DAMAGED, DAMAGED_REASON, FUZZ_SEEDS, SAMPLES, conformance_failure, drawn_samples  # noqa: E402

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib  # noqa: E402

LOADERS_CACHE = subprocess.run(["pkg-config", "--variable=gdk_pixbuf_cache_file", "gdk-pixbuf-2.0"],
                               capture_output=True, text=True).stdout.strip() or \
    "/usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache"
CHUNKS = (1, 7, 4096)


def rgba(pixbuf):
    """(width, height, rows of RGBA bytes without padding)."""
    if not pixbuf.get_has_alpha():
        pixbuf = pixbuf.add_alpha(False, 0, 0, 0)
    data, stride, width = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_width()
    return (width, pixbuf.get_height(),
            [bytes(data[y * stride:y * stride + 4 * width]) for y in range(pixbuf.get_height())])


def fed(path, chunk, mime=None):
    """The pixbuf a PixbufLoader makes of the file fed `chunk` bytes at a time
    (sniffing the type itself, as viewers do, unless `mime` is given)."""
    loader = GdkPixbuf.PixbufLoader.new_with_mime_type(mime) if mime else GdkPixbuf.PixbufLoader()
    with open(path, "rb") as f:
        data = f.read()
    try:
        for i in range(0, len(data), chunk):
            loader.write(data[i:i + chunk])
    finally:
        loader.close()
    return loader.get_pixbuf()


class Loader(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tim-pixbuf-test-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def tim2png(self, path):
        """The handler's pixels of `path` (tim2png's PNG), or tim2png's refusal reason."""
        out = os.path.join(self.work, os.path.basename(path) + ".png")
        result = subprocess.run(["/usr/bin/tim2png", path, out], capture_output=True, text=True)
        if result.returncode != 0:
            return result.stderr.strip().split(": refused: ", 1)[-1]
        return rgba(GdkPixbuf.Pixbuf.new_from_file(out))

    def test_format_is_registered(self):
        formats = {f.get_name(): f for f in GdkPixbuf.Pixbuf.get_formats()}
        self.assertIn("tim", formats)
        self.assertEqual(formats["tim"].get_mime_types(), ["image/x-tim"])
        self.assertEqual(formats["tim"].get_extensions(), ["tim"])

    def test_samples_whole_and_in_chunks_are_their_expected_pictures(self):
        names = drawn_samples()
        self.assertGreaterEqual(len(names), 7)
        for name in names:
            path = os.path.join(SAMPLES, name)
            with self.subTest(name):
                pixbuf = GdkPixbuf.Pixbuf.new_from_file(path)
                self.assertTrue(pixbuf.get_has_alpha())
                self.assertIsNone(conformance_failure(name, *rgba(pixbuf)))
                for chunk in CHUNKS:
                    self.assertIsNone(conformance_failure(name, *rgba(fed(path, chunk))), f"chunks of {chunk}")

    def test_type_is_found_by_content_without_the_name(self):
        path = os.path.join(self.work, "no-extension")
        shutil.copyfile(os.path.join(SAMPLES, "rings-8bit-clut.tim"), path)
        fmt, width, height = GdkPixbuf.Pixbuf.get_file_info(path)
        self.assertEqual((fmt.get_name(), width, height), ("tim", 64, 64))
        self.assertEqual(rgba(GdkPixbuf.Pixbuf.new_from_file(path)), self.tim2png(path))

    def test_damaged_sample_gives_its_reason(self):
        path = os.path.join(SAMPLES, DAMAGED)
        with self.assertRaises(GLib.Error) as caught:
            GdkPixbuf.Pixbuf.new_from_file(path)
        self.assertIn(DAMAGED_REASON, caught.exception.message)
        for chunk in CHUNKS:
            with self.subTest(chunk=chunk), self.assertRaises(GLib.Error) as caught:
                fed(path, chunk)
            self.assertIn(DAMAGED_REASON, caught.exception.message)

    def test_fuzz_seeds_are_drawn_or_refused_as_tim2png_does(self):
        seeds = sorted(os.listdir(FUZZ_SEEDS))
        self.assertGreaterEqual(len(seeds), 30)
        drawn = refused = 0
        for name in seeds:
            path = os.path.join(FUZZ_SEEDS, name)
            expected = self.tim2png(path)
            with self.subTest(name):
                # The type is given: files that are no TIM must reach the loader too.
                for chunk in (1 << 30,) + CHUNKS:
                    try:
                        got = rgba(fed(path, chunk, "image/x-tim"))
                    except GLib.Error as e:
                        got = e.message
                    self.assertEqual(got, expected, f"chunks of {chunk}")
            if isinstance(expected, str):
                refused += 1
            else:
                drawn += 1
        # Both kinds must be there, or the comparison proves little.
        self.assertGreaterEqual(drawn, 10)
        self.assertGreaterEqual(refused, 10)


def client_check(code):
    """Runs `code` in a fresh Debian Python, which reads the caches anew."""
    return subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version('GdkPixbuf', '2.0');"
                           "from gi.repository import GdkPixbuf, Gio;" + code],
                          capture_output=True, text=True).stdout.strip()


FORMATS = "print(' '.join(f.get_name() for f in GdkPixbuf.Pixbuf.get_formats()))"
MIME = f"print(Gio.content_type_guess(None, open('{SAMPLES}/checker-16bit.tim', 'rb').read(64))[0])"


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    checks = []

    def check(what, ok):
        print(("ok: " if ok else "FAILED: ") + what)
        checks.append(ok)

    with debs.installed(sys.argv[1:3]):
        check("after install, gdk-pixbuf's loaders cache lists the loader",
              "libpixbufloader-tim.so" in open(LOADERS_CACHE).read() and "tim" in client_check(FORMATS).split())
        check("after install, the MIME database knows image/x-tim", client_check(MIME) == "image/x-tim")
        # Unittest's own process, started on the caches as they are now.
        result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    check("after removal, the loaders cache no longer lists the loader",
          "libpixbufloader-tim.so" not in open(LOADERS_CACHE).read() and "tim" not in client_check(FORMATS).split())
    check("after removal, the MIME database no longer knows image/x-tim", client_check(MIME) != "image/x-tim")
    # A subtest's failure counts against its test, once.
    failed_tests = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    failed = len(failed_tests) + checks.count(False)
    passed = result.testsRun - len(failed_tests) + checks.count(True)
    print(f"pixbuf loader: {passed} passed, {failed} failed")
    sys.exit(1 if failed or not result.testsRun else 0)


if __name__ == "__main__":
    main()
