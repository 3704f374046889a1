"""A Windows terminal under Wine, driven by this Linux module: the Windows
build of the bundled terminal placed in a private Wine prefix, reached
through the relay (zk5relay.exe) the package installs.

Every test shares one prefix and one wineserver (starting them is slow):
$ZK5_TEST_WINEPREFIX when the test script made one, else one made here.
The Windows build comes from scripts/build_windows.sh (build/win64)."""

import hashlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import uuid
from datetime import datetime, timezone

import peer
import pytest
from test_terminal_helpers import DEFAULT_SETTINGS, install, ok, roaming  # noqa: F401  fixtures
from test_threads_and_interrupts import INTERRUPT_BOUND, interrupt_after

import zelkor5
from zelkor5.constants import COPY_TICKS_ALL, ORDER_TYPE_BUY, TIMEFRAME_H1, TRADE_ACTION_DEAL

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINDOWS_TERMINAL = os.environ.get(
    "ZK5_WINDOWS_TERMINAL", os.path.join(ROOT, "build", "win64", "terminal64.exe")
)
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
SETTINGS = DEFAULT_SETTINGS + "[Market]\nSeed=7\n"

MONDAY = int(datetime(2024, 3, 4, tzinfo=timezone.utc).timestamp())
DAY = 86400


def _wine(prefix, *args, timeout=180, check=True):
    env = dict(os.environ, WINEPREFIX=prefix, **WINE_ENV)
    subprocess.run(
        args,
        env=env,
        timeout=timeout,
        check=check,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )


@pytest.fixture(scope="session")
def wine_prefix():
    assert shutil.which("wine"), "wine is not installed: run scripts/setup.sh"
    assert os.path.isfile(WINDOWS_TERMINAL), "no Windows build: run scripts/build_windows.sh"
    given = os.environ.get("ZK5_TEST_WINEPREFIX")
    prefix = given or tempfile.mkdtemp(prefix="zk5-wine.")
    if not given:
        _wine(prefix, "wineboot", "-i")
        # The registry files are written when the server ends: wait for them,
        # so that the prefix is whole on disk, before keeping one alive.
        _wine(prefix, "wineserver", "-w")
    # One server for the whole session, so that no test pays its start
    # (status 2: one runs already).
    _wine(prefix, "wineserver", "-p", check=False)
    yield prefix
    if not given:
        _wine(prefix, "wineserver", "-k", timeout=30)
        shutil.rmtree(prefix, ignore_errors=True)


