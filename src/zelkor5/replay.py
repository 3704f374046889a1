"""The clock of a replay, under the script's control.

A stepped replay (``zelkor5 terminal replay --from ... --stepped``, or
``zelkor5.terminal.replay(start, stepped=True)``) holds the market still:
quotes, bars, ticks and trading all stand at one moment, whatever and
however often the script asks, until the script moves the clock:

    import zelkor5 as zk
    from zelkor5 import replay
    from zelkor5.terminal import replay as start_replay

    start_replay("2024-03-04 01:00", stepped=True)
    while (bar := replay.next_bar("EURUSD", zk.TIMEFRAME_M1)) is not None:
        ...  # bar has just closed: decide, trade, ask anything

``advance(seconds)`` moves the clock on by that much; ``next_bar(symbol,
timeframe)`` moves it to the close of the next bar of the symbol (passing
over minutes without prices) and returns that bar. Both talk to the
terminal through a connection of their own beside the module's (the
terminal's replay commands), so calls of the module never move the clock.
``state()`` tells how any terminal's clock runs and where it stands.

The terminal is the one ``path`` names (its terminal64.exe), else the one
``zelkor5.terminal.replay()`` started last, else the one the module is
connected to, else the bundled one. Failures raise ReplayError.
"""

import datetime
import os
import socket
import struct
import threading
from typing import Any, Dict, NamedTuple, Optional, Tuple

from . import _core
from ._installation import InstallationError, places, terminal_path

__all__ = ["advance", "next_bar", "now", "state", "ReplayState", "ReplayError", "MODES"]

# The terminal's replay commands (ipc/commands.h; checked by the tests).
REPLAY_STATE = 9001
REPLAY_ADVANCE = 9002
REPLAY_NEXT_BAR = 9003

# Clock modes as REPLAY_STATE numbers them.
MODES = ("live", "timed", "per-request", "stepped")

# Statuses the terminal answers with (ipc/status.h).
_CALL_FAILED, _INVALID_PARAMS, _NOT_FOUND, _UNSUPPORTED = -1, -2, -4, -7
_UTC = datetime.timezone.utc


class ReplayError(RuntimeError):
    """The replay's clock could not be asked or moved."""


class ReplayState(NamedTuple):
    """How a running terminal's clock runs: `mode` is "live", "timed"
    (`speed` market seconds per real second), "per-request" (`step_ms` per
    answered request) or "stepped" (held until the script moves it);
    `start` is where the replay began (None live) and `now` where the
    clock stands (UTC datetimes)."""

    mode: str
    now: datetime.datetime
    start: Optional[datetime.datetime]
    speed: int
    step_ms: int


def _units(text: str) -> bytes:
    return text.encode("utf-16-le", "surrogatepass")


def socket_path(exe: str) -> str:
    """The Unix-domain socket the terminal at `exe` listens on in this
    environment, as the terminal tells it."""
    try:
        return places(os.path.realpath(exe)).socket
    except InstallationError as e:
        raise ReplayError("no terminal runs at %s: %s" % (exe, e)) from None


class _Channel:
    """One connection to a terminal's socket, opened on first use and again
    after the terminal closed it."""

    def __init__(self, exe: str) -> None:
        self.exe = exe
        self._sock: Optional[socket.socket] = None
        self._lock = threading.Lock()

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _open(self) -> socket.socket:
        if self._sock is None:
            where = socket_path(self.exe)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.settimeout(30.0)
            try:
                sock.connect(where)
            except OSError as e:
                sock.close()
                raise ReplayError("no terminal runs at %s: %s" % (self.exe, e)) from None
            self._sock = sock
        return self._sock

    def _read(self, sock: socket.socket, n: int) -> bytes:
        data = b""
        while len(data) < n:
            part = sock.recv(n - len(data))
            if not part:
                raise ConnectionResetError("the terminal closed the connection")
            data += part
        return data

    def call(self, command: int, args: bytes = b"") -> Tuple[int, bytes]:
        """(status, payload) of one exchange."""
        frame = struct.pack("<II", 4 + len(args), command) + args
        with self._lock:
            for attempt in (0, 1):
                sock = self._open()
                try:
                    sock.sendall(frame)
                    length, echo = struct.unpack("<II", self._read(sock, 8))
                    body = self._read(sock, length - 4)
                    break
                except (OSError, struct.error) as e:
                    self.close()
                    # A connection the terminal closed for idleness: once more.
                    if attempt:
                        raise ReplayError(
                            "the terminal at %s did not answer: %s" % (self.exe, e)
                        ) from None
            if echo != command or len(body) < 4:
                self.close()
                raise ReplayError("the terminal at %s answered out of turn" % self.exe)
        (status,) = struct.unpack_from("<i", body)
        return status, body[4:]


