"""Helpers for the tests that run the bundled terminal itself: a private
copy of the installed terminal64.exe (its own pipe and data folder), its
settings, and its process, found by its unique executable path."""

import os
import shutil
import signal
import time

import peer
import pytest

import zelkor5
from zelkor5.constants import (
    ORDER_FILLING_FOK,
    ORDER_FILLING_IOC,
    ORDER_FILLING_RETURN,
    SYMBOL_FILLING_FOK,
    SYMBOL_FILLING_IOC,
)

# _alive: true while any thread of a process lives (a zombie leader may
# still have threads holding the listening socket).
from zelkor5.terminal import _alive as _running
from zelkor5.terminal import status, terminal_path

DEFAULT_SETTINGS = "IdleExit=3\n"


class Installation:
    """A terminal installed in `root`/inst. Portable installations keep
    their settings beside the executable; the others under `roaming`."""

    def __init__(self, root, roaming, portable=True, settings=DEFAULT_SETTINGS):
        self.dir = os.path.join(str(root), "inst")
        os.makedirs(os.path.join(self.dir, "config"), exist_ok=True)
        self.exe = os.path.join(self.dir, "terminal64.exe")
        shutil.copy2(terminal_path(), self.exe)
        self.roaming = str(roaming)
        self.portable = portable
        self._signalled = set()
        self.configure(settings)

    def data_dir(self):
        """Where the terminal keeps config/ and bases/."""
        if self.portable:
            return self.dir
        folder_id = peer.path_digest(self.dir)[:16].hex().upper()
        return os.path.join(self.roaming, "Brundel", "Terminal", folder_id)

    def configure(self, settings):
        config = os.path.join(self.data_dir(), "config")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "terminal.ini"), "w") as f:
            f.write("[Terminal]\n" + settings)

    def initialize(self, **kwargs):
        ok = zelkor5.initialize(self.exe, portable=self.portable, **kwargs)
        return ok

    def pids(self):
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/exe" % entry) == self.exe:
                        found.append(int(entry))
                except OSError:
                    pass
        return found

    def signal(self, sig):
        for pid in self.pids():
            self._signalled.add(pid)
            os.kill(pid, sig)

    def wait_gone(self, timeout=10.0):
        """Waits until no process runs the executable. A signalled process
        counts until it has been reaped: its descriptors (the listening
        socket among them) outlive its memory, which /proc/PID/exe shows."""
        end = time.monotonic() + timeout
        while self.pids() or any(_running(p) for p in self._signalled):
            if time.monotonic() > end:
                return False
            time.sleep(0.02)
        return True

    def stop(self):
        zelkor5.shutdown()
        self.signal(signal.SIGTERM)
        self.wait_gone()


@pytest.fixture
def roaming(tmp_path, monkeypatch):
    path = tmp_path / "roaming"
    path.mkdir()
    monkeypatch.setenv("XDG_DATA_HOME", str(path))
    return path


@pytest.fixture
def install(tmp_path, roaming):
    """install(settings=..., portable=True) -> a started-on-demand terminal."""
    made = []

    def _install(settings=DEFAULT_SETTINGS, portable=True, name="a"):
        inst = Installation(tmp_path / name, roaming, portable=portable, settings=settings)
        made.append(inst)
        return inst

    yield _install
    for inst in made:
        inst.stop()


def filling_for(symbol):
    """The filling policy a careful script sends: one the symbol's
    filling_mode allows (fill-or-kill, the default, while not connected)."""
    info = zelkor5.symbol_info(symbol)
    if info is None or info.filling_mode & SYMBOL_FILLING_FOK:
        return ORDER_FILLING_FOK
    return ORDER_FILLING_IOC if info.filling_mode & SYMBOL_FILLING_IOC else ORDER_FILLING_RETURN


def import_done(inst):
    """Waits until the import the terminal runs beside its serving is done,
    and returns its progress."""
    end = time.monotonic() + 120
    while time.monotonic() < end:
        progress = status(inst.exe).importing
        if progress is not None and progress.done:
            return progress
        time.sleep(0.02)
    raise AssertionError("the import did not end: %r" % (status(inst.exe),))


def ok(value):
    """Asserts a module call succeeded, showing last_error when not."""
    assert value is not None and value is not False, zelkor5.last_error()
    return value
