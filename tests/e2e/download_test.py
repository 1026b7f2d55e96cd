"""Downloads as the real installer meets them, run after run in one prefix: each
ends with the reason its log gives, and a failure leaves no setup program."""
import os

import trustme

import harness

INCOMPLETE = "response body length differs from Content-Length"
SEND_FAILED = "download failed: WinHttpSendRequest failed (error "
JUNK = b"downloaded, but no Windows program"  # so that a whole download ends in "did not start"
# What the channel's path answers, and the start of the log line that ends the download.
CASES = {
    "whole, with its length": ({"body": 300000}, "received 300000 bytes"),
    "whole, chunked": ({"body": 300000, "announce": False}, "received 300000 bytes"),
    "empty": ({"body": b""}, "received 0 bytes"),
    "not found": ({"status": 404}, "download failed: HTTP status not OK: 404"),
    "server error": ({"status": 500}, "download failed: HTTP status not OK: 500"),
    "partial content": ({"status": 206, "body": 1000}, "download failed: HTTP status not OK: 206"),
    "shorter than announced": ({"body": 200000, "announce": 400000}, "download failed: " + INCOMPLETE),
    "5 GiB announced": ({"body": 20000, "announce": 5 << 30}, "download failed: " + INCOMPLETE),
    # Which call sees a reset depends on timing: the failure is what counts.
    "reset half way": ({"body": 200000, "cut_at": 100000}, "download failed: "),
    "moved": ({"status": 302, "headers": {"Location": "/elsewhere"}}, "received %d bytes" % len(JUNK)),
    "moved to http": ({"status": 301, "headers": {"Location": "http://localhost/elsewhere"}}, "download failed: "),
}


def test_each_download_ends_with_its_reason_and_a_failure_leaves_no_setup_program(prefix, server, workdir, tmp_path):
    setup = os.path.join(workdir, "tarvex-setup.exe")

    def download(case):
        """The log's lines about the download, once it has ended."""
        process = prefix.start_installer(workdir)
        ended = lambda: any(line.startswith(("download failed: ", "setup program ")) for line in prefix.run_log())
        assert harness.wait_until(ended, 30), (case, prefix.run_log())
        process.kill()
        process.wait()
        return [line for line in prefix.run_log() if line.startswith(("download failed: ", "received "))]

    server.serve("/elsewhere", JUNK)
    for case, (route, ending) in CASES.items():
        server.serve_channels(route.pop("body", JUNK), **route)
        assert download(case)[-1].startswith(ending) and os.path.exists(setup) == ending.startswith("received"), case
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
