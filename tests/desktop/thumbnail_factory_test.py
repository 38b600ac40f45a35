#!/usr/bin/python3
"""The Linux desktop as a user gets it: installs the Debian package, asks
GNOME's thumbnail factory (the code GNOME Files uses, which runs the
thumbnailer in a bubblewrap sandbox that sees /usr and the input file only)
for thumbnails of samples/ and of a larger image, checks their sizes and
pixels (a sample's against its expected picture, through the conformance
driver; the larger image's against tim2png), then removes the package again.

Usage (as root, or with sudo at hand):
    /usr/bin/python3 tests/desktop/thumbnail_factory_test.py tim-thumbnailer_VERSION_amd64.deb

Debian's /usr/bin/python3, since it has the gi bindings
(python3-gi, gir1.2-gnomedesktop-3.0)."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import debs  # noqa: E402
from samples import SAMPLES, conformance_failure, drawn_samples  # noqa: E402

import gi  # noqa: E402

gi.require_version("GnomeDesktop", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib, GnomeDesktop  # noqa: E402

def rgba(pixbuf):
    """Rows of RGBA bytes without the row padding."""
    assert pixbuf.get_has_alpha() and pixbuf.get_n_channels() == 4
    data = pixbuf.get_pixels()
    stride, width = pixbuf.get_rowstride(), pixbuf.get_width()
    return [data[y * stride:y * stride + 4 * width] for y in range(pixbuf.get_height())]


def pixel(pixbuf, x, y):
    return tuple(rgba(pixbuf)[y][4 * x:4 * x + 4])


def big_16bit_tim(path, width, height):
    """A 16-bit TIM file: red across, green down, a transparent top-left corner."""
    rows = bytearray()
    for y in range(height):
        for x in range(width):
            colour = 0 if x < width // 4 and y < height // 4 else \
                0x8000 | (x * 31 // (width - 1)) | ((y * 31 // (height - 1)) << 5)
            rows += struct.pack("<H", colour)
    with open(path, "wb") as f:
        f.write(struct.pack("<IIIHHHH", 16, 2, 12 + len(rows), 0, 0, width, height) + rows)


class ThumbnailFactory(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tim-thumbnail-test-")
        # A home and cache of the test's own: no user's thumbnails are touched.
        for name in ("HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"):
            os.environ[name] = os.path.join(cls.work, name.lower())
            os.makedirs(os.environ[name])
        cls.normal = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.NORMAL)
        cls.large = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def copy(self, name, new_name=None):
        path = os.path.join(self.work, new_name or name)
        shutil.copyfile(os.path.join(SAMPLES, name), path)
        return path

    def thumbnail(self, factory, path):
        """The factory's thumbnail as a pixbuf, or None when it makes none."""
        gfile = Gio.File.new_for_path(path)
        mime = gfile.query_info("standard::content-type", 0, None).get_content_type()
        self.assertEqual(mime, "image/x-tim", path)
        self.assertTrue(factory.can_thumbnail(gfile.get_uri(), mime, 0), "no thumbnailer for image/x-tim")
        try:
            return factory.generate_thumbnail(gfile.get_uri(), mime, None)
        except GLib.Error:
            return None

    def tim2png(self, path, size):
        out = path + f".{size}.png"
        subprocess.run(["/usr/bin/tim2png", "--size", str(size), path, out], check=True, stdout=subprocess.DEVNULL)
        return GdkPixbuf.Pixbuf.new_from_file(out)

    def test_every_sample_is_its_expected_picture(self):
        names = drawn_samples()
        self.assertGreaterEqual(len(names), 7)
        for name in names:
            with self.subTest(name):
                path = self.copy(name)
                for factory, size in ((self.normal, 128), (self.large, 256)):
                    got = self.thumbnail(factory, path)
                    self.assertIsNotNone(got, f"no thumbnail at {size}")
                    # 64 x 64 fits both sizes and is not enlarged.
                    self.assertEqual((got.get_width(), got.get_height()), (64, 64))
                    self.assertIsNone(conformance_failure(name, 64, 64, rgba(got)), f"at {size}")

    def test_larger_image_is_shrunk_to_the_size_asked(self):
        path = os.path.join(self.work, "wide.tim")
        big_16bit_tim(path, 300, 200)
        for factory, size, expected in ((self.normal, 128, (128, 85)), (self.large, 256, (256, 171))):
            got = self.thumbnail(factory, path)
            self.assertIsNotNone(got)
            self.assertEqual((got.get_width(), got.get_height()), expected)
            self.assertEqual(rgba(got), rgba(self.tim2png(path, size)))
            self.assertEqual(pixel(got, 0, 0)[3], 0)                           # the transparent corner
            self.assertEqual(pixel(got, expected[0] - 1, expected[1] - 1)[3], 255)

    def test_damaged_file_gets_no_thumbnail(self):
        self.assertIsNone(self.thumbnail(self.normal, self.copy("refused-truncated.tim")))

    def test_type_is_known_by_content_too(self):
        path = self.copy("rings-8bit-clut.tim", "rings-without-extension")
        self.assertIsNotNone(self.thumbnail(self.normal, path))
        # Identifier 16 with flags 16 is not a TIM file.
        other = os.path.join(self.work, "not-a-tim")
        with open(other, "wb") as f:
            f.write(struct.pack("<III", 16, 16, 12) + bytes(100))
        mime = Gio.File.new_for_path(other).query_info("standard::content-type", 0, None).get_content_type()
        self.assertNotEqual(mime, "image/x-tim")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with debs.installed([sys.argv[1]]):
        result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    # A test whose subtests fail counts once.
    failed = len({getattr(test, "test_case", test).id() for test, _ in result.failures + result.errors})
    print(f"desktop: {result.testsRun - failed} passed, {failed} failed")
    sys.exit(1 if failed or not result.testsRun else 0)


if __name__ == "__main__":
    main()
