"""The progress window as the real installer paints it under Wine, checked
pixel by pixel on screenshots taken while the test server holds the download
at a chosen byte: the first paint, half way, a fill narrower than the bar is
high, the view after the window was covered or partly invalidated, and the
GDI objects that paints leave behind."""
import collections
import json
import os
import re
import tempfile
import time
import unittest

import harness

CHANNELS = ("/tarvex-data/win7", "/tarvex-data/release")

# The view in client pixels, boxes as (left, top, right, bottom) with right
# and bottom excluded: a 560 x 310 window and the 480 x 8 track image.
WIDTH, HEIGHT = 560, 310
BAR = (40, 275, 520, 283)
BAR_MIDDLE_ROW = 279
TITLE = (20, 8, 460, 46)
CLOSE_GLYPH = (524, 8, 552, 46)
PERCENTAGE = (40, 247, 200, 267)
SPEED = (360, 247, 520, 267)
LOGO = (179, 56, 380, 244)  # the background's own artwork
DRAWN = (TITLE, CLOSE_GLYPH, PERCENTAGE, SPEED, BAR, LOGO)

FILL = (110, 237, 251)
TRACK = (239, 239, 239)
GRADIENT_TOP, GRADIENT_BOTTOM = (119, 236, 226), (1, 116, 187)  # rows 0 and HEIGHT - 1
COVER = (255, 0, 255)
# Inside a shape the colour is exact but for rounding; only edges blend.
TOLERANCE = 6
GRADIENT_TOLERANCE = 2
NEAR_WHITE = 235  # every channel at least this: the core of a white glyph
MIN_TEXT_PIXELS = 10

# Under Wine, WinHttpReadData returns only once its 8192-byte buffer is full,
# so progress is reported at multiples of 8192 bytes: the holds sit there.
CHUNK = 8192
NOTHING_YET = {"size": 128 * CHUNK, "hold_at": 0}
HALF_WAY = {"size": 128 * CHUNK, "hold_at": 64 * CHUNK}   # 50%, fill 240 pixels
NARROW_FILL = {"size": 160 * CHUNK, "hold_at": CHUNK}     # 480 / 160: fill 3 pixels
CIRCLE_FILL = {"size": 60 * CHUNK, "hold_at": CHUNK}      # 480 / 60: fill 8 pixels, the bar's height

# Where the cover goes and which part the partial repaint invalidates: across
# the title, the logo, the percentage and the end of the half-way fill.
PART = (100, 20, 400, 290)

GDI_EVENT = re.compile(rb"^([0-9a-f]+):[0-9a-f]+:trace:gdi:\w+ (allocated|freed) (\S+) 0x[0-9a-f]+ (\d+)/",
                       re.MULTILINE)


def gradient(y):
    return tuple(round(top + (bottom - top) * y / (HEIGHT - 1)) for top, bottom in zip(GRADIENT_TOP, GRADIENT_BOTTOM))


def near(colour, expected, tolerance=TOLERANCE):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def inside(x, y, box):
    return box[0] <= x < box[2] and box[1] <= y < box[3]


def points(box):
    return ((x, y) for y in range(box[1], box[3]) for x in range(box[0], box[2]))


