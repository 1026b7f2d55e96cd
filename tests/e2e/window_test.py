"""The real installer's window: a popup that only a release on the close glyph's band closes; its view
pixel by pixel, the download held at a chosen byte; GDI objects its paints leave; its error boxes."""
import collections
import os
import re
import time

import pytest

import harness
from harness import CHANNELS, CHUNK

# The view in client pixels, boxes as (left, top, right, bottom), right and bottom excluded: a 560 x 310 window with the
# 480 x 8 track image.
WIDTH, HEIGHT = 560, 310
WS_POPUP, FRAME_STYLES, WS_EX_CLIENTEDGE = 0x80000000, 0x00CC0000 | 0x00040000 | 0x00080000, 0x200
BAR, ROW = (40, 275, 520, 283), 279  # the bar and its middle row
TEXTS = {"title": (20, 8, 460, 46), "close glyph": (524, 8, 552, 46), "percentage": (40, 247, 200, 267),
         "speed": (360, 247, 520, 267)}
LOGO = (179, 56, 380, 244)
FILL, TRACK = (110, 237, 251), (239, 239, 239)
TOP, BOTTOM = (119, 236, 226), (1, 116, 187)  # the background's first and last rows


def near(colour, expected, tolerance=6):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def points(box):
    return [(x, y) for y in range(box[1], box[3]) for x in range(box[0], box[2])]


class View:
    """The window's part of a screenshot, in client pixels."""

    def __init__(self, rgb, origin):
        self.rgb, self.origin = rgb, origin

    def __call__(self, x, y):
        offset = ((self.origin[1] + y) * harness.SCREEN[0] + self.origin[0] + x) * 3
        return tuple(self.rgb[offset:offset + 3])

    def fill_columns(self, box=BAR):
        return sorted({x for x, y in points(box) if near(self(x, y), FILL)})

    def unlike(self, box, colour, tolerance=6):
        return [(x, y, self(x, y)) for x, y in points(box) if not near(self(x, y), colour, tolerance)]

    def ink(self, box):
        """The cores of white glyphs."""
        return [(x, y) for x, y in points(box) if min(self(x, y)) >= 235]

    def stray(self):
        """Pixels off the background's gradient where the view draws nothing."""
        drawn = list(TEXTS.values()) + [BAR, LOGO]
        gradient = lambda y: [t + (b - t) * y / (HEIGHT - 1) for t, b in zip(TOP, BOTTOM)]  # noqa: E731
        return [(x, y) for x, y in points((0, 0, WIDTH, HEIGHT))
                if not any(b[0] <= x < b[2] and b[1] <= y < b[3] for b in drawn) and not near(self(x, y), gradient(y), 2.5)]


@pytest.fixture
def held(prefix, server, workdir):
    """Runs the installer until its download is held at `at` of `size` bytes and on screen."""
    def run(size, at, name, **env):
        server.serve_channels(size, hold_at=at)
        process = prefix.start_installer(workdir, **env)
        window = prefix.visible_installer()
        assert window, "no window: the installer's exit code %s, its log %s" % (process.poll(), prefix.run_log())
        assert server.hold_reached(CHANNELS[0]), "the download never reached the hold"
        # Settled once two screenshots in a row agree; scripts/screenshot keeps them.
        shots, path = [], os.path.join(os.environ.get("TARVEX_SCREENSHOTS", prefix.path), name + ".png")
        while len(shots) < 2 or shots[-1] != shots[-2] and len(shots) < 20:
            time.sleep(0.3)
            shots.append(prefix.display.screenshot(path))
        return process, View(shots[-1], window["rect"][:2]), window
    return run


def test_first_paint_and_half_way(held, prefix):
    process, first, _ = held(128 * CHUNK, 0, "first-paint")
    process.kill()
    assert first.fill_columns() == [] and first.unlike((41, ROW, 519, ROW + 1), TRACK) == []
    _, half, _ = held(128 * CHUNK, 64 * CHUNK, "half-way")
    fill = half.fill_columns((BAR[0], ROW, BAR[2], ROW + 1))
    assert fill and fill[0] <= 41 and 278 <= fill[-1] <= 280, "the half-way fill ends at x %s" % fill[-1:]
    assert half.unlike((41, ROW, 278, ROW + 1), FILL) == [] and half.unlike((282, ROW, 519, ROW + 1), TRACK) == []
    for view in (first, half):
        assert view.stray()[:5] == []
        for name, box in TEXTS.items():
            ink = view.ink(box)
            assert len(ink) >= 10, "no %s" % name
            xs, ys = [x for x, _ in ink], [y for _, y in ink]
            if name in ("percentage", "speed"):  # above the bar's ends, at the box's bottom
                assert max(ys) >= box[3] - 6 and (min(xs) <= box[0] + 3 if name == "percentage" else max(xs) >= box[2] - 4)
    assert len(half.ink(TEXTS["percentage"])) > len(first.ink(TEXTS["percentage"])), "50% is no wider than 0%"
    # The title is drawn from UTF-8, as the installer converts it (a fallback title would have ink too).
    assert prefix.probe("utf8", "tarvex 数据恢复")["text"] == "tarvex 数据恢复"


def test_fills_narrower_than_the_bar_is_high_are_the_left_of_a_circle(held):
    process, narrow, _ = held(160 * CHUNK, CHUNK, "narrow-fill")  # 3 pixels of 480
    process.kill()
    assert narrow.fill_columns() and max(narrow.fill_columns()) <= BAR[0] + 3
    assert narrow.unlike((44, 277, 516, 281), TRACK) == [], "more than the circle's left end shows"
    _, circle, _ = held(60 * CHUNK, CHUNK, "circle-fill")  # 8 pixels, the bar's height
    assert circle.unlike((41, ROW, 47, ROW + 1), FILL) == [] and max(circle.fill_columns()) <= BAR[0] + 8
    assert not any(near(circle(x, y), FILL) for x in (40, 47) for y in (275, 282)), "corners not cut round"


