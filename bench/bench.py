"""The bench behind scripts/bench: download speed against the layer's
ceiling, what the window costs, memory, size and start-up.

scripts/bench builds the programs, makes the bodies and starts nginx, then
runs this with TARVEX_BUILD_DIR (the bench build), TARVEX_BENCH_BASE
(https://localhost:PORT of nginx), TARVEX_BENCH_ACCESS_LOG (nginx's log of
request times) and TARVEX_BENCH_CA (the CA for curl). Every figure is the median of the
rounds with min and max; the rounds interleave all programs, and every ratio
is taken within a round before its median is taken. Nothing passes or fails
on a time.
"""
import argparse
import collections
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import harness

MiB = 1 << 20
GiB = 1 << 30
MB = 1e6
# (file name, size) as scripts/bench serves them; the 256 MiB body is the
# stand-in setup program with bytes appended, so the installer can run it.
BODIES = {"16m": ("16m.bin", 16 * MiB), "256m": ("setup-256m.exe", 256 * MiB), "1g": ("1g.bin", GiB)}
RUN_TIMEOUT = 600
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def process_cpu(pid):
    """User + system CPU seconds a live process has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


class Bench:
    """The prefix, its display and its persistent wineserver, plus helpers
    that run one program and measure it from outside."""

    def __init__(self, base_url, access_log):
        self.base_url = base_url
        self.access_log = access_log
        harness.make_template()
        self.display = harness.Display()
        self.prefix = harness.Prefix("bench", "win10", self.display)
        self.workdir = os.path.join(self.prefix.drive_c, "bench")
        os.makedirs(self.workdir, exist_ok=True)
        self.wineserver = None
        self.start_wineserver()

    def start_wineserver(self, trace=None):
        """One wineserver for all runs, started here in the foreground so
        that its CPU can be read and no run pays for starting it. With
        `trace` (an open file) it logs every request there."""
        subprocess.run([harness.WINESERVER, "-k"], env=self.prefix.env(), check=False)
        if self.wineserver:
            self.wineserver.wait()
        self.wineserver = subprocess.Popen([harness.WINESERVER, "-f", "-p"] + (["-d1"] if trace else []),
                                           env=self.prefix.env(), stdout=subprocess.DEVNULL,
                                           stderr=trace or subprocess.DEVNULL, preexec_fn=harness._die_with_parent)
        self.prefix.processes.append(self.wineserver)
        if not harness.wait_until(lambda: self._wineserver_listens(), 10, interval=0.02):
            raise RuntimeError("the wineserver did not start")
        # Wakes the prefix's own processes (services, desktop) before any figure.
        self.wine(["bench_minimal_window"])

    def _wineserver_listens(self):
        # It works in its server folder and makes its socket there.
        try:
            return os.path.exists(os.path.join(os.readlink("/proc/%d/cwd" % self.wineserver.pid), "socket"))
        except OSError:
            return False

    def close(self):
        self.prefix.close()
        self.display.close()

    def transfers(self, offset):
        """nginx's own time for each request logged after `offset`: (path, bytes, seconds)."""
        with open(self.access_log) as log:
            log.seek(offset)
            return [(path, int(size), float(seconds))
                    for _, path, _, size, seconds in (line.split() for line in log if line.strip())]

    def url(self, body):
        return "%s/%s" % (self.base_url, BODIES[body][0])

    def wine(self, args, env=None, cwd=None):
        """Runs a Windows program of the build to its end. Returns its exit
        code, stdout, wall time from start to exit, its own CPU time and the
        CPU that the wineserver and Xvfb spent meanwhile."""
        command = [harness.WINE, harness.exe(args[0]), *args[1:]]
        return self._measure(command, self.prefix.env(**(env or {})), cwd or self.workdir)

    def native(self, command):
        return self._measure(command, dict(os.environ), None)

    def _measure(self, command, env, cwd):
        with tempfile.TemporaryFile() as out:
            log_offset = os.path.getsize(self.access_log)
            server_before = process_cpu(self.wineserver.pid)
            xvfb_before = process_cpu(self.display.process.pid)
            started = time.time()
            process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.DEVNULL, preexec_fn=harness._die_with_parent)
            timer = threading.Timer(RUN_TIMEOUT, process.kill)
            timer.start()
            try:
                # wait4, not wait: the rusage is the process's own CPU. Under
                # Wine the started process is the Windows program itself.
                _, status, usage = os.wait4(process.pid, 0)
            finally:
                timer.cancel()
            wall = time.time() - started
            process.returncode = os.waitstatus_to_exitcode(status)
            out.seek(0)
            return {"code": process.returncode, "stdout": out.read().decode(errors="replace"),
                    "started": started, "wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
                    "wineserver_cpu_s": process_cpu(self.wineserver.pid) - server_before,
                    "xvfb_cpu_s": process_cpu(self.display.process.pid) - xvfb_before,
                    "transfers": self.transfers(log_offset)}

    # --- the measured programs -------------------------------------------

    def curl(self, body):
        run = self.native(["curl", "-sS", "--fail", "-o", "/dev/null", "--cacert", os.environ["TARVEX_BENCH_CA"],
                           "-w", "%{size_download}", self.url(body)])
        expect(run["code"] == 0 and int(run["stdout"]) == BODIES[body][1], "curl", run)
        return {"bytes": BODIES[body][1], "wall_s": run["wall_s"], "cpu_s": run["cpu_s"]}

    def bench_download(self, body, *args):
        """bench_download's own figures (transfer only) plus the wineserver's CPU."""
        mode = args[0]
        command = ["bench_download", mode, self.url(body)]
        if mode == "download":
            command.append("bench-download.bin")
        command += args[1:]
        run = self.wine(command)
        result = json.loads(run["stdout"]) if run["stdout"].strip() else {}
        expect(run["code"] == 0 and result.get("ok") and result["bytes"] == BODIES[body][1], command[1], run)
        if mode == "download":
            os.remove(os.path.join(self.workdir, "bench-download.bin"))
        result["wineserver_cpu_s"] = run["wineserver_cpu_s"]
        result["transfers"] = run["transfers"]
        return result

    def installer(self, exe_name):
        """One whole run of the installer (or its paint-counting twin) that
        downloads the 256 MiB stand-in, runs it and closes."""
        workdir = os.path.join(self.prefix.drive_c, "install")
        shutil.rmtree(workdir, ignore_errors=True)
        os.makedirs(workdir)
        marks = os.path.join(workdir, "paint-marks.json")
        run = self.wine([exe_name], cwd=workdir,
                        env={"TARVEX_STANDIN_WAIT_MS": "0", "TARVEX_BENCH_MARKS": self.prefix.windows_path(marks)})
        record = {}
        record_path = os.path.join(workdir, "setup-standin.json")
        if os.path.exists(record_path):
            with open(record_path) as record_file:
                record = json.load(record_file)
        expect(run["code"] == 0 and record.get("module_bytes") == BODIES["256m"][1]
               and not os.path.exists(os.path.join(workdir, "tarvex-setup.exe")),
               "%s did not download, run and delete the whole stand-in" % exe_name, run)
        if os.path.exists(marks):
            with open(marks) as marks_file:
                run["marks"] = json.load(marks_file)
        return run

    def minimal_window(self):
        marks = os.path.join(self.workdir, "paint-marks.json")
        run = self.wine(["bench_minimal_window"], env={"TARVEX_BENCH_MARKS": self.prefix.windows_path(marks)})
        expect(run["code"] == 0 and os.path.exists(marks), "bench_minimal_window", run)
        with open(marks) as marks_file:
            run["marks"] = json.load(marks_file)
        os.remove(marks)
        return run


