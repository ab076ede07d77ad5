import pytest

from loopback import Loopback


@pytest.fixture
def loopback():
    """A real HTTP server on 127.0.0.1 with scripted replies; see ``tests/loopback.py``."""
    server = Loopback()
    try:
        yield server
    finally:
        server.close()
