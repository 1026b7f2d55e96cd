"""The bench's arithmetic and parsing, on made-up runs: ratios come from
within a round, the request trace counts each request once and leaves the
handshake out, nginx's time is that of the body; the exe's size parts add up
and its bitmap figure is the resource the exe carries."""
import collections
import os
import struct
import subprocess
import tempfile
import unittest

import bench

MiB = bench.MiB


SIZES = bench.size_parts(1, {}, 0)


def made_up_round(ceiling_s, download_s, paints=100):
    """One round of every step, with round numbers where they matter."""
    body = 256 * MiB
    transfer = [("/x", body, download_s)]
    run = {"bytes": body, "wall_s": download_s, "cpu_s": download_s / 2, "wineserver_cpu_s": 0.5,
           "peak_working_set": 28 * MiB, "transfer_working_set": 28 * MiB, "transfers": transfer}
    marks = {"paints": paints, "paint_s": 1.0, "first_paint_ms": 1000.0, "last_paint_ms": 3000.0,
             "ui_thread_cpu_s": 0.5}
    installer = {"wall_s": 2 * download_s, "cpu_s": 1.0, "wineserver_cpu_s": 0.5, "xvfb_cpu_s": 0.1,
                 "started": 0.8, "marks": marks, "transfers": [("/tarvex-data/win7", body, download_s)]}
    return {"curl": dict(run, wall_s=0.25), "ceiling": dict(run, wall_s=ceiling_s, cpu_s=ceiling_s / 2),
            "download": run, "installer": installer, "paintcount": installer,
            "minimal_window": {"started": 0.9, "marks": dict(marks, first_paint_ms=1000.0)},
            "memory_small": dict(run, bytes=16 * MiB), "memory_large": dict(run, bytes=1 << 30)}


def figure(rows, label):
    matches = [value for _, name, _, value in rows if name == label]
    assert len(matches) == 1, label
    return matches[0]


class Figures(unittest.TestCase):
    def test_a_ratio_is_the_median_of_the_rounds_ratios_not_a_ratio_of_medians(self):
        # Within two rounds the download takes twice the ceiling's time; the
        # ratio of the two columns' medians would be 1.5 / 4.
        rounds = [made_up_round(1.0, 2.0), made_up_round(3.0, 6.0), made_up_round(1.5, 4.0)]
        ratio = figure(bench.figures(rounds, SIZES), "speed / ceiling speed")
        self.assertAlmostEqual(ratio["median"], 0.5)
        self.assertAlmostEqual(ratio["min"], 0.375)
        self.assertEqual(len(ratio["runs"]), 3)

    def test_paint_and_start_up_figures_come_from_the_marks(self):
        rows = bench.figures([made_up_round(1.0, 2.0, paints=500)], SIZES)
        self.assertAlmostEqual(figure(rows, "paints per second")["median"], 250.0)  # 500 paints in 2 s
        self.assertAlmostEqual(figure(rows, "time per paint")["median"], 2.0)
        self.assertAlmostEqual(figure(rows, "installer (paint-counting twin)")["median"], 200.0)
        self.assertAlmostEqual(figure(rows, "installer / minimal")["median"], 2.0)

    def test_transfer_time_is_that_of_the_body_not_of_small_requests(self):
        run = {"transfers": [("/favicon", 100, 0.001), ("/tarvex-data/win7", 256 * MiB, 2.5)]}
        self.assertEqual(bench.transfer_s(run), 2.5)


HANDSHAKE = """\
0108: recv_socket( oob=0, async={handle=0080}, force_async=0 )
0108: recv_socket() = ALERTED { wait=0084, options=00000000, nonblocking=0 }
0108: open_key( parent=0000, access=00000000, attributes=00000000, name=L"Certificates" )
0108: open_key() = 0 { hkey=0040 }
0108: get_key_value( hkey=0040, name=L"Blob" )
0108: get_key_value() = 0 { type=3, total=1200, data={...} }
"""
# One body read of the download thread (0108), two invalidations, and a
# paint's request on the UI thread (0110); each request with its reply.
BODY_READ = """\
0108: recv_socket( oob=0, async={handle=0080}, force_async=0 )
0108: recv_socket() = ALERTED { wait=0084, options=00000000, nonblocking=0 }
0108: set_async_direct_result( handle=0084, information=16384, status=00000000, mark_pending=0 )
0108: set_async_direct_result() = 0 { handle=0084 }
0108: redraw_window( window=00010020, flags=00000005, region={} )
0108: redraw_window() = 0
0108: redraw_window( window=00010020, flags=00000005, region={} )
0108: redraw_window() = 0
0110: get_update_region( window=00010020, from_child=00000000, flags=00000003 )
0110: get_update_region() = 0 { child=00010020, flags=00000000, total_size=0, region={} }
"""


