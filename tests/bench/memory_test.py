"""DownloadFile's memory does not grow with the body: the largest working
set during a download of 1 GiB is that of 16 MiB, within 1 MiB. The one
bench figure that is a test, since it does not depend on the machine's
speed."""
import json
import os
import unittest

import harness
import https_server

MiB = 1 << 20
SMALL, LARGE = 16 * MiB, 1 << 30
TOLERANCE = 1 * MiB


class DownloadMemory(unittest.TestCase):
    def setUp(self):
        self.display = harness.Display()
        self.addCleanup(self.display.close)
        self.prefix = harness.Prefix("bench_memory", version="win10", display=self.display)
        self.addCleanup(self.prefix.close)
        self.server = harness.start_test_server(routes={"/small": {"size": SMALL}, "/large": {"size": LARGE}})
        self.addCleanup(self.server.stop)
        self.workdir = os.path.join(self.prefix.drive_c, "bench")
        os.makedirs(self.workdir)

    def download(self, path, size):
        """Largest working set of bench_download while it fetches `path`
        with the real OnProgress."""
        result = self.prefix.run([harness.exe("bench_download"), "download", self.server.url(path), "body.bin",
                                  "memory"], cwd=self.workdir, timeout=600)
        outcome = json.loads(result.stdout.decode())
        self.assertEqual(result.returncode, 0, outcome)
        self.assertEqual(outcome["bytes"], size, "the body did not arrive whole")
        with open(os.path.join(self.workdir, "body.bin"), "rb") as body:
            body.seek(size - 4096)
            self.assertEqual(body.read(), https_server.pattern_bytes(size - 4096, 4096))
        os.remove(os.path.join(self.workdir, "body.bin"))
        self.assertGreater(outcome["transfer_working_set"], 0)
        return outcome["transfer_working_set"]

    def test_working_set_of_a_1_gib_download_is_that_of_16_mib(self):
        small = self.download("/small", SMALL)
        large = self.download("/large", LARGE)
        print("working set during the transfer: 16 MiB body %.2f MiB, 1 GiB body %.2f MiB" % (small / MiB, large / MiB))
        self.assertLessEqual(abs(large - small), TOLERANCE)


if __name__ == "__main__":
    unittest.main(verbosity=2)
