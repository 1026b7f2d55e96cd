#!/usr/bin/env python3
"""Generate the installer's artwork from source.

    python3 res/make_artwork.py OUTDIR

writes background.bmp, track.png, fill.png and installer.ico into OUTDIR.

The output must be byte-identical on every run and machine, so the drawing
uses only IEEE-exact float operations (+ - * / sqrt, no trig), blends with
integer arithmetic, and the files carry no timestamps.
"""

import math
import os
import struct
import sys
import zlib

# --- Background -------------------------------------------------------------
BG_W, BG_H = 560, 310
BG_TOP = (119, 236, 226)       # row 0
BG_BOTTOM = (1, 116, 187)      # row BG_H - 1
# Inclusive pixel box that the logo and word mark must stay inside; the rest
# of the window is painted over at run time.
LOGO_X0, LOGO_Y0, LOGO_X1, LOGO_Y1 = 179, 56, 379, 243
INK = (255, 255, 255)

RING_OUTER = 44.0
RING_INNER = 30.0
RING_GAP = 16.0                # width of the slot cut through the ring
RING_TO_WORD = 20.0            # space between ring and the word's ascender

WORD = "tarvex"
WORD_SCALE = 20.0              # pixels per font unit (font x-height is 1 unit)
WORD_STROKE = 4.0              # pen width in pixels
LETTER_GAP = 0.32              # font units between glyph boxes

# --- Progress bar pieces ----------------------------------------------------
BAR_W, BAR_H = 480, 8
TRACK_RGB = (239, 239, 239)
FILL_RGB = (110, 237, 251)

# --- Icon -------------------------------------------------------------------
ICON_SIZE = 128
BOX_FRONT = (204, 146, 82)
BOX_FLAP = (226, 176, 114)
BOX_BACK_FLAP = (178, 122, 64)
BOX_INSIDE = (112, 72, 36)
BOX_EDGE = (122, 78, 36)
TILE = (250, 252, 253)
TILE_EDGE = (176, 196, 206)
ICON_LOGO = (16, 146, 196)

# --- Rasteriser -------------------------------------------------------------
SUPERSAMPLE = 4                # samples per axis, only for pixels on an edge
BAR_SUPERSAMPLE = 8            # the bar ends are tiny, so afford finer alpha
# A pixel whose centre is at least this far from every edge is entirely in or
# out (half the pixel diagonal is 0.7071...).
EDGE = 0.71
PNG_ZLIB_LEVEL = 9

SQRT_HALF = math.sqrt(0.5)
# Directions for arc ends, screen coordinates (y down, angles clockwise).
# A table instead of cos/sin keeps the result independent of the C library.
DIRECTIONS = {
    0: (1.0, 0.0), 45: (SQRT_HALF, SQRT_HALF), 90: (0.0, 1.0),
    135: (-SQRT_HALF, SQRT_HALF), 180: (-1.0, 0.0),
    225: (-SQRT_HALF, -SQRT_HALF), 270: (0.0, -1.0),
    315: (SQRT_HALF, -SQRT_HALF),
}


# --- Shapes -----------------------------------------------------------------
# A shape is (sd, bbox): sd(x, y) is a signed distance bound (negative inside)
# whose magnitude never exceeds the true distance to the outline, so the
# EDGE test above is safe; bbox is (x0, y0, x1, y1) around the ink.

def segment(ax, ay, bx, by, width):
    """A stroke of the given pen width from a to b, with round caps."""
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    half = width / 2

    def sd(x, y):
        px, py = x - ax, y - ay
        t = (px * dx + py * dy) / length2 if length2 else 0.0
        t = min(1.0, max(0.0, t))
        ex, ey = px - t * dx, py - t * dy
        return math.sqrt(ex * ex + ey * ey) - half

    return sd, (min(ax, bx) - half, min(ay, by) - half,
                max(ax, bx) + half, max(ay, by) + half)


