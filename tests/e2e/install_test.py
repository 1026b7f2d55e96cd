"""The whole installation by the real installer under Wine: channel choice,
download, launch, wait, clean-up, and the failure dialog."""
import json
import os
import time
import unittest

import harness

RUNTIME_KEY = r"Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
MACHINE_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\" + RUNTIME_KEY
USER_KEY = "HKEY_CURRENT_USER\\Software\\" + RUNTIME_KEY
NATIVE_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\" + RUNTIME_KEY
REAL_VERSION = "120.0.2210.91"
LEGACY, RELEASE = "/tarvex-data/win7", "/tarvex-data/release"
CHANNELS = (LEGACY, RELEASE)

DIALOG_CAPTION = "系统提示"
DOWNLOAD_FAILED = "下载失败，请检查网络连接或联系客服。"
START_FAILED = "安装程序启动失败，请检查安装包或联系客服。"
PAGE_SENTENCE = "已为您打开下载页面，请手动安装。"
CHOICES = '点击"确定"联系客服\n点击"取消"稍后处理'

# WebView2 registrations and the channel they give where the probe runs.
PROBE_CASES = {
    "per-machine": ({MACHINE_KEY: {"pv": REAL_VERSION}}, RELEASE),
    "per-user": ({USER_KEY: {"pv": REAL_VERSION}}, RELEASE),
    "native 64-bit view only": ({NATIVE_KEY: {"pv": REAL_VERSION}}, LEGACY),
    "placeholder": ({MACHINE_KEY: {"pv": "0.0.0.0"}}, LEGACY),
    "placeholder and a blank": ({MACHINE_KEY: {"pv": "0.0.0.0 "}}, RELEASE),
    "empty": ({MACHINE_KEY: {"pv": ""}}, LEGACY),
    "absent": ({}, LEGACY),
    "placeholder per-machine, real per-user": ({MACHINE_KEY: {"pv": "0.0.0.0"}, USER_KEY: {"pv": REAL_VERSION}},
                                               RELEASE),
}


def failure_message(text):
    return text + "\n\n" + PAGE_SENTENCE + "\n\n" + CHOICES


class InstallerRun(unittest.TestCase):
    """A prefix with a display, a work folder and the download server on the
    port the installer was built for."""

    version = "win10"

    def setUp(self):
        self.display = harness.Display()
        self.addCleanup(self.display.close)
        self.prefix = harness.Prefix(self.id().split(".")[-1][:40], version=self.version, display=self.display)
        self.addCleanup(self.prefix.close)
        self.server = harness.start_test_server(port=harness.download_port())
        self.addCleanup(self.server.stop)
        self.workdir = os.path.join(self.prefix.drive_c, "install")
        os.makedirs(self.workdir)
        self.download_page = self.server.url(LEGACY)  # win10 without a WebView2 runtime
        self.support_page = "https://" + os.environ["TARVEX_SUPPORT_HOST"]

    def serve(self, route):
        for path in CHANNELS:
            self.server.set_route(path, route)

    def start(self, env=None):
        process = self.prefix.start_installer(self.workdir, env=env)
        window = self.prefix.wait_for_visible_installer()
        self.assertIsNotNone(window, "the installer's window was not shown")
        return process, window

    def browser_urls(self):
        # Wine's browser launcher adds the "/" of an empty path to the URL.
        return [url[:-1] if url.count("/") == 3 and url.endswith("/") else url for url in self.prefix.browser_urls()]

    def click_close_glyph(self, window):
        self.display.click(window["rect"][0] + harness.CLOSE_GLYPH[0], window["rect"][1] + harness.CLOSE_GLYPH[1])

    def assert_exits(self, process, within, code=0):
        exit_code = harness.wait_for_exit(process, within)
        self.assertIsNotNone(exit_code, "the installer did not end within %s s" % within)
        self.assertEqual(exit_code, code)

    def saved_setup(self):
        return os.path.join(self.workdir, "tarvex-setup.exe")


