"""scripts/check-server against Debian's nginx in the configurations that operators get wrong, and its HTTP rules
against the real installer under Wine, on the same answers of one server."""
import datetime
import importlib.util
import os
import re
import socket
import subprocess

import pytest

import harness
from harness import CHANNELS

CHECK = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "scripts",
                     "check-server")
SIGNER = "Tarvex 软件 Ltd"
# Suites that Vista and 7 offer over TLS 1.0 (OpenSSL 3 needs security level 0 for TLS 1.0).
OLD_WINDOWS_SUITES = "ECDHE-RSA-AES256-SHA:@SECLEVEL=0"
NGINX_CONF = """
%(user)s
worker_processes 1;
daemon off;
pid %(folder)s/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %(folder)s/body; proxy_temp_path %(folder)s/proxy; fastcgi_temp_path %(folder)s/fastcgi;
    uwsgi_temp_path %(folder)s/uwsgi; scgi_temp_path %(folder)s/scgi;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:%(port)d ssl;
        ssl_certificate %(pem)s;
        ssl_certificate_key %(pem)s;
        ssl_protocols %(protocols)s;
        ssl_ciphers "%(ciphers)s";
        location /files/ { alias %(folder)s/files/; }
        %(locations)s
    }
}
"""


def both_channels(answer):
    return "location = %s { %s } location = %s { %s }" % (CHANNELS[0], answer, CHANNELS[1], answer)


class Nginx:
    """Debian's nginx on a free loopback port with the test CA's localhost certificate; each configure() replaces
    the running one. Serves /files/ from its folder."""

    def __init__(self, folder):
        self.folder, self.process = folder, None
        os.makedirs(os.path.join(folder, "files"))
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]

    def configure(self, locations, protocols="TLSv1 TLSv1.1 TLSv1.2", ciphers=OLD_WINDOWS_SUITES, pem=None):
        self.stop()
        conf = os.path.join(self.folder, "nginx.conf")
        with open(conf, "w") as out:
            out.write(NGINX_CONF % dict(user="user root;" if os.getuid() == 0 else "", folder=self.folder,
                                        port=self.port, pem=pem or harness.certificates()["localhost_pem"],
                                        protocols=protocols, ciphers=ciphers, locations=locations))
        self.process = subprocess.Popen(["nginx", "-p", self.folder, "-c", conf, "-e", self.folder + "/error.log"],
                                        preexec_fn=harness._die_with_parent)
        assert harness.wait_until(lambda: self.process.poll() is None and self._listens(), 10), "nginx did not start"

    def _listens(self):
        with socket.socket() as client:
            return client.connect_ex(("127.0.0.1", self.port)) == 0

    def check(self, *options, host=None):
        """The check's exit status and what it printed."""
        result = subprocess.run([CHECK, "--download-host", host or "localhost:%d" % self.port, "--ca-file",
                                 harness.certificates()["ca_pem"], *options], capture_output=True, text=True,
                                timeout=300)
        assert "Traceback" not in result.stdout + result.stderr
        return result.returncode, result.stdout

    def tls_cells(self):
        """The check's TLS row, {Windows version: Cell}."""
        rows = check_server().check("localhost", self.port, None, harness.certificates()["ca_pem"])
        return next(cells for label, cells in rows if label.startswith("TLS "))

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait()


def check_server():
    loader = importlib.machinery.SourceFileLoader("check_server", CHECK)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_server", loader))
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    server = Nginx(str(tmp_path_factory.mktemp("nginx")))
    files = os.path.join(server.folder, "files")
    harness.signed_setup_program(SIGNER, os.path.join(files, "setup-1.2.exe"))
    harness.signed_setup_program("Someone Else", os.path.join(files, "other.exe"))
    subprocess.run(["cp", harness.exe("nsis-setup"), os.path.join(files, "unsigned.exe")], check=True)
    yield server
    server.stop()


def failing_versions(last_line, check):
    """The Windows versions that the last line says fail `check`."""
    named = re.findall(r"Windows ([\w., ]+?) would fail, %s" % re.escape(check), last_line)
    return {version for versions in named for version in versions.split(", ")}


def test_a_good_server_passes_on_every_windows_and_the_pin_takes_only_its_publishers_setup_program(nginx):
    # A SHA-256 signature, which Vista does not check, warns in Vista's column.
    for served, verdict in (("setup-1.2.exe", "ok, with warnings: Windows Vista: publisher: a SHA-2 file digest"),
                            ("unsigned.exe", "publisher: unsigned"),
                            ("other.exe", 'publisher: signed by another publisher, "Someone Else"')):
        nginx.configure(both_channels("return 302 /files/%s;" % served))
        status, printed = nginx.check("--setup-signer", SIGNER)
        assert (status, verdict in printed.splitlines()[-1]) == (0 if served == "setup-1.2.exe" else 1, True), printed
        assert "all: ok: 302 to https://localhost:%d/files/%s, 200, " % (nginx.port, served) in printed