def expect(condition, what, run):
    if not condition:
        raise RuntimeError("%s failed: %s" % (what, json.dumps(run)[:2000]))


# --- one round: every program once, in an order that rotates per round ---

def run_round(bench, index, large_body, splits):
    speed_body = "256m"
    steps = [
        ("curl", lambda: bench.curl(speed_body)),
        ("ceiling", lambda: bench.bench_download(speed_body, "ceiling")),
        ("download", lambda: bench.bench_download(speed_body, "download", "onprogress")),
        ("installer", lambda: bench.installer("tarvex-installer")),
        ("paintcount", lambda: bench.installer("tarvex-installer-paintcount")),
        ("minimal_window", lambda: bench.minimal_window()),
        ("memory_small", lambda: bench.bench_download("16m", "download", "memory")),
        ("memory_large", lambda: bench.bench_download(large_body, "download", "memory")),
    ]
    if splits:
        steps += [
            ("split_ceiling_8k", lambda: bench.bench_download(speed_body, "ceiling", "8192")),
            ("split_download_none", lambda: bench.bench_download(speed_body, "download", "none")),
            ("split_download_arithmetic", lambda: bench.bench_download(speed_body, "download", "arithmetic")),
        ]
    shift = index % len(steps)
    results = {}
    for name, step in steps[shift:] + steps[:shift]:
        results[name] = step()
    return results


