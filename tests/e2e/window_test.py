"""The real installer's window under Wine: class, title, size, centring, and
which button releases close it."""
import os
import time
import unittest

import harness

WINDOW_CLASS, WINDOW_TITLE = "TarvexInstaller", "Tarvex Installer"
WIDTH, HEIGHT = 560, 310
# Styles a borderless popup must not have: caption, border, frame, menus.
FRAME_STYLES = 0x00C00000 | 0x00800000 | 0x00400000 | 0x00080000 | 0x00040000
WS_POPUP = 0x80000000


class InstallerWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = harness.Display()
        cls.prefix = harness.Prefix("e2e_window", version="win10", display=cls.display)
        # The download is held at its first byte, so the worker neither
        # finishes nor fails while the window is being examined.
        held = {"size": 1 << 20, "hold_at": 0}
        cls.server = harness.start_test_server(routes={"/tarvex-data/release": held, "/tarvex-data/win7": held},
                                               port=harness.download_port())
        cls.workdir = os.path.join(cls.prefix.drive_c, "work")
        os.makedirs(cls.workdir)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.prefix.close()
        cls.display.close()

    def start_installer(self):
        process = self.prefix.start([harness.exe("tarvex-installer")], cwd=self.workdir)
        window = self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE, wait_ms=30000)
        self.assertTrue(window["found"], "the installer's window did not appear")
        # Visible only once the entry has centred and shown it.
        harness.wait_until(lambda: self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE)["visible"], 10)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process, self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE)

    def click_client(self, window, x, y):
        self.display.click(window["rect"][0] + x, window["rect"][1] + y)

    def assert_still_open(self, process, what):
        self.assertIsNone(harness.wait_for_exit(process, 2), "%s closed the window" % what)
        self.assertTrue(self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE)["found"])

    def assert_closes(self, process, what):
        code = harness.wait_for_exit(process, 20)
        self.assertIsNotNone(code, "%s did not close the window" % what)
        self.assertEqual(code, 0)
        self.assertFalse(self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE)["found"])

    def test_window_is_a_centred_borderless_popup(self):
        process, window = self.start_installer()
        self.display.screenshot(os.path.join(harness.artifacts_dir("e2e_window"), "window.png"))
        left, top, right, bottom = window["rect"]
        self.assertEqual((right - left, bottom - top), (WIDTH, HEIGHT))
        self.assertEqual(window["client"], [WIDTH, HEIGHT])
        screen_width, screen_height = self.display.size
        self.assertEqual((left, top), ((screen_width - WIDTH) // 2, (screen_height - HEIGHT) // 2))
        self.assertTrue(window["style"] & WS_POPUP)
        self.assertEqual(window["style"] & FRAME_STYLES, 0)
        self.assertEqual(window["exstyle"] & 0x00000200, 0)  # no client edge
        process.kill()

    def test_releases_outside_the_close_band_keep_the_window(self):
        process, window = self.start_installer()
        right = WIDTH
        for x, y in ((right - 37, 20), (right - 7, 20), (right - 20, 11), (right - 20, 41),
                     (right - 20, 9), (right - 20, 45), (WIDTH // 2, HEIGHT // 2)):
            self.click_client(window, x, y)
        self.assert_still_open(process, "a release outside the band")
        # Pressed on the glyph, released outside the window: only the release counts.
        inside = (window["rect"][0] + right - 20, window["rect"][1] + 20)
        self.display.drag(inside, (window["rect"][0] - 100, window["rect"][1] - 100))
        self.assert_still_open(process, "a press inside released outside")
        self.click_client(window, right - 36, 12)
        self.assert_closes(process, "a release at the band's top left corner")

    def test_release_at_the_bands_bottom_right_corner_closes(self):
        process, window = self.start_installer()
        self.click_client(window, WIDTH - 8, 40)
        self.assert_closes(process, "a release at the band's bottom right corner")

    def test_press_elsewhere_then_release_on_the_glyph_closes(self):
        process, window = self.start_installer()
        origin_x, origin_y = window["rect"][:2]
        self.display.drag((origin_x + 100, origin_y + 150), (origin_x + WIDTH - 20, origin_y + 20))
        self.assert_closes(process, "a release on the glyph after a press elsewhere")


    def test_window_that_fails_in_wm_create_shows_an_error_box_until_answered_and_ends_with_code_1(self):
        # A hook makes WM_CREATE fail, as a worker thread that cannot start
        # does: WM_DESTROY then posts the quit message before the box is up.
        hook = self.prefix.start([harness.exe("deny_window"),
                                  self.prefix.windows_path(os.path.join(harness.build_dir(), "deny_window_hook.dll")),
                                  "60000"])
        self.addCleanup(lambda: hook.poll() is None and hook.kill())
        time.sleep(2)
        process = self.prefix.start([harness.exe("tarvex-installer")], cwd=self.workdir)
        box = self.prefix.dialog("错误", wait_ms=30000)
        self.assertTrue(box["found"], "no error box")
        self.assertEqual(box["text"], "安装程序初始化失败！")
        self.assertEqual(box["owner_class"], "")
        self.assertTrue(box["icon"])
        self.assertFalse(self.prefix.installer_window()["found"])
        # A waiting quit message would end the box unanswered, under Wine
        # once a 2 s wait for the window manager has passed.
        self.assertIsNone(harness.wait_for_exit(process, 4), "the box closed by itself")
        self.assertTrue(self.prefix.dialog("错误")["found"], "the box closed by itself")
        self.prefix.dialog("错误", press="ok")
        self.assertEqual(harness.wait_for_exit(process, 20), 1)
        hook.kill()


if __name__ == "__main__":
    unittest.main(verbosity=2)
