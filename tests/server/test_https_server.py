"""Self-test of the scripted HTTPS test server and the test certificate authority."""

import http.client
import json
import os
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "harness"))

import certs  # noqa: E402
import https_server as hs  # noqa: E402

SERVER_SCRIPT = os.path.join(HERE, "https_server.py")
CERTS_SCRIPT = os.path.join(HERE, "..", "harness", "certs.py")
TCP_ESTABLISHED, TCP_CLOSE, TCP_CLOSE_WAIT = 1, 7, 8  # linux tcpi_state values


def setUpModule():
    global TMP, CERTS
    TMP = tempfile.mkdtemp(prefix="https-server-test-")
    CERTS = certs.ensure_certs(os.path.join(TMP, "certs"))


def tearDownModule():
    shutil.rmtree(TMP, ignore_errors=True)


def trusting_context():
    return ssl.create_default_context(cafile=CERTS["ca_pem"])  # verifies host name too


def tcp_state_after_server_close(sock):
    # Read before the client touches the body: a later client write to a closed
    # peer would turn any close into a reset.
    deadline = time.monotonic() + 3
    while True:
        state = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0]
        if state != TCP_ESTABLISHED or time.monotonic() > deadline:
            return state
        time.sleep(0.01)


class ServerCase(unittest.TestCase):
    cert = "localhost"

    def setUp(self):
        self.log_path = os.path.join(TMP, "%s.jsonl" % self.id())
        self.server = hs.start_server(CERTS[self.cert + "_pem"], CERTS[self.cert + "_key"],
                                      log_path=self.log_path)
        self.addCleanup(self.server.stop)

    def connect(self, timeout=5, server=None):
        conn = http.client.HTTPSConnection("localhost", (server or self.server).port,
                                           context=trusting_context(), timeout=timeout)
        self.addCleanup(conn.close)
        return conn

    def fetch(self, conn, path, method="GET", **kwargs):
        conn.request(method, path, **kwargs)
        resp = conn.getresponse()
        return resp, resp.read()


class BodyTests(ServerCase):
    def test_generated_bodies_with_both_framings_on_one_connection(self):
        conn = self.connect()
        for chunked in (0, 1):
            for size in (0, 1, 250, 251, 252, 65539, 200000):
                with self.subTest(size=size, chunked=chunked):
                    resp, body = self.fetch(conn, "/gen?size=%d&chunked=%d" % (size, chunked))
                    self.assertEqual(resp.status, 200)
                    if chunked:
                        self.assertEqual(resp.getheader("Transfer-Encoding"), "chunked")
                        self.assertIsNone(resp.getheader("Content-Length"))
                    else:
                        self.assertEqual(resp.getheader("Content-Length"), str(size))
                    self.assertEqual(body, hs.pattern_bytes(0, size))
        # Framing errors would have broken keep-alive and forced new connections.
        self.assertEqual(len({r["client_port"] for r in self.server.requests()}), 1)

    def test_text_file_and_head(self):
        payload = os.urandom(100001)
        path = os.path.join(TMP, "payload.bin")
        with open(path, "wb") as f:
            f.write(payload)
        self.server.set_route("/file", {"file": path})
        self.server.set_route("/text", {"text": "h\u00e9llo"})
        conn = self.connect()
        self.assertEqual(self.fetch(conn, "/file")[1], payload)
        self.assertEqual(self.fetch(conn, "/text?ignored=1")[1], "h\u00e9llo".encode())
        resp, body = self.fetch(conn, "/file", method="HEAD")
        self.assertEqual((resp.getheader("Content-Length"), body), ("100001", b""))
        # A body wrongly sent after HEAD would be parsed as this response.
        resp, body = self.fetch(conn, "/gen?size=10")
        self.assertEqual((resp.status, body), (200, hs.pattern_bytes(0, 10)))