# --- figures ---------------------------------------------------------------

def mb_per_s(run):
    return run["bytes"] / run["wall_s"] / MB


def cpu_per_gib(run, key="cpu_s"):
    return run[key] / (run["bytes"] / GiB)


def first_paint_ms(run):
    return run["marks"]["first_paint_ms"] - run["started"] * 1000


def transfer_s(run):
    """nginx's time for the run's one body."""
    (_, _, seconds), = [t for t in run["transfers"] if t[1] >= MiB]
    return seconds


def paints_per_s(run):
    marks = run["marks"]
    span = (marks["last_paint_ms"] - marks["first_paint_ms"]) / 1000
    return marks["paints"] / span if span > 0 else 0.0


def stats(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "runs": list(values)}


def figures(rounds, exe_sizes):
    """[(section, label, unit, stats or a plain value)] in table order."""
    def each(f):
        return stats([f(r) for r in rounds])

    large_name = "1 GiB" if rounds[0]["memory_large"]["bytes"] == GiB else "256 MiB"
    rows = [
        ("1. Ceiling, 256 MiB", "curl (native): speed", "MB/s", each(lambda r: mb_per_s(r["curl"]))),
        ("", "curl (native): CPU", "s/GiB", each(lambda r: cpu_per_gib(r["curl"]))),
        ("", "WinHTTP loop, 64 KiB reads: speed", "MB/s", each(lambda r: mb_per_s(r["ceiling"]))),
        ("", "WinHTTP loop: CPU of the process", "s/GiB", each(lambda r: cpu_per_gib(r["ceiling"]))),
        ("", "WinHTTP loop: CPU of the wineserver", "s/GiB",
         each(lambda r: cpu_per_gib(r["ceiling"], "wineserver_cpu_s"))),
        ("2. DownloadFile + OnProgress, 256 MiB", "speed", "MB/s", each(lambda r: mb_per_s(r["download"]))),
        ("", "CPU of the process", "s/GiB", each(lambda r: cpu_per_gib(r["download"]))),
        ("", "CPU of the wineserver", "s/GiB", each(lambda r: cpu_per_gib(r["download"], "wineserver_cpu_s"))),
        ("", "speed / ceiling speed", "ratio", each(lambda r: mb_per_s(r["download"]) / mb_per_s(r["ceiling"]))),
        ("", "process CPU / ceiling process CPU", "ratio",
         each(lambda r: r["download"]["cpu_s"] / r["ceiling"]["cpu_s"])),
        ("3. Installer, 256 MiB stand-in, Xvfb", "wall time, start to exit", "s",
         each(lambda r: r["installer"]["wall_s"])),
        ("", "transfer time, as nginx saw it", "s", each(lambda r: transfer_s(r["installer"]))),
        ("", "CPU of the process", "s", each(lambda r: r["installer"]["cpu_s"])),
        ("", "CPU of the wineserver", "s", each(lambda r: r["installer"]["wineserver_cpu_s"])),
        ("", "CPU of Xvfb", "s", each(lambda r: r["installer"]["xvfb_cpu_s"])),
        ("", "wall / (2)'s transfer time", "ratio", each(lambda r: r["installer"]["wall_s"] / r["download"]["wall_s"])),
        ("", "transfer / (2)'s transfer (nginx)", "ratio",
         each(lambda r: transfer_s(r["installer"]) / transfer_s(r["download"]))),
        ("", "process CPU / (2)'s", "ratio", each(lambda r: r["installer"]["cpu_s"] / r["download"]["cpu_s"])),
        ("", "process+wineserver+Xvfb CPU / (2)'s", "ratio",
         each(lambda r: (r["installer"]["cpu_s"] + r["installer"]["wineserver_cpu_s"] + r["installer"]["xvfb_cpu_s"])
              / (r["download"]["cpu_s"] + r["download"]["wineserver_cpu_s"]))),
        ("   paint-counting twin of the installer", "paints", "count", each(lambda r: r["paintcount"]["marks"]["paints"])),
        ("", "paints per second", "1/s", each(lambda r: paints_per_s(r["paintcount"]))),
        ("", "time inside paints", "s", each(lambda r: r["paintcount"]["marks"]["paint_s"])),
        ("", "time per paint", "ms",
         each(lambda r: 1000 * r["paintcount"]["marks"]["paint_s"] / r["paintcount"]["marks"]["paints"])),
        ("", "CPU of the UI thread", "s", each(lambda r: r["paintcount"]["marks"]["ui_thread_cpu_s"])),
        ("", "UI thread CPU / (2)'s process CPU", "ratio",
         each(lambda r: r["paintcount"]["marks"]["ui_thread_cpu_s"] / r["download"]["cpu_s"])),
        ("4. Memory of (2): largest working set in the transfer", "16 MiB body", "MiB",
         each(lambda r: r["memory_small"]["transfer_working_set"] / MiB)),
        ("", "%s body" % large_name, "MiB", each(lambda r: r["memory_large"]["transfer_working_set"] / MiB)),
        ("", "large minus small", "MiB",
         each(lambda r: (r["memory_large"]["transfer_working_set"] - r["memory_small"]["transfer_working_set"]) / MiB)),
        ("   peak working set of the process, at its end", "16 MiB body", "MiB",
         each(lambda r: r["memory_small"]["peak_working_set"] / MiB)),
        ("", "%s body" % large_name, "MiB", each(lambda r: r["memory_large"]["peak_working_set"] / MiB)),
        ("", "large minus small", "MiB",
         each(lambda r: (r["memory_large"]["peak_working_set"] - r["memory_small"]["peak_working_set"]) / MiB)),
        ("5. Size", "tarvex-installer.exe", "bytes", exe_sizes["exe"]),
        ("", "budget", "bytes", exe_sizes["budget"]),
        ("", "left in the budget (negative: over it)", "bytes", exe_sizes["budget"] - exe_sizes["exe"]),
        ("", "background bitmap (.rsrc)", "bytes", exe_sizes["bitmap"]),
        ("", "other resources (.rsrc)", "bytes", exe_sizes["other_resources"]),
        ("", "code (.text)", "bytes", exe_sizes["code"]),
        ("", "constants, unwind tables, imports, data", "bytes", exe_sizes["other_sections"]),
        ("", "headers and section padding", "bytes", exe_sizes["headers_and_padding"]),
        ("6. Start-up: process start to first paint", "installer (paint-counting twin)", "ms",
         each(lambda r: first_paint_ms(r["paintcount"]))),
        ("", "minimal Win32 window", "ms", each(lambda r: first_paint_ms(r["minimal_window"]))),
        ("", "installer / minimal", "ratio",
         each(lambda r: first_paint_ms(r["paintcount"]) / first_paint_ms(r["minimal_window"]))),
    ]
    if "split_ceiling_8k" in rounds[0]:
        rows += [
            ("7. Splits, 256 MiB (where (2) loses to (1))", "WinHTTP loop, 8 KiB reads: speed", "MB/s",
             each(lambda r: mb_per_s(r["split_ceiling_8k"]))),
            ("", "WinHTTP loop, 8 KiB reads: process CPU", "s/GiB", each(lambda r: cpu_per_gib(r["split_ceiling_8k"]))),
            ("", "DownloadFile, no callback: speed", "MB/s", each(lambda r: mb_per_s(r["split_download_none"]))),
            ("", "DownloadFile, no callback: process CPU", "s/GiB",
             each(lambda r: cpu_per_gib(r["split_download_none"]))),
            ("", "DownloadFile, state update only: speed", "MB/s",
             each(lambda r: mb_per_s(r["split_download_arithmetic"]))),
            ("", "DownloadFile, state update only: CPU", "s/GiB",
             each(lambda r: cpu_per_gib(r["split_download_arithmetic"]))),
            ("", "wineserver CPU: OnProgress minus state only", "s/GiB",
             each(lambda r: cpu_per_gib(r["download"], "wineserver_cpu_s")
                  - cpu_per_gib(r["split_download_arithmetic"], "wineserver_cpu_s"))),
        ]
    return rows


