"""The channel the real installer downloads from, by Windows version and
WebView2 registration, and whether it looked in the registry at all, from its
log. The cases of one version run one after another in one prefix."""
import os

import pytest

import harness

LEGACY, RELEASE = harness.CHANNELS
HOST = "https://" + os.environ["TARVEX_DOWNLOAD_HOST"]
KEY = r"Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
MACHINE = "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\" + KEY
USER = "HKEY_CURRENT_USER\\Software\\" + KEY
NATIVE = "HKEY_LOCAL_MACHINE\\SOFTWARE\\" + KEY  # the 64-bit view, which is not asked
REAL = "120.0.2210.91"
# A registration and the channel it gives wherever the registry is asked.
CASES = {
    "per machine": ({MACHINE: {"pv": REAL}}, RELEASE),
    "per user": ({USER: {"pv": REAL}}, RELEASE),
    "64-bit view only": ({NATIVE: {"pv": REAL}}, LEGACY),
    "placeholder": ({MACHINE: {"pv": "0.0.0.0"}}, LEGACY),
    "placeholder and a blank": ({MACHINE: {"pv": "0.0.0.0 "}}, RELEASE),
    "empty": ({MACHINE: {"pv": ""}}, LEGACY),
    "none": ({}, LEGACY),
    "placeholder per machine, real per user": ({MACHINE: {"pv": "0.0.0.0"}, USER: {"pv": REAL}}, RELEASE),
}
# Every case where the registry decides; enough on the other versions to show that Vista and 8 ask it as 10 does and
# that Windows 7 never does.
BY_VERSION = {"win10": list(CASES), "win8": ["per machine", "none"], "vista": ["per user", "none"],
              "win7": ["per machine", "per user"]}


@pytest.mark.parametrize("version", list(BY_VERSION), scope="module")
def test_channel_follows_the_windows_version_and_the_webview2_registration(version, prefix, server, workdir):
    server.serve_channels(1 << 20, hold_at=0)
    for number, case in enumerate(BY_VERSION[version], 1):
        values, channel = CASES[case]
        prefix.set_registry({MACHINE: None, USER: None, NATIVE: None, **values})
        process = prefix.start_installer(workdir)
        # Killed once its request has arrived, not while it connects: Wine's server would keep that socket, spinning.
        assert harness.wait_until(lambda: len(server.requests()) == number, 30), case
        process.kill()
        process.wait()
        asked = [line[4:] for line in prefix.run_log() if line.startswith("GET ")]
        assert asked == [HOST + (LEGACY if version == "win7" else channel)], case
        looked = any(line.startswith("WebView2 ") for line in prefix.run_log())
        assert looked == (version != "win7"), "the registry was%s asked" % ("" if looked else " not")