_channels: Dict[str, _Channel] = {}
_started: Optional[str] = None  # the terminal replay() started last


def _started_by(exe: str) -> None:
    """Called by zelkor5.terminal.replay(): the terminal scripts mean."""
    global _started
    _started = exe


def _exe(path: Optional[str]) -> str:
    if path is not None:
        return os.path.realpath(path)
    if _started is not None:
        return _started
    info = _core.terminal_info()
    if info is not None and info.path:
        return os.path.realpath(os.path.join(info.path, "terminal64.exe"))
    return os.path.realpath(terminal_path())


def _channel(path: Optional[str]) -> _Channel:
    exe = _exe(path)
    channel = _channels.get(exe)
    if channel is None:
        channel = _channels[exe] = _Channel(exe)
    return channel


def _time(ms: int) -> datetime.datetime:
    return datetime.datetime(1970, 1, 1, tzinfo=_UTC) + datetime.timedelta(milliseconds=ms)


def _refused(status: int, channel: _Channel) -> ReplayError:
    if status == _UNSUPPORTED:
        return ReplayError(
            "the terminal at %s does not run a stepped replay (start it with "
            "stepped=True or --stepped)" % channel.exe
        )
    if status == _INVALID_PARAMS:
        return ReplayError("invalid arguments")
    return ReplayError("the terminal at %s refused the call (%d)" % (channel.exe, status))


def state(path: Optional[str] = None) -> ReplayState:
    """How the running terminal's clock runs and where it stands."""
    return _state(_channel(path))


def _state_once(exe: str) -> ReplayState:
    """state() over a connection closed at once (for status())."""
    channel = _Channel(exe)
    try:
        return _state(channel)
    finally:
        channel.close()


def _state(channel: _Channel) -> ReplayState:
    status, payload = channel.call(REPLAY_STATE)
    if status < 0 or len(payload) != 36:
        raise ReplayError("the terminal at %s does not tell its clock (%d)" % (channel.exe, status))
    mode, now_ms, from_ms, speed, step_ms = struct.unpack("<Iqqqq", payload)
    name = MODES[mode] if mode < len(MODES) else "unknown"
    return ReplayState(
        name, _time(now_ms), None if name == "live" else _time(from_ms), speed, step_ms
    )


def now(path: Optional[str] = None) -> float:
    """Where the terminal's clock stands, in seconds since 1970 (UTC)."""
    return state(path).now.timestamp()


def advance(seconds: float, path: Optional[str] = None) -> float:
    """Moves a stepped replay's clock on by `seconds` (>= 0, whole
    milliseconds) and returns where it stands, in seconds since 1970."""
    ms = round(float(seconds) * 1000)
    if ms < 0:
        raise ValueError("a replay's clock moves forward only: seconds must be >= 0")
    channel = _channel(path)
    status, payload = channel.call(REPLAY_ADVANCE, struct.pack("<q", ms))
    if status < 0:
        raise _refused(status, channel)
    moved: int = struct.unpack("<q", payload)[0]
    return moved / 1000.0


def next_bar(symbol: str, timeframe: int, path: Optional[str] = None) -> Any:
    """Moves a stepped replay's clock to the close of the next bar of
    `symbol` and `timeframe` (the bar in progress, or the first one after a
    gap) and returns it, as one row of copy_rates_range (fields time, open,
    high, low, close, tick_volume, spread, real_volume); None at the end of
    the symbol's data (nothing for 40 days), the clock unmoved. Needs the
    module connected to the terminal, which returns the bar."""
    channel = _channel(path)
    name = _units(str(symbol))
    args = struct.pack("<I", len(name) // 2) + name + struct.pack("<i", int(timeframe))
    status, payload = channel.call(REPLAY_NEXT_BAR, args)
    if status == _CALL_FAILED:
        return None
    if status == _NOT_FOUND:
        raise ReplayError("unknown symbol %s" % symbol)
    if status < 0:
        raise _refused(status, channel)
    _, opened = struct.unpack("<qq", payload)
    bars = _core.copy_rates_range(symbol, int(timeframe), opened, opened)
    if bars is None or len(bars) == 0:
        raise ReplayError(
            "the bar of %s at %s could not be read: %s"
            % (symbol, _time(opened * 1000).isoformat(), _core.last_error())
        )
    return bars[0]
