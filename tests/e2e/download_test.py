"""Downloads as the real installer meets them, run after run in one prefix: each
ends with the reason its log gives, and a failure leaves no setup program."""
import os

import trustme

import harness

INCOMPLETE = "response body length differs from Content-Length"
SEND_FAILED = "download failed: WinHttpSendRequest failed (error "
DID_NOT_START = "setup program did not start"
# A whole Windows program that Windows will not start (a DLL), so that a whole download ends in "did not start" and
# stays; with bytes appended, as setup programs carry their payload.
JUNK = open(harness.exe("marker.dll"), "rb").read()
PROGRAM = JUNK + harness.pattern(0, 300000 - len(JUNK))
NOT_A_PROGRAM = "download is not a Windows program: it does not begin with \"MZ\""
# What the channel's path answers, and the start of the log line that ends the download.
CASES = {
    "whole, with its length": ({"body": PROGRAM}, DID_NOT_START),
    "whole, chunked": ({"body": PROGRAM, "announce": False}, DID_NOT_START),
    "empty": ({"body": b""}, NOT_A_PROGRAM),
    "no Windows program": ({"body": 300000}, NOT_A_PROGRAM),
    # Closed in order inside a section, without the last chunk: nothing but the file itself says it is short.
    "chunked, closed early": ({"close_at": 8192}, "download incomplete: section ."),
    "not found": ({"status": 404}, "download failed: HTTP status not OK: 404"),
    "server error": ({"status": 500}, "download failed: HTTP status not OK: 500"),
    "partial content": ({"status": 206, "body": 1000}, "download failed: HTTP status not OK: 206"),
    "shorter than announced": ({"body": 200000, "announce": 400000}, "download failed: " + INCOMPLETE),
    "5 GiB announced": ({"body": 20000, "announce": 5 << 30}, "download failed: " + INCOMPLETE),
    # Which call sees a reset depends on timing: the failure is what counts.
    "reset half way": ({"body": 200000, "cut_at": 100000}, "download failed: "),
    "moved": ({"status": 302, "headers": {"Location": "/elsewhere"}}, DID_NOT_START),
    "moved to http": ({"status": 301, "headers": {"Location": "http://localhost/elsewhere"}}, "download failed: "),
}


def test_each_download_ends_with_its_reason_and_a_failure_leaves_no_setup_program(prefix, server, workdir, tmp_path):
    setup = os.path.join(workdir, "tarvex-setup.exe")

    def download(case):
        """The log's lines about the download, once it has ended."""
        process = prefix.start_installer(workdir)
        ended = lambda: any(line.startswith(("download ", "setup program ")) for line in prefix.run_log())
        assert harness.wait_until(ended, 30), (case, prefix.run_log())
        process.kill()
        process.wait()
        return [line for line in prefix.run_log() if line.startswith(("download ", "received ", DID_NOT_START))]

    server.serve("/elsewhere", JUNK)
    for case, (route, ending) in CASES.items():
        server.serve_channels(route.pop("body", PROGRAM), **route)
        lines = download(case)
        assert lines[-1].startswith(ending) and os.path.exists(setup) == (ending == DID_NOT_START), (case, lines)
        if os.path.exists(setup):
            os.remove(setup)
    assert server.requests()[-1]["headers"]["User-Agent"] == "TarvexInstaller/1.0"

    # A folder of that name cannot be replaced by the file.
    server.serve_channels(JUNK)
    os.makedirs(setup)
    assert download("no save file")[-1].startswith("download failed: failed to create save file (error ")
    os.rmdir(setup)

    # Nothing at the port, or a certificate for another name or from an unknown CA.
    server.stop()
    assert download("no server")[-1] == SEND_FAILED + "12029)"  # ERROR_WINHTTP_CANNOT_CONNECT
    ca = harness.certificates()["ca"]
    for case, certificate in (("another name", ca.issue_cert("other.invalid")),
                              ("an unknown CA", trustme.CA().issue_cert("localhost"))):
        certificate.private_key_and_cert_chain_pem.write_to_path(tmp_path / "pem")
        other = harness.Server(harness.download_port(), pem=tmp_path / "pem")
        other.serve_channels(JUNK)
        try:
            assert download(case)[-1].startswith(SEND_FAILED) and not os.path.exists(setup), case
            assert other.requests() == [], "a request crossed an untrusted connection"
        finally:
            other.stop()
