"""Prepares this test run's template Wine prefix (a CTest fixture)."""
import time

import harness

if __name__ == "__main__":
    started = time.monotonic()
    harness.make_template()
    print("template prefix %s ready in %.1f s" % (harness.template_prefix(), time.monotonic() - started))