class StatusTests(ServerCase):
    def test_status_reason_location_and_headers(self):
        self.server.set_route("/moved", {"status": 302, "reason": "Over There", "location": "/next",
                                         "headers": {"X-Test": "1", "Set-Cookie": ["a=1", "b=2"]}})
        self.server.set_route("/long", {"status": 301, "location": "https://localhost/",
                                        "location_repeat": {"char": "z", "count": 5000}})
        self.server.set_route("/empty", {"status": 204})
        conn = self.connect()
        resp, _ = self.fetch(conn, "/moved")
        self.assertEqual((resp.status, resp.reason, resp.getheader("Location")), (302, "Over There", "/next"))
        self.assertEqual(resp.getheader("X-Test"), "1")
        self.assertEqual(resp.msg.get_all("Set-Cookie"), ["a=1", "b=2"])
        resp, _ = self.fetch(conn, "/long")
        self.assertEqual(resp.getheader("Location"), "https://localhost/" + "z" * 5000)
        resp, body = self.fetch(conn, "/empty")
        self.assertEqual((resp.status, body, resp.getheader("Content-Length")), (204, b"", None))
        resp, body = self.fetch(conn, "/gen?status=503&size=7")
        self.assertEqual((resp.status, len(body)), (503, 7))
        resp, body = self.fetch(conn, "/no/such/path")
        self.assertEqual(resp.status, 404)
        self.assertTrue(body)

    def test_misspelt_route_keys_are_refused(self):
        with self.assertRaises(ValueError):
            self.server.set_route("/x", {"sise": 10})
        resp, body = self.fetch(self.connect(), "/gen?sise=10")
        self.assertEqual(resp.status, 400)
        self.assertIn(b"sise", body)


class BrokenResponseTests(ServerCase):
    def test_lying_content_length_gives_short_body_and_clean_close(self):
        self.server.set_route("/short", {"size": 1000, "content_length": 5000})
        conn = self.connect()
        conn.request("GET", "/short")
        resp = conn.getresponse()
        self.assertEqual(resp.getheader("Content-Length"), "5000")
        self.assertEqual(tcp_state_after_server_close(conn.sock), TCP_CLOSE_WAIT)  # FIN, not a reset
        with self.assertRaises(http.client.IncompleteRead) as caught:
            resp.read()
        self.assertEqual(caught.exception.partial, hs.pattern_bytes(0, 1000))

        raw = trusting_context().wrap_socket(socket.create_connection(("localhost", self.server.port)),
                                             server_hostname="localhost", suppress_ragged_eofs=False)
        self.addCleanup(raw.close)
        raw.sendall(b"GET /short HTTP/1.1\r\nHost: localhost\r\n\r\n")
        data = b""
        while chunk := raw.recv(65536):  # SSLEOFError here = closed without close_notify
            data += chunk
        self.assertTrue(data.endswith(b"\r\n\r\n" + hs.pattern_bytes(0, 1000)))

    def test_cut_after_resets_the_connection(self):
        for chunked in (False, True):
            with self.subTest(chunked=chunked):
                self.server.set_route("/cut", {"size": 100000, "cut_after": 70000, "chunked": chunked})
                conn = self.connect()
                conn.request("GET", "/cut")
                resp = conn.getresponse()
                self.assertEqual(tcp_state_after_server_close(conn.sock), TCP_CLOSE)
                with self.assertRaises(http.client.IncompleteRead) as caught:
                    resp.read()
                self.assertEqual(caught.exception.partial, hs.pattern_bytes(0, 70000))