# --- profile: which wineserver requests each chunk and each paint costs ----

PROFILE_CASES = [
    ("WinHTTP loop, 64 KiB reads", lambda bench: bench.bench_download("16m", "ceiling")),
    ("WinHTTP loop, 8 KiB reads", lambda bench: bench.bench_download("16m", "ceiling", "8192")),
    ("DownloadFile, no callback", lambda bench: bench.bench_download("16m", "download", "none")),
    ("DownloadFile + OnProgress", lambda bench: bench.bench_download("16m", "download", "onprogress")),
    ("installer (paint-counting twin)", lambda bench: bench.installer("tarvex-installer-paintcount")),
]
CHUNK = 8192
HANDSHAKE_READS = 20


def requests_in_transfer(trace_path, offset):
    """[(thread, request)] the wineserver logged in the body transfer, the
    reading thread, and the share of the body's socket reads that the
    transfer holds. The transfer starts after the TLS handshake and the
    certificate check (whose registry reads would count as the body's)."""
    requests = []
    with open(trace_path, errors="replace") as trace:
        trace.seek(offset)
        for line in trace:
            # "0108: recv_socket( ... )" is a request; "0108: recv_socket() = ..." its reply.
            thread, _, rest = line.partition(": ")
            name, paren, after = rest.partition("(")
            if paren and after.startswith(" ") and name.isidentifier():
                requests.append((thread, name))
    reads = [i for i, (_, name) in enumerate(requests) if name == "recv_socket"]
    if not reads:
        return [], None, 0
    first = min(HANDSHAKE_READS, len(reads) // 2)
    return requests[reads[first]:reads[-1]], requests[reads[0]][0], (len(reads) - 1 - first) / len(reads)


def per_unit(counts, units, top=4):
    total = sum(counts.values()) / units
    names = ", ".join("%s %.2f" % (name, n / units) for name, n in counts.most_common(top))
    return "%.2f (%s)" % (total, names)


def request_profile(bench, trace_path):
    lines = ["Profile: wineserver requests during the transfer (its request trace, wineserver -d1)"]
    for label, run in PROFILE_CASES:
        with open(trace_path, "wb") as trace:
            bench.start_wineserver(trace)
            offset = os.path.getsize(trace_path)
            result = run(bench)
        bench.start_wineserver()
        requests, reader, share = requests_in_transfer(trace_path, offset)
        chunks = share * BODIES["256m" if "marks" in result else "16m"][1] / CHUNK
        worker = collections.Counter(name for thread, name in requests if thread == reader)
        lines.append("  %s" % label)
        lines.append("    download thread, per 8 KiB chunk:  %s" % per_unit(worker, chunks))
        if "marks" in result:
            ui_threads = collections.Counter(thread for thread, name in requests if name == "get_update_region")
            ui = ui_threads.most_common(1)[0][0] if ui_threads else None
            ui_counts = collections.Counter(name for thread, name in requests if thread == ui)
            paints = result["marks"]["paints"]  # nearly all fall in the transfer
            lines.append("    UI thread, per paint (%d paints): %s" % (paints, per_unit(ui_counts, paints, top=7)))
    os.remove(trace_path)
    return "\n".join(lines)


# The exe's budget: see docs/releasing.md.
EXE_BUDGET = 1_750_000
# A BITMAP resource is the .bmp file without its 14-byte file header.
BMP_FILE_HEADER = 14
SECTION_LINE = re.compile(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+[0-9a-f]+\s+[0-9a-f]+\s+2\*\*\d+$")


def file_sections(objdump_headers):
    """{name: bytes} of the sections that `objdump -h` lists with contents
    in the file; .bss and the like take none."""
    sections, name = {}, None
    for line in objdump_headers.splitlines():
        match = SECTION_LINE.match(line)
        if match:
            name, size = match.group(1), int(match.group(2), 16)
        elif name is not None:
            if "CONTENTS" in line:
                sections[name] = size
            name = None
    return sections


def exe_sizes(exe, bitmap):
    """What the exe's bytes are: the background bitmap, the other resources,
    the code, the other sections, and headers with the padding between
    sections; they add up to the file's size."""
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", exe], capture_output=True, text=True,
                             check=True).stdout
    return size_parts(os.path.getsize(exe), file_sections(headers), os.path.getsize(bitmap) - BMP_FILE_HEADER)


def size_parts(exe_bytes, sections, bitmap_bytes):
    sections = dict(sections)
    resources, code = sections.pop(".rsrc", 0), sections.pop(".text", 0)
    other = sum(sections.values())
    return {"exe": exe_bytes, "budget": EXE_BUDGET, "bitmap": bitmap_bytes, "other_resources": resources - bitmap_bytes,
            "code": code, "other_sections": other, "headers_and_padding": exe_bytes - resources - code - other}


def machine():
    model, cores, core = "unknown CPU", set(), {}
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            key, _, value = (part.strip() for part in line.partition(":"))
            if key == "model name":
                model = value
            elif key in ("physical id", "core id"):
                core[key] = value
                if len(core) == 2:
                    cores.add((core["physical id"], core["core id"]))
                    core = {}
    versions = {}
    for name, command in (("wine", [harness.WINE, "--version"]), ("nginx", ["nginx", "-v"]),
                          ("curl", ["curl", "--version"])):
        result = subprocess.run(command, capture_output=True, text=True, check=False)
        versions[name] = (result.stdout or result.stderr).splitlines()[0].strip()
    return {"cpu": model, "cores": len(cores) or os.cpu_count(), "logical_cpus": os.cpu_count(),
            "kernel": platform.release(), **versions}


def format_value(value, unit):
    if unit in ("bytes", "count"):
        return "{:,.0f}".format(value)
    if unit in ("ratio",):
        return "%.2f" % value
    return "%.1f" % value if abs(value) >= 10 else "%.2f" % value


def table(rows, info, rounds):
    lines = ["tarvex installer bench, %s" % info["date"],
             "machine: %s, %d cores, %d logical CPUs; kernel %s; %s; %s" % (
                 info["machine"]["cpu"], info["machine"]["cores"], info["machine"]["logical_cpus"],
                 info["machine"]["kernel"], info["machine"]["wine"], info["machine"]["nginx"]),
             "each figure: median [min - max] of %d interleaved rounds; ratios are taken within a round" % rounds,
             ""]
    for section, label, unit, value in rows:
        if section:
            lines.append(section)
        if isinstance(value, dict):
            text = "%10s  [%s - %s]" % (format_value(value["median"], unit), format_value(value["min"], unit),
                                        format_value(value["max"], unit))
        else:
            text = "%10s" % format_value(value, unit)
        lines.append("  %-42s %-6s %s" % (label, unit, text))
    lines += ["", "(2): the real OnProgress bound to a hidden window of the bench program, which nothing paints.",
              "Paints and first paint: the installer built once more with PaintProgressView wrapped by the linker",
              "to count (bench/paint_counter.cpp); its sources are unchanged. CPU: user + system."]
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="3 rounds, 256 MiB as the large memory body")
    parser.add_argument("--no-splits", action="store_true", help="leave out the timing splits (section 7)")
    parser.add_argument("--profile", action="store_true",
                        help="only count the wineserver requests per chunk and per paint (slow, no timings)")
    parser.add_argument("--json", default=os.path.join(harness.build_dir(), "bench.json"))
    options = parser.parse_args(argv)
    if options.rounds < 1:
        parser.error("--rounds must be at least 1")
    rounds_wanted = 3 if options.quick else options.rounds
    large_body = "256m" if options.quick else "1g"

    info = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"), "machine": machine(),
            "rounds": rounds_wanted, "quick": options.quick}
    sizes = exe_sizes(harness.exe("tarvex-installer"),
                      os.path.join(harness.build_dir(), "generated", "background.bmp"))
    print("Preparing the Wine prefix ...", flush=True)
    bench = Bench(os.environ["TARVEX_BENCH_BASE"], os.environ["TARVEX_BENCH_ACCESS_LOG"])
    rounds = []
    try:
        if options.profile:
            print(request_profile(bench, os.path.join(harness.build_dir(), "wineserver-trace.txt")))
            return 0
        for index in range(rounds_wanted):
            started = time.monotonic()
            rounds.append(run_round(bench, index, large_body, splits=not options.no_splits))
            print("round %d of %d: %.0f s" % (index + 1, rounds_wanted, time.monotonic() - started), flush=True)
    finally:
        bench.close()

    rows = figures(rounds, sizes)
    text = table(rows, info, rounds_wanted)
    print()
    print(text)
    report = dict(info, figures=[{"section": s, "label": l, "unit": u, "value": v} for s, l, u, v in rows],
                  raw_rounds=rounds, table=text.splitlines())
    with open(options.json, "w") as out:
        json.dump(report, out, indent=1)
    print("\nwritten: %s" % options.json)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
