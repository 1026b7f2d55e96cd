"""A Windows version, an Xvfb display and a Wine prefix shared by the tests of
a file; per test, a fresh work folder and the HTTPS download server."""
import os
import shutil

import pytest

import harness


@pytest.fixture(scope="module")
def version():
    return "win10"


@pytest.fixture(scope="module")
def display():
    yield (display := harness.Display())
    display.close()


@pytest.fixture(scope="module")
def prefix(request, display, version):
    yield (prefix := harness.Prefix(request.module.__name__ + "-" + version, version, display))
    prefix.close()


@pytest.fixture
def workdir(prefix):
    """C:\\install, empty; what the test started ends with it."""
    path, started = os.path.join(prefix.drive_c, "install"), len(prefix.processes)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    if os.path.exists(prefix.browser_log):
        os.remove(prefix.browser_log)
    yield path
    for process in prefix.processes[started:]:
        process.kill()
        process.wait()


@pytest.fixture
def server():
    yield (server := harness.Server(harness.download_port()))
    server.stop()