def arc(cx, cy, r, a0, a1, width):
    """A stroke along a circle from angle a0 clockwise to a1 (degrees, multiples
    of 45, 0 < a1 - a0 <= 360), with round caps."""
    sweep = a1 - a0
    sx, sy = DIRECTIONS[a0 % 360]
    ex, ey = DIRECTIONS[a1 % 360]
    ends = ((cx + r * sx, cy + r * sy), (cx + r * ex, cy + r * ey))
    half = width / 2

    def in_sector(dx, dy):
        if sweep >= 360:
            return True
        after_start = sx * dy - sy * dx >= 0
        before_end = dx * ey - dy * ex >= 0
        if sweep <= 180:
            return after_start and before_end
        return after_start or before_end

    def sd(x, y):
        dx, dy = x - cx, y - cy
        if in_sector(dx, dy):
            return abs(math.sqrt(dx * dx + dy * dy) - r) - half
        return min(math.sqrt((x - px) * (x - px) + (y - py) * (y - py))
                   for px, py in ends) - half

    # Tight box: the ends plus whichever axis extremes the arc passes through.
    points = list(ends) + [(cx + r * ux, cy + r * uy)
                           for ux, uy in (DIRECTIONS[a] for a in (0, 90, 180, 270))
                           if in_sector(ux, uy)]
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sd, (min(xs) - half, min(ys) - half, max(xs) + half, max(ys) + half)


def broken_ring(cx, cy, r_outer, r_inner, gap):
    """The logo: a thick ring with a straight slot cut through its upper right."""
    ux, uy = SQRT_HALF, -SQRT_HALF     # slot direction from the centre
    nx, ny = SQRT_HALF, SQRT_HALF      # across the slot

    def sd(x, y):
        dx, dy = x - cx, y - cy
        d = math.sqrt(dx * dx + dy * dy)
        ring = max(d - r_outer, r_inner - d)
        slot = max(abs(dx * nx + dy * ny) - gap / 2, -(dx * ux + dy * uy))
        return max(ring, -slot)

    return sd, (cx - r_outer, cy - r_outer, cx + r_outer, cy + r_outer)