class View:
    """The window's part of one screenshot, addressed in client pixels."""

    def __init__(self, path, origin):
        self.path = path
        self.shot = harness.Screenshot(path)
        self.origin = origin

    def __call__(self, x, y):
        return self.shot.pixel(self.origin[0] + x, self.origin[1] + y)

    def pixels(self):
        return self.shot.area(self.origin[0], self.origin[1], WIDTH, HEIGHT)

    def crop(self, path):
        return self.shot.crop(path, self.origin[0], self.origin[1], WIDTH, HEIGHT)

    def ink(self, box):
        """Near-white pixels in the box: the cores of the white glyphs."""
        return [(x, y) for x, y in points(box) if min(self(x, y)) >= NEAR_WHITE]

    def fill_columns(self, box):
        return sorted({x for x, y in points(box) if near(self(x, y), FILL)})

    def not_matching(self, box, expected, tolerance=TOLERANCE):
        return [(x, y, self(x, y)) for x, y in points(box) if not near(self(x, y), expected, tolerance)]

    def off_gradient(self):
        """Pixels outside everything the view draws that are not the background's gradient."""
        return [(x, y, self(x, y)) for x, y in points((0, 0, WIDTH, HEIGHT))
                if not any(inside(x, y, box) for box in DRAWN)
                and not near(self(x, y), gradient(y), GRADIENT_TOLERANCE)]

    def differences(self, other):
        mine, theirs = self.pixels(), other.pixels()
        return [(i // 3 % WIDTH, i // 3 // WIDTH) for i in range(0, len(mine), 3)
                if not near(mine[i:i + 3], theirs[i:i + 3], GRADIENT_TOLERANCE)]


GdiEvent = collections.namedtuple("GdiEvent", "offset kind object_type alive")


def gdi_events(trace_path, pid):
    """Each GDI object that process `pid` made ("allocated") or deleted
    ("freed"), with the number alive afterwards, from Wine's trace+gdi output."""
    with open(trace_path, "rb") as trace:
        data = trace.read()
    data = data[:data.rfind(b"\n") + 1]  # the last line may be half written
    events = []
    for match in GDI_EVENT.finditer(data):
        if int(match.group(1), 16) != pid:
            continue
        counter = int(match.group(4))
        # The counter is printed after an allocation but before a release.
        alive = counter if match.group(2) == b"allocated" else counter - 1
        events.append(GdiEvent(match.start(), match.group(2).decode(), match.group(3).decode(), alive))
    return events


def wait_while_growing(path, quiet=1.0, timeout=60):
    deadline = time.monotonic() + timeout
    size = -1
    while time.monotonic() < deadline and os.path.getsize(path) != size:
        size = os.path.getsize(path)
        time.sleep(quiet)
    return size


class HeldInstaller:
    """The real installer downloading `route`, which the server holds at its
    hold_at byte until the run is closed; with `trace_path`, Wine writes the
    installer's GDI object trace there."""

    def __init__(self, prefix, display, server, route, trace_path=None):
        self.prefix, self.display, self.server = prefix, display, server
        for path in CHANNELS:
            server.set_route(path, route)
        workdir = os.path.join(prefix.drive_c, "paint")
        os.makedirs(workdir, exist_ok=True)
        self.trace = open(trace_path, "wb") if trace_path else None
        first = len(server.requests())
        self.process = prefix.start_installer(workdir, env={"WINEDEBUG": "+pid,trace+gdi"} if self.trace else None,
                                              stderr=self.trace)
        self.path = None
        try:
            window = prefix.wait_for_visible_installer()
            if not window:
                raise AssertionError("the installer's window was not shown")
            request = server.wait_for_request("/tarvex-data/", timeout=30, start=first)
            if not request:
                raise AssertionError("the installer did not ask for its download")
            self.path = request["path"]
            if not server.hold_reached(self.path, 30):
                raise AssertionError("the download never reached byte %d" % route["hold_at"])
        except BaseException:
            self.close()
            raise
        self.origin = tuple(window["rect"][:2])

    def screenshot(self, path):
        return View(self.display.screenshot(path), self.origin)

    def settled_view(self, path, timeout=15):
        """A screenshot once two in a row agree: the held report has been painted."""
        time.sleep(0.5)
        deadline = time.monotonic() + timeout
        view = self.screenshot(path)
        while time.monotonic() < deadline:
            time.sleep(0.3)
            latest = self.screenshot(path)
            if latest.pixels() == view.pixels():
                return latest
            view = latest
        return view  # still changing: the checks will show how

    def close(self):
        # Ended before the hold is let go, so the download never completes.
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        harness.wait_until(lambda: not self.prefix.installer_window()["found"], 10)
        if self.path:
            self.server.release(self.path)
        if self.trace:
            self.trace.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def save_half_way_view(path):
    """Writes the half-way view, cropped to the window, to `path` (for scripts/screenshot)."""
    with harness.Display() as display, harness.Prefix("screenshot", display=display) as prefix, \
            harness.start_test_server(port=harness.download_port()) as server, \
            HeldInstaller(prefix, display, server, HALF_WAY) as run, \
            tempfile.TemporaryDirectory() as scratch:
        return run.settled_view(os.path.join(scratch, "screen.png")).crop(path)


class ProgressViewOnScreen(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = harness.Display()
        cls.prefix = harness.Prefix("e2e_paint", version="win10", display=cls.display)
        cls.server = harness.start_test_server(port=harness.download_port())
        cls.artifacts = harness.artifacts_dir("e2e_paint")
        cls.views = {}

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.prefix.close()
        cls.display.close()

    def held(self, route, trace=None):
        run = HeldInstaller(self.prefix, self.display, self.server, route,
                            os.path.join(self.artifacts, trace) if trace else None)
        self.addCleanup(run.close)
        return run

    def held_view(self, name, route):
        """The settled view of a held download, taken once and kept as NAME.png."""
        if name not in self.views:
            with HeldInstaller(self.prefix, self.display, self.server, route) as run:
                self.views[name] = run.settled_view(os.path.join(self.artifacts, name + ".png"))
        return self.views[name]

    def probe(self, *args):
        result = self.prefix.run([harness.exe("paint_probe"), *map(str, args)], timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        return result.stdout.decode()

    def invalidate_traced(self, trace_path, count, interval_ms, part=()):
        """Invalidates the installer's window `count` times; returns its GDI
        events from before and from after, once the trace has gone quiet."""
        start = wait_while_growing(trace_path)
        answer = json.loads(self.probe("invalidate", harness.INSTALLER_CLASS, harness.INSTALLER_TITLE, count,
                                       interval_ms, *part))
        wait_while_growing(trace_path)
        events = gdi_events(trace_path, answer["pid"])
        self.assertTrue(events, "no GDI trace of the installer (process %d)" % answer["pid"])
        return [e for e in events if e.offset < start], [e for e in events if e.offset >= start]

    def assert_only_gradient_where_nothing_is_drawn(self, view):
        stray = view.off_gradient()
        self.assertEqual(stray[:5], [], "%d pixels off the background's gradient in %s" % (len(stray), view.path))

    def assert_text_in(self, view, box, what, across, down):
        """White text in the box, placed as its format says: `across` left,
        right or centre, `down` bottom or centre (a glyph's ink lies a few
        pixels inside its cell)."""
        ink = view.ink(box)
        self.assertGreaterEqual(len(ink), MIN_TEXT_PIXELS, "no %s text in %s" % (what, view.path))
        xs, ys = [x for x, _ in ink], [y for _, y in ink]
        print("%s: %d near-white pixels in x %d-%d, y %d-%d" % (what, len(ink), min(xs), max(xs), min(ys), max(ys)))
        if across == "left":
            self.assertLessEqual(min(xs), box[0] + 3, "%s text is not left-aligned" % what)
        elif across == "right":
            self.assertGreaterEqual(max(xs), box[2] - 4, "%s text is not right-aligned" % what)
        else:
            self.assertLessEqual(abs(min(xs) + max(xs) - box[0] - box[2] + 1), 6, "%s is not centred" % what)
        if down == "bottom":
            self.assertGreaterEqual(max(ys), box[3] - 6, "%s text does not sit on its box's bottom" % what)
        else:
            self.assertLessEqual(abs(min(ys) + max(ys) - box[1] - box[3] + 1), 8, "%s is not centred" % what)

    def test_first_paint_has_no_fill_and_zero_texts(self):
        view = self.held_view("first-paint", NOTHING_YET)
        middle = (BAR[0] + 1, BAR_MIDDLE_ROW, BAR[2] - 1, BAR_MIDDLE_ROW + 1)
        self.assertEqual(view.not_matching(middle, TRACK)[:5], [], "the bar's middle row is not all track")
        self.assertEqual(view.fill_columns(BAR), [], "fill colour before any progress")
        self.assert_text_in(view, PERCENTAGE, "percentage", "left", "bottom")
        self.assert_text_in(view, SPEED, "speed", "right", "bottom")
        self.assert_only_gradient_where_nothing_is_drawn(view)

    def test_half_way_fills_the_bar_to_its_middle(self):
        view = self.held_view("half-way", HALF_WAY)
        row = (BAR[0], BAR_MIDDLE_ROW, BAR[2], BAR_MIDDLE_ROW + 1)
        fill = view.fill_columns(row)
        self.assertTrue(fill, "no fill colour on the bar's middle row")
        print("half-way: fill colour on row %d from x %d to %d; %s at x 40, %s at x 279, %s at x 280"
              % (BAR_MIDDLE_ROW, fill[0], fill[-1], view(40, BAR_MIDDLE_ROW), view(279, BAR_MIDDLE_ROW),
                 view(280, BAR_MIDDLE_ROW)))
        self.assertLessEqual(fill[0], BAR[0] + 1)
        self.assertTrue(278 <= fill[-1] <= 280, "the fill ends at x %d, not about 280" % fill[-1])
        self.assertEqual(view.not_matching((41, BAR_MIDDLE_ROW, 278, BAR_MIDDLE_ROW + 1), FILL)[:5], [])
        self.assertEqual(view.not_matching((282, BAR_MIDDLE_ROW, BAR[2] - 1, BAR_MIDDLE_ROW + 1), TRACK)[:5], [])
        self.assertLessEqual(max(view.fill_columns(BAR)), 281, "fill colour beyond the fill's end")
        for y in (BAR[1] - 1, BAR[3]):
            self.assertEqual(view.not_matching((0, y, WIDTH, y + 1), gradient(y), GRADIENT_TOLERANCE)[:5], [],
                             "row %d next to the bar is not the background" % y)
        self.assert_text_in(view, TITLE, "title", "left", "centre")
        self.assert_text_in(view, CLOSE_GLYPH, "close glyph", "centre", "centre")
        self.assert_text_in(view, PERCENTAGE, "percentage", "left", "bottom")
        self.assert_text_in(view, SPEED, "speed", "right", "bottom")
        self.assert_only_gradient_where_nothing_is_drawn(view)

    def test_half_way_percentage_is_the_first_paints_with_one_digit_before_it(self):
        # "0%" and "50%": left-aligned on a background that only changes from
        # row to row, the later text is the earlier one moved right by a digit.
        first = self.held_view("first-paint", NOTHING_YET)
        half = self.held_view("half-way", HALF_WAY)
        left, top, right, bottom = PERCENTAGE

        def moved_by(shift):
            return all(near(first(x, y), half(x + shift, y), GRADIENT_TOLERANCE)
                       for y in range(top, bottom) for x in range(left, right - shift))

        shifts = [shift for shift in range(1, 20) if moved_by(shift)]
        self.assertTrue(shifts, "the half-way percentage does not end with the first paint's")
        print("percentage: half-way text = first paint's moved right by %d pixels" % shifts[0])
        self.assertGreaterEqual(shifts[0], 5, "less than a digit in front")
        self.assertTrue(half.ink((left, top, left + shifts[0], bottom)), "nothing in front of the moved text")

    def test_fill_narrower_than_the_bar_is_high_shows_only_the_circles_left_end(self):
        view = self.held_view("narrow-fill", NARROW_FILL)
        fill = view.fill_columns(BAR)
        print("narrow fill: fill colour in columns %s; %s at x 44, %s at x 47 on row %d"
              % (fill, view(44, BAR_MIDDLE_ROW), view(47, BAR_MIDDLE_ROW), BAR_MIDDLE_ROW))
        self.assertTrue(fill, "no fill at all")
        self.assertLessEqual(max(fill), BAR[0] + 3, "more than the circle's left end shows")
        # The circle's diameter is 8: columns 44-47 would be fill if all of it showed.
        self.assertEqual(view.not_matching((44, 277, BAR[2] - 4, 281), TRACK)[:5], [])

    def test_fill_as_wide_as_the_bar_is_high_is_a_circle(self):
        view = self.held_view("circle-fill", CIRCLE_FILL)
        left, top, bottom = BAR[0], BAR[1], BAR[3] - 1
        corners = [(x, y, view(x, y)) for x in (left, left + 7) for y in (top, bottom)]
        print("circle fill: fill colour in columns %s; corners %s" % (view.fill_columns(BAR), corners))
        self.assertEqual(view.not_matching((left + 1, BAR_MIDDLE_ROW, left + 7, BAR_MIDDLE_ROW + 1), FILL)[:5], [])
        self.assertEqual([c for c in corners if near(c[2], FILL)], [], "the fill's corners are not cut round")
        self.assertLessEqual(max(view.fill_columns(BAR)), left + 8, "fill beyond the circle")

    def test_uncovered_window_shows_the_whole_view_again(self):
        run = self.held(HALF_WAY)
        before = run.settled_view(os.path.join(self.artifacts, "before-cover.png"))
        x, y = run.origin[0] + PART[0], run.origin[1] + PART[1]
        lift = os.path.join(self.prefix.path, "lift-cover")
        cover = self.prefix.start([harness.exe("paint_probe"), "cover", *map(str, (
            x, y, PART[2] - PART[0], PART[3] - PART[1])), self.prefix.windows_path(lift)])
        self.addCleanup(lambda: cover.poll() is None and cover.kill())
        covered_path = os.path.join(self.artifacts, "covered.png")
        covered = harness.wait_until(lambda: not run.screenshot(covered_path).not_matching(PART, COVER, 0), 30)
        open(lift, "w").close()
        self.assertTrue(covered, "the cover never lay over the window")
        # Wine puts the uncovered part back from its own copy of the window,
        # without a WM_PAINT; the partial repaint is the next test's.
        self.assertEqual(harness.wait_for_exit(cover, 20), 0)
        after = run.settled_view(os.path.join(self.artifacts, "uncovered.png"))
        differences = after.differences(before)
        print("uncovered: %d of %d pixels differ from the view before the cover" % (len(differences), WIDTH * HEIGHT))
        self.assertEqual(differences[:5], [], "the uncovered view differs from the one before")

    def test_repaint_of_part_of_the_window_composes_the_whole_view(self):
        trace = "partial-repaint-gdi-trace.txt"
        run = self.held(HALF_WAY, trace=trace)
        before = run.settled_view(os.path.join(self.artifacts, "before-partial-repaint.png"))
        _, during = self.invalidate_traced(os.path.join(self.artifacts, trace), 1, 0, PART)
        memory_dcs = [e for e in during if (e.kind, e.object_type) == ("allocated", "NTGDI_OBJ_MEMDC")]
        self.assertTrue(memory_dcs, "the invalidated part was not repainted")
        after = run.settled_view(os.path.join(self.artifacts, "partial-repaint.png"))
        differences = after.differences(before)
        print("partial repaint: %d memory DCs made after the invalidation; %d of %d pixels differ from the view"
              " before" % (len(memory_dcs), len(differences), WIDTH * HEIGHT))
        self.assertEqual(differences[:5], [], "the partly repainted view differs from the one before")

    def test_paints_release_every_gdi_object_they_make(self):
        trace = "paints-gdi-trace.txt"
        run = self.held(HALF_WAY, trace=trace)
        run.settled_view(os.path.join(self.artifacts, "before-paints.png"))
        paints = 100
        earlier, during = self.invalidate_traced(os.path.join(self.artifacts, trace), paints, 10)
        self.assertTrue(earlier and during, "no GDI trace before or after the invalidations")
        balance = collections.Counter()
        for event in during:
            balance[event.object_type] += 1 if event.kind == "allocated" else -1
        memory_dcs = sum(1 for e in during if (e.kind, e.object_type) == ("allocated", "NTGDI_OBJ_MEMDC"))
        print("GDI objects: %d alive before, %d after %d invalidations; %d made, %d memory DCs among them"
              % (earlier[-1].alive, during[-1].alive, paints, len([e for e in during if e.kind == "allocated"]),
                 memory_dcs))
        # Each paint makes at least two memory DCs: the off-screen one and the background's.
        self.assertGreaterEqual(memory_dcs, paints, "fewer paints than invalidations")
        self.assertEqual({t: n for t, n in balance.items() if n}, {}, "GDI objects left behind by paints")
        self.assertEqual(during[-1].alive, earlier[-1].alive)


if __name__ == "__main__":
    unittest.main(verbosity=2)