def test_paints_compose_the_whole_view_and_release_every_gdi_object(held, prefix):
    trace_path = os.path.join(prefix.path, "gdi-trace.txt")
    with open(trace_path, "wb") as trace:
        _, before, _ = held(128 * CHUNK, 64 * CHUNK, "before-paints", stderr=trace, WINEDEBUG="+pid,trace+gdi")
        invalidated = prefix.probe("invalidate", 1, 0, 100, 20, 400, 290)
        time.sleep(1)
        after = View(prefix.display.screenshot(os.path.join(prefix.path, "partly-repainted.png")), before.origin)
        assert [p for p in points((0, 0, WIDTH, HEIGHT)) if not near(after(*p), before(*p), 2)][:5] == [], \
            "a repaint of part of the window did not compose the whole view"
        start = os.path.getsize(trace_path)
        prefix.probe("invalidate", 100, 10)
        time.sleep(2)
    with open(trace_path, "rb") as trace:
        trace.seek(start)
        events = re.findall(rb"^%04x:[0-9a-f]+:trace:gdi:\w+ (allocated|freed) (\S+) " % invalidated["pid"],
                            trace.read(), re.MULTILINE)
    left = collections.Counter(kind for event, kind in events if event == b"allocated")
    assert left[b"NTGDI_OBJ_MEMDC"] >= 100, "fewer paints than invalidations"
    left.subtract(kind for event, kind in events if event == b"freed")
    assert +left == {}, "GDI objects left behind by paints"


def test_installer_without_its_pictures_says_so_twice_and_paints_with_fallbacks(prefix, server, workdir):
    server.serve_channels(1000 * CHUNK, hold_at=500 * CHUNK)
    prefix.start_installer(workdir, harness.exe("tarvex-installer-without-pictures"))
    first = prefix.dialog("错误", wait_ms=30000, press="ok")
    assert (first["text"], first["owner"]) == ("背景图加载失败！", ""), "first box, before the window exists"
    second = harness.wait_until(lambda: (lambda box: box.get("owner") and box)(prefix.dialog("错误", press="ok")), 30)
    assert second and (second["text"], second["owner"], second["owner_visible"]) == (
        "背景图加载失败！", harness.INSTALLER_CLASS, False), "second box, owned by the window being made"
    window = prefix.visible_installer()
    assert window and server.hold_reached(CHANNELS[0])
    assert not prefix.dialog("错误", wait_ms=2000)["found"], "missing bar images must not show a box"
    time.sleep(1)
    view = View(prefix.display.screenshot(os.path.join(prefix.path, "fallbacks.png")), window["rect"][:2])
    # The window colour for the background; a 440 x 12 bar from (60, 275): the gradient fill half way, then the plain
    # track.
    assert view(100, 150) == (255, 255, 255)
    assert near(view(64, 281), (94, 160, 206), 12) and near(view(276, 281), (209, 225, 233), 12)
    assert view.unlike((290, 281, 492, 282), (204, 220, 230), 2) == []
    assert view(170, 273) == (255, 255, 255), "fill above the bar"


def test_centred_borderless_popup_that_only_a_release_on_the_close_band_closes(prefix, held):
    process, _, window = held(1 << 20, 0, "popup")
    left, top, right, bottom = window["rect"]
    assert (right - left, bottom - top, window["client"]) == (WIDTH, HEIGHT, [WIDTH, HEIGHT])
    assert (left, top) == ((harness.SCREEN[0] - WIDTH) // 2, (harness.SCREEN[1] - HEIGHT) // 2)
    assert window["style"] & WS_POPUP and not window["style"] & FRAME_STYLES
    assert not window["exstyle"] & WS_EX_CLIENTEDGE
    # Just off the band's four sides, and in the middle.
    for x, y in ((WIDTH - 37, 20), (WIDTH - 7, 20), (WIDTH - 20, 11), (WIDTH - 20, 41), (WIDTH // 2, HEIGHT // 2)):
        prefix.display.click(left + x, top + y)
    # Pressed on the glyph and released outside the window: only the release counts.
    prefix.display.drag((left + WIDTH - 20, top + 20), (left - 100, top - 100))
    assert harness.wait_for_exit(process, 2) is None and prefix.window()["found"]
    prefix.display.drag((left + 100, top + 150), (left + WIDTH - 36, top + 12))
    assert harness.wait_for_exit(process, 20) == 0, "a release at the band's top left corner, pressed elsewhere"


def test_window_that_fails_in_wm_create_shows_an_error_box_until_answered_and_ends_with_code_1(prefix, workdir):
    # The hook makes WM_CREATE fail, as a worker thread that cannot start does; WM_DESTROY then posts the quit message
    # before the box is up.
    prefix.start([harness.exe("probe"), "deny-window", prefix.windows_path(harness.exe("deny_window_hook.dll")),
                         "60000"])
    time.sleep(2)
    process = prefix.start_installer(workdir)
    box = prefix.dialog("错误", wait_ms=30000)
    assert (box["found"], box["text"], box["owner"], box["icon"]) == (True, "安装程序初始化失败！", "", True)
    assert not prefix.window()["found"]
    # A waiting quit message would end the box unanswered, under Wine once a 2 s wait for a window manager has passed.
    assert harness.wait_for_exit(process, 4) is None and prefix.dialog("错误")["found"], "the box closed by itself"
    prefix.dialog("错误", press="ok")
    assert harness.wait_for_exit(process, 20) == 1
