"""DownloadFile's memory does not grow with the body: the largest working
set while 1 GiB downloads is that of 16 MiB, within 1 MiB. The one bench
figure that is a test, as it does not depend on the machine's speed."""
import json
import os

import harness

MiB = 1 << 20


def test_working_set_of_a_1_gib_download_is_that_of_16_mib():
    # The real OnProgress needs a window to invalidate, and so a display.
    display, server = harness.Display(), harness.Server()
    prefix = harness.Prefix("memory", display=display)
    try:
        workdir = os.path.join(prefix.drive_c, "bench")
        os.makedirs(workdir)
        working_sets = []
        for size in (16 * MiB, 1 << 30):
            server.serve("/body", size)
            result = prefix.run([harness.exe("bench_download"), "download", server.url("/body"), "body.bin", "memory"],
                                cwd=workdir, timeout=600)
            outcome = json.loads(result.stdout.decode())
            assert result.returncode == 0 and outcome["bytes"] == size, outcome
            with open(os.path.join(workdir, "body.bin"), "rb") as body:
                body.seek(size - 4096)
                assert body.read() == harness.pattern(size - 4096, 4096), "the body's end did not arrive"
            working_sets.append(outcome["transfer_working_set"])
        print("working set while downloading: 16 MiB %.2f MiB, 1 GiB %.2f MiB" % tuple(w / MiB for w in working_sets))
        assert 0 < working_sets[0] and abs(working_sets[1] - working_sets[0]) <= MiB
    finally:
        server.stop()
        prefix.close()
        display.close()
