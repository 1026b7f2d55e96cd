"""The installer run from a folder that every program of the user can write
to, as Downloads is: no DLL planted beside it is loaded, nobody else can
change the setup program from its creation to its deletion, an older file
of that name is replaced, and an abandoned download leaves nothing behind."""
import glob
import json
import os
import shutil

import harness
from conftest import CHANNELS, serve

# The DLLs that the installer loads by name and that Windows 7 to 11 do not
# keep in KnownDLLs (from WINEDEBUG=+loaddll). Left out, since Wine loads
# them in ways Windows does not: its own advapi32 imports version.dll and
# zlib1.dll before our first line runs, and the delay imports of its own
# DLLs (windowscodecs.dll and propsys.dll for GDI+, bcrypt.dll for TLS) pass
# over SetDefaultDllDirectories.
PLANTED = ("winhttp", "comctl32", "gdiplus", "uxtheme")
SETUP = "tarvex-setup.exe"
REFUSED = {"write": False, "rename": False, "delete": False}
CHUNK = 8192  # Wine's WinHTTP hands over whole 8192-byte reads only


def test_planted_dlls_stay_unloaded_and_nobody_can_change_the_setup_program(prefix, server, workdir):
    installer = shutil.copy(harness.exe("tarvex-installer"), workdir)
    for name in PLANTED:
        shutil.copy(os.path.join(harness.build_dir(), "marker.dll"), os.path.join(workdir, name + ".dll"))
    setup = os.path.join(workdir, SETUP)
    with open(setup, "wb") as older:
        older.write(b"an older file of the same name")
    standin = harness.exe("setup_standin")
    serve(server, {"file": standin, "hold_at": os.path.getsize(standin) // 2 // CHUNK * CHUNK})
    process = prefix.start([installer], cwd=workdir, env={
        "WINEDLLOVERRIDES": "mscoree,mshtml=;%s=n,b" % ",".join(PLANTED), "TARVEX_STANDIN_WAIT_MS": "3000"})

    assert server.hold_reached(CHANNELS[0], timeout=30)
    assert harness.wait_until(lambda: os.path.exists(setup), 10)
    assert prefix.tamper(setup) == REFUSED, "while it downloads"
    server.release(CHANNELS[0])
    assert harness.wait_until(lambda: os.path.exists(os.path.join(workdir, "setup-standin.started")), 30)
    assert prefix.tamper(setup) == REFUSED, "while it runs"

    assert harness.wait_for_exit(process, 60) == 0
    with open(os.path.join(workdir, "setup-standin.json")) as record:
        assert json.load(record)["module_bytes"] == os.path.getsize(standin), "the older file ran"
    assert not os.path.exists(setup)
    assert glob.glob(os.path.join(workdir, "*.loaded")) == []
    log = prefix.run_log()
    assert "channel: legacy, no WebView2 runtime is registered" in log
    assert "received %d bytes" % os.path.getsize(standin) in log
    assert "setup program ended with exit code 7" in log


def test_abandoned_download_leaves_no_setup_program(prefix, display, server, workdir):
    setup = os.path.join(workdir, SETUP)
    for ending in ("window closed", "process killed"):
        serve(server, {"size": 64 * CHUNK, "hold_at": 32 * CHUNK})
        process = prefix.start_installer(workdir)
        assert server.hold_reached(CHANNELS[0], timeout=30)
        assert harness.wait_until(lambda: os.path.exists(setup), 10)
        if ending == "window closed":
            window = prefix.wait_for_visible_installer()
            display.click(window["rect"][0] + harness.CLOSE_GLYPH[0], window["rect"][1] + harness.CLOSE_GLYPH[1])
            assert harness.wait_for_exit(process, 10) == 0
        else:
            process.kill()
            process.wait()
        assert harness.wait_until(lambda: not os.path.exists(setup), 10), ending
