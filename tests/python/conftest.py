"""Shared fixtures: a private socket folder and a connected test terminal."""

import shutil
import tempfile

import peer
import pytest

import zelkor5


@pytest.fixture(autouse=True)
def rundir(monkeypatch):
    """A private, short socket folder for every test (AF_UNIX paths are
    limited to 107 bytes), and no connection left behind."""
    path = tempfile.mkdtemp(prefix="zk5t", dir="/tmp")
    monkeypatch.setenv("XDG_RUNTIME_DIR", path)
    yield path
    zelkor5.shutdown()
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def exe_path(tmp_path):
    """Where the test terminal pretends to be installed."""
    path = tmp_path / "terminal64.exe"
    path.write_bytes(b"")
    return str(path)


@pytest.fixture
def connect(exe_path):
    """connect(script, build=4000, default=None, **initialize_kwargs) starts a
    test terminal that greets with `build`, reports ready and then serves
    `script`, and initialises the module against it. Returns the Peer; its
    first two requests are the handshake (see after_handshake)."""
    started = []

    def _connect(script=(), build=peer.DEFAULT_BUILD, default=None, **init_kwargs):
        p = peer.Peer(exe_path, list(peer.handshake(build)) + list(script), default=default)
        p.start()
        started.append(p)
        assert zelkor5.initialize(exe_path, **init_kwargs), zelkor5.last_error()
        return p

    yield _connect
    zelkor5.shutdown()
    for p in started:
        p.stop()


def after_handshake(p):
    """The requests a test terminal received after HELLO and TERMINAL_STATE."""
    return p.requests()[2:]