class ChannelMatrix(unittest.TestCase):
    """For each Windows version, every WebView2 registration case: the channel
    path the server is asked for, and whether the registry was read at all
    (from Wine's registry trace)."""

    def check_version(self, version):
        held = {"size": 1000, "hold_at": 0}
        with harness.Display() as display, \
                harness.Prefix("channels-" + version, version=version, display=display) as prefix, \
                harness.start_test_server(routes={LEGACY: held, RELEASE: held}, port=harness.download_port()) as server:
            workdir = os.path.join(prefix.drive_c, "install")
            os.makedirs(workdir)
            for case, (values, probed_channel) in PROBE_CASES.items():
                with self.subTest(version=version, case=case):
                    prefix.set_registry({MACHINE_KEY: None, USER_KEY: None, NATIVE_KEY: None, **values})
                    trace_path = os.path.join(prefix.path, "registry-trace.txt")
                    first = len(server.requests())
                    with open(trace_path, "wb") as trace:
                        process = prefix.start_installer(workdir, env={"WINEDEBUG": "trace+reg"}, stderr=trace)
                        request = server.wait_for_request("/tarvex-data/", timeout=30, start=first)
                        process.kill()
                        process.wait()
                    self.assertIsNotNone(request, "no download request")
                    with open(trace_path, "rb") as trace:
                        probes = trace.read().count(b"EdgeUpdate\\\\Clients")
                    if version == "win7":
                        self.assertEqual(request["path"], LEGACY)
                        self.assertEqual(probes, 0, "Windows 7 must not read the registry for the channel")
                    else:
                        self.assertEqual(request["path"], probed_channel)
                        self.assertGreater(probes, 0)

    def test_vista(self):
        self.check_version("vista")

    def test_windows_7(self):
        self.check_version("win7")

    def test_windows_8(self):
        self.check_version("win8")

    def test_windows_10(self):
        self.check_version("win10")


class SuccessfulInstallation(InstallerRun):
    def test_setup_program_runs_hidden_behind_is_awaited_and_deleted(self):
        self.serve({"file": harness.exe("setup_standin")})
        # A log that cannot be written changes nothing else.
        self.prefix.start([harness.exe("winprobe"), "hold", self.prefix.windows_path(self.prefix.run_log_path), "60000"])
        self.assertTrue(harness.wait_until(lambda: os.path.exists(self.prefix.run_log_path), 20))
        # The download is quick: the window may be hidden again before anyone looks.
        process = self.prefix.start_installer(self.workdir, env={"TARVEX_STANDIN_WAIT_MS": "3000",
                                                                  "TARVEX_STANDIN_EXIT": "5"})
        exit_code = harness.wait_for_exit(process, 60)
        exited_ms = time.time() * 1000
        self.assertEqual(exit_code, 0)

        record_path = os.path.join(self.workdir, "setup-standin.json")
        self.assertTrue(os.path.exists(record_path), "the setup program did not run")
        with open(record_path) as record_file:
            record = json.load(record_file)
        self.assertEqual(record["argc"], 1, "started with arguments: %r" % record["command_line"])
        self.assertEqual(record["command_line"].strip('"').lower(), "tarvex-setup.exe")
        self.assertEqual(record["directory"].lower(), "c:\\install")
        self.assertTrue(record["installer_window"])
        self.assertFalse(record["installer_visible"], "the progress window was still visible")
        self.assertGreaterEqual(exited_ms, record["finished_ms"], "the installer did not wait")
        self.assertLess(exited_ms - record["finished_ms"], 5000, "the installer did not end right after")
        self.assertFalse(os.path.exists(self.saved_setup()), "tarvex-setup.exe was left behind")
        self.assertEqual(self.server.requests()[-1]["path"], LEGACY)
        self.assertEqual(self.browser_urls(), [])
        self.assertEqual(self.prefix.run_log(), [], "written into a log that another process holds")


