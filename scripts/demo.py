"""The demo: runs the real installer under Wine and tells what happened."""
import os
import sys
import time

import harness

WINDOW_CLASS, WINDOW_TITLE = "TarvexInstaller", "Tarvex Installer"


def main():
    out_dir = os.path.join(harness.build_dir(), "demo")
    os.makedirs(out_dir, exist_ok=True)
    print("Preparing a Wine prefix (first start takes a while) ...")
    harness.make_template()

    own_display = None if os.environ.get("DISPLAY") else harness.Display()
    display = own_display or type("UserDisplay", (), {"name": os.environ["DISPLAY"]})()
    prefix = harness.Prefix("demo", version="win10", display=display)
    try:
        workdir = os.path.join(prefix.drive_c, "demo")
        os.makedirs(workdir, exist_ok=True)
        print("Starting tarvex-installer.exe ...")
        process = prefix.start([harness.exe("tarvex-installer")], cwd=workdir)
        window = prefix.find_window(WINDOW_CLASS, WINDOW_TITLE, wait_ms=30000)
        print("Window: found=%s rect=%s" % (window["found"], window.get("rect")))
        if own_display:
            time.sleep(1)
            shot = own_display.screenshot(os.path.join(out_dir, "window.png"))
            print("Screenshot: %s" % shot)
            left, top = window["rect"][:2]
            own_display.click(left + 560 - 20, top + 20)
        else:
            print("Close the window with its x to end the demo.")
        code = process.wait(timeout=None if not own_display else 60)
        print("Installer exit code: %d" % code)
        return 0 if code == 0 else 1
    finally:
        prefix.close()
        if own_display:
            own_display.close()


if __name__ == "__main__":
    sys.exit(main())
