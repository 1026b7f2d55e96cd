"""Fixtures of the tests that run Windows programs under Wine: an Xvfb
display, a throwaway prefix, a work folder in it and the HTTPS download
server on the port the installer under test was built for."""
import os

import pytest

import harness

CHANNELS = ("/tarvex-data/win7", "/tarvex-data/release")


@pytest.fixture
def display():
    with harness.Display() as display:
        yield display


@pytest.fixture
def prefix(request, display):
    with harness.Prefix(request.node.name[:40], display=display) as prefix:
        yield prefix


@pytest.fixture
def workdir(prefix):
    path = os.path.join(prefix.drive_c, "install")
    os.makedirs(path)
    return path


@pytest.fixture
def server():
    with harness.start_test_server(port=harness.download_port()) as server:
        yield server


def serve(server, route):
    """The same route under both channel paths."""
    for path in CHANNELS:
        server.set_route(path, route)