def _processes(needle):
    """(pid, parent pid) of the processes whose command line holds `needle`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().decode("utf-8", "replace")
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if needle in cmdline and fields[0] not in ("Z", "X"):
            found.append((int(entry), int(fields[1])))
    return found


def _our_relays():
    return [pid for pid, parent in _processes("zk5relay.exe") if parent == os.getpid()]


class WindowsInstallation:
    """The Windows build of the terminal, portable, in C:\\<name> of the prefix."""

    def __init__(self, prefix, settings=SETTINGS, portable=True, program=WINDOWS_TERMINAL):
        self.name = "zk5t-" + uuid.uuid4().hex[:8]
        self.dir = os.path.join(prefix, "drive_c", self.name)
        self.windows_dir = "C:\\" + self.name
        self.portable = portable
        os.makedirs(os.path.join(self.dir, "config"))
        self.exe = os.path.join(self.dir, "terminal64.exe")
        shutil.copy2(program, self.exe)
        with open(os.path.join(self.dir, "config", "terminal.ini"), "w") as f:
            f.write("[Terminal]\n" + settings)

    def initialize(self, **kwargs):
        return zelkor5.initialize(self.exe, portable=self.portable, **kwargs)

    def pids(self):
        return [pid for pid, _ in _processes(self.exe)]

    def kill(self):
        for pid in self.pids():
            os.kill(pid, signal.SIGKILL)
        end = time.monotonic() + 10
        while self.pids() and time.monotonic() < end:
            time.sleep(0.02)
        assert not self.pids()


@pytest.fixture
def windows_install(wine_prefix, monkeypatch):
    monkeypatch.setenv("WINEPREFIX", wine_prefix)
    made = []

    def _make(**kwargs):
        inst = WindowsInstallation(wine_prefix, **kwargs)
        made.append(inst)
        return inst

    yield _make
    zelkor5.shutdown()
    for inst in made:
        inst.kill()


def _answers():
    """What the terminal answers to a fixed set of requests, in forms that
    compare: records as dicts, arrays as bytes."""
    zelkor5.symbol_select("BTCUSD", True)
    account = ok(zelkor5.account_info())._asdict()
    static = (
        "name",
        "path",
        "description",
        "digits",
        "point",
        "trade_contract_size",
        "volume_min",
        "volume_max",
        "volume_step",
        "currency_base",
        "currency_profit",
    )
    symbols = [{k: s._asdict()[k] for k in static} for s in ok(zelkor5.symbols_get())]
    bars = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_H1, MONDAY, MONDAY + 5 * DAY))
    ticks = ok(zelkor5.copy_ticks_range("EURUSD", MONDAY, MONDAY + 2 * DAY, COPY_TICKS_ALL))
    result = ok(
        zelkor5.order_send(
            {
                "action": TRADE_ACTION_DEAL,
                "symbol": "BTCUSD",
                "volume": 0.5,
                "type": ORDER_TYPE_BUY,
                "magic": 17,
                "comment": "under wine",
            }
        )
    )
    positions = ok(zelkor5.positions_get(symbol="BTCUSD"))
    assert len(positions) == 1 and positions[0].price_open == result.price
    # Prices and times of a trade depend on the moment it was made.
    order = {k: getattr(result, k) for k in ("retcode", "deal", "order", "volume", "comment")}
    position = {
        k: getattr(positions[0], k)
        for k in ("ticket", "type", "magic", "volume", "symbol", "comment")
    }
    return {
        "account": account,
        "symbols": symbols,
        "bars": bars.tobytes(),
        "ticks": ticks.tobytes(),
        "order": order,
        "position": position,
    }


def test_windows_terminal_under_wine_answers_as_the_linux_build(windows_install, install):
    win = windows_install()
    assert not win.pids()
    assert win.initialize(), zelkor5.last_error()
    assert win.pids(), "the terminal was not started under Wine"
    assert len(_our_relays()) == 1
    assert ok(zelkor5.terminal_info()).path == win.windows_dir
    under_wine = _answers()
    assert zelkor5.shutdown()
    assert _our_relays() == []

    linux = install(settings=SETTINGS)
    assert linux.initialize(), zelkor5.last_error()
    native = _answers()
    assert len(under_wine["ticks"]) > 4 * 1024 * 1024
    for key in native:
        assert under_wine[key] == native[key], key


def test_killed_terminal_fails_the_call_and_initialize_recovers(windows_install):
    win = windows_install()
    assert win.initialize(), zelkor5.last_error()
    ok(zelkor5.account_info())
    win.kill()
    # Writing the request (-10001) or reading its reply (-10002) finds the
    # pipe broken, as with the Linux build, and closes it.
    assert zelkor5.account_info() is None
    assert zelkor5.last_error()[0] in (-10001, -10002)
    assert zelkor5.account_info() is None
    assert zelkor5.last_error()[0] == -10004
    assert _our_relays() == []
    assert win.initialize(), zelkor5.last_error()
    assert ok(zelkor5.account_info()).login == 10000001


def test_search_finds_the_terminal_in_the_prefix_roaming_folder(windows_install, roaming):
    # Started once, the terminal registers its data folder in the prefix's
    # roaming folder; the search of initialize() finds it there.
    win = windows_install(portable=False)
    assert win.initialize(), zelkor5.last_error()
    assert zelkor5.shutdown()
    assert zelkor5.initialize(), zelkor5.last_error()
    assert ok(zelkor5.terminal_info()).path == win.windows_dir


def _fails_at_once(path, *words):
    start = time.monotonic()
    assert zelkor5.initialize(path) is False
    code, message = zelkor5.last_error()
    assert code == -10003, message
    for word in words:
        assert word in message
    # A certain failure does not wait out the start-up poll (60 s).
    assert time.monotonic() - start < 30


def test_certain_failures_are_told_at_once(windows_install, tmp_path, monkeypatch, wine_prefix):
    # A program that ends at once (the relay, which wants arguments).
    relay = os.path.join(os.path.dirname(zelkor5.__file__), "bin", "zk5relay.exe")
    quitter = windows_install(program=relay)
    _fails_at_once(quitter.exe, "ended before serving its pipe [exit code 1]")

    # A Windows terminal outside any prefix, with no prefix to run it in.
    outside = tmp_path / "outside"
    outside.mkdir()
    exe = str(outside / "terminal64.exe")
    shutil.copy2(WINDOWS_TERMINAL, exe)
    monkeypatch.setenv("WINEPREFIX", str(tmp_path / "no-such-prefix"))
    _fails_at_once(exe, "No Wine prefix at '%s'" % (tmp_path / "no-such-prefix"))

    # No wine at all.
    monkeypatch.setenv("WINEPREFIX", wine_prefix)
    monkeypatch.setenv("PATH", str(tmp_path))
    _fails_at_once(exe, "Wine is needed", "no wine program is in PATH")


def test_interrupt_ends_the_wait_for_a_silent_relay(windows_install, tmp_path, monkeypatch):
    # A wine that starts nothing and never answers: the relay it stands for
    # is the one the client waits on.
    pidfile = tmp_path / "relay.pid"
    fake = tmp_path / "wine"
    fake.write_text("#!/bin/sh\necho $$ > '%s'\nexec sleep 600\n" % pidfile)
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", "%s:%s" % (tmp_path, os.environ["PATH"]))
    win = windows_install()
    with pytest.raises(KeyboardInterrupt):
        with interrupt_after(1.0) as timing:
            win.initialize()
    assert timing["latency"] < INTERRUPT_BOUND
    assert zelkor5.last_error() == (-10003, "IPC initialize failed, Interrupted")
    # The relay is killed and reaped, not left behind.
    assert not os.path.exists("/proc/%s" % pidfile.read_text().strip())
    assert zelkor5.version() == (0, 0, "")


def _relay(prefix, pipe_name, wait_ms):
    """A relay started as the module starts it: its socket and process."""
    ours, theirs = socket.socketpair()
    relay = os.path.join(os.path.dirname(zelkor5.__file__), "bin", "zk5relay.exe")
    env = dict(os.environ, WINEPREFIX=prefix, **WINE_ENV)
    proc = subprocess.Popen(
        ["wine", relay, pipe_name, str(wait_ms)],
        stdin=theirs,
        stdout=theirs,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    theirs.close()
    ours.settimeout(60)
    return ours, proc


def _recv_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        assert chunk, "end of file after %d of %d bytes" % (len(data), n)
        data += chunk
    return data


def test_relay_waits_for_the_server_copies_any_split_and_ends_with_either_side(windows_install):
    win = windows_install()
    digest = (
        hashlib.sha256(
            ("\\\\?\\" + win.windows_dir + "\\terminal64.exe").lower().encode("utf-16-le")
        )
        .hexdigest()
        .upper()
    )
    name = "\\\\.\\pipe\\ZK5.Terminal." + digest
    prefix = os.environ["WINEPREFIX"]

    # Nobody serves the name: told at once (2, no such file).
    sock, proc = _relay(prefix, name, 0)
    assert _recv_exactly(sock, 4) == struct.pack("<I", 2)
    assert proc.wait(timeout=30) == 1

    # Started before the terminal, the relay waits for the name to appear.
    sock, proc = _relay(prefix, name, 30000)
    assert win.initialize(), zelkor5.last_error()  # starts the terminal
    assert _recv_exactly(sock, 4) == struct.pack("<I", 0)
    hello = peer.request_bytes(peer.CMD["HELLO"], peer.u32(3) + peer.wstr("Python"))
    for b in hello:  # a request in one-byte pieces
        sock.sendall(bytes([b]))
    length = struct.unpack("<I", _recv_exactly(sock, 4))[0]
    assert struct.unpack("<Ii", _recv_exactly(sock, length)[:8]) == (peer.CMD["HELLO"], 1)
    sock.close()  # the client leaves: so does the relay
    assert proc.wait(timeout=30) == 0

    # The terminal goes: the client reads end of file and the relay leaves.
    sock, proc = _relay(prefix, name, 0)
    assert _recv_exactly(sock, 4) == struct.pack("<I", 0)
    zelkor5.shutdown()
    win.kill()
    assert sock.recv(1) == b""
    assert proc.wait(timeout=30) == 0
