"""What the real installer asks of Windows where Wine lets more pass, read from Wine's debug channels; what it loads."""
import json
import os
import re
import shutil
import time

import pytest

import harness
from harness import CHANNELS, CHUNK, INSTALLER_CLASS, RELAYED

PINNED = harness.exe("tarvex-installer-pinned")  # checks the publisher, as a release made with --setup-signer
SETUP, DIALOG = "tarvex-setup.exe", "系统提示"
# The DLLs it loads that are not KnownDLLs on Windows 7 to 11 (WINEDEBUG=+loaddll), less those Wine loads as Windows
# does not: version, zlib1 for advapi32 before our first line; GDI+'s and TLS's delay imports (windowscodecs, propsys,
# bcrypt), which pass over SetDefaultDllDirectories.
PLANTED = ("winhttp", "comctl32", "gdiplus", "uxtheme")
# By their last argument: the first show (SW_SHOWDEFAULT), the grant to any process (ASFW_ANY), the hide.
SHOWN, GRANT, HIDDEN = ("user32.ShowWindow", "0000000a"), (RELAYED[0], "ffffffff"), ("user32.ShowWindow", "00000000")
size = lambda path: os.path.exists(path) and os.path.getsize(path)  # noqa: E731
relayed = lambda calls: [(name, said.rsplit(",", 1)[-1]) for name, said in calls if name in RELAYED]  # noqa: E731


def traced(prefix, folder, tmp_path, channels, installer=PINNED, **env):
    with open(tmp_path / "trace", "wb") as trace:
        process = prefix.start_installer(folder, installer, stderr=trace, WINEDEBUG="+pid," + channels, **env)
    return process, lambda: harness.wine_calls((tmp_path / "trace").read_bytes())


# Handed over, the setup program's copy runs on from the same exe, which can be deleted only after it, unless another
# program removes it first.
@pytest.mark.parametrize("hand_over, deleted", [(False, None), (True, "when nothing ran or held it any more"),
                                                (True, "by another program")])
def test_planted_dlls_stay_unloaded_and_a_trusted_setup_program_runs_hidden_quoted_awaited_and_deleted(
        prefix, server, workdir, tmp_path, hand_over, deleted):
    folder = os.path.join(workdir, "张三 的下载")  # a Downloads folder in a profile named after its user
    os.makedirs(folder)
    installer = shutil.copy(PINNED, folder)
    for name in PLANTED:
        shutil.copy(harness.exe("marker.dll"), os.path.join(folder, name + ".dll"))
    program = harness.signed_setup_program(os.environ["TARVEX_TEST_SETUP_SIGNER"], tmp_path / "signed.exe", "probe")
    server.serve_channels(program)
    removed = deleted == "by another program"
    process, read_calls = traced(prefix, folder, tmp_path, "+wintrust,+crypt,+process,+relay", installer,
                                 WINEDLLOVERRIDES="mscoree,mshtml=;%s=n,b" % ",".join(PLANTED),
                                 **({"TARVEX_STANDIN_HAND_OVER": "1"} if hand_over else {}),
                                 **({"TARVEX_STANDIN_WAIT_MS": "5000"} if removed else {}))
    if removed:
        assert harness.wait_until(lambda: os.path.exists(os.path.join(folder, "setup-standin.started")), 30)
        os.remove(os.path.join(folder, SETUP))
    assert harness.wait_for_exit(process, 60) == 0
    ended_ms = time.time() * 1000
    standin = os.path.join(folder, "setup-standin.json")
    record = json.load(open(harness.wait_until(lambda: size(standin) and standin, 10), encoding="utf-8"))
    assert (record["module_bytes"], record["directory"]) == (len(program), r"C:\install\张三 的下载")
    assert record["installer_window"] and not record["installer_visible"]
    # Removed, the file no longer keeps the installer waiting for the copy.
    assert removed or 0 <= ended_ms - record["finished_ms"] < 5000, "the installer did not wait, or not end right after"
    assert sorted(name for name in os.listdir(folder) if name.startswith("setup") or name.endswith(".loaded")) == [
        "setup-standin.json", "setup-standin.started"], "a planted DLL loaded, or the setup program left"
    log = prefix.run_log()
    assert "setup program ended with exit code %d" % (0 if hand_over else 7) in log
    deletions = [re.sub(r" after \d+\.\d s,", "", line) for line in log
                 if line.startswith(("setup program deleted", "setup program could not", "setup program still"))]
    assert deletions == (["setup program deleted " + deleted] if deleted else []), log

    calls = read_calls()
    # Verified, then closed, with WTD_REVOKE_NONE and WTD_REVOCATION_CHECK_NONE alone: WTD_CACHE_ONLY_URL_RETRIEVAL
    # would keep it from fetching a CA the signature lacks. Revocation: the signer's chain at the signer's time
    # (sftVerifyAsOf, 4 bytes in; Wine, reading no time stamp, puts the day of the check), cache only, not the root.
    asked = ("fdwRevocationChecks: 00000000", "dwStateAction: ", "dwProvFlags: 00000010")
    assert [said for name, said in calls if name == "dump_wintrust_data" and said.startswith(asked)] == [
        asked[0], asked[1] + "1", asked[2], asked[0], asked[1] + "2", asked[2]]
    found = next(i for i, (name, said) in enumerate(calls) if name == "WTHelperGetProvSignerFromChain" and
                 said.startswith("returning "))
    day = next(said.split()[-1] for name, said in calls if name == "WINTRUST_GetTimeFromSigner")
    signing_time = "%016X (%s)" % (int(calls[found][1].split()[1], 16) + 4, day)
    assert [tuple(said.split(", ")[2:6:3]) for name, said in calls[found:] if name == "CertGetCertificateChain" and
            said.startswith("(")] == [(signing_time, "c0000000")]
    # Shown before the worker could hide it; the grant while it is in front, none after the hide. The full path as the
    # application, quoted as the command line: not split into arguments at the space.
    assert relayed(calls) == [SHOWN, GRANT, HIDDEN]
    path = r"C:\install\张三 的下载\tarvex-setup.exe"
    assert [said for name, said in calls if name == "CreateProcessInternalW" and said.startswith("app ")] == [
        r'app L"%s" cmdline L"\"%s\""' % (path, path)]


