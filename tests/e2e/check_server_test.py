"""scripts/check-server against Debian's nginx in the configurations that operators get wrong, and its HTTP rules
against the real installer under Wine, on the same answers of one server."""
import codecs
import datetime
import http.server
import importlib.util
import os
import re
import socket
import struct
import subprocess
import threading
import time

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa

import harness
from harness import CHANNELS

CHECK = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "scripts",
                     "check-server")
SIGNER = "Tarvex 软件 Ltd"
# Suites that Vista and 7 offer over TLS 1.0 (OpenSSL 3 needs security level 0 for TLS 1.0).
OLD_WINDOWS_SUITES = "ECDHE-RSA-AES256-SHA:@SECLEVEL=0"
NGINX_CONF = """
%(user)s worker_processes 1; daemon off; pid %(folder)s/nginx.pid; events { worker_connections 64; }
http {
    access_log off; default_type application/octet-stream;
    client_body_temp_path %(folder)s/body; proxy_temp_path %(folder)s/proxy; fastcgi_temp_path %(folder)s/fastcgi;
    uwsgi_temp_path %(folder)s/uwsgi; scgi_temp_path %(folder)s/scgi;
    server {
        listen 127.0.0.1:%(port)d ssl; ssl_certificate %(pem)s; ssl_certificate_key %(pem)s;
        ssl_protocols %(protocols)s; ssl_ciphers "%(ciphers)s";
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
    subprocess.run(["cp", harness.exe("marker.dll"), files], check=True)
    with open(harness.exe("probe"), "rb") as program, open(os.path.join(files, "sub61.exe"), "wb") as out:
        program = bytearray(program.read())  # MajorSubsystemVersion and the minor in the optional header: 6.1
        struct.pack_into("<HH", program, struct.unpack_from("<I", program, 0x3C)[0] + 24 + 48, 6, 1)
        out.write(program)
    signed = harness.signed_setup_program(SIGNER, os.path.join(server.folder, "signed.exe"))
    with open(os.path.join(files, "cut.exe"), "wb") as out:
        out.write(signed[:-500])  # inside its signature
    pem_file(os.path.join(server.folder, "tls.pem"), certificate(SIGNER, usage=x509.ExtendedKeyUsageOID.SERVER_AUTH))
    tls = os.path.join(server.folder, "tls.pem")
    subprocess.run(["osslsigncode", "sign", "-certs", tls, "-key", tls, "-in", harness.exe("nsis-setup"), "-out",
                    os.path.join(files, "tls.exe")], check=True)
    yield server
    server.stop()


def certificate(name, issuer=None, key=None, days=365, ca=False, aia=None, usage=None):
    """(certificate, key) for `name`, from the test CA or `issuer`, valid from 30 days ago for `days` more."""
    paths, now = harness.certificates(), datetime.datetime.now(datetime.timezone.utc)
    issuer = issuer or (x509.load_pem_x509_certificate(open(paths["ca_pem"], "rb").read()),
                        serialization.load_pem_private_key(open(paths["ca_key"], "rb").read(), None))
    key = key or rsa.generate_private_key(65537, 2048)
    made = x509.CertificateBuilder(issuer[0].subject, x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, name)]),
                                   key.public_key(), x509.random_serial_number(), now - datetime.timedelta(days=30),
                                   now + datetime.timedelta(days=days))
    for extension in [x509.BasicConstraints(ca=ca, path_length=None)] + ([] if ca else [x509.SubjectAlternativeName(
            [x509.DNSName(name.encode("idna").decode())])]) + ([x509.AuthorityInformationAccess([x509.AccessDescription(
                x509.AuthorityInformationAccessOID.CA_ISSUERS, x509.UniformResourceIdentifier(aia))])] if aia else [])\
            + ([x509.ExtendedKeyUsage([usage])] if usage else []):
        made = made.add_extension(extension, isinstance(extension, x509.BasicConstraints))
    return made.sign(issuer[1], hashes.SHA256()), key


def pem_file(path, leaf, *chain):
    """A key and chain PEM, as nginx takes it."""
    with open(path, "wb") as out:
        out.write(leaf[1].private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                        serialization.NoEncryption()))
        out.writelines(made.public_bytes(serialization.Encoding.PEM) for made in [leaf[0]] + list(chain))
    return path


@pytest.fixture(scope="module")
def pems(nginx):
    """The key and chain files of the set-ups below, by name, with a plain HTTP server for caIssuers URLs."""
    folder = os.path.join(nginx.folder, "aia")
    os.makedirs(folder)
    aia = http.server.ThreadingHTTPServer(("127.0.0.1", 0), lambda *args: http.server.SimpleHTTPRequestHandler(
        *args, directory=folder))
    threading.Thread(target=aia.serve_forever, daemon=True).start()
    intermediate, ending = certificate("Tarvex CA 2", ca=True), certificate("Tarvex CA 1", days=5, ca=True)
    with open(os.path.join(folder, "ca.cer"), "wb") as out:
        out.write(intermediate[0].public_bytes(serialization.Encoding.DER))
    url = "http://127.0.0.1:%d/%%s" % aia.server_address[1]
    made = {"rsa expired": [certificate("localhost", days=-1)], "rsa": [certificate("localhost")],
            "ecdsa": [certificate("localhost", key=ec.generate_private_key(ec.SECP256R1()))],
            "ecdsa expired": [certificate("localhost", key=ec.generate_private_key(ec.SECP256R1()), days=-1)],
            "768 bits": [certificate("localhost", key=rsa.generate_private_key(65537, 768))],
            "ends in 10 days": [certificate("localhost", days=10.5)],
            "CA ends in 5 days": [certificate("localhost", ending), ending[0]],
            "CA by AIA": [certificate("localhost", intermediate, aia=url % "ca.cer")],
            "CA not by AIA": [certificate("localhost", intermediate, aia=url % "gone.cer")]}
    yield {name: pem_file(os.path.join(nginx.folder, name.replace(" ", "-") + ".pem"), *pairs)
           for name, pairs in made.items()}
    aia.shutdown()


def failing_versions(last_line, check):
    """The Windows versions that the last line says fail `check`."""
    named = re.findall(r"Windows ([\w., ]+?) would fail, %s" % re.escape(check), last_line)
    return {version for versions in named for version in versions.split(", ")}


def test_a_good_server_passes_on_every_windows_and_the_pin_takes_only_its_publishers_setup_program(nginx):
    # A SHA-256 signature, which Vista does not check, warns in Vista's column.
    for served, verdict in (("setup-1.2.exe", "ok, with warnings: Windows Vista: publisher: a SHA-2 file digest"),
                            ("unsigned.exe", "publisher: unsigned"),
                            ("other.exe", 'publisher: signed by another publisher, "Someone Else"'),
                            ("tls.exe", "publisher: signature not trusted: Unsupported Signer's certificate purpose"),
                            ("cut.exe", "all: not checked: the program is incomplete")):
        nginx.configure(both_channels("return 302 /files/%s;" % served))
        status, printed = nginx.check("--setup-signer", SIGNER)
        assert (status, verdict in printed) == (0 if served == "setup-1.2.exe" else 1, True), printed
        assert "all: ok: 302 to https://localhost:%d/files/%s, 200, " % (nginx.port, served) in printed


ALL = {"Vista", "7", "8", "8.1", "10", "11"}
TWO_KEYS = dict(protocols="TLSv1 TLSv1.1 TLSv1.2 TLSv1.3",
                ciphers="ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-SHA:ECDHE-RSA-AES256-SHA:AES128-SHA:"
                        "@SECLEVEL=0")
CERTIFICATE_FAILS = "certificate localhost:%(port)d: certificate not trusted: "
# What nginx serves (a file in /files/ behind a 302 on both channels, or `locations`; the key and chain files, more
# than one for servers with two), the exit status, and what the last line says: {check: the versions it says fail
# that check}, or for exit 0, {a text it holds: None}.
SETUPS = {
    "TLS 1.2 with ECDHE-RSA-AES-GCM only": (dict(protocols="TLSv1.2", ciphers="ECDHE-RSA-AES128-GCM-SHA256:"
                                                 "ECDHE-RSA-AES256-GCM-SHA384"), 1, {"TLS ": ALL - {"10", "11"}}),
    "TLS 1.2 with suites that 7 has over TLS 1.0": (dict(protocols="TLSv1.2", ciphers="ECDHE-RSA-AES256-SHA:AES128-SHA"
                                                          ":@SECLEVEL=0"), 1, {"TLS ": {"Vista", "7", "8"}, (
        "TLS localhost:%(port)d (legacy, release): none of these TLS versions accepted; works only with KB3140245"):
        {"7"}}),
    "TLS 1.0 and 1.1 only": (dict(protocols="TLSv1 TLSv1.1"), 1, {
        "TLS localhost:%(port)d (legacy, release): none of these TLS versions accepted; works only with TLS 1.0 and "
        "1.1 turned back on as KB5017811 describes": {"10", "11"}}),
    "two certificates, the RSA one expired": (dict(TWO_KEYS, pem=["rsa expired", "ecdsa"]), 1, {
        CERTIFICATE_FAILS + "certificate has expired": ALL - {"10", "11"}}),
    "two certificates, the ECDSA one expired": (dict(TWO_KEYS, pem=["rsa", "ecdsa expired"]), 1, {
        CERTIFICATE_FAILS + "certificate has expired": {"10", "11"}}),
    "an RSA key of 768 bits": (dict(pem=["768 bits"]), 1, {CERTIFICATE_FAILS + "an RSA key of 768 bits": ALL}),
    "a leaf that ends in 10 days": (dict(pem=["ends in 10 days"], strict=True), 0, {
        'ok, with warnings: all: certificate: the leaf "localhost" expires in 10 days': None}),
    "a CA that ends in 5 days": (dict(pem=["CA ends in 5 days"]), 0, {
        'ok, with warnings: all: certificate: the CA "Tarvex CA 1" expires in 4 days': None}),
    "a CA left out that the leaf's AIA brings": (dict(pem=["CA by AIA"]), 0, {
        'all: certificate: the server leaves out the CA "Tarvex CA 2", which Windows fetches from': None}),
    "a CA left out that the leaf's AIA does not bring": (dict(pem=["CA not by AIA"]), 1, {
        CERTIFICATE_FAILS + "unable to get local issuer certificate": ALL}),
    "a DLL": (dict(files="marker.dll"), 1, {"legacy: setup program: cannot start: a DLL": ALL}),
    "subsystem version 6.1": (dict(files="sub61.exe"), 1, {"legacy: setup program: cannot start: ": {"Vista"}}),
    "a Location that no URL parser reads, and three 308s": (dict(locations=(
        'location = %s { return 302 "https://[::1/x"; } location = %s { return 308 /a; } location = /a { return '
        '308 /b; } location = /b { return 308 /files/setup-1.2.exe; }' % CHANNELS)), 1, {
            "legacy %s: 302 to https://[::1/x: a URL that WinHTTP cannot read" % CHANNELS[0]: ALL,
            "release %s: too many redirects that WinHTTP leaves to the installer (3 requests)" % CHANNELS[1]:
                ALL - {"Vista", "7"}}),
    "a 302 to port 0": (dict(locations=both_channels("return 302 https://localhost:0/files/setup-1.2.exe;")), 1, {
        "legacy %s: 302 to https://localhost:0/files/setup-1.2.exe: port 0" % CHANNELS[0]: ALL}),
    "a 302 to http, and a 404": (dict(locations="location = %s { return 302 http://localhost/files/setup-1.2.exe; } "
                                                "location = %s { return 404; }" % CHANNELS), 1, {
        "legacy %s: 302 to http://" % CHANNELS[0]: ALL, "release %s: status 404" % CHANNELS[1]: ALL - {"Vista", "7"}}),
    "a redirect loop": (dict(locations="location = %s { return 302 /loop; } location = /loop { return 302 /loop; }"
                                       % CHANNELS[0]), 1, {"legacy %s: more than 10 redirects" % CHANNELS[0]: ALL}),
    # Server-side includes drop the length, as a filter or a proxy would.
    "an unsigned setup program": (dict(files="unsigned.exe"), 0, {
        "setup program unsigned: the installer cannot tell it whole from one whose payload was cut short; sign it":
            None}),
    "no Content-Length": (dict(locations=both_channels("ssi on; ssi_types *; alias %(folder)s/files/setup-1.2.exe;")),
                          0, {"ok, with warnings: all: no length announced, so the installer's bar stays at 0 %":
                              None}),
}


def test_each_server_set_up_gets_the_verdict_that_windows_would_give(nginx, pems):
    for name, (setup, status, said) in SETUPS.items():
        setup = dict(setup)
        strict = setup.pop("strict", False)
        filled = lambda text: text % {"port": nginx.port, "folder": nginx.folder} if "%(" in text else text  # noqa
        keys = [pems[key] for key in setup.pop("pem", [])] or [None]
        served = filled(setup.pop("locations", both_channels("return 302 /files/%s;" % setup.pop("files",
                                                                                                  "setup-1.2.exe"))))
        nginx.configure(served + "".join("ssl_certificate %s; ssl_certificate_key %s;" % (key, key)
                                         for key in keys[1:]), pem=keys[0], **setup)
        got, printed = nginx.check()
        last = printed.splitlines()[-1]
        assert (got, "certificate localhost:%d " % nginx.port in printed) == (status, True), (name, printed)
        for text, versions in said.items():
            assert filled(text) in last if versions is None else failing_versions(last, filled(text)) == versions, (
                name, printed)
        assert not strict or nginx.check("--strict")[0] == 1, name  # a warning stops a job that asks


def test_the_documents_show_the_windows_table_the_check_uses():
    with open(os.path.join(os.path.dirname(os.path.dirname(CHECK)), "docs", "download-server.md")) as document:
        assert subprocess.run([CHECK, "--windows-table"], capture_output=True, text=True).stdout in document.read()


def test_windows_11s_tls_1_3_by_default_rests_on_one_page_and_winhttps_own_page_denies_it(nginx):
    nginx.configure(both_channels("return 302 /files/setup-1.2.exe;"), protocols="TLSv1.3")
    cells = check_server().check("localhost", nginx.port, None, harness.certificates()["ca_pem"])[0][1]
    assert (cells["10"].level, cells["11"].level) == ("FAIL", "warning") and "TLS 1.3 only" in cells["11"].short


JUNK = b"downloaded, but no Windows program"
DIALOG = "系统提示"  # the caption of the installer's failure box
# What the legacy channel answers ("%(port)d" is the server's, "%(size)d" the body's length), and the chain of
# redirects behind it, which ends in a program that starts. WinHTTP follows at most 10 redirects.
AGREEMENT = {
    "whole": ({}, 0),
    "whole, but no Windows program": ({"body": "junk"}, 0),
    "whole, but a DLL": ({"body": "dll"}, 0),
    "a signed setup program cut short before it was uploaded": ({"body": "signed, cut short"}, 0),
    "a setup program cut short within its sections": ({"body": "sections cut"}, 0),
    "chunked": ({"announce": False}, 0),
    "chunked, and longer than the Content-Length also sent": ({"body": "signed, chunked", "announce": 1000, "headers": {
        "Transfer-Encoding": "chunked"}}, 0),
    "a Content-Length that is no number": ({"announce": "\u00b2"}, 0),
    "a Content-Length with a space after it": ({"announce": "%(size)d "}, 0),
    "a Content-Length too long for the installer": ({"announce": "0" * 40 + "%(size)d"}, 0),
    "not found": ({"status": 404}, 0),
    "shorter than announced": ({"body": 200000, "announce": 400000}, 0),
    "chunked, closed before the last chunk": ({"body": "signed", "close_at": 3 << 20}, 0),
    "chunked, closed inside a chunk": ({"body": "signed", "close_at": 3 << 20, "mid_chunk": True}, 0),
    "moved without a Location": ({"status": 302}, 0),
    "moved to http": ({"status": 301, "headers": {"Location": "http://localhost/elsewhere"}}, 0),
    "moved 10 times": ({"status": 302, "headers": {"Location": "/hop1"}}, 10),
    "moved 11 times": ({"status": 302, "headers": {"Location": "/hop1"}}, 11),
    "308 to a path with a space": ({"status": 308, "headers": {"Location": "https://localhost:%(port)d/hop 1"}}, 1),
    "308 with two Locations, the first one good": ({"status": 308, "headers": [
        ("Location", "https://localhost:%(port)d/hop1"), ("Location", "https://localhost:%(port)d/nowhere")]}, 1),
    "308 to a host with user info": ({"status": 308, "headers": {
        "Location": "https://someone@localhost:%(port)d/hop1"}}, 1),
    "308 to a port with leading zeros": ({"status": 308, "headers": {"Location": "https://localhost:00%(port)d/hop1"}},
                                         1),
    "308 to port 0": ({"status": 308, "headers": {"Location": "https://localhost:0/hop1"}}, 1),
    "308 to a query with no path": ({"status": 308, "headers": {"Location": "https://localhost:%(port)d?to=hop1"}}, 1),
}


def test_the_check_and_the_installer_agree_on_what_downloads_and_starts(prefix, server, workdir, tmp_path):
    checker, signed = check_server(), harness.signed_setup_program(SIGNER, str(tmp_path / "signed.exe"))
    with open(harness.exe("nsis-setup"), "rb") as unsigned, open(harness.exe("marker.dll"), "rb") as dll, open(
            harness.exe("probe"), "rb") as starts:
        bodies = {"signed": signed, "signed, cut short": signed[:3 << 20], "sections cut": unsigned.read(40000),
                  "signed, chunked": b"%x\r\n%s\r\n0\r\n\r\n" % (len(signed), signed), "junk": JUNK,
                  "dll": dll.read(), None: starts.read()}
    server.serve("/", bodies[None])  # where a browser's reading of "https://host:port?query" leads
    for case, (answer, redirects) in AGREEMENT.items():
        route = dict(answer)
        body = route.pop("body", None)
        body = body if isinstance(body, int) else bodies[body]
        fill = {"port": server.port, "size": body if isinstance(body, int) else len(body)}
        headers = route.get("headers", {})
        route["headers"] = [(name, value % fill) for name, value in getattr(headers, "items", lambda: headers)()]
        if isinstance(route.get("announce"), str):
            route["announce"] %= fill
        server.serve(CHANNELS[0], body, **route)
        for hop in range(1, redirects):
            server.serve("/hop%d" % hop, status=302, headers={"Location": "/hop%d" % (hop + 1)})
        server.serve("/hop%d" % max(redirects, 1), bodies[None])
        server.serve("/hop 1", bodies[None])
        process = prefix.start_installer(workdir)
        ended = lambda: [line for line in prefix.run_log() if line.startswith(  # noqa: E731
            ("download failed: ", "download incomplete: ", "download is not a Windows program: ", "setup program "))]
        assert harness.wait_until(ended, 60), (case, prefix.run_log())
        downloaded = ended()[0].startswith("setup program ") and "could not be read" not in ended()[0]
        started = ended()[0] == "setup program started"
        failure_box = not started and prefix.dialog(DIALOG, wait_ms=30000)["found"]
        process.kill()
        process.wait()
        fetched = checker.fetch(server.url(CHANNELS[0]), checker.http_context(), str(tmp_path / "body"))
        program = checker.setup_program_cells(fetched.body, ["10"])[0]["10"] if fetched.body else None
        # The download's verdict and the start's, each against the installer's.
        verdicts = (fetched.cell.level != "FAIL" and not (program and program.text.startswith("download ")),
                    program is not None and program.level != "FAIL")
        assert verdicts + (failure_box,) == (downloaded, started, not started), (
            case, fetched.cell, program, "\n".join(prefix.run_log()))
        for name in {"tarvex-setup.exe", "setup-standin.started"} & set(os.listdir(workdir)):
            os.remove(os.path.join(workdir, name))


def test_where_wine_is_not_windows_the_check_keeps_to_the_installers_rules(server, tmp_path):
    # Not against the installer. Wine's WinHTTP hands it a long Location cut short (the same length for 2,047, 2,048 and
    # 2,100 units), where Windows refuses one of 2,048 units or more with ERROR_INSUFFICIENT_BUFFER; and it ends a
    # chunked body without its last chunk as if it were whole, so an unsigned program cut short (no certificate table
    # to miss) would start there.
    checker = check_server()
    context, whole, body = checker.http_context(), server.url("/whole"), str(tmp_path / "body")
    server.serve("/whole", open(harness.exe("marker.dll"), "rb").read())
    for units, passes in ((2047, True), (2048, False), (2100, False)):
        server.serve(CHANNELS[0], status=308, headers={"Location": whole + "?" + "x" * (units - len(whole) - 1)})
        fetched = checker.fetch(server.url(CHANNELS[0]), context, body)
        assert (fetched.cell.level != "FAIL") == passes, (units, fetched.cell)
    with open(harness.exe("nsis-setup"), "rb") as unsigned:
        program = unsigned.read()
    for inside_a_chunk in (False, True):
        server.serve(CHANNELS[0], program, close_at=3 << 20, mid_chunk=inside_a_chunk)
        cell = checker.fetch(server.url(CHANNELS[0]), context, body).cell
        assert (cell.level, checker.whole_program(program[:3 << 20])) == ("FAIL", None), cell
        assert "cut short after 3,145,728 bytes" in cell.text, cell


def test_the_content_length_the_check_reads_is_the_one_the_installer_reads():
    # The native tests read the same table.
    with open(os.path.join(os.path.dirname(os.path.dirname(__file__)), "unit", "content_length_cases.inc")) as table:
        cases = re.findall(r'^CONTENT_LENGTH\(L"(.*)", "(.*)"\)$', table.read(), re.M)
    read = check_server().content_length
    assert len(cases) > 10 and [read(codecs.decode(text, "unicode_escape")) for text, _ in cases] == [
        int(length) if length else None for _, length in cases], cases


def test_faults_of_the_check_itself_exit_2_and_a_stalled_server_ends_it_within_its_bound(nginx):
    status, printed = nginx.check(host="localhost:1")
    assert status == 1 and "connection refused" in printed.splitlines()[-1], printed
    checker = check_server()
    checker.setup_program_cells = lambda *args: 1 / 0  # a fault of the check in one row: that row's cells say so
    nginx.configure(both_channels("return 302 /files/setup-1.2.exe;"))
    rows = checker.check("localhost", nginx.port, None, harness.certificates()["ca_pem"])
    assert checker.verdict(rows, None, False) == ("the check could not be made: " + "; ".join(
        "%s %s: the check itself failed: ZeroDivisionError: division by zero" % channel for channel in zip(
            ("legacy", "release"), CHANNELS)), 2)
    for args in (["dl..example.com"], ["a" * 64 + ".example.com"], ["localhost:1", "--ca-file", CHECK]):  # no PEM
        assert subprocess.run([CHECK, "--download-host", *args], capture_output=True, timeout=30).returncode == 2, args
    checker = check_server()
    checker.PHASE_S = 2  # as 30 s would be: each phase's limit paid once, not once per Windows version or channel
    with socket.create_server(("127.0.0.1", 0)) as stalled:  # it takes connections, and never answers
        started, port = time.monotonic(), stalled.getsockname()[1]
        rows = checker.check("localhost", port, None, None)
        assert time.monotonic() - started < 4 * checker.PHASE_S, rows
    assert {cell.text for label, cells in rows for cell in cells.values() if label.startswith(("TLS", "legacy "))} == {
        checker.HANDSHAKE_SLOW, "localhost:%d: %s" % (port, checker.HANDSHAKE_SLOW)}, rows