class RequestTrace(unittest.TestCase):
    def parse(self, text):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "trace.txt")
            with open(path, "w") as out:
                out.write("0104: init_process_done( ... )\n" + text)
            return bench.requests_in_transfer(path, len("0104: init_process_done( ... )\n"))

    def test_each_request_counts_once_and_the_handshake_stays_out(self):
        requests, reader, share = self.parse(HANDSHAKE * 5 + BODY_READ * 100)
        worker = collections.Counter(name for thread, name in requests if thread == reader)
        self.assertEqual(reader, "0108")
        self.assertEqual(worker["redraw_window"], 2 * worker["recv_socket"])
        self.assertEqual(worker["set_async_direct_result"], worker["recv_socket"])
        self.assertNotIn("get_key_value", worker)
        self.assertNotIn("open_key", worker)
        # The share of all reads that the counted part holds.
        self.assertAlmostEqual(share * (5 + 100), worker["recv_socket"])
        self.assertEqual(collections.Counter(name for thread, name in requests if thread == "0110"),
                         {"get_update_region": worker["recv_socket"]})

    def test_a_trace_without_socket_reads_has_no_transfer(self):
        self.assertEqual(self.parse(HANDSHAKE.replace("recv_socket", "send_socket")), ([], None, 0))


# objdump -h of an exe of ours: .bss has no CONTENTS, so no bytes in the file.
OBJDUMP_HEADERS = """
tarvex-installer.exe:     file format pei-x86-64

Sections:
Idx Name          Size      VMA               LMA               File off  Algn
  0 .text         000da438  0000000140001000  0000000140001000  00000400  2**4
                  CONTENTS, ALLOC, LOAD, READONLY, CODE, DATA
  1 .data         00002480  00000001400dc000  00000001400dc000  000daa00  2**4
                  CONTENTS, ALLOC, LOAD, DATA
  2 .rdata        0001d4e0  00000001400df000  00000001400df000  000dd000  2**4
                  CONTENTS, ALLOC, LOAD, READONLY, DATA
  3 .pdata        0000bb68  00000001400fd000  00000001400fd000  000fa600  2**2
                  CONTENTS, ALLOC, LOAD, READONLY, DATA
  4 .xdata        000112a0  0000000140109000  0000000140109000  00106200  2**2
                  CONTENTS, ALLOC, LOAD, READONLY, DATA
  5 .bss          00000de0  000000014011b000  000000014011b000  00000000  2**4
                  ALLOC
  6 .idata        00002890  000000014011c000  000000014011c000  00117600  2**2
                  CONTENTS, ALLOC, LOAD, DATA
  7 .CRT          00000068  000000014011f000  000000014011f000  0011a000  2**2
                  CONTENTS, ALLOC, LOAD, DATA
  8 .tls          00000010  0000000140120000  0000000140120000  0011a200  2**2
                  CONTENTS, ALLOC, LOAD, DATA
  9 .rsrc         00090250  0000000140121000  0000000140121000  0011a400  2**2
                  CONTENTS, ALLOC, LOAD, DATA
 10 .reloc        000017e8  00000001401b2000  00000001401b2000  001aa800  2**2
                  CONTENTS, ALLOC, LOAD, READONLY, DATA
"""
# The PE headers, then at most one file alignment of padding per section.
HEADERS, FILE_ALIGNMENT = 0x400, 0x200


class Size(unittest.TestCase):
    def assert_parts_add_up(self, parts, sections):
        self.assertEqual(parts["bitmap"] + parts["other_resources"] + parts["code"] + parts["other_sections"]
                         + parts["headers_and_padding"], parts["exe"])
        self.assertGreaterEqual(min(parts.values()), 0)
        self.assertLessEqual(parts["headers_and_padding"], HEADERS + FILE_ALIGNMENT * len(sections))

    def test_sections_are_what_the_file_holds_and_the_parts_add_up(self):
        sections = bench.file_sections(OBJDUMP_HEADERS)
        self.assertEqual(set(sections), {".text", ".data", ".rdata", ".pdata", ".xdata", ".idata", ".CRT", ".tls",
                                         ".rsrc", ".reloc"})
        self.assertEqual(sections[".text"], 0xda438)
        self.assert_parts_add_up(bench.size_parts(1753088, sections, 520840), sections)

    def test_the_bitmap_figure_is_the_24_bit_bitmap_the_exe_carries(self):
        exe = os.path.join(os.environ["TARVEX_BUILD_DIR"], "tarvex-installer.exe")
        bmp = os.path.join(os.environ["TARVEX_BUILD_DIR"], "generated", "background.bmp")
        parts = bench.exe_sizes(exe, bmp)
        with open(exe, "rb") as exe_file, open(bmp, "rb") as bmp_file:
            held, resource = exe_file.read(), bmp_file.read()[bench.BMP_FILE_HEADER:]
        self.assertIn(resource, held)
        self.assertEqual(parts["bitmap"], len(resource))
        # BITMAPINFOHEADER: 24 bits a pixel, BI_RGB (no compression).
        self.assertEqual(struct.unpack_from("<HI", resource, 14), (24, 0))
        self.assert_parts_add_up(parts, bench.file_sections(subprocess.run(
            ["x86_64-w64-mingw32-objdump", "-h", exe], capture_output=True, text=True, check=True).stdout))


if __name__ == "__main__":
    unittest.main(verbosity=2)
