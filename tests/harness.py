"""Runs the installer and its Windows-side tests for real under Wine: a
throwaway copy of a template prefix, an Xvfb display, the HTTPS download
server, and helpers to start programs, find windows, click and read pixels.
Whatever a test starts ends with its prefix or display, or with the test.

  python3 harness.py prepare        makes the template prefix (a CTest fixture)
"""
import contextlib
import ctypes
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

import pytest_httpserver
import trustme
from werkzeug.datastructures import Headers
from werkzeug.serving import make_server
from werkzeug.wrappers import Response

WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
INSTALLER_CLASS, INSTALLER_TITLE = "TarvexInstaller", "Tarvex Installer"
CLOSE_GLYPH = (560 - 20, 20)  # a point on the close glyph, from the window's corner
SCREEN = (1280, 800)
CHANNELS = ("/tarvex-data/win7", "/tarvex-data/release")
CHUNK = 8192  # Wine's WinHTTP hands over whole 8192-byte reads only
MID_CHUNK = 4096  # how much of a body a close inside a chunk still brings
RELAYED = ("user32.AllowSetForegroundWindow", "user32.ShowWindow", "user32.MessageBoxW", "kernel32.MoveFileExW")
_PERIOD = bytes(i * 7 % 251 for i in range(251))


def _die_with_parent():
    # A child of a test ends when the test ends, even if CTest kills the test.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    os.setsid()


def build_dir():
    return os.environ["TARVEX_BUILD_DIR"]


def exe(name):
    """A program of the Windows build: the installer or a fixture."""
    return os.path.join(build_dir(), name if "." in name else name + ".exe")


def wine_root():
    # The demo and the screenshot keep their prefixes apart from a test run's.
    return os.environ.get("TARVEX_WINE_ROOT") or os.path.join(build_dir(), "wine")


def certificates():
    """The test CA that every prefix trusts and a localhost certificate from it, made once
    per build folder: {"ca": trustme.CA, "ca_pem", "ca_der", "localhost_pem" (key and chain)}."""
    folder = os.path.join(build_dir(), "test-ca")
    paths = {name: os.path.join(folder, name.replace("_", ".")) for name in ("ca_pem", "ca_key", "ca_der",
                                                                             "localhost_pem")}
    if not os.path.isdir(folder):
        ca, scratch = trustme.CA(organization_name="Installer tests"), tempfile.mkdtemp(dir=build_dir())
        for name, blob in (("ca_pem", ca.cert_pem), ("ca_key", ca.private_key_pem),
                           ("localhost_pem", ca.issue_cert("localhost").private_key_and_cert_chain_pem)):
            blob.write_to_path(os.path.join(scratch, os.path.basename(paths[name])))
        with open(os.path.join(scratch, "ca.der"), "wb") as der:
            der.write(ssl.PEM_cert_to_DER_cert(ca.cert_pem.bytes().decode()))
        with contextlib.suppress(OSError):  # another process made them first
            os.rename(scratch, folder)
        shutil.rmtree(scratch, ignore_errors=True)
    with open(paths["ca_pem"], "rb") as cert, open(paths["ca_key"], "rb") as key:
        return dict(paths, ca=trustme.CA.from_pem(cert.read(), key.read()))


def download_port():  # that the installer under test was built for
    return int(re.fullmatch(r"localhost:(\d+)", os.environ["TARVEX_DOWNLOAD_HOST"]).group(1))


