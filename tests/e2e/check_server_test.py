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


def signed_by(name, path):
    pem, leaf = path + ".pem", harness.certificates()["ca"].issue_cert("setup.test", common_name=name)
    leaf.private_key_and_cert_chain_pem.write_to_path(pem)
    subprocess.run(["osslsigncode", "sign", "-certs", pem, "-key", pem, "-h", "sha256", "-in",
                    harness.exe("nsis-setup"), "-out", path], check=True, capture_output=True)


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    server = Nginx(str(tmp_path_factory.mktemp("nginx")))
    files = os.path.join(server.folder, "files")
    signed_by(SIGNER, os.path.join(files, "setup-1.2.exe"))
    signed_by("Someone Else", os.path.join(files, "other.exe"))
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


def test_the_readme_shows_the_windows_table_the_check_uses():
    with open(os.path.join(os.path.dirname(os.path.dirname(CHECK)), "README.md")) as readme:
        assert subprocess.run([CHECK, "--windows-table"], capture_output=True, text=True).stdout in readme.read()


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
# What the legacy channel answers, and the chain of redirects behind it. WinHTTP follows at most 10 redirects.
AGREEMENT = {
    "whole": ({"body": JUNK}, 0),
    "chunked": ({"body": JUNK, "announce": False}, 0),
    "not found": ({"status": 404}, 0),
    "shorter than announced": ({"body": 200000, "announce": 400000}, 0),
    "moved without a Location": ({"status": 302}, 0),
    "moved to http": ({"status": 301, "headers": {"Location": "http://localhost/elsewhere"}}, 0),
    "moved 10 times": ({"status": 302, "headers": {"Location": "/hop1"}}, 10),
    "moved 11 times": ({"status": 302, "headers": {"Location": "/hop1"}}, 11),
}


def test_the_check_and_the_installer_agree_on_what_downloads(prefix, server, workdir, tmp_path):
    loader = importlib.util.spec_from_loader("check_server", importlib.machinery.SourceFileLoader("check_server",
                                                                                                   CHECK))
    check_server = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(check_server)
    trust = check_server.trust_context(harness.certificates()["ca_pem"])
    for case, (answer, redirects) in AGREEMENT.items():
        route = dict(answer)
        server.serve(CHANNELS[0], route.pop("body", b""), **route)
        for hop in range(1, redirects):
            server.serve("/hop%d" % hop, status=302, headers={"Location": "/hop%d" % (hop + 1)})
        server.serve("/hop%d" % max(redirects, 1), JUNK)
        process = prefix.start_installer(workdir)
        ended = lambda: [line for line in prefix.run_log() if line.startswith(("download failed: ", "setup program "))]
        assert harness.wait_until(ended, 30), case
        process.kill()
        process.wait()
        fetched = check_server.fetch(server.url(CHANNELS[0]), trust, str(tmp_path / "body"))
        installed = not ended()[0].startswith("download failed: ")
        assert (fetched.cell.level != "FAIL") == installed, (case, fetched.cell, prefix.run_log())
        if os.path.exists(os.path.join(workdir, "tarvex-setup.exe")):
            os.remove(os.path.join(workdir, "tarvex-setup.exe"))