class FailedDownload(InstallerRun):
    def check_failure_dialog(self, press, expected_urls, reason):
        process, window = self.start()
        dialog = self.prefix.dialog(DIALOG_CAPTION, wait_ms=60000)
        self.assertTrue(dialog["found"], "no failure dialog")
        self.assertEqual(dialog["text"], failure_message(DOWNLOAD_FAILED))
        self.assertTrue(dialog["icon"], "the box has no icon")
        self.assertEqual([(b["id"], b["text"]) for b in dialog["buttons"]], [(1, "OK"), (2, "Cancel")])
        self.assertEqual(dialog["default"], 1)
        self.assertEqual((dialog["owner_class"], dialog["owner_title"]), (harness.INSTALLER_CLASS, harness.INSTALLER_TITLE))
        self.assertTrue(dialog["owner_visible"])
        self.assertFalse(dialog["owner_enabled"], "the window must be disabled while the box is up")
        self.assertTrue(harness.wait_until(self.browser_urls, 10), "the download page was not opened")
        self.assertEqual(self.browser_urls(), [self.download_page])
        self.assertIn("download failed: " + reason, self.prefix.run_log())

        self.prefix.dialog(DIALOG_CAPTION, press=press)
        self.assertTrue(harness.wait_until(lambda: not self.prefix.dialog(DIALOG_CAPTION)["found"], 10))
        harness.wait_until(lambda: len(self.browser_urls()) >= len(expected_urls), 5)
        self.assertEqual(self.browser_urls(), expected_urls)
        # The window stays until the user closes it.
        self.assertIsNone(harness.wait_for_exit(process, 2))
        window = self.prefix.installer_window()
        self.assertTrue(window["visible"])
        self.assertFalse(os.path.exists(self.saved_setup()))
        self.click_close_glyph(window)
        self.assert_exits(process, 20)

    def test_not_found_then_ok_opens_customer_service(self):
        self.serve({"status": 404})
        self.check_failure_dialog("ok", [self.download_page, self.support_page], "HTTP status not OK: 404")

    def test_server_down_then_cancel_opens_nothing_more(self):
        self.server.stop()
        # ERROR_WINHTTP_CANNOT_CONNECT
        self.check_failure_dialog("cancel", [self.download_page], "WinHttpSendRequest failed (error 12029)")

    def test_truncated_body_then_escape_opens_nothing_more(self):
        self.serve({"size": 200000, "content_length": 400000})
        self.check_failure_dialog("esc", [self.download_page], "response body length differs from Content-Length")

    def test_not_found_then_closing_the_box_opens_nothing_more(self):
        self.serve({"status": 404})
        self.check_failure_dialog("close", [self.download_page], "HTTP status not OK: 404")


class FailedStart(InstallerRun):
    def test_body_that_is_no_program_hides_the_window_keeps_the_file_and_closes(self):
        self.serve({"text": "this is not a Windows program\n"})
        # A body this small arrives at once: the window may be hidden before anyone looks.
        process = self.prefix.start_installer(self.workdir)
        dialog = self.prefix.dialog(DIALOG_CAPTION, wait_ms=60000)
        self.assertTrue(dialog["found"], "no failure dialog")
        self.assertEqual(dialog["text"], failure_message(START_FAILED))
        self.assertFalse(dialog["owner_visible"], "the window must already be hidden")
        self.assertTrue(os.path.exists(self.saved_setup()), "the downloaded file must stay")
        self.prefix.dialog(DIALOG_CAPTION, press="cancel")
        self.assert_exits(process, 20)
        with open(self.saved_setup()) as kept:
            self.assertEqual(kept.read(), "this is not a Windows program\n")
        self.assertEqual(self.browser_urls(), [self.download_page])


class ClosingMidDownload(InstallerRun):
    def test_close_glyph_ends_the_process_at_once(self):
        self.serve({"size": 20 << 20, "rate": 100000})
        process, window = self.start()
        self.assertIsNotNone(self.server.wait_for_request("/tarvex-data/", timeout=30))
        time.sleep(2)  # well into the paced body
        self.assertIsNone(process.poll())
        started = time.monotonic()
        self.click_close_glyph(window)
        self.assert_exits(process, 10)
        print("ended %.2f s after the click" % (time.monotonic() - started))


if __name__ == "__main__":
    unittest.main(verbosity=2)