def test_the_documents_show_the_windows_table_the_check_uses():
    with open(os.path.join(os.path.dirname(os.path.dirname(CHECK)), "docs", "download-server.md")) as document:
        assert subprocess.run([CHECK, "--windows-table"], capture_output=True, text=True).stdout in document.read()


def test_tls_1_2_with_ecdhe_rsa_gcm_only_fails_every_windows_whose_defaults_lack_them(nginx):
    nginx.configure(both_channels("return 302 /files/setup-1.2.exe;"), protocols="TLSv1.2",
                    ciphers="ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384")
    status, printed = nginx.check()
    assert status == 1 and failing_versions(printed.splitlines()[-1], "TLS ") == {"Vista", "7", "8", "8.1"}, printed


def test_tls_1_0_and_1_1_only_and_a_certificate_near_its_end_warn_on_the_last_line_and_strict_stops_on_them(
        nginx, tmp_path):
    ending = harness.certificates()["ca"].issue_cert("localhost", not_after=datetime.datetime.now(
        datetime.timezone.utc) + datetime.timedelta(days=10, hours=12))
    ending.private_key_and_cert_chain_pem.write_to_path(str(tmp_path / "ending.pem"))
    nginx.configure(both_channels("return 302 /files/setup-1.2.exe;"), protocols="TLSv1 TLSv1.1",
                    pem=str(tmp_path / "ending.pem"))
    status, printed = nginx.check()
    assert (status, printed.splitlines()[-1]) == (0, "ok, with warnings: Windows 10, 11: TLS 1.0/1.1 only, which "
                                                     "Windows turns off after an update; all: certificate expires in "
                                                     "10 days"), printed
    assert nginx.check("--strict")[0] == 1


def test_what_a_windows_update_or_a_disputed_default_would_change_is_in_the_cell(nginx):
    nginx.configure(both_channels("return 302 /files/setup-1.2.exe;"), protocols="TLSv1.2",
                    ciphers="ECDHE-RSA-AES256-SHA:AES128-SHA:@SECLEVEL=0")
    cells = nginx.tls_cells()
    assert cells["7"].level == "FAIL" and "works only with KB3140245" in cells["7"].text, cells
    assert (cells["8"].level, cells["8.1"].level) == ("FAIL", "ok"), cells
    # Windows 11's TLS 1.3 by default rests on one page, and WinHTTP's own page denies it.
    nginx.configure(both_channels("return 302 /files/setup-1.2.exe;"), protocols="TLSv1.3")
    cells = nginx.tls_cells()
    assert (cells["10"].level, cells["11"].level) == ("FAIL", "warning") and "TLS 1.3 only" in cells["11"].short


def test_no_content_length_is_only_a_warning(nginx):
    # Server-side includes drop the length, as a filter or a proxy would.
    nginx.configure(both_channels("ssi on; ssi_types *; alias %s/files/setup-1.2.exe;" % nginx.folder))
    status, printed = nginx.check()
    assert status == 0 and "no Content-Length: the installer works, but its bar stays at 0 %" in printed, printed


def test_a_404_a_redirect_to_http_too_many_redirects_and_no_server_fail_naming_the_channel(nginx):
    nginx.configure("location = %s { return 302 http://localhost/files/setup-1.2.exe; } location = %s { return 404; }"
                    % CHANNELS)
    status, printed = nginx.check()
    last = printed.splitlines()[-1]
    assert status == 1 and failing_versions(last, "legacy %s: 302 to http://" % CHANNELS[0]) == {
        "Vista", "7", "8", "8.1", "10", "11"}, printed
    assert failing_versions(last, "release %s: status 404" % CHANNELS[1]) == {"8", "8.1", "10", "11"}, printed

    nginx.configure("location = %s { return 302 /loop; } location = /loop { return 302 /loop; }" % CHANNELS[0])
    status, printed = nginx.check()
    assert status == 1 and "legacy %s: more than 10 redirects" % CHANNELS[0] in printed.splitlines()[-1], printed

    nginx.stop()
    status, printed = nginx.check()
    assert status == 1 and "connection refused" in printed.splitlines()[-1], printed


JUNK = b"downloaded, but no Windows program"
DIALOG = "系统提示"  # the caption of the installer's failure box
# What the legacy channel answers ("%(port)d" is the server's, "%(size)d" the body's length), and the chain of
# redirects behind it, which ends in a whole program (a DLL: the installer takes it, and then cannot start it).
# WinHTTP follows at most 10 redirects.
AGREEMENT = {
    "whole": ({}, 0),
    "whole, but no Windows program": ({"body": "junk"}, 0),
    "a signed setup program cut short before it was uploaded": ({"body": "signed, cut short"}, 0),
    "a setup program cut short within its sections": ({"body": "sections cut"}, 0),
    "chunked": ({"announce": False}, 0),
    "a Content-Length that is no number": ({"announce": "\u00b2"}, 0),
    "a Content-Length too long for the installer": ({"announce": "0" * 40 + "%(size)d"}, 0),
    "not found": ({"status": 404}, 0),
    "shorter than announced": ({"body": 200000, "announce": 400000}, 0),
    "chunked, closed before the last chunk": ({"body": "signed", "close_at": 3 << 20}, 0),
    "chunked, closed inside a chunk": ({"body": "signed", "close_at": 3 << 20, "mid_chunk": True}, 0),
    "moved without a Location": ({"status": 302}, 0),
    "moved to http": ({"status": 301, "headers": {"Location": "http://localhost/elsewhere"}}, 0),
    "moved 10 times": ({"status": 302, "headers": {"Location": "/hop1"}}, 10),
    "moved 11 times": ({"status": 302, "headers": {"Location": "/hop1"}}, 11),
    "308 to a host with user info": ({"status": 308, "headers": {
        "Location": "https://someone@localhost:%(port)d/hop1"}}, 1),
    "308 to a port with leading zeros": ({"status": 308, "headers": {"Location": "https://localhost:00%(port)d/hop1"}},
                                         1),
    "308 to port 0": ({"status": 308, "headers": {"Location": "https://localhost:0/hop1"}}, 1),
    "308 to a query with no path": ({"status": 308, "headers": {"Location": "https://localhost:%(port)d?to=hop1"}}, 1),
}


