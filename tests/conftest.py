"""Per test: a Windows version, an Xvfb display, a throwaway Wine prefix with
a work folder, and the HTTPS download server on the installer's port."""
import os

import pytest

import harness


@pytest.fixture
def version():
    return "win10"


@pytest.fixture
def display():
    yield (display := harness.Display())
    display.close()


@pytest.fixture
def prefix(request, display, version):
    yield (prefix := harness.Prefix(request.node.name[:40], version, display))
    prefix.close()


@pytest.fixture
def workdir(prefix):
    os.makedirs(path := os.path.join(prefix.drive_c, "install"))
    return path


@pytest.fixture
def server():
    yield (server := harness.Server(harness.download_port()))
    server.stop()