class TimingTests(ServerCase):
    def test_hold_until_release(self):
        self.server.set_route("/held", {"size": 10000, "hold_at": 3000})
        conn = self.connect()
        conn.request("GET", "/held")
        resp = conn.getresponse()
        self.assertTrue(self.server.hold_reached("/held", 5))
        self.assertFalse(self.server.hold_reached("/gen", 0.05))
        self.assertEqual(resp.read(3000), hs.pattern_bytes(0, 3000))
        rest = []
        reader = threading.Thread(target=lambda: rest.append(resp.read()))
        reader.start()
        reader.join(0.3)
        self.assertTrue(reader.is_alive(), "body continued without release")
        self.server.release("/held?any=query")
        reader.join(5)
        self.assertEqual(rest, [hs.pattern_bytes(3000, 7000)])

    def test_rate_paces_the_body(self):
        conn = self.connect()
        start = time.monotonic()
        _, body = self.fetch(conn, "/gen?size=204800&rate=409600")
        elapsed = time.monotonic() - start
        self.assertEqual(len(body), 204800)
        self.assertTrue(0.4 <= elapsed <= 1.5, elapsed)

    def test_stall_before_headers_and_mid_body(self):
        conn = self.connect(timeout=0.3)
        with self.assertRaises(TimeoutError):
            self.fetch(conn, "/gen?size=10&stall=1")
        conn = self.connect()
        start = time.monotonic()
        conn.request("GET", "/gen?size=1000&stall=0.6&stall_after=500")
        resp = conn.getresponse()
        self.assertLess(time.monotonic() - start, 0.4)
        self.assertEqual(resp.read(), hs.pattern_bytes(0, 1000))
        self.assertGreaterEqual(time.monotonic() - start, 0.6)

    def test_stop_is_prompt_with_held_and_stalled_responses(self):
        self.server.set_route("/held", {"size": 10000, "hold_at": 10})
        held, stalled = self.connect(timeout=10), self.connect(timeout=10)
        held.request("GET", "/held")
        resp = held.getresponse()
        stalled.request("GET", "/gen?size=10&stall=60")
        self.assertTrue(self.server.hold_reached("/held", 5))
        self.assertIsNotNone(self.server.wait_for_request("/gen", 5))
        start = time.monotonic()
        self.server.stop()
        self.server.stop()
        self.assertLess(time.monotonic() - start, 1.0)
        with self.assertRaises((http.client.IncompleteRead, OSError)):
            resp.read()
        with self.assertRaises((http.client.RemoteDisconnected, OSError)):
            stalled.getresponse()
        self.assertLess(time.monotonic() - start, 2.0)


class RecordTests(ServerCase):
    def test_requests_are_recorded_and_logged(self):
        conn = self.connect()
        self.fetch(conn, "/gen?size=10&x=1", headers={"User-Agent": "probe/1.0"})
        resp, _ = self.fetch(conn, "/nowhere", method="POST", body=b"a=1")
        self.assertEqual(resp.status, 404)
        self.fetch(conn, "/gen?size=5", method="HEAD")

        records = self.server.requests()
        self.assertEqual([(r["method"], r["path"]) for r in records],
                         [("GET", "/gen?size=10&x=1"), ("POST", "/nowhere"), ("HEAD", "/gen?size=5")])
        self.assertEqual(records[0]["headers"]["user-agent"], "probe/1.0")
        self.assertIn(["User-Agent", "probe/1.0"], records[0]["header_list"])
        self.assertEqual((records[1]["body"], records[1]["body_length"]), ("a=1", 3))
        with open(self.log_path) as f:
            self.assertEqual([json.loads(line) for line in f], records)

        self.assertEqual(self.server.wait_for_request("/gen", 1, start=1)["seq"], 2)
        self.assertIsNone(self.server.wait_for_request("/never", 0.1))