def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sd(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        ox, oy = max(qx, 0.0), max(qy, 0.0)
        return math.sqrt(ox * ox + oy * oy) + min(max(qx, qy), 0.0) - radius

    return sd, (x0, y0, x1, y1)


def polygon(points):
    """A convex polygon, corners in either winding order."""
    area2 = sum(points[i - 1][0] * p[1] - p[0] * points[i - 1][1]
                for i, p in enumerate(points))
    sign = 1.0 if area2 > 0 else -1.0
    edges = []
    for i, (qx, qy) in enumerate(points):
        px, py = points[i - 1]
        ex, ey = qx - px, qy - py
        length = math.sqrt(ex * ex + ey * ey)
        # Outward normal of edge p->q.
        edges.append((px, py, sign * ey / length, -sign * ex / length))

    def sd(x, y):
        return max((x - px) * nx + (y - py) * ny for px, py, nx, ny in edges)

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sd, (min(xs), min(ys), max(xs), max(ys))


def inset(shape, amount):
    """The shape shrunk by amount; painting it over the original leaves an
    outline of that width."""
    sd, bbox = shape
    return (lambda x, y: sd(x, y) + amount), bbox


def translate(shape, dx, dy):
    sd, (x0, y0, x1, y1) = shape
    return (lambda x, y: sd(x - dx, y - dy)), (x0 + dx, y0 + dy, x1 + dx, y1 + dy)


# --- Word mark --------------------------------------------------------------
# A lower-case stroke font. Units: x-height 1, baseline y = 0, y grows down.
# Each glyph: (advance width, strokes); a stroke is ("line", x0, y0, x1, y1)
# or ("arc", cx, cy, r, a0, a1) with angles as for arc().
GLYPHS = {
    "t": (0.62, [("line", 0.2, -1.45, 0.2, -0.25),
                 ("arc", 0.45, -0.25, 0.25, 90, 180),
                 ("line", 0.45, 0.0, 0.62, 0.0),
                 ("line", 0.0, -1.0, 0.55, -1.0)]),
    "a": (0.95, [("arc", 0.45, -0.5, 0.45, 0, 360),
                 ("line", 0.95, -1.0, 0.95, 0.0)]),
    "r": (0.75, [("line", 0.0, -1.0, 0.0, 0.0),
                 ("arc", 0.5, -0.5, 0.5, 180, 270),
                 ("line", 0.5, -1.0, 0.75, -0.95)]),
    "v": (0.9, [("line", 0.0, -1.0, 0.45, 0.0),
                ("line", 0.45, 0.0, 0.9, -1.0)]),
    "e": (1.0, [("line", 0.0, -0.5, 1.0, -0.5),
                ("arc", 0.5, -0.5, 0.5, 45, 360)]),
    "x": (0.85, [("line", 0.0, -1.0, 0.85, 0.0),
                 ("line", 0.0, 0.0, 0.85, -1.0)]),
}


def word_shapes(text, left, baseline, scale, pen):
    shapes = []
    x = left
    for ch in text:
        advance, strokes = GLYPHS[ch]
        for kind, *v in strokes:
            if kind == "line":
                shapes.append(segment(x + v[0] * scale, baseline + v[1] * scale,
                                      x + v[2] * scale, baseline + v[3] * scale, pen))
            else:
                shapes.append(arc(x + v[0] * scale, baseline + v[1] * scale,
                                  v[2] * scale, v[3], v[4], pen))
        x += (advance + LETTER_GAP) * scale
    return shapes


def union_bbox(shapes):
    boxes = [bbox for _, bbox in shapes]
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


# --- Rasteriser -------------------------------------------------------------

def rasterise(width, height, scene, ss=SUPERSAMPLE):
    """Paint scene [(shape, rgb), ...] back to front.

    Returns {(x, y): (n, r, g, b)} for every touched pixel: n of ss*ss samples
    are covered and r, g, b are the colour sums over those samples. Only
    pixels close to an edge are supersampled.
    """
    offsets = [((i + 0.5) / ss, (j + 0.5) / ss) for j in range(ss) for i in range(ss)]
    full = ss * ss
    items = []
    for (sd, (x0, y0, x1, y1)), rgb in scene:
        items.append((max(0, math.floor(x0) - 1), max(0, math.floor(y0) - 1),
                      min(width - 1, math.ceil(x1) + 1),
                      min(height - 1, math.ceil(y1) + 1), sd, rgb))
    pixels = {}
    if not items:
        return pixels, full
    span_x0 = min(it[0] for it in items)
    span_x1 = max(it[2] for it in items)
    for py in range(min(it[1] for it in items), max(it[3] for it in items) + 1):
        row = [it for it in items if it[1] <= py <= it[3]]
        cy = py + 0.5
        for px in range(span_x0, span_x1 + 1):
            here = [(it[4], it[5]) for it in row if it[0] <= px <= it[2]]
            if not here:
                continue
            cx = px + 0.5
            top = None
            on_edge = False
            for sd, rgb in here:
                d = sd(cx, cy)
                if -EDGE < d < EDGE:
                    on_edge = True
                    break
                if d < 0:
                    top = rgb
            if not on_edge:
                if top is not None:
                    pixels[px, py] = (full, full * top[0], full * top[1], full * top[2])
                continue
            n = r = g = b = 0
            for ox, oy in offsets:
                sx, sy = px + ox, py + oy
                for sd, rgb in reversed(here):
                    if sd(sx, sy) <= 0:
                        n += 1
                        r += rgb[0]
                        g += rgb[1]
                        b += rgb[2]
                        break
            if n:
                pixels[px, py] = (n, r, g, b)
    return pixels, full


def rgba_image(width, height, scene, empty_rgb, ss=SUPERSAMPLE):
    """Rows of (r, g, b, a); uncovered pixels get empty_rgb with alpha 0."""
    pixels, full = rasterise(width, height, scene, ss)
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            n, r, g, b = pixels.get((x, y), (0, 0, 0, 0))
            if n == 0:
                row.append(empty_rgb + (0,))
            else:
                row.append(((r + n // 2) // n, (g + n // 2) // n, (b + n // 2) // n,
                            (255 * n + full // 2) // full))
        rows.append(row)
    return rows


# --- Artwork ----------------------------------------------------------------

def gradient_rgb(y):
    """Background colour of row y, linear per channel, rounded half up."""
    span = BG_H - 1
    return tuple((2 * top * span + 2 * (bottom - top) * y + span) // (2 * span)
                 for top, bottom in zip(BG_TOP, BG_BOTTOM))


def logo_scene():
    """The ring over the word mark, centred in the logo box."""
    word = word_shapes(WORD, 0.0, 0.0, WORD_SCALE, WORD_STROKE)
    wx0, wy0, wx1, wy1 = union_bbox(word)
    total_h = 2 * RING_OUTER + RING_TO_WORD + (wy1 - wy0)
    centre_x = (LOGO_X0 + LOGO_X1 + 1) / 2
    top = (LOGO_Y0 + LOGO_Y1 + 1) / 2 - total_h / 2
    ring = broken_ring(centre_x, top + RING_OUTER, RING_OUTER, RING_INNER, RING_GAP)
    dx = centre_x - (wx0 + wx1) / 2
    dy = top + 2 * RING_OUTER + RING_TO_WORD - wy0
    shapes = [ring] + [translate(s, dx, dy) for s in word]
    x0, y0, x1, y1 = union_bbox(shapes)
    # The window paints text right next to this box.
    if not (x0 > LOGO_X0 and y0 > LOGO_Y0 and x1 < LOGO_X1 and y1 < LOGO_Y1):
        raise SystemExit("logo does not fit its box: %r" % ((x0, y0, x1, y1),))
    return [(s, INK) for s in shapes]


def background_rows():
    pixels, full = rasterise(BG_W, BG_H, logo_scene())
    rows = []
    for y in range(BG_H):
        bg = gradient_rgb(y)
        row = []
        for x in range(BG_W):
            n, r, g, b = pixels.get((x, y), (0, 0, 0, 0))
            row.append(tuple((c * (full - n) + s + full // 2) // full
                             for c, s in zip(bg, (r, g, b))))
        rows.append(row)
    return rows


def bar_rows(rgb):
    """A capsule filling the whole bar image, ends rounded with radius BAR_H/2."""
    capsule = rounded_rect(0, 0, BAR_W, BAR_H, BAR_H / 2)
    return rgba_image(BAR_W, BAR_H, [(capsule, rgb)], rgb, BAR_SUPERSAMPLE)


def icon_scene():
    """An open cardboard box holding a tile with the logo, back to front."""
    def outlined(shape, fill, edge=BOX_EDGE, width=2.0):
        return [(shape, edge), (inset(shape, width), fill)]

    scene = []
    scene += outlined(polygon([(30, 60), (98, 60), (106, 40), (22, 40)]), BOX_BACK_FLAP)
    scene += outlined(polygon([(30, 60), (98, 60), (112, 76), (16, 76)]), BOX_INSIDE)
    scene += outlined(rounded_rect(34, 12, 94, 86, 11), TILE, TILE_EDGE, 2.0)
    scene.append((broken_ring(64, 43, 19, 11, 7), ICON_LOGO))
    scene += outlined(polygon([(16, 76), (112, 76), (108, 122), (20, 122)]), BOX_FRONT)
    # Side flaps hinge on the opening's short edges and fall open outwards.
    scene += outlined(polygon([(16, 76), (30, 60), (16, 50), (2, 66)]), BOX_FLAP)
    scene += outlined(polygon([(112, 76), (98, 60), (112, 50), (126, 66)]), BOX_FLAP)
    # Packing tape over the front face.
    scene.append((polygon([(58, 76), (70, 76), (70, 96), (58, 96)]), BOX_FLAP))
    return scene


# --- File writers -------------------------------------------------------------

def bmp_bytes(rows):
    """24-bit BI_RGB bitmap, bottom-up."""
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    pad = b"\0" * (stride - width * 3)
    data = b"".join(bytes(c for r, g, b in row for c in (b, g, r)) + pad
                    for row in reversed(rows))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data),
                       2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0,
                         14 + len(info))
    return header + info + data


def png_chunk(kind, payload):
    return (struct.pack(">I", len(payload)) + kind + payload
            + struct.pack(">I", zlib.crc32(kind + payload)))


def png_bytes(rows):
    """8-bit RGBA PNG, no filtering, no ancillary chunks (so no timestamp)."""
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"IDAT", zlib.compress(raw, PNG_ZLIB_LEVEL))
            + png_chunk(b"IEND", b""))


def ico_bytes(rows):
    """Single 32-bit DIB icon (not PNG-compressed, for older loaders)."""
    size = len(rows)
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            if a == 0:
                xor += b"\0\0\0\0"
                bits[x >> 3] |= 0x80 >> (x & 7)
            else:
                xor += bytes((b, g, r, a))
        mask += bits
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    image = info + bytes(xor) + bytes(mask)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size & 0xFF, size & 0xFF, 0, 0, 1, 32,
                        len(image), 6 + 16)
    return header + entry + image


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_artwork.py OUTDIR\n")
        return 2
    outdir = argv[1]
    os.makedirs(outdir, exist_ok=True)
    icon = rgba_image(ICON_SIZE, ICON_SIZE, icon_scene(), (0, 0, 0))
    files = {
        "background.bmp": bmp_bytes(background_rows()),
        "track.png": png_bytes(bar_rows(TRACK_RGB)),
        "fill.png": png_bytes(bar_rows(FILL_RGB)),
        "installer.ico": ico_bytes(icon),
    }
    for name, data in files.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