# Refused, the setup program is deleted, or by Windows at the next restart while held (here by its read-only mark, which
# refuses a delete as a running image does): early in start-up, where no subst drive is, nor a removable drive for sure.
@pytest.mark.parametrize("drive, left", [("C:", "Windows deletes it at the next restart"),
                                         ("S:", "on substituted drive S:, which Windows cannot clear at restart"),
                                         ("R:", "on removable drive R:, which Windows cannot clear at restart")])
def test_a_refused_setup_program_is_answered_over_the_window_and_deleted_at_restart_only_on_a_fixed_drive(
        prefix, server, workdir, tmp_path, drive, left):
    folder = {"C:": workdir, "S:": workdir + "/subst", "R:": prefix.drive_c + "/removable"}[drive]
    if drive == "S:":  # as subst does: the letter for Windows; and a drive made after boot for Wine to reach the files
        os.makedirs(folder)
        os.symlink("../drive_c/install/subst", prefix.path + "/dosdevices/s:")
        assert prefix.probe("subst", "S:", r"C:\install\subst")["found"]
    server.serve_channels(open(harness.exe("probe"), "rb").read(), hold_at=CHUNK)  # unsigned
    process, read_calls = traced(prefix, folder, tmp_path, "+relay")
    setup = os.path.join(folder, SETUP)
    # Marked read-only once written into: a mark set between its creation and its delete-on-close, Wine refuses that.
    assert server.hold_reached(CHANNELS[0]) and harness.wait_until(lambda: size(setup) == CHUNK, 10)
    os.chmod(setup, 0o444)
    server.release(CHANNELS[0])

    dialog = prefix.dialog(DIALOG, wait_ms=30000)
    assert (dialog["owner"], dialog["owner_visible"]) == (INSTALLER_CLASS, True), "the window stays up, under the box"
    prefix.dialog(DIALOG, press="cancel")
    assert harness.wait_for_exit(process, 20) == 0, prefix.run_log()[-3:]
    log = prefix.run_log()
    assert "setup program refused: unsigned (WinVerifyTrust 0x800b0100)" in log and any(
        line.startswith("setup program still in use after ") and left in line for line in log), log
    restart = [("kernel32.MoveFileExW", "00000004")] if drive == "C:" else []  # MOVEFILE_DELAY_UNTIL_REBOOT
    assert relayed(read_calls()) == [SHOWN, *restart, ("user32.MessageBoxW", "00000011")]  # MB_OKCANCEL, error icon


def test_a_setup_program_that_does_not_start_is_kept_and_answered_in_a_box_above_the_other_windows(
        prefix, server, workdir, tmp_path):
    # Whole, but a DLL: Windows does not start it. Held until the window is seen: so small, it would be hidden at once.
    server.serve_channels(open(harness.exe("marker.dll"), "rb").read(), hold_at=0)
    process, read_calls = traced(prefix, workdir, tmp_path, "+relay", harness.exe("tarvex-installer"))
    assert prefix.visible_installer()
    server.release(CHANNELS[0])
    assert prefix.dialog(DIALOG, wait_ms=30000)["found"]
    # Hidden before the start; a box it owns then has no taskbar button: MB_SETFOREGROUND | MB_TOPMOST.
    assert relayed(read_calls()) == [SHOWN, GRANT, HIDDEN, ("user32.MessageBoxW", "00050011")]
    # Still held, with nothing running it: only the installer's own handle keeps others out.
    tampered = prefix.probe("tamper", prefix.windows_path(os.path.join(workdir, SETUP)))
    assert tampered["found"] and not any(tampered[attempt] for attempt in ("write", "rename", "delete"))
    # Started again while the box is up, behind what the user went to: the box comes to the front, nothing else.
    prefix.start([harness.exe("probe"), "front", "60000"])
    assert harness.wait_until(lambda: not prefix.dialog(DIALOG)["foreground"], 20)
    assert harness.wait_for_exit(prefix.start_installer(workdir, keep_log=True), 20) == 0
    assert prefix.dialog(DIALOG)["foreground"] and len(server.requests()) == 1
    prefix.dialog(DIALOG, press="cancel")
    assert harness.wait_for_exit(process, 20) == 0 and prefix.browser_urls() == [server.url(CHANNELS[0])]
    assert open(os.path.join(workdir, SETUP), "rb").read() == open(harness.exe("marker.dll"), "rb").read()
    assert any(line.startswith("setup program did not start (error ") for line in prefix.run_log())
