"""Checks the artwork produced by res/make_artwork.py.

The files are parsed with small readers of our own, not the generator's code,
so a writer bug cannot hide behind a matching reader bug. Set ARTWORK_DIR to
check an already generated folder instead of a fresh run.
"""

import math
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

GENERATOR = Path(__file__).resolve().parents[2] / "res" / "make_artwork.py"
FILES = ("background.bmp", "track.png", "fill.png", "installer.ico")
BG_W, BG_H = 560, 310
BG_TOP, BG_BOTTOM = (119, 236, 226), (1, 116, 187)
BOX_X0, BOX_Y0, BOX_X1, BOX_Y1 = 179, 56, 379, 243
BAR_W, BAR_H = 480, 8
PNG_SIG = b"\x89PNG\r\n\x1a\n"
OUT, _tmp = None, None


def generate(outdir):
    subprocess.run([sys.executable, str(GENERATOR), str(outdir)], check=True, timeout=120)


def setUpModule():
    global OUT, _tmp
    if os.environ.get("ARTWORK_DIR"):
        OUT = Path(os.environ["ARTWORK_DIR"])
    else:
        _tmp = tempfile.TemporaryDirectory()
        OUT = Path(_tmp.name) / "missing" / "dir"   # the generator must create it
        generate(OUT)


def tearDownModule():
    if _tmp:
        _tmp.cleanup()


def gradient(y):
    return tuple(round(a + (b - a) * y / (BG_H - 1)) for a, b in zip(BG_TOP, BG_BOTTOM))


def off_by(px, want):
    return max(abs(p - w) for p, w in zip(px, want))


class BackgroundTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        data = (OUT / "background.bmp").read_bytes()
        cls.file_header = struct.unpack_from("<2sIHHI", data, 0)
        cls.info = struct.unpack_from("<IiiHHI", data, 14)
        cls.size = len(data)
        offset, stride = cls.file_header[4], (BG_W * 3 + 3) & ~3
        cls.rows = [[tuple(data[offset + y * stride + x * 3 + 2 - c] for c in range(3))
                     for x in range(BG_W)] for y in range(BG_H)][::-1]  # bottom-up
        cls.ink = [(x, y, cls.rows[y][x]) for y in range(BOX_Y0, BOX_Y1 + 1)
                   for x in range(BOX_X0, BOX_X1 + 1)
                   if off_by(cls.rows[y][x], gradient(y)) > 24]

    def test_header(self):
        magic, file_size, _, _, offset = self.file_header
        self.assertEqual((magic, file_size, offset), (b"BM", self.size, 54))
        # Positive height: rows stored bottom-up.
        self.assertEqual(self.info, (40, BG_W, BG_H, 1, 24, 0))
        self.assertGreaterEqual(self.size, offset + BG_W * 3 * BG_H)

    def test_gradient(self):
        self.assertEqual(set(self.rows[0]), {BG_TOP})
        self.assertEqual(set(self.rows[-1]), {BG_BOTTOM})
        # Everything outside the logo box is painted over at run time, so it
        # must be plain gradient.
        bad = [(x, y) for y, row in enumerate(self.rows) for x, px in enumerate(row)
               if not (BOX_X0 <= x <= BOX_X1 and BOX_Y0 <= y <= BOX_Y1)
               and off_by(px, gradient(y)) > 1]
        self.assertEqual(bad[:5], [], "%d pixels off the gradient" % len(bad))

    def test_logo_visible_white_and_centred(self):
        self.assertGreater(len(self.ink), 1000)
        mid, low = (BOX_Y0 + BOX_Y1) // 2, BOX_Y1 - (BOX_Y1 - BOX_Y0) // 4
        self.assertGreater(sum(1 for _, y, _ in self.ink if y <= mid), 300, "ring")
        self.assertGreater(sum(1 for _, y, _ in self.ink if y >= low), 150, "word mark")
        # White over the gradient only ever lightens; solid ink is white.
        self.assertTrue(all(p >= w - 1 for _, y, px in self.ink
                            for p, w in zip(px, gradient(y))))
        self.assertGreater(sum(1 for _, _, px in self.ink if min(px) >= 250), 300)
        xs, ys = [x for x, _, _ in self.ink], [y for _, y, _ in self.ink]
        self.assertLessEqual(abs((min(xs) - BOX_X0) - (BOX_X1 - max(xs))), 4)
        self.assertLessEqual(abs((min(ys) - BOX_Y0) - (BOX_Y1 - max(ys))), 6)

    def test_ring_above_word_has_one_gap(self):
        ink = {(x, y) for x, y, _ in self.ink}
        inked_rows = {y for _, y in ink}
        # The ring is the first band of inked rows; a blank row parts it from the word.
        ring_end = next(y for y in sorted(inked_rows) if y + 1 not in inked_rows)
        ring = {(x, y) for x, y in ink if y <= ring_end}
        self.assertGreater(len(ink) - len(ring), 300, "no word mark below the ring")
        xs, ys = [x for x, _ in ring], [y for _, y in ring]
        cx, cy = (min(xs) + max(xs) + 1) / 2, (min(ys) + max(ys) + 1) / 2
        radius = (max(xs) - min(xs) + 1) / 2
        empty = []
        for deg in range(360):
            dx, dy = math.cos(math.radians(deg)), math.sin(math.radians(deg))
            ray = (radius * k / 20 for k in range(10, 20))
            empty.append(not any((int(cx + dx * r), int(cy + dy * r)) in ring for r in ray))
        self.assertTrue(0 < sum(empty) < 90, "gap of %d degrees" % sum(empty))
        self.assertEqual(sum(1 for i in range(360) if empty[i] and not empty[i - 1]), 1)


