"""Whole runs of the real installer from a folder anyone can write to, as Downloads is: installing,
the failure dialog and its pages, downloads abandoned half way."""
import os
import time

import pytest

import harness
from harness import CHANNELS, CHUNK, INSTALLER_CLASS

SETUP = "tarvex-setup.exe"
DIALOG = "系统提示"
CHOICES = '\n\n已为您打开下载页面，请手动安装。\n\n点击"确定"联系客服\n点击"取消"稍后处理'
DOWNLOAD_PAGE = "https://%s%s" % (os.environ["TARVEX_DOWNLOAD_HOST"], CHANNELS[0])  # Windows 10, no WebView2
SUPPORT_PAGE = "https://" + os.environ["TARVEX_SUPPORT_HOST"]


def tampering(prefix, path):
    answer = prefix.probe("tamper", prefix.windows_path(path))
    assert answer["found"], "no file to tamper with"
    return [attempt for attempt in ("write", "rename", "delete") if answer[attempt]]


def test_a_real_setup_program_installs_and_nobody_can_change_it_from_creation_to_deletion(prefix, server, workdir):
    setup, payload = os.path.join(workdir, SETUP), os.path.join(workdir, "tarvex-payload.bin")
    with open(setup, "wb") as older:
        older.write(b"an older file of the same name")
    # Made by NSIS: it unpacks its payload from its own exe, which it opens sharing nothing but reading.
    program = open(harness.exe("nsis-setup"), "rb").read()
    server.serve_channels(program, hold_at=len(program) // 2 // CHUNK * CHUNK)
    process = prefix.start_installer(workdir)

    assert server.hold_reached(CHANNELS[0]) and harness.wait_until(lambda: os.path.exists(setup), 10)
    assert tampering(prefix, setup) == [], "while it downloads"
    server.release(CHANNELS[0])
    assert harness.wait_until(lambda: os.path.exists(payload), 30), "the setup program could not unpack itself"
    assert tampering(prefix, setup) == [], "while it runs"
    assert harness.wait_for_exit(process, 60) == 0

    assert open(payload, "rb").read() == open(harness.exe("nsis-payload.bin"), "rb").read()
    assert not os.path.exists(setup)
    assert prefix.browser_urls() == []
    assert {"channel: legacy, no WebView2 runtime is registered", "received %d bytes" % len(program),
            "setup program ended with exit code 3"} <= set(prefix.run_log())


def test_started_twice_it_installs_once_and_the_second_start_leaves_quietly(prefix, server, workdir):
    server.serve_channels(open(harness.exe("probe"), "rb").read(), rate=400000)
    starts = [prefix.start_installer(workdir)]
    time.sleep(0.3)
    starts.append(prefix.start_installer(workdir, keep_log=True))
    # Whichever reaches the mark second leaves at once with 0, while the other still downloads.
    assert harness.wait_until(lambda: [start.poll() for start in starts if start.poll() is not None] == [0], 30)
    assert all(harness.wait_for_exit(start, 60) == 0 for start in starts), "a failure box or page waits for the user"
    assert (len(server.requests()), prefix.browser_urls(), sorted(os.listdir(workdir))) == (
        1, [], ["setup-standin.json", "setup-standin.started"])
    log = prefix.run_log()  # the first run's, whole
    assert log[0].startswith("tarvex installer ") and "setup program ended with exit code 7" in log, log


@pytest.mark.parametrize("press", ["ok", "cancel", "esc"])
def test_failed_download_opens_the_download_page_and_offers_customer_service(prefix, server, workdir, press):
    server.serve_channels(status=404)
    process = prefix.start_installer(workdir)
    dialog = prefix.dialog(DIALOG, wait_ms=30000)
    assert dialog["found"] and dialog["text"] == "下载失败，请检查网络连接或联系客服。" + CHOICES
    assert dialog["icon"] and dialog["buttons"] == [[1, "OK"], [2, "Cancel"]] and dialog["default"] == 1
    assert (dialog["owner"], dialog["owner_visible"], dialog["owner_enabled"]) == (INSTALLER_CLASS, True, False)
    assert harness.wait_until(prefix.browser_urls, 10) == [DOWNLOAD_PAGE], "the page opens before the box"
    opened = "opened %s through the desktop shell, as the signed-in user" % DOWNLOAD_PAGE
    assert harness.wait_until(lambda: opened in prefix.run_log(), 30), "\n".join(prefix.run_log())

    prefix.dialog(DIALOG, press=press)
    expected = [DOWNLOAD_PAGE, SUPPORT_PAGE] if press == "ok" else [DOWNLOAD_PAGE]
    assert harness.wait_until(lambda: not prefix.dialog(DIALOG)["found"], 10)
    assert harness.wait_until(lambda: prefix.browser_urls() == expected, 5), prefix.browser_urls()
    window = prefix.visible_installer(5)
    assert window and harness.wait_for_exit(process, 0) is None, "the window must stay until the user closes it"
    prefix.click_close_glyph(window)
    assert harness.wait_for_exit(process, 20) == 0


# A proxy whose upstream times out ends a chunked body without its last chunk, which WinHTTP may hand back as the end of
# the data. The signature, at the end of the file, is what shows that the rest never came.
@pytest.mark.parametrize("ending", ["whole", "closed after a chunk", "closed inside a chunk"])
def test_a_setup_program_sent_chunked_and_cut_short_is_a_failed_download_and_never_starts(
        prefix, server, workdir, tmp_path, ending):
    program = harness.signed_setup_program("Tarvex Test Publisher", str(tmp_path / "signed.exe"))
    close_at = None if ending == "whole" else len(program) * 2 // 3 // CHUNK * CHUNK
    server.serve_channels(program, announce=False, close_at=close_at, mid_chunk=ending == "closed inside a chunk")
    process = prefix.start_installer(workdir)
    if ending == "whole":
        assert harness.wait_for_exit(process, 60) == 0
        assert os.path.exists(os.path.join(workdir, "tarvex-payload.bin")) and prefix.browser_urls() == []
        return
    dialog = prefix.dialog(DIALOG, wait_ms=30000)
    assert dialog.get("text") == "下载失败，请检查网络连接或联系客服。" + CHOICES, prefix.run_log()
    assert dialog["owner_visible"], "the window stays up after a failed download"
    log = prefix.run_log()
    assert "download incomplete: certificate table ends at {:,} of {:,} bytes".format(len(program), close_at) in log, log
    assert not any(line.startswith("setup program started") for line in log)
    assert os.listdir(workdir) == [] and harness.wait_until(prefix.browser_urls, 10) == [DOWNLOAD_PAGE]
    prefix.dialog(DIALOG, press="cancel")
    prefix.click_close_glyph(prefix.visible_installer(10))
    assert harness.wait_for_exit(process, 20) == 0


def test_abandoned_download_leaves_no_setup_program(prefix, server, workdir):
    setup = os.path.join(workdir, SETUP)
    for ending in ("window closed", "process killed"):
        server.serve_channels(64 * CHUNK, hold_at=32 * CHUNK)
        process = prefix.start_installer(workdir)
        # Written to, so past the moment between its creation and its mark to vanish with the process.
        assert server.hold_reached(CHANNELS[0])
        assert harness.wait_until(lambda: os.path.exists(setup) and os.path.getsize(setup), 10)
        if ending == "window closed":
            prefix.click_close_glyph(prefix.visible_installer())
            assert harness.wait_for_exit(process, 10) == 0
        else:
            process.kill()
            process.wait()
        assert harness.wait_until(lambda: not os.path.exists(setup), 10), ending
