"""Runs the installer and its Windows-side tests for real under Wine.

One throwaway Wine prefix per test, copied from the template prefix that
make_prefix.py prepares once per test run (Windows version, fonts, test CA,
browser recorder); an Xvfb display per test when it needs one; helpers to
start programs, find windows, click, take screenshots and collect exit
codes. Every process a test starts is ended when its prefix or display is
closed, and again if the test process itself dies.
"""
import contextlib
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import certs as test_certs  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
WINDOWS_VERSIONS = ("vista", "win7", "win8", "win10")
INSTALLER_CLASS, INSTALLER_TITLE = "TarvexInstaller", "Tarvex Installer"
# A point on the installer's close glyph, from the window's top left corner.
CLOSE_GLYPH = (560 - 20, 20)
SCREEN_WIDTH, SCREEN_HEIGHT = 1280, 800
FONT_REPLACEMENT = ("Microsoft YaHei", "WenQuanYi Micro Hei")

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # A child of a test ends when the test process ends, even if CTest
    # kills the test before it can clean up.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    os.setsid()


def build_dir():
    return os.environ["TARVEX_BUILD_DIR"]


def source_dir():
    return os.environ.get("TARVEX_SOURCE_DIR",
                          os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def exe(name):
    """Path of a program of the Windows build (installer, fixture or test)."""
    path = os.path.join(build_dir(), name if name.endswith(".exe") else name + ".exe")
    if not os.path.exists(path):
        raise FileNotFoundError(path)
    return path


def wine_root():
    # The demo keeps its prefixes apart from a test run's.
    return os.environ.get("TARVEX_WINE_ROOT") or os.path.join(build_dir(), "wine")


def template_prefix():
    return os.path.join(wine_root(), "template")


def certificates():
    return test_certs.ensure_certs(os.path.join(build_dir(), "certs"))


def start_test_server(routes=None, port=0):
    """The scripted HTTPS test server, serving as `localhost` with the test
    CA's certificate that every prefix trusts. Port 0 picks a free one."""
    import https_server  # tests/server, beside this folder on the path
    paths = certificates()
    return https_server.start_server(paths["localhost_pem"], paths["localhost_key"], routes=routes, port=port)


def artifacts_dir(test_name):
    path = os.path.join(build_dir(), "test-artifacts", test_name)
    os.makedirs(path, exist_ok=True)
    return path


def download_port():
    """The port the installer under test was built to download from."""
    host = os.environ.get("TARVEX_DOWNLOAD_HOST", "")
    name, _, port = host.partition(":")
    if name != "localhost" or not port.isdigit():
        raise RuntimeError("the test build needs TARVEX_DOWNLOAD_HOST=localhost:PORT, not %r" % host)
    return int(port)


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               LANG="C.UTF-8", LC_ALL="C.UTF-8")
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def _kill_wineserver(prefix):
    if os.path.isdir(prefix):
        subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)


