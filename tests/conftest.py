import pytest

from loopback import Loopback
from native_build import build_compiled, load_interpreted


@pytest.fixture
def loopback():
    """A real HTTP server on 127.0.0.1 with scripted replies; see ``tests/loopback.py``."""
    server = Loopback()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture(scope="session")
def compiled(tmp_path_factory):
    """tests/native_tools.pyx compiled by Cython, built once for the session."""
    return build_compiled(tmp_path_factory.mktemp("native_tools"))


@pytest.fixture(scope="session")
def interpreted():
    """The same source loaded as plain Python: the compiled functions' twins."""
    return load_interpreted()
