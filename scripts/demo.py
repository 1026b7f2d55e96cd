"""The demo: the real installer's whole job under Wine, against a built-in
local HTTPS download server that serves a demo setup program under both
channel paths. Prints the channel chosen, the bytes fetched and the exit
code; without a display of the user's it saves screenshots as it goes."""
import json
import os
import sys
import time

import harness

DEMO_SIZE = 6 << 20        # the setup program padded, so the bar has time to move
DEMO_RATE = 2 << 20        # bytes per second
SETUP_SHOWN_MS = 4000      # how long the demo setup program shows itself


def padded_setup_program():
    """The demo setup program with trailing bytes (a Windows program with
    appended data still starts)."""
    with open(harness.exe("probe"), "rb") as program:
        body = program.read()
    return body + b"\0" * (DEMO_SIZE - len(body))


class UserDisplay:
    def __init__(self, name):
        self.name = name


def main():
    out_dir = os.path.join(harness.build_dir(), "demo")
    os.makedirs(out_dir, exist_ok=True)
    for old in os.listdir(out_dir):
        if old.endswith(".png"):
            os.remove(os.path.join(out_dir, old))
    print("Preparing a Wine prefix (its first start takes a while) ...")
    harness.make_template()

    server = harness.Server(harness.download_port())
    server.serve_channels(padded_setup_program(), rate=DEMO_RATE)
    own_display = None if os.environ.get("DISPLAY") else harness.Display()
    display = own_display or UserDisplay(os.environ["DISPLAY"])
    prefix = harness.Prefix("demo", "win10", display)
    shots = []

    def screenshot(name):
        if own_display:
            shots.append(os.path.join(out_dir, name + ".png"))
            own_display.screenshot(shots[-1])

    try:
        workdir = os.path.join(prefix.drive_c, "demo")
        os.makedirs(workdir, exist_ok=True)
        print("Download server: %s serving %d bytes under %s" % (server.url(""), DEMO_SIZE, " and ".join(harness.CHANNELS)))
        print("Running tarvex-installer.exe (Windows 10, no WebView2 runtime registered) ...")
        started = time.monotonic()
        process = prefix.start_installer(workdir, TARVEX_STANDIN_DEMO="1", TARVEX_STANDIN_WAIT_MS=str(SETUP_SHOWN_MS))
        if prefix.visible_installer():
            screenshot("1-window")
        request = harness.wait_until(lambda: next(iter(server.requests()), None), 30)
        time.sleep(DEMO_SIZE / DEMO_RATE / 2)
        screenshot("2-downloading")
        harness.wait_until(lambda: prefix.window("Static", "tarvex — demo setup program is running")["found"], 30)
        screenshot("3-setup-program-running")
        code = process.wait(timeout=None if not own_display else 120)
        elapsed = time.monotonic() - started

        record_path = os.path.join(workdir, "setup-standin.json")
        record = json.load(open(record_path)) if os.path.exists(record_path) else None
        print()
        print("Channel chosen:       %s" % (request["path"] if request else "none (no request reached the server)"))
        if record:
            print("Bytes fetched:        %d (the setup program's own size as it ran)" % record["module_bytes"])
            print("Setup program ran:    yes, as %s, in %s; progress window hidden: %s"
                  % (record["command_line"], record["directory"], "yes" if not record["installer_visible"] else "no"))
        else:
            print("Setup program ran:    no")
        print("Setup program left:   %s" % ("yes" if os.path.exists(os.path.join(workdir, "tarvex-setup.exe")) else "no (deleted)"))
        print("Installer exit code:  %d after %.1f s" % (code, elapsed))
        for shot in shots:
            print("Screenshot:           %s" % shot)
        return 0 if code == 0 and record else 1
    finally:
        prefix.close()
        server.stop()
        if own_display:
            own_display.close()


if __name__ == "__main__":
    sys.exit(main())
