"""The demo: the real installer's whole job under Wine, against a built-in
local HTTPS download server that serves a real setup program (made by NSIS)
under both channel paths. Prints the channel chosen, the bytes fetched, what
the setup program did and the exit code; without a display of the user's it
saves screenshots as it goes."""
import os
import sys
import time

import harness

DEMO_RATE = 2 << 20        # bytes per second, so the bar has time to move
SETUP_WINDOW = ("#32770", "tarvex demo Setup: Installing")  # the NSIS setup program at work
PAYLOAD = "tarvex-payload.bin"     # what it unpacks beside itself


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
    program = open(harness.exe("nsis-setup"), "rb").read()
    server.serve_channels(program, rate=DEMO_RATE)
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
        print("Download server: %s serving an NSIS setup program of %d bytes under %s"
              % (server.url(""), len(program), " and ".join(harness.CHANNELS)))
        print("Running tarvex-installer.exe (Windows 10, no WebView2 runtime registered) ...")
        started = time.monotonic()
        process = prefix.start_installer(workdir)
        if prefix.visible_installer():
            screenshot("1-window")
        request = harness.wait_until(lambda: next(iter(server.requests()), None), 30)
        time.sleep(len(program) / DEMO_RATE / 2)
        screenshot("2-downloading")
        setup_shown = harness.wait_until(lambda: prefix.window(*SETUP_WINDOW)["found"], 30)
        installer_hidden = setup_shown and not prefix.window()["visible"]
        if setup_shown:
            time.sleep(1)  # its page drawn and its bar moving
            screenshot("3-setup-program-running")
        code = process.wait(timeout=None if not own_display else 120)
        elapsed = time.monotonic() - started

        payload = os.path.join(workdir, PAYLOAD)
        unpacked = os.path.exists(payload) and open(payload, "rb").read() == open(harness.exe("nsis-payload.bin"), "rb").read()
        log = prefix.run_log()
        ended = [line for line in log if line.startswith("setup program ended")]
        print()
        print("Channel chosen:       %s" % (request["path"] if request else "none (no request reached the server)"))
        print("Bytes fetched:        %s" % next((line.split()[1] for line in log if line.startswith("received ")), "none"))
        print("Setup program ran:    %s; progress window hidden meanwhile: %s"
              % ("yes, its window came up" if setup_shown else "no window seen", "yes" if installer_hidden else "no"))
        print("Payload unpacked:     %s" % ("yes, %s beside it, bytes as packed" % PAYLOAD if unpacked else "no"))
        print("Setup program said:   %s" % (ended[0] if ended else "nothing (it did not end)"))
        print("Setup program left:   %s" % ("yes" if os.path.exists(os.path.join(workdir, "tarvex-setup.exe")) else "no (deleted)"))
        print("Installer exit code:  %d after %.1f s" % (code, elapsed))
        for shot in shots:
            print("Screenshot:           %s" % shot)
        return 0 if code == 0 and unpacked and ended else 1
    finally:
        prefix.close()
        server.stop()
        if own_display:
            own_display.close()


if __name__ == "__main__":
    sys.exit(main())