def _reg_file(values):
    """A .reg file (UTF-16 with BOM, as regedit wants) that sets `values`:
    {r"HKEY_...\\key": {"name": "text" | int (DWORD)}}, in order; a key
    whose entries are None is deleted with everything under it."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, entries in values.items():
        if entries is None:
            lines += ["[-%s]" % key, ""]
            continue
        lines.append("[%s]" % key)
        for name, value in entries.items():
            quoted = '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')
            if isinstance(value, int):
                lines.append("%s=dword:%08x" % (quoted, value))
            else:
                lines.append('%s="%s"' % (quoted, value.replace("\\", "\\\\").replace('"', '\\"')))
        lines.append("")
    return ("\r\n".join(lines) + "\r\n").encode("utf-16")


def make_template():
    """Prepares the template prefix for this test run from scratch."""
    root = wine_root()
    runs = os.path.join(root, "runs")
    if os.path.isdir(runs):
        for name in os.listdir(runs):
            _kill_wineserver(os.path.join(runs, name))
        shutil.rmtree(runs, ignore_errors=True)
    template = template_prefix()
    _kill_wineserver(template)
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(root, exist_ok=True)
    env = wine_env(template)
    subprocess.run([WINE, "wineboot", "-i"], env=env, check=True, timeout=240,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\Fonts\Replacements", "/v", FONT_REPLACEMENT[0],
                    "/d", FONT_REPLACEMENT[1], "/f"], env=env, check=True, timeout=60, stdout=subprocess.DEVNULL)
    ca = certificates()["ca_der"]
    subprocess.run([WINE, exe("certimport"), ca], env=env, check=True, timeout=60)
    subprocess.run([WINESERVER, "-w"], env=env, check=True, timeout=60)


class Display:
    """An Xvfb screen of SCREEN_WIDTH x SCREEN_HEIGHT on a free display."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (SCREEN_WIDTH, SCREEN_HEIGHT),
             "-nolisten", "tcp", "-nolisten", "unix", "-ac"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.size = (SCREEN_WIDTH, SCREEN_HEIGHT)

    def _env(self):
        return dict(os.environ, DISPLAY=self.name)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self._env(), check=True, timeout=30)

    def click(self, x, y):
        """Press and release the left button at screen position (x, y)."""
        self.xdotool("mousemove", "--sync", x, y, "click", "1")

    def drag(self, start, end):
        """Press at `start`, move to `end` with the button down, release there."""
        self.xdotool("mousemove", "--sync", start[0], start[1], "mousedown", "1")
        self.xdotool("mousemove", "--sync", end[0], end[1], "mouseup", "1")

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.name, "-window", "root", path], check=True, timeout=60)
        return path

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Prefix:
    """A throwaway copy of the template prefix for one test."""

    def __init__(self, name, version="win10", display=None, registry=None):
        if version not in WINDOWS_VERSIONS:
            raise ValueError(version)
        if not os.path.isdir(template_prefix()):
            raise RuntimeError("no template prefix: run the wine_prefix test (make_prefix.py) first")
        self.path = os.path.join(wine_root(), "runs", "%s-%d" % (name, os.getpid()))
        self.display = display
        self.processes = []
        _kill_wineserver(self.path)
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        subprocess.run(["cp", "-a", "--reflink=auto", template_prefix(), self.path], check=True)
        self.browser_log = os.path.join(self.path, "browser.log")
        recorder = os.path.join(self.path, "browser-recorder.sh")
        with open(recorder, "w") as script:
            script.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % self.browser_log)
        os.chmod(recorder, 0o755)
        values = {
            r"HKEY_CURRENT_USER\Software\Wine": {"Version": version},
            r"HKEY_CURRENT_USER\Software\Wine\WineBrowser": {"Browsers": recorder},
        }
        values.update(registry or {})
        self.set_registry(values)

    @property
    def env(self):
        return wine_env(self.path, self.display.name if self.display else None)

    def set_registry(self, values):
        reg = os.path.join(self.path, "settings.reg")
        with open(reg, "wb") as out:
            out.write(_reg_file(values))
        self.run(["regedit", "/S", self.windows_path(reg)], timeout=60, check=True)

    def windows_path(self, unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    @property
    def drive_c(self):
        return os.path.join(self.path, "drive_c")

    @property
    def profile_dir(self):
        """The Unix path of %USERPROFILE% in this prefix."""
        return os.path.join(self.drive_c, "users", os.environ.get("USER", "root"))

    def run(self, args, timeout=120, check=False, cwd=None):
        """Runs a Windows program to its end; returns CompletedProcess."""
        # Output goes through files, not pipes: Wine's helper processes
        # inherit the descriptors and would hold a pipe open for seconds.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen([WINE, *args], env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, preexec_fn=_die_with_parent)
            try:
                code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(args, code, out.read(), err.read())
        if check and result.returncode != 0:
            raise RuntimeError("%s exited with %d\n%s%s" % (args, result.returncode,
                                                            result.stdout.decode(errors="replace"),
                                                            result.stderr.decode(errors="replace")))
        return result

    def start(self, args, cwd=None, env=None, stderr=None):
        """Starts a Windows program; the prefix ends it when it closes.
        `env` adds variables (Wine passes them on to Windows programs)."""
        process = subprocess.Popen([WINE, *args], env=dict(self.env, **(env or {})), cwd=cwd,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=stderr or subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self.processes.append(process)
        return process

    def start_installer(self, cwd, env=None, stderr=None):
        """Starts the real installer in `cwd` (a folder of this prefix)."""
        return self.start([exe("tarvex-installer")], cwd=cwd, env=env, stderr=stderr)

    def installer_window(self, wait_ms=0):
        return self.find_window(INSTALLER_CLASS, INSTALLER_TITLE, wait_ms=wait_ms)

    def wait_for_visible_installer(self, timeout=30):
        """The installer's window once it is shown, or None."""
        window = self.installer_window(wait_ms=int(timeout * 1000))
        if not window["found"]:
            return None
        return wait_until(lambda: (lambda w: w if w["found"] and w["visible"] else None)(self.installer_window()), 10)

    def probe(self, *args, timeout=60, attempts=3):
        """Runs winprobe; returns its JSON answer. A run that ends without
        an answer (seen once in CI, under load, and never reproduced) is
        retried; what it printed goes to the test's log either way."""
        for attempt in range(1, attempts + 1):
            result = self.run([exe("winprobe"), *map(str, args)], timeout=timeout)
            if result.returncode not in (0, 1):
                raise RuntimeError("winprobe failed: %s" % result.stderr.decode(errors="replace"))
            with contextlib.suppress(ValueError):
                return json.loads(result.stdout.decode())
            report = "winprobe %s gave no answer (exit %d, attempt %d of %d)\nstdout: %r\nstderr: %s" % (
                " ".join(map(str, args)), result.returncode, attempt, attempts, result.stdout[:500],
                result.stderr.decode(errors="replace")[-2000:])
            print(report, file=sys.stderr, flush=True)
        raise RuntimeError(report)

    def find_window(self, class_name, title, wait_ms=0):
        return self.probe("window", class_name, title, "--wait", wait_ms)

    def dialog(self, caption, wait_ms=0, press=None):
        args = ["dialog", caption, "--wait", wait_ms]
        if press:
            args += ["--press", press]
        return self.probe(*args)

    def tamper(self, unix_path):
        """Which of writing, renaming and deleting the file another process
        of the user may do: {"write": bool, "rename": bool, "delete": bool}."""
        return self.probe("tamper", self.windows_path(unix_path))

    @property
    def run_log_path(self):
        return os.path.join(self.profile_dir, "Temp", "tarvex-installer.log")

    def run_log(self):
        """The lines of the installer's log, without their time stamps; each
        line must carry one."""
        if not os.path.exists(self.run_log_path):
            return []
        with open(self.run_log_path, encoding="utf-8") as log:
            lines = log.read().splitlines()
        stamp = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ")
        assert all(stamp.match(line) for line in lines), lines
        return [line[24:] for line in lines]

    def browser_urls(self):
        if not os.path.exists(self.browser_log):
            return []
        with open(self.browser_log) as log:
            return [line.strip() for line in log if line.strip()]

    def close(self, keep=False):
        _kill_wineserver(self.path)
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            with contextlib.suppress(Exception):
                process.wait(timeout=10)
        if not keep:
            shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_for_exit(process, timeout):
    """The exit code of a started program, or None if it is still running."""
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


def wait_until(condition, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Screenshot:
    """The pixels of a screenshot file, read as 8-bit RGB through ImageMagick
    (whatever PNG variant `import` chose to write)."""

    def __init__(self, path):
        self.path = path
        size = subprocess.run(["identify", "-format", "%w %h", path], check=True, timeout=60,
                              capture_output=True, text=True).stdout.split()
        self.width, self.height = int(size[0]), int(size[1])
        self.rgb = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], check=True, timeout=60,
                                  capture_output=True).stdout
        if len(self.rgb) != self.width * self.height * 3:
            raise RuntimeError("%s: %d bytes of RGB for %dx%d" % (path, len(self.rgb), self.width, self.height))

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.rgb[offset:offset + 3])

    def area(self, left, top, width, height):
        """The raw RGB rows of a rectangle, for comparing two screenshots."""
        return b"".join(self.rgb[((top + row) * self.width + left) * 3:((top + row) * self.width + left + width) * 3]
                        for row in range(height))

    def crop(self, path, left, top, width, height):
        subprocess.run(["convert", self.path, "-crop", "%dx%d+%d+%d" % (width, height, left, top), "+repage",
                        "-strip", path], check=True, timeout=60)
        return path