def read_png(path):
    """(chunk types, IHDR fields, rows of RGBA tuples); checks CRCs on the way."""
    data = path.read_bytes()
    assert data[:8] == PNG_SIG, "signature"
    kinds, ihdr, idat, pos = [], None, b"", 8
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        payload = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack_from(">I", data, pos + 8 + length)
        assert crc == zlib.crc32(kind + payload), kind
        kinds.append(kind)
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", payload)
        elif kind == b"IDAT":
            idat += payload
        pos += 12 + length
    width, height = ihdr[:2]
    raw, stride = zlib.decompress(idat), width * 4 + 1
    assert len(raw) == height * stride, "IDAT size"
    # Our writer never filters; anything else would need a full decoder.
    assert all(raw[y * stride] == 0 for y in range(height)), "filtered scanline"
    rows = [[tuple(raw[y * stride + 1 + x * 4:y * stride + 5 + x * 4]) for x in range(width)]
            for y in range(height)]
    return kinds, ihdr, rows


class BarTest(unittest.TestCase):
    def check_bar(self, name, rgb):
        kinds, ihdr, rows = read_png(OUT / name)
        self.assertEqual((kinds[0], kinds[-1]), (b"IHDR", b"IEND"))
        self.assertNotIn(b"tIME", kinds)
        self.assertEqual(ihdr, (BAR_W, BAR_H, 8, 6, 0, 0, 0))
        self.assertEqual({px[:3] for row in rows for px in row}, {rgb})
        alpha = [[px[3] for px in row] for row in rows]
        for x, y in ((0, 0), (BAR_W - 1, 0), (0, BAR_H - 1), (BAR_W - 1, BAR_H - 1)):
            self.assertEqual(alpha[y][x], 0, (x, y))
        # Between the rounded ends the bar is opaque over its full height.
        self.assertTrue(all(a == 255 for row in alpha for a in row[4:BAR_W - 4]))
        ends = [[alpha[y][x] for y in range(BAR_H)] for x in range(4)]
        for x, column in enumerate(ends):
            self.assertEqual(column, column[::-1], "column %d" % x)
            self.assertEqual(column, [row[BAR_W - 1 - x] for row in alpha], "column %d" % x)
        self.assertTrue(any(0 < a < 255 for column in ends for a in column), "no anti-aliasing")
        self.assertGreater(ends[0][BAR_H // 2], 0, "end cap does not reach the edge")

    def test_track(self):
        self.check_bar("track.png", (239, 239, 239))

    def test_fill(self):
        self.check_bar("fill.png", (110, 237, 251))


class IconTest(unittest.TestCase):
    N = 128
    MASK_STRIDE = (N + 31) // 32 * 4

    @classmethod
    def setUpClass(cls):
        cls.data = data = (OUT / "installer.ico").read_bytes()
        cls.entry = struct.unpack_from("<BBBBHHII", data, 6)
        offset, n = cls.entry[7], cls.N
        cls.image = data[offset:]
        cls.info = struct.unpack_from("<IiiHHI", cls.image, 0)
        px = cls.image[40:40 + n * n * 4]
        mask = cls.image[40 + n * n * 4:]
        # Both the colour rows and the mask are stored bottom-up.
        cls.rows = [[(px[i + 2], px[i + 1], px[i], px[i + 3])
                     for i in range(y * n * 4, (y + 1) * n * 4, 4)] for y in range(n)][::-1]
        cls.mask = [[mask[y * cls.MASK_STRIDE + x // 8] >> (7 - x % 8) & 1 for x in range(n)]
                    for y in range(n)][::-1]

    def test_headers(self):
        self.assertEqual(struct.unpack_from("<HHH", self.data, 0), (0, 1, 1))
        self.assertEqual(self.entry[:6], (128, 128, 0, 0, 1, 32))
        size, offset = self.entry[6:]
        self.assertEqual(offset + size, len(self.data))
        self.assertNotEqual(self.image[:8], PNG_SIG)
        self.assertEqual(self.info, (40, 128, 256, 1, 32, 0))
        self.assertEqual(size, 40 + self.N * self.N * 4 + self.N * self.MASK_STRIDE)

    def test_alpha_and_mask(self):
        alphas = [px[3] for row in self.rows for px in row]
        self.assertGreater(alphas.count(255), 3000)
        self.assertGreater(alphas.count(0), 1000)
        self.assertGreater(sum(1 for a in alphas if 0 < a < 255), 100, "no anti-aliasing")
        for x, y in ((0, 0), (self.N - 1, 0), (0, self.N - 1), (self.N - 1, self.N - 1)):
            self.assertEqual(self.rows[y][x][3], 0, (x, y))
        wrong = [(x, y) for y in range(self.N) for x in range(self.N)
                 if self.mask[y][x] != (self.rows[y][x][3] == 0)]
        self.assertEqual(wrong[:5], [], "AND mask disagrees with alpha")

    def test_box_tile_and_logo_colours(self):
        solid = [(y, px[:3]) for y, row in enumerate(self.rows) for px in row if px[3] == 255]
        brown = [y for y, (r, g, b) in solid if r > g > b and r - b > 60]
        light = [y for y, (r, g, b) in solid if min(r, g, b) > 230]
        blue = [y for y, (r, g, b) in solid if b > r + 80]
        self.assertGreater(len(brown), 3000)
        self.assertGreater(len(light), 1000)
        self.assertGreater(len(blue), 300)
        # The tile sticks up out of the box: catches an upside-down image.
        self.assertLess(sum(light) / len(light), sum(brown) / len(brown))
        self.assertLess(sum(blue) / len(blue), sum(brown) / len(brown))


class DeterminismTest(unittest.TestCase):
    def test_two_runs_identical(self):
        with tempfile.TemporaryDirectory() as tmp:
            a, b = Path(tmp) / "a", Path(tmp) / "b"
            generate(a)
            generate(b)
            for name in FILES:
                self.assertEqual((a / name).read_bytes(), (b / name).read_bytes(), name)


if __name__ == "__main__":
    unittest.main()