class CertificateTests(unittest.TestCase):
    def test_wrong_name_and_untrusted_root_fail_verification(self):
        for name in ("othername", "untrusted"):
            with self.subTest(cert=name), \
                    hs.start_server(CERTS[name + "_pem"], CERTS[name + "_key"]) as server:
                conn = http.client.HTTPSConnection("localhost", server.port,
                                                   context=trusting_context(), timeout=5)
                with self.assertRaises(ssl.SSLCertVerificationError):
                    conn.request("GET", "/gen?size=1")
                conn.close()
                self.assertEqual(server.requests(), [])
        # The untrusted leaf is fine once its own root is trusted: only the root differs.
        with hs.start_server(CERTS["untrusted_pem"], CERTS["untrusted_key"]) as server:
            ctx = ssl.create_default_context(cafile=CERTS["untrusted_ca_pem"])
            conn = http.client.HTTPSConnection("localhost", server.port, context=ctx, timeout=5)
            conn.request("GET", "/gen?size=3")
            self.assertEqual(conn.getresponse().read(), hs.pattern_bytes(0, 3))
            conn.close()

    def test_ensure_certs_reuses_repairs_and_serialises(self):
        directory = os.path.join(TMP, "shared-certs")
        procs = [subprocess.Popen([sys.executable, CERTS_SCRIPT, directory], stdout=subprocess.PIPE)
                 for _ in range(3)]
        outputs = [json.loads(p.communicate(timeout=60)[0]) for p in procs]
        self.assertTrue(all(p.returncode == 0 for p in procs))
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0], outputs[2])
        paths = outputs[0]
        with open(paths["ca_pem"]) as f:
            ca_pem = f.read()
        with open(paths["ca_der"], "rb") as f:
            self.assertEqual(f.read(), ssl.PEM_cert_to_DER_cert(ca_pem))

        self.assertEqual(certs.ensure_certs(directory), paths)
        with open(paths["ca_pem"]) as f:
            self.assertEqual(f.read(), ca_pem, "a valid set was regenerated")

        with open(paths["localhost_pem"], "w") as f:
            f.write("damaged")
        certs.ensure_certs(directory)
        check = subprocess.run(["openssl", "verify", "-CAfile", paths["ca_pem"], paths["localhost_pem"]],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual([n for n in os.listdir(directory) if n.startswith(".certs-")], [])


class CliTests(unittest.TestCase):
    def start_cli(self, *extra):
        proc = subprocess.Popen([sys.executable, SERVER_SCRIPT, "--cert", CERTS["localhost_pem"],
                                 "--key", CERTS["localhost_key"], *extra],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        self.assertTrue(ready, "no PORT line")
        line = proc.stdout.readline()
        self.assertRegex(line, r"^PORT \d+\n$")
        return proc, int(line.split()[1])

    def test_cli_serves_releases_by_file_logs_and_exits(self):
        work = tempfile.mkdtemp(dir=TMP)
        release_file = os.path.join(work, "go")
        routes = os.path.join(work, "routes.json")
        log = os.path.join(work, "requests.jsonl")
        with open(routes, "w") as f:
            json.dump({"/held": {"size": 1000, "hold_at": 100, "release_file": release_file}}, f)
        started = time.monotonic()
        proc, port = self.start_cli("--routes", routes, "--log", log, "--lifetime", "3")

        conn = http.client.HTTPSConnection("localhost", port, context=trusting_context(), timeout=5)
        conn.request("GET", "/held")
        resp = conn.getresponse()
        self.assertEqual(resp.read(100), hs.pattern_bytes(0, 100))
        open(release_file, "w").close()
        self.assertEqual(resp.read(), hs.pattern_bytes(100, 900))
        # Noise that must not produce tracebacks: a rejected handshake and a client vanishing mid-body.
        with self.assertRaises(ssl.SSLError):
            http.client.HTTPSConnection("localhost", port, context=ssl.create_default_context(),
                                        timeout=5).request("GET", "/")
        conn.request("GET", "/gen?size=5000000")
        conn.getresponse().read(10)
        conn.close()

        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertGreaterEqual(time.monotonic() - started, 2.5)
        self.assertEqual(proc.stderr.read(), "")
        with open(log) as f:
            self.assertEqual([json.loads(line)["path"] for line in f], ["/held", "/gen?size=5000000"])

    def test_cli_exits_when_its_parent_dies(self):
        # An intermediate parent starts the server, reports its pid and exits at once.
        launcher = ("import subprocess, sys; p = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, "
                    "text=True); print(p.pid, p.stdout.readline().strip(), flush=True)")
        out = subprocess.run([sys.executable, "-c", launcher, sys.executable, SERVER_SCRIPT,
                              "--cert", CERTS["localhost_pem"], "--key", CERTS["localhost_key"]],
                             capture_output=True, text=True, timeout=20).stdout.split()
        pid = int(out[0])
        self.assertEqual(out[1], "PORT")
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and _alive(pid):
            time.sleep(0.1)
        self.assertFalse(_alive(pid), "server outlived its parent")


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


if __name__ == "__main__":
    unittest.main()
