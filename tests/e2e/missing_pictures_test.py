"""The installer built without its pictures: two error boxes for the missing
background, none for the bar images, and a view painted with the fallbacks."""
import os
import unittest

import harness

ERROR_CAPTION, BACKGROUND_FAILED = "错误", "背景图加载失败！"
SIZE = 1_000_000
WINDOW_COLOUR = (255, 255, 255)  # COLOR_WINDOW in a new Wine prefix
FALLBACK_TRACK = (204, 220, 230)
FALLBACK_FILL_LEFT, FALLBACK_FILL_RIGHT = (94, 160, 206), (209, 225, 233)
BAR_LEFT, BAR_RIGHT, BAR_MIDDLE_ROW = 60, 500, 281  # 440 x 12 from (60, 275)


def close_to(colour, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


class InstallerWithoutPictures(unittest.TestCase):
    def setUp(self):
        self.display = harness.Display()
        self.addCleanup(self.display.close)
        self.prefix = harness.Prefix("missing_pictures", version="win10", display=self.display)
        self.addCleanup(self.prefix.close)
        held = {"size": SIZE, "hold_at": SIZE // 2}
        self.server = harness.start_test_server(routes={"/tarvex-data/win7": held, "/tarvex-data/release": held},
                                                port=harness.download_port())
        self.addCleanup(self.server.stop)
        self.workdir = os.path.join(self.prefix.drive_c, "install")
        os.makedirs(self.workdir)

    def test_boxes_for_the_background_then_a_view_drawn_with_fallbacks(self):
        process = self.prefix.start([harness.exe("tarvex-installer-without-pictures")], cwd=self.workdir)

        first = self.prefix.dialog(ERROR_CAPTION, wait_ms=30000, press="ok")
        self.assertTrue(first["found"], "no box for the missing background")
        self.assertEqual(first["text"], BACKGROUND_FAILED)
        self.assertEqual(first["owner_class"], "", "the first box comes before the window exists")
        # The second box has the same caption; it is the one owned by the window.
        second = harness.wait_until(
            lambda: (lambda box: box if box.get("owner_class") else None)(self.prefix.dialog(ERROR_CAPTION)), 30)
        self.assertTrue(second, "no second box")
        self.prefix.dialog(ERROR_CAPTION, press="ok")
        self.assertEqual(second["text"], BACKGROUND_FAILED)
        self.assertEqual(second["owner_class"], harness.INSTALLER_CLASS)
        self.assertFalse(second["owner_visible"], "the window is still being created")

        window = self.prefix.wait_for_visible_installer()
        self.assertIsNotNone(window, "the window was not shown after the boxes")
        self.assertTrue(self.server.hold_reached("/tarvex-data/win7", timeout=30))
        self.assertFalse(self.prefix.dialog(ERROR_CAPTION, wait_ms=2000)["found"],
                         "missing bar images must not show a message")

        shot = harness.Screenshot(self.display.screenshot(
            os.path.join(harness.artifacts_dir("e2e_missing_pictures"), "fallbacks.png")))
        left, top = window["rect"][:2]
        at = lambda x, y: shot.pixel(left + x, top + y)  # noqa: E731
        self.assertTrue(close_to(at(100, 150), WINDOW_COLOUR, 0), at(100, 150))
        self.assertTrue(close_to(at(BAR_LEFT + 4, BAR_MIDDLE_ROW), FALLBACK_FILL_LEFT), at(BAR_LEFT + 4, BAR_MIDDLE_ROW))
        self.assertTrue(close_to(at(BAR_LEFT + 216, BAR_MIDDLE_ROW), FALLBACK_FILL_RIGHT),
                        at(BAR_LEFT + 216, BAR_MIDDLE_ROW))
        for x in (BAR_LEFT + 230, 400, BAR_RIGHT - 8):
            self.assertTrue(close_to(at(x, BAR_MIDDLE_ROW), FALLBACK_TRACK, 2), (x, at(x, BAR_MIDDLE_ROW)))
        self.assertTrue(close_to(at(BAR_LEFT + 110, BAR_MIDDLE_ROW - 8), WINDOW_COLOUR, 0), "fill above the bar")

        self.display.click(left + harness.CLOSE_GLYPH[0], top + harness.CLOSE_GLYPH[1])
        self.assertEqual(harness.wait_for_exit(process, 20), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