def test_the_check_and_the_installer_agree_on_what_downloads(prefix, server, workdir, tmp_path):
    checker, signed = check_server(), harness.signed_setup_program(SIGNER, str(tmp_path / "signed.exe"))
    trust = checker.trust_context(harness.certificates()["ca_pem"])
    with open(harness.exe("nsis-setup"), "rb") as unsigned, open(harness.exe("marker.dll"), "rb") as dll:
        bodies = {"signed": signed, "signed, cut short": signed[:3 << 20], "sections cut": unsigned.read(40000),
                  "junk": JUNK, None: dll.read()}
    server.serve("/", bodies[None])  # where a browser's reading of "https://host:port?query" leads
    for case, (answer, redirects) in AGREEMENT.items():
        route = dict(answer)
        body = route.pop("body", None)
        body = body if isinstance(body, int) else bodies[body]
        fill = {"port": server.port, "size": body if isinstance(body, int) else len(body)}
        route["headers"] = {name: value % fill for name, value in route.get("headers", {}).items()}
        if isinstance(route.get("announce"), str):
            route["announce"] %= fill
        server.serve(CHANNELS[0], body, **route)
        for hop in range(1, redirects):
            server.serve("/hop%d" % hop, status=302, headers={"Location": "/hop%d" % (hop + 1)})
        server.serve("/hop%d" % max(redirects, 1), bodies[None])
        process = prefix.start_installer(workdir)
        ended = lambda: [line for line in prefix.run_log() if line.startswith(  # noqa: E731
            ("download failed: ", "download incomplete: ", "download is not a Windows program: ", "setup program "))]
        assert harness.wait_until(ended, 60), (case, prefix.run_log())
        installed = ended()[0].startswith("setup program ") and "could not be read" not in ended()[0]
        failure_box = not installed and prefix.dialog(DIALOG, wait_ms=30000)["found"]
        process.kill()
        process.wait()
        fetched = checker.fetch(server.url(CHANNELS[0]), trust, str(tmp_path / "body"))
        cells = [fetched.cell] + ([checker.setup_program_cell(fetched.body)] if fetched.body else [])
        passes = all(cell.level != "FAIL" for cell in cells)
        assert (passes, failure_box) == (installed, not installed), (case, cells, "\n".join(prefix.run_log()))
        if os.path.exists(os.path.join(workdir, "tarvex-setup.exe")):
            os.remove(os.path.join(workdir, "tarvex-setup.exe"))


def test_where_wine_is_not_windows_the_check_keeps_to_the_installers_rules(server, tmp_path):
    # Not against the installer. Wine's WinHTTP hands it a long Location cut short (the same length for 2,047, 2,048 and
    # 2,100 units), where Windows refuses one of 2,048 units or more with ERROR_INSUFFICIENT_BUFFER; and it ends a
    # chunked body without its last chunk as if it were whole, so an unsigned program cut short (no certificate table
    # to miss) would start there.
    checker = check_server()
    trust, whole, body = checker.trust_context(harness.certificates()["ca_pem"]), server.url("/whole"), str(
        tmp_path / "body")
    server.serve("/whole", open(harness.exe("marker.dll"), "rb").read())
    for units, passes in ((2047, True), (2048, False), (2100, False)):
        server.serve(CHANNELS[0], status=308, headers={"Location": whole + "?" + "x" * (units - len(whole) - 1)})
        fetched = checker.fetch(server.url(CHANNELS[0]), trust, body)
        assert (fetched.cell.level != "FAIL") == passes, (units, fetched.cell)
    with open(harness.exe("nsis-setup"), "rb") as unsigned:
        program = unsigned.read()
    for inside_a_chunk in (False, True):
        server.serve(CHANNELS[0], program, close_at=3 << 20, mid_chunk=inside_a_chunk)
        cell = checker.fetch(server.url(CHANNELS[0]), trust, body).cell
        assert (cell.level, checker.whole_program(program[:3 << 20])) == ("FAIL", None), cell
        assert "cut short after 3,145,728 bytes" in cell.text, cell
