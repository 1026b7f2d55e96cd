"""One run of the real installer under Wine records the product in the
registration file of the prefix's profile folder, beside the entries of two
other products that were there before."""
import os
import unittest

import harness

WINDOW_CLASS, WINDOW_TITLE = "TarvexInstaller", "Tarvex Installer"
CLOSE_GLYPH = (560 - 20, 20)

# As other products may leave it: LF line ends, a comment, loose spacing,
# an unquoted value and a key the installer does not know.
BEFORE = (b"# written by another tool\n"
          b"[[software]]\nname = \"Other Tool\"\nproduct_id=\"3\"\ndistributor_id = \"2\"\n\n"
          b"[[software]]\nname =   Second\nversion = \"9.1\"\nproduct_id = \"12\"\ndistributor_id = \"\"\n")
AFTER = (b"[[software]]\r\nname = \"Other Tool\"\r\nproduct_id = \"3\"\r\ndistributor_id = \"2\"\r\n"
         b"[[software]]\r\nname = \"Second\"\r\nproduct_id = \"12\"\r\ndistributor_id = \"\"\r\n"
         b"[[software]]\r\nname = \"tarvex \xe6\x95\xb0\xe6\x8d\xae\xe6\x81\xa2\xe5\xa4\x8d\"\r\n"
         b"product_id = \"8\"\r\ndistributor_id = \"1\"\r\n")


class RegistrationByTheInstaller(unittest.TestCase):
    def setUp(self):
        self.display = harness.Display()
        self.addCleanup(self.display.close)
        self.prefix = harness.Prefix("e2e_registration", version="win10", display=self.display)
        self.addCleanup(self.prefix.close)
        # The download is held at its first byte, so the worker neither
        # finishes nor fails while the file is being examined.
        held = {"size": 1 << 20, "hold_at": 0}
        server = harness.start_test_server(routes={"/tarvex-data/release": held, "/tarvex-data/win7": held},
                                           port=harness.download_port())
        self.addCleanup(server.stop)
        self.workdir = os.path.join(self.prefix.drive_c, "work")
        os.makedirs(self.workdir)
        self.folder = os.path.join(self.prefix.profile_dir, ".tarvex")
        self.file = os.path.join(self.folder, "config.toml")

    def test_one_run_adds_our_entry_after_the_other_products(self):
        os.makedirs(self.folder)
        with open(self.file, "wb") as config:
            config.write(BEFORE)

        process = self.prefix.start([harness.exe("tarvex-installer")], cwd=self.workdir)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        self.assertTrue(self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE, wait_ms=30000)["found"],
                        "the installer's window did not appear")
        # Shown only after window creation, and with it the registration, is over.
        self.assertTrue(harness.wait_until(
            lambda: self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE)["visible"], 10))
        with open(self.file, "rb") as config:
            self.assertEqual(config.read(), AFTER)
        self.assertEqual(os.listdir(self.folder), ["config.toml"])

        window = self.prefix.find_window(WINDOW_CLASS, WINDOW_TITLE)
        self.display.click(window["rect"][0] + CLOSE_GLYPH[0], window["rect"][1] + CLOSE_GLYPH[1])
        self.assertEqual(harness.wait_for_exit(process, 20), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