def pattern(offset, length):
    """Body bytes that show where each byte came from: byte n is n * 7 % 251."""
    start = offset % 251
    return (_PERIOD * ((start + length) // 251 + 1))[start:start + length]


def signed_setup_program(name, path, program="nsis-setup"):
    """A program of the build, signed at `path` by a certificate for `name` from the test CA; returns its bytes."""
    pem, leaf = "%s.pem" % path, certificates()["ca"].issue_cert("setup.test", common_name=name)
    leaf.private_key_and_cert_chain_pem.write_to_path(pem)
    subprocess.run(["osslsigncode", "sign", "-certs", pem, "-key", pem, "-h", "sha256", "-in", exe(program),
                    "-out", path], check=True, capture_output=True)
    with open(path, "rb") as signed:
        return signed.read()


def wait_for_exit(process, timeout):
    """The exit code of a started program, or None if it still runs."""
    with contextlib.suppress(subprocess.TimeoutExpired):
        return process.wait(timeout=timeout)


def wait_until(condition, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value


class _AsGiven(Response):
    """Sends each Location as the route gives it: werkzeug would escape it, where a server may send it raw."""

    def get_wsgi_headers(self, environ):
        headers = super().get_wsgi_headers(environ)
        if "Location" in self.headers:
            headers.setlist("Location", self.headers.getlist("Location"))
        return headers


class Server(pytest_httpserver.HTTPServer):
    """The HTTPS download server on loopback, threaded. serve(path, ...): `body` is bytes or a count of
    pattern bytes, `headers` a dict or a list of pairs (a name may come twice), held at `hold_at` until
    release(path), paced at `rate` bytes a second, cut by a reset
    at `cut_at`, or announced as `announce` bytes (False: chunked). `close_at`: sent chunked and closed in order
    after that many bytes, without the last chunk, as a proxy does whose upstream timed out; `mid_chunk`: the
    close comes inside a chunk whose header announced more."""

    def __init__(self, port=0, pem=None):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem or certificates()["localhost_pem"])
        super().__init__(host="127.0.0.1", port=port, ssl_context=context)
        self.routes, self.stopping = {}, threading.Event()
        self.expect_request(re.compile(".*")).respond_with_handler(self._answer)
        self.server = make_server(self.host, self.port, self.application, ssl_context=context, threaded=True)
        # The TLS handshake in each connection's own thread, not in the one that accepts: a client that connects and
        # says nothing (Wine's server keeps a killed installer's socket open) then holds up only itself.
        self.server.socket.do_handshake_on_connect = False
        self.port = self.server.port
        self.server_thread = threading.Thread(target=self.thread_target, daemon=True)
        self.server_thread.start()

    def stop(self):
        self.stopping.set()
        if self.is_running():
            super().stop()

    def url(self, path="/"):
        return "https://localhost:%d%s" % (self.port, path)

    def serve(self, path, body=b"", status=200, headers=None, hold_at=None, rate=None, announce=None, cut_at=None,
              close_at=None, mid_chunk=False):
        size = body if isinstance(body, int) else len(body)
        if close_at is not None:
            announce = False
        self.routes[path] = dict(body=body, size=size, status=status, headers=Headers(headers), hold_at=hold_at,
                                 rate=rate, announce=size if announce is None else announce, cut_at=cut_at,
                                 close_at=close_at, mid_chunk=mid_chunk, reached=threading.Event(),
                                 released=threading.Event())

    def serve_channels(self, body=b"", **route):
        for path in CHANNELS:
            self.serve(path, body, **route)

    def hold_reached(self, path, timeout=30):
        return self.routes[path]["reached"].wait(timeout)

    def release(self, path):
        self.routes[path]["released"].set()

    def requests(self):
        return [{"path": request.full_path.rstrip("?"), "headers": dict(request.headers)} for request, _ in self.log]

    def _answer(self, request):
        route = self.routes.get(request.path)
        if route is None:
            return Response(status=404)
        if route["announce"] is not False:
            route["headers"]["Content-Length"] = str(route["announce"])
        return _AsGiven(self._body(route, request.environ["werkzeug.socket"]), status=route["status"],
                        headers=route["headers"], direct_passthrough=True)

    def _body(self, route, connection):
        sent, piece = 0, max(1, route["rate"] // 20) if route["rate"] else 1 << 16
        part = lambda start, end: pattern(start, end - start) if isinstance(route["body"], int) else route["body"][
            start:end]
        close_at = route["close_at"]
        # Inside a chunk: the last MID_CHUNK bytes go out under a header that announces twice as many.
        chunk_from = close_at - min(close_at, MID_CHUNK) if close_at is not None and route["mid_chunk"] else close_at
        stops = (route["hold_at"], route["cut_at"], chunk_from)
        for stop in sorted({route["size"], *(at for at in stops if at is not None)}):
            while sent < stop:
                end = min(stop, sent + piece)
                yield part(sent, end)
                sent = end
                time.sleep(0.05 if route["rate"] else 0)
            if stop == chunk_from:
                if close_at > chunk_from:
                    connection.sendall(b"%x\r\n" % (2 * (close_at - chunk_from)) + part(chunk_from, close_at))
                # An orderly end: TLS close_notify, then the TCP close; never the last, empty chunk.
                with contextlib.suppress(OSError, ValueError):
                    connection.settimeout(2)
                    connection.unwrap().close()
                connection.close()
                raise ConnectionAbortedError  # the server lets a dropped connection go quietly
            if stop == route["hold_at"]:
                route["reached"].set()
                while not route["released"].wait(0.1) and not self.stopping.is_set():
                    pass
            if stop == route["cut_at"]:
                # A reset, not an orderly close: the client sees a broken transfer.
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                connection.close()
                raise ConnectionResetError  # the server lets a dropped connection go quietly


# A call as Wine 8.0 (`wine64 --version`: wine-8.0) prints it with +pid: "0128:0134:Call user32.ShowWindow(00020056,
# 00000000) ret=14001f04d" (+relay) or "0128:0134:trace:crypt:CertGetCertificateChain (...)"; in strings \\, \" and,
# for what is not ASCII, \ and 4 hex digits.
_TRACED = re.compile(r"([0-9a-f]{4}):[0-9a-f]{4}:(?:Call (\w+)\.(\w+)\((.*)\) ret=[0-9a-f]+|trace:\w+:(\w+) (.*))$")
_ESCAPED = re.compile(r'\\(\\|"|[0-9a-f]{4})')


def wine_calls(trace):
    """The calls of the program started first, from Wine's debug output (bytes), in order: ("user32.ShowWindow",
    "0002,0"), ("dump_wintrust_data", "dwProvFlags: 0"); only \" stays escaped. What it or Wine starts is left out."""
    lines = [m for m in map(_TRACED.match, trace.decode(errors="replace").splitlines()) if m]
    unescaped = lambda text: _ESCAPED.sub(lambda m: {"\\": "\\", '"': '\\"'}.get(m[1]) or chr(int(m[1], 16)), text)
    return [("%s.%s" % (m[2].lower(), m[3]) if m[2] else m[5], unescaped(m[4] if m[2] else m[6]))
            for m in lines if m[1] == lines[0][1]]


def wine_env(prefix, display=None, **extra):
    # No winemenubuilder: as a prefix boots, it would start the desktop shell before the service manager is up, and
    # the shell then never serves its shell windows.
    env = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
               LANG="C.UTF-8", LC_ALL="C.UTF-8", **({"DISPLAY": display.name} if display else {}))
    return dict(env, **extra)


def _wine(prefix, *args, timeout=60):
    """Runs one of Wine's own programs to its end, quietly, and again if it fails; raises with what it printed if it
    never succeeds."""
    for attempt in range(3):
        result = subprocess.run([WINE, *args], env=wine_env(prefix), capture_output=True, timeout=timeout)
        if result.returncode == 0:
            return
    raise RuntimeError("%s ended with %d: %s" % (args, result.returncode, result.stderr.decode(errors="replace")))


def _set_registry(prefix, values):
    """Sets {r"HKEY_...\\key": {"name": "text"}} in order; a key given None
    is deleted with all below it."""
    quote = lambda text: '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')  # noqa: E731
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, entries in values.items():
        lines += ["[-%s]" % key if entries is None else "[%s]" % key]
        lines += ["%s=%s" % (quote(name), quote(value)) for name, value in (entries or {}).items()] + [""]
    with open(os.path.join(prefix, "settings.reg"), "wb") as reg:
        reg.write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
    _wine(prefix, "regedit", "/S", "Z:" + reg.name.replace("/", "\\"))


def _kill_wineserver(prefix):
    if os.path.isdir(prefix):
        subprocess.run([WINESERVER, "-k"], env=wine_env(prefix), capture_output=True, timeout=30)


def make_template():
    """The template prefix, kept while Wine, the test CA and its make (" 3") stay the
    same. Leftovers of earlier runs go."""
    root = wine_root()
    runs, template, stamp_path = (os.path.join(root, name) for name in ("runs", "template", "template.stamp"))
    for name in os.listdir(runs) if os.path.isdir(runs) else []:
        _kill_wineserver(os.path.join(runs, name))
    shutil.rmtree(runs, ignore_errors=True)
    with open(certificates()["ca_der"], "rb") as ca:
        stamp = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout + ca.read().hex() + " 3"
    if os.path.isdir(template) and os.path.exists(stamp_path) and open(stamp_path).read() == stamp:
        return
    _kill_wineserver(template)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(template)
    _wine(template, "wineboot", "-i", timeout=240)
    # The installer's face, Microsoft YaHei, drawn with a font Debian has; a recorder in place of the browser, which
    # notes each page in the prefix; R:, removable as a USB stick; all +relay prints (without a list, far slower).
    recorder = os.path.join(root, "browser.sh")
    with open(recorder, "w") as script:
        script.write('#!/bin/sh\nprintf "%s\\n" "$*" >> "$WINEPREFIX/browser.log"\n')
    os.chmod(recorder, 0o755)
    os.makedirs(os.path.join(template, "drive_c", "removable"))
    os.symlink("../drive_c/removable", os.path.join(template, "dosdevices", "r:"))
    _set_registry(template, {r"HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements":
                             {"Microsoft YaHei": "WenQuanYi Micro Hei"},
                             r"HKEY_CURRENT_USER\Software\Wine\WineBrowser": {"Browsers": recorder},
                             r"HKEY_LOCAL_MACHINE\Software\Wine\Drives": {"r:": "floppy"},
                             r"HKEY_CURRENT_USER\Software\Wine\Debug": {"RelayInclude": ";".join(RELAYED)}})
    _wine(template, exe("probe"), "trust-root", certificates()["ca_der"])
    subprocess.run([WINESERVER, "-w"], env=wine_env(template), check=True, timeout=60)
    with open(stamp_path, "w") as out:
        out.write(stamp)


class Display:
    """An Xvfb screen on a free display number."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN,
                                         "-nolisten", "tcp", "-nolisten", "unix", "-ac"],
                                        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=_die_with_parent)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.name = ":" + pipe.readline().strip()

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=dict(os.environ, DISPLAY=self.name), check=True, timeout=30)

    # From the corner first: a synchronous move to where the pointer already is never ends.
    def drag(self, start, end):
        self.xdotool("mousemove", 0, 0, "mousemove", "--sync", *start, "mousedown", "1", "mousemove", "--sync", *end,
                     "mouseup", "1")

    def click(self, x, y):
        self.xdotool("mousemove", 0, 0, "mousemove", "--sync", x, y, "click", "1")

    def screenshot(self, path):
        """Saves the screen at `path`; its pixels as 8-bit RGB, row by row."""
        subprocess.run(["import", "-display", self.name, "-window", "root", path], check=True, timeout=60)
        return subprocess.run(["convert", path, "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout

    def close(self):
        self.process.kill()
        self.process.wait()


class Prefix:
    """A throwaway copy of the template prefix, set to a Windows version."""

    def __init__(self, name, version="win10", display=None):
        template = os.path.join(wine_root(), "template")
        if not os.path.isdir(template):
            raise RuntimeError("no template prefix: run `harness.py prepare` first")
        self.path = os.path.join(wine_root(), "runs", "%s-%d" % (name, os.getpid()))
        self.display, self.processes = display, []
        self.drive_c = os.path.join(self.path, "drive_c")
        self.profile_dir = os.path.join(self.drive_c, "users", os.environ.get("USER", "root"))
        self.run_log_path = os.path.join(self.profile_dir, "Temp", "tarvex-installer.log")
        self.browser_log = os.path.join(self.path, "browser.log")
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        subprocess.run(["cp", "-a", "--reflink=auto", template, self.path], check=True)
        with open(os.path.join(self.path, "user.reg"), "a") as registry:  # as regedit would, without starting Wine
            registry.write('\n[Software\\\\Wine] 0\n"Version"="%s"\n' % version)
        # A signed-in session, as Windows has before any program runs: the desktop shell up, and kept while the prefix
        # lasts. Wine starts it with the first window and stops it a few seconds after the last program has ended; a
        # program started early or just then finds no desktop shell to open pages through. Under load, about one
        # boot in two hundred still comes up without the shell's windows served: that boot is ended and redone.
        for attempt in range(3):
            with tempfile.TemporaryFile() as answer:
                self.start([exe("probe"), "session", str(24 * 3600 * 1000)], stdout=answer)
                answered = wait_until(lambda: os.fstat(answer.fileno()).st_size, 90)
                answer.seek(0)
                said = answer.read()
            if answered and json.loads(said)["found"]:
                return
            _kill_wineserver(self.path)
            subprocess.run([WINESERVER, "-w"], env=self.env(), capture_output=True, timeout=60)
        raise RuntimeError("the prefix's desktop shell did not start, three times: %s" % said)

    def env(self, **extra):
        return wine_env(self.path, self.display, **extra)

    def set_registry(self, values):
        _set_registry(self.path, values)

    def windows_path(self, unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def run(self, args, timeout=120, cwd=None, **env):
        """Runs a Windows program to its end; CompletedProcess with bytes."""
        # Through files, not pipes: Wine's helper processes inherit the descriptors and would keep a pipe open for
        # seconds.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = self.start(args, cwd, err, stdout=out, **env)
            try:
                code = process.wait(timeout=timeout)
            finally:
                process.kill()
            out.seek(0), err.seek(0)
            return subprocess.CompletedProcess(args, code, out.read(), err.read())

    def start(self, args, cwd=None, stderr=None, stdout=None, **env):
        """Starts a Windows program; it ends with the prefix at the latest."""
        process = subprocess.Popen([WINE, *args], env=self.env(**env), cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=stdout or subprocess.DEVNULL, stderr=stderr or subprocess.DEVNULL,
                                   preexec_fn=_die_with_parent)
        self.processes.append(process)
        return process

    def start_installer(self, cwd, installer=None, stderr=None, keep_log=False, **env):
        """Starts the installer, without the log of an earlier run unless kept."""
        if not keep_log and os.path.exists(self.run_log_path):
            os.remove(self.run_log_path)
        return self.start([installer or exe("tarvex-installer")], cwd=cwd, stderr=stderr, **env)

    def probe(self, *args):
        """The probe fixture's one-line JSON answer."""
        for attempt in range(3):  # seen once in CI under load: an answer lost
            result = self.run([exe("probe"), *map(str, args)], timeout=60)
            with contextlib.suppress(ValueError):
                return json.loads(result.stdout.decode())
        raise RuntimeError("probe %s: no answer (%d): %s" % (args, result.returncode, result.stderr.decode()[-500:]))

    def window(self, class_name=INSTALLER_CLASS, title=INSTALLER_TITLE):
        return self.probe("window", class_name, title)

    def visible_installer(self, timeout=30):
        """The installer's window once it is shown, or None."""
        if not wait_until(lambda: (lambda w: w["found"] and w["visible"])(self.window()), timeout):
            return None
        time.sleep(0.5)  # shown to Windows programs a moment before X has mapped and placed it
        return self.window()

    def dialog(self, caption, wait_ms=0, press=None):
        """A message box's text, icon, buttons and owner; `press` answers it
        with "ok", "cancel", or "esc" on the keyboard."""
        answer = self.probe("dialog", caption, "--wait", wait_ms, *(["--press", press] if press in ("ok", "cancel") else []))
        if press == "esc" and answer["found"]:
            self.display.xdotool("search", "--name", caption, "windowfocus", "--sync", "key", "Escape")
        return answer

    def click_close_glyph(self, window):
        self.display.click(window["rect"][0] + CLOSE_GLYPH[0], window["rect"][1] + CLOSE_GLYPH[1])

    def run_log(self):
        """The installer's log lines without the time stamp that each must carry."""
        lines = _read_lines(self.run_log_path)
        assert all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ", line) for line in lines), lines
        return [line[24:] for line in lines]

    def browser_urls(self):
        """The pages opened, without the "/" that Wine adds to a bare host."""
        return [re.sub(r"^(https://[^/]+)/$", r"\1", line) for line in _read_lines(self.browser_log) if line]

    def close(self):
        _kill_wineserver(self.path)
        for process in self.processes:
            process.kill()
            process.wait()
        shutil.rmtree(self.path, ignore_errors=True)


def _read_lines(path):
    return pathlib.Path(path).read_text("utf-8").splitlines() if os.path.exists(path) else []


if __name__ == "__main__":
    if sys.argv[1:] != ["prepare"]:
        sys.exit(__doc__)
    make_template()
