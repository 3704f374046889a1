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
timeframe)`` moves it past the close of the next bar of the symbol (passing
over minutes without prices) to the first price after it, the next bar's
open, and returns that bar. Neither moves it past the replay's end
(``state().end``): there next_bar returns None. Both talk to the
terminal through a connection of their own beside the module's (the
terminal's replay commands), so calls of the module never move the clock.
``state()`` tells how any terminal's clock runs and where it stands.

The terminal is the one ``path`` names (its terminal64.exe), else the one
``zelkor5.terminal.replay()`` started last, else the one the module is
connected to, else the bundled one. Failures raise ReplayError; an
argument of the wrong type or out of range raises TypeError or ValueError.
Whatever is refused leaves the clock where it was.
"""

import datetime
import math
import numbers
import os
import socket
import struct
import threading
from typing import Any, Dict, NamedTuple, Optional, Tuple

from . import _core
from ._installation import InstallationError, places, terminal_path
from .constants import Timeframe

__all__ = ["advance", "next_bar", "now", "state", "ReplayState", "ReplayError", "MODES"]

# The terminal's replay commands (ipc/commands.h; checked by the tests).
REPLAY_STATE = 9001
REPLAY_ADVANCE = 9002
REPLAY_NEXT_BAR = 9003

# Clock modes as REPLAY_STATE numbers them.
MODES = ("live", "timed", "per-request", "stepped")

# Statuses the terminal answers with (ipc/status.h).
_CALL_FAILED, _INVALID_PARAMS, _NOT_FOUND, _UNSUPPORTED = -1, -2, -4, -7
# The clock command's argument: milliseconds in a signed 64-bit number.
_MAX_MS = 2**63 - 1
# The timeframes next_bar takes.
_TIMEFRAMES = frozenset(int(t) for t in Timeframe)
_UTC = datetime.timezone.utc


class ReplayError(RuntimeError):
    """The replay's clock could not be asked or moved."""


class ReplayState(NamedTuple):
    """How a running terminal's clock runs: `mode` is "live", "timed"
    (`speed` market seconds per real second), "per-request" (`step_ms` per
    answered request) or "stepped" (held until the script moves it);
    `start` is where the replay began (None live), `now` where the
    clock stands and `end` where it stops (None live; UTC datetimes);
    `ended` whether it stands there."""

    mode: str
    now: datetime.datetime
    start: Optional[datetime.datetime]
    speed: int
    step_ms: int
    end: Optional[datetime.datetime] = None

    @property
    def ended(self) -> bool:
        return self.end is not None and self.now >= self.end


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
        self._buffer = bytearray(4096)

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
                # Blocking from here on, the limit kept by the kernel: a
                # socket timeout would poll before every send and receive.
                sock.settimeout(None)
                limit = struct.pack("@ll", 30, 0)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, limit)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)
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

    def _reply(self, sock: socket.socket) -> Tuple[int, bytes]:
        """(command echoed, body) of the next reply; the header and a small
        body usually come in one receive."""
        view = memoryview(self._buffer)
        got = 0
        while got < 8:
            n = sock.recv_into(view[got:])
            if n == 0:
                raise ConnectionResetError("the terminal closed the connection")
            got += n
        length, echo = struct.unpack_from("<II", self._buffer)
        total = 4 + length
        if length < 4 or got > total:
            return echo, b""  # out of form: the caller ends the connection
        if total <= len(self._buffer):
            while got < total:
                n = sock.recv_into(view[got:total])
                if n == 0:
                    raise ConnectionResetError("the terminal closed the connection")
                got += n
            return echo, bytes(view[8:total])
        return echo, bytes(view[8:got]) + self._read(sock, total - got)

    def call(self, command: int, args: bytes = b"") -> Tuple[int, bytes]:
        """(status, payload) of one exchange."""
        frame = struct.pack("<II", 4 + len(args), command) + args
        with self._lock:
            for attempt in (0, 1):
                sock = self._open()
                try:
                    sock.sendall(frame)
                    echo, body = self._reply(sock)
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
        # A path a channel is known by was resolved when the channel was
        # made: resolving takes a system call per folder, on every step.
        return path if path in _channels else os.path.realpath(path)
    # A terminal removed since (a finished run's private one) is no longer meant.
    if _started is not None and os.path.exists(_started):
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


def _refused(status: int, channel: _Channel, arguments: str) -> ReplayError:
    if status == _UNSUPPORTED:
        return ReplayError(
            "the terminal at %s does not run a stepped replay (start it with "
            "stepped=True or --stepped)" % channel.exe
        )
    if status == _INVALID_PARAMS:
        return ReplayError("the terminal at %s refused %s as invalid" % (channel.exe, arguments))
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
    if status < 0:
        raise ReplayError("the terminal at %s does not tell its clock (%d)" % (channel.exe, status))
    if len(payload) != 44:
        raise ReplayError("the terminal at %s answered the clock's state out of form" % channel.exe)
    mode, now_ms, from_ms, speed, step_ms, end_ms = struct.unpack("<Iqqqqq", payload)
    name = MODES[mode] if mode < len(MODES) else "unknown"
    live = name == "live"
    return ReplayState(
        name,
        _time(now_ms),
        None if live else _time(from_ms),
        speed,
        step_ms,
        None if live or end_ms == 0 else _time(end_ms),
    )


def now(path: Optional[str] = None) -> float:
    """Where the terminal's clock stands, in seconds since 1970 (UTC)."""
    return state(path).now.timestamp()


def _milliseconds(seconds: Any) -> int:
    """`seconds` as the whole milliseconds the clock command takes;
    TypeError or ValueError, naming the argument, for anything else."""
    if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
        raise TypeError(
            "seconds must be a number of seconds (int or float), not %s" % type(seconds).__name__
        )
    if isinstance(seconds, numbers.Integral):
        ms = int(seconds) * 1000
    else:
        value = float(seconds)
        if not math.isfinite(value):
            raise ValueError("seconds must be a finite number, not %r" % value)
        ms = round(value * 1000) if value >= 0 else -1
    if ms < 0:
        raise ValueError("a replay's clock moves forward only: seconds must be >= 0")
    if ms > _MAX_MS:
        raise ValueError("seconds=%r is too far: the clock moves by less than 2**63 ms" % seconds)
    return ms


def advance(seconds: float, path: Optional[str] = None) -> float:
    """Moves a stepped replay's clock on by `seconds` (>= 0, whole
    milliseconds) and returns where it stands, in seconds since 1970. The
    clock stops at the replay's end: past it, the return is the end, short
    of the time asked, and state().ended is True.
    Raises TypeError or ValueError for a `seconds` that is not a number
    (a bool or a str included) or out of range, before anything is sent."""
    ms = _milliseconds(seconds)
    channel = _channel(path)
    status, payload = channel.call(REPLAY_ADVANCE, struct.pack("<q", ms))
    if status < 0:
        raise _refused(status, channel, "seconds=%r" % (seconds,))
    if len(payload) != 8:
        raise ReplayError("the terminal at %s answered advance out of form" % channel.exe)
    moved: int = struct.unpack("<q", payload)[0]
    return moved / 1000.0


def next_bar(symbol: str, timeframe: int, path: Optional[str] = None) -> Any:
    """Moves a stepped replay's clock past the close of the next bar of
    `symbol` and `timeframe` (the bar in progress, or the first one after a
    gap) to the first price after it (the next bar's open, after a weekend
    too) and returns the bar, as one row of copy_rates_range (fields time,
    open, high, low, close, tick_volume, spread, real_volume); None at the
    replay's end or the end of the symbol's data (nothing for 40 days), the
    clock unmoved. A bar the end cuts is returned as it stands there, the
    clock at the end. Needs the module connected to the terminal, which
    returns the bar.

    Raises TypeError or ValueError for a `symbol` that is not a str or a
    `timeframe` that is not a TIMEFRAME_* value, and ReplayError when the
    module is not connected to that terminal: all before the clock moves."""
    if not isinstance(symbol, str):
        raise TypeError("symbol must be a str, not %s" % type(symbol).__name__)
    if isinstance(timeframe, bool) or not isinstance(timeframe, numbers.Integral):
        raise TypeError(
            "timeframe must be a TIMEFRAME_* value (an int), not %s" % type(timeframe).__name__
        )
    if int(timeframe) not in _TIMEFRAMES:
        raise ValueError("timeframe=%r is not a TIMEFRAME_* value" % (timeframe,))
    frame = int(timeframe)
    channel = _channel(path)
    # The bar is read through the module: make sure it can be before the
    # clock moves.
    info = _core.terminal_info()
    if info is None:
        raise ReplayError(
            "next_bar reads the bar through the module, which is not connected to "
            "the terminal at %s (%s); call zelkor5.initialize first"
            % (channel.exe, _reason(_core.last_error()))
        )
    connected = os.path.join(info.path, "terminal64.exe")
    if connected != channel.exe:
        # Resolving a path takes a system call per folder: only when the
        # path the terminal tells is not already the channel's own.
        connected = os.path.realpath(connected)
    if connected != channel.exe:
        raise ReplayError(
            "next_bar reads the bar through the module, which is connected to the "
            "terminal at %s, not to the one at %s" % (connected, channel.exe)
        )
    name = _units(symbol)
    args = struct.pack("<I", len(name) // 2) + name + struct.pack("<i", frame)
    status, payload = channel.call(REPLAY_NEXT_BAR, args)
    if status == _CALL_FAILED:
        return None
    if status == _NOT_FOUND:
        raise ReplayError("unknown symbol %s" % symbol)
    if status < 0:
        raise _refused(status, channel, "symbol=%r, timeframe=%r" % (symbol, timeframe))
    if len(payload) != 16:
        raise ReplayError("the terminal at %s answered next_bar out of form" % channel.exe)
    _, opened = struct.unpack("<qq", payload)
    bars = _core.copy_rates_range(symbol, frame, opened, opened)
    if bars is None:
        reason = _reason(_core.last_error())
    elif len(bars) == 0:
        reason = "the terminal has no such bar"
    else:
        return bars[0]
    raise ReplayError(
        "the clock moved to the close of the bar of %s at %s, but the bar could not be read: %s"
        % (symbol, _time(opened * 1000).isoformat(), reason)
    )


def _reason(outcome: Tuple[int, str]) -> str:
    """A failure's (code, message) as a reason: "message (code)", never
    the success code a failure cannot have."""
    code, message = outcome
    if code == 1:
        return "the module gave no reason"
    return "%s (%d)" % (message, code)
