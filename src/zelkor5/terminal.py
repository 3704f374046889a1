"""The simulated terminal installed with the package.

``terminal_path()`` is what ``initialize(path=...)`` needs to start it:

    import zelkor5
    from zelkor5.terminal import terminal_path, DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER

    zelkor5.initialize(terminal_path())
    zelkor5.login(DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER)

A started terminal keeps running after the Python process ends, until it
has had no client for its idle time (10 minutes by default).
``start()``, ``stop()``, ``status()``, ``reset_account()`` and
``data_path()`` manage it (the ``zelkor5 terminal`` command does the same);
each takes ``path`` for another installation than the bundled one. They
act on the terminal that serves this environment (its socket folder,
``XDG_RUNTIME_DIR``, and its data folder, under ``XDG_DATA_HOME``), found
through its socket and its data folder's lock: never on another
environment's or another user's. They work on Linux, where the terminal
runs.

``import_history()`` stores a CSV file of price history in an
installation, ``configure_replay()`` sets (or clears) the replay clock in
its settings, and ``replay()`` does that and starts the terminal;
``status()`` tells whether it replays, where its clock stands, and how far
the import of history it runs beside its serving is.

Its behaviour (symbols, timeframes, return codes, files and settings) is
described in docs/terminal.md.
"""

import datetime
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import zoneinfo
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _core
from . import _history_source as hs
from . import replay as _replay
from ._installation import InstallationError, last_said, places, run, serving, terminal_path

__all__ = [
    "terminal_path",
    "start",
    "stop",
    "status",
    "reset_account",
    "data_path",
    "is_portable",
    "import_history",
    "configure_replay",
    "replay",
    "Status",
    "ImportProgress",
    "Replay",
    "TerminalError",
    "HistoryImportError",
    "DEMO_LOGIN",
    "DEMO_PASSWORD",
    "DEMO_SERVER",
]

# The demo account every fresh installation of the terminal creates.
DEMO_LOGIN = 10000001
DEMO_PASSWORD = "demo"
DEMO_SERVER = "Brundel-Demo"


class Replay(NamedTuple):
    """An installation's replay: `mode` "timed" (`speed` market seconds per
    real second), "per-request" (the clock moves `step_ms` per answered
    request) or "stepped" (held until the script moves it, see
    zelkor5.replay); `start` where it begins (UTC); `now` where the running
    terminal's clock stands (None while it is stopped); `end` where the
    clock stops (while it is stopped: the end set, None for the default,
    the end of the imported history or else the moment it starts)."""

    mode: str
    start: datetime.datetime
    speed: int
    step_ms: int
    now: Optional[datetime.datetime]
    end: Optional[datetime.datetime] = None


class ImportProgress(NamedTuple):
    """The import of the files found in ``import/`` at the start of a
    running terminal, which runs beside its serving: `percent` of their
    bytes read, the file it reads (`file_number` of `files`), how many were
    `imported`, `rejected` (moved to import/failed/) and `postponed` (good,
    but not stored for want of room: tried again at the next start) so far,
    and whether it is `done`."""

    percent: float
    file: str
    file_number: int
    files: int
    imported: int
    rejected: int
    postponed: int
    done: bool


class Status(NamedTuple):
    """Whether the terminal at `path` runs (its process id, or None), its
    data folder (None before its first start), and its replay (None: the
    live market), as the running terminal tells, else as its settings
    will start it; `importing`, the import it runs beside its serving
    (None when it found nothing to import)."""

    running: bool
    pid: Optional[int]
    path: str
    data_path: Optional[str]
    replay: Optional[Replay] = None
    importing: Optional[ImportProgress] = None


def _import_progress(data: Optional[str]) -> Optional[ImportProgress]:
    """What <data>/import-progress.txt says, which the running terminal
    rewrites as its import goes on."""
    if data is None:
        return None
    try:
        with open(
            os.path.join(data, "import-progress.txt"), encoding="utf-8", errors="replace"
        ) as f:
            keys = dict(line.rstrip("\n").partition("=")[::2] for line in f)
        number = {
            k: int(keys[k])
            for k in (
                "file_number",
                "files",
                "bytes_done",
                "bytes_total",
                "imported",
                "rejected",
                "postponed",
            )
        }
    except (OSError, KeyError, ValueError):
        return None
    total = number["bytes_total"]
    done = keys.get("state") == "done"
    read = min(number["bytes_done"], total)
    percent = 100.0 if done else 100.0 * read / total if total else 0.0
    return ImportProgress(
        percent,
        keys.get("file", ""),
        number["file_number"],
        number["files"],
        number["imported"],
        number["rejected"],
        number["postponed"],
        done,
    )


class TerminalError(RuntimeError):
    """The terminal could not be started, stopped, reset or given history."""


class HistoryImportError(TerminalError):
    """A price history file was rejected (``reason`` names the line), or the
    terminal could not import it."""

    def __init__(self, message: str, reason: Optional[str] = None) -> None:
        super().__init__(message)
        self.reason = reason


def _exe(path: Optional[str]) -> str:
    exe = os.path.realpath(path if path is not None else terminal_path())
    if not os.path.isfile(exe):
        raise TerminalError("no terminal at " + exe)
    return exe


def _alive(pid: int) -> bool:
    """True while any thread of the process lives. A terminal's leader
    shows as a zombie while its other threads, and the listening socket
    they share, are still going away."""
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return False
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                if f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X"):
                    return True
        except (OSError, IndexError):
            pass
    return False


def _serving(exe: str, portable: Optional[bool] = None) -> Optional[int]:
    """The process id of the terminal that serves the installation at `exe`
    in this environment (its socket folder and data folder), or None."""
    try:
        pid = serving(exe, is_portable(exe) if portable is None else portable)
    except InstallationError as e:
        raise TerminalError(str(e)) from None
    return pid if pid is not None and _alive(pid) else None


def _roaming() -> str:
    base = os.environ.get("XDG_DATA_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "Brundel", "Terminal")


def _registration(exe: str) -> Tuple[Optional[str], bool]:
    """The installation's folder under the roaming folder (which names the
    installation in its origin.txt), and whether it is portable; (None,
    False) before the terminal's first start."""
    install = os.path.dirname(exe)
    root = _roaming()
    try:
        entries = sorted(os.listdir(root))
    except OSError:
        return None, False
    for entry in entries:
        folder = os.path.join(root, entry)
        try:
            with open(os.path.join(folder, "origin.txt"), "rb") as f:
                origin = f.read()
        except OSError:
            continue
        if origin[:2] != b"\xff\xfe":
            continue
        named = origin[2:].decode("utf-16-le", "replace").rstrip("\0\r\n")
        if os.path.realpath(named) == install:
            return folder, os.path.exists(os.path.join(folder, "portable.txt"))
    return None, False


def data_path(path: Optional[str] = None) -> Optional[str]:
    """The data folder (config/, bases/) of the terminal at `path`, the
    bundled one by default; None before the terminal's first start."""
    exe = _exe(path)
    folder, portable = _registration(exe)
    if folder is None:
        return None
    return os.path.dirname(exe) if portable else folder


def _configured_replay(exe: str) -> Optional[Replay]:
    """The replay the settings of the installation at `exe` start, if any
    (what the terminal reads at start: a From it can parse)."""
    folder = data_path(exe)
    if folder is None:
        return None
    try:
        with open(os.path.join(folder, "config", "terminal.ini"), "r", encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    keys, inside = {}, False
    for line in lines:
        head = line.strip()
        if head.startswith("[") and head.endswith("]"):
            inside = head[1:-1].strip().lower() == "replay"
        elif inside and "=" in head and head[0] not in ";#":
            key, value = head.split("=", 1)
            keys[key.strip().lower()] = value.strip()
    start = _ini_time(keys.get("from", ""))
    if start is None:
        return None

    def number(key: str, default: int) -> int:
        try:
            return int(keys.get(key, default))
        except ValueError:
            return default

    speed, step = number("speed", 1), number("step", 0)
    stepped = keys.get("stepped", "0").lower() in ("1", "true", "yes", "on")
    mode = "stepped" if stepped else "per-request" if step > 0 else "timed"
    return Replay(mode, start, speed, step, None, _ini_time(keys.get("to", "")))


def _ini_time(text: str) -> Optional[datetime.datetime]:
    """A UTC time of the [Replay] section; None when there is none."""
    try:
        when = datetime.datetime.fromisoformat(text.replace("Z", "+00:00").replace("z", "+00:00"))
    except ValueError:
        return None
    if when.tzinfo is None:
        return when.replace(tzinfo=datetime.timezone.utc)
    return when.astimezone(datetime.timezone.utc)


def status(path: Optional[str] = None) -> Status:
    """A Status of the terminal at `path`, the bundled one by default."""
    exe = _exe(path)
    pid = _serving(exe)
    playing = _configured_replay(exe)
    if pid is not None:
        try:
            clock = _replay._state_once(exe)
        except _replay.ReplayError:
            pass  # not answering yet, or a terminal without replay commands
        else:
            playing = (
                None
                if clock.mode == "live" or clock.start is None
                else Replay(
                    clock.mode, clock.start, clock.speed, clock.step_ms, clock.now, clock.end
                )
            )
    data = data_path(exe)
    importing = _import_progress(data) if pid is not None else None
    return Status(pid is not None, pid, exe, data, playing, importing)


def is_portable(path: Optional[str] = None) -> bool:
    """Whether the installation at `path` was last started as portable (its
    data beside the executable); False before its first start."""
    return _registration(_exe(path))[1]


def start(path: Optional[str] = None, *, portable: Optional[bool] = None) -> int:
    """Starts the terminal at `path` (the bundled one by default) unless it
    runs, and returns its process id once it serves its pipe. `portable`
    defaults to how the installation was started last.

    It starts the terminal the way initialize() does, through the module's
    connection, and leaves the module disconnected: call it before
    initialize(), not while connected to another terminal.
    """
    exe = _exe(path)
    if portable is None:
        portable = is_portable(exe)
    running = _serving(exe, portable)
    if running is not None:
        return running
    if not _core.initialize(exe, portable=portable):
        code, message = _core.last_error()
        raise TerminalError("cannot start %s: %s (%d)" % (exe, message, code))
    _core.shutdown()
    running = _serving(exe, portable)
    if running is None:
        raise TerminalError("the terminal at %s started and exited at once" % exe)
    return running


def _wait_gone(pid: int, deadline: float) -> bool:
    """Waits until `pid` has ended or `deadline` (monotonic) passes. The
    terminal is not this process's child: wait on a process descriptor
    where the system has them, then for its last threads."""
    fd = None
    try:
        fd = os.pidfd_open(pid)
    except (AttributeError, OSError):
        pass
    if fd is not None:
        try:
            poller = select.poll()
            poller.register(fd, select.POLLIN)
            poller.poll(max(deadline - time.monotonic(), 0) * 1000)
        finally:
            os.close(fd)
    while _alive(pid):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True


def stop(path: Optional[str] = None, *, timeout: float = 10.0) -> bool:
    """Stops the terminal at `path` (the bundled one by default) and waits
    until it has exited. It saves its state on the way out; one that has
    not exited after `timeout` seconds is killed (every deal it confirmed
    is already on disk). Returns whether a terminal was running.
    """
    exe = _exe(path)
    pid = _serving(exe)
    if pid is None:
        return False
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    if not _wait_gone(pid, time.monotonic() + timeout):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if not _wait_gone(pid, time.monotonic() + 5.0):
            raise TerminalError("the terminal at %s (pid %d) does not exit" % (exe, pid))
    return True


def reset_account(login: int, path: Optional[str] = None) -> None:
    """Puts account `login` of the terminal at `path` (the bundled one by
    default) back to its first state: its deposit as the only deal, no
    positions or orders. Stops the terminal first; the next initialize()
    starts it again. Raises TerminalError for an unknown login."""
    if not isinstance(login, int) or login <= 0:
        raise TerminalError("the login must be a positive number, not %r" % (login,))
    exe = _exe(path)
    stop(exe)
    portable = is_portable(exe)
    done = run(exe, portable, ["/reset-account:%d" % login], timeout=60)
    if done.returncode != 0:
        raise TerminalError(
            last_said(done) or "the terminal failed with status %d" % done.returncode
        )


def _data_folder(exe: str, portable: bool) -> str:
    """The data folder the terminal at `exe` uses (or will use at its first
    start): beside it when portable, else its folder under the roaming
    folder. The terminal names that folder after its lower-cased path, by
    its own rule: it is asked rather than imitated."""
    try:
        return places(exe, portable).data
    except InstallationError as e:
        raise TerminalError(str(e)) from None


def _write_settings(exe: str, portable: bool, ini: str, text: str, check: bool) -> None:
    """Replaces the settings file `ini` by `text`, whole or not at all; with
    `check`, only when the terminal at `exe` would start with them (it
    reads them as it reads its own, and tells why not). A temporary file
    left by a crash is removed by the terminal's next start."""
    tmp = "%s.tmp%d" % (ini, os.getpid())
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        if check:
            try:
                done = run(exe, portable, ["/check-settings:" + tmp], timeout=300)
            except (OSError, subprocess.TimeoutExpired) as e:
                raise TerminalError(
                    "cannot ask the terminal at %s to check them: %s" % (exe, e)
                ) from None
            if done.returncode != 0:
                reason = last_said(done) or "exit status %d" % done.returncode
                if reason.startswith("terminal64.exe: "):
                    reason = reason[len("terminal64.exe: ") :]
                raise TerminalError("the terminal would not start with this replay: " + reason)
        os.replace(tmp, ini)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


# The timeframes bars are imported in: names, and the codes of the
# module's TIMEFRAME_ constants.
_TIMEFRAMES = (
    ["M%d" % m for m in (1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30)]
    + ["H%d" % h for h in (1, 2, 3, 4, 6, 8, 12)]
    + ["D1"]
)
_TIMEFRAME_CODES = dict(
    [(m, "M%d" % m) for m in (1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30)]
    + [(0x4000 | h, "H%d" % h) for h in (1, 2, 3, 4, 6, 8, 12)]
    + [(0x4018, "D1")]
)
_KIND_NAME = re.compile(r"\.(ticks|%s)\.csv$" % "|".join(_TIMEFRAMES), re.IGNORECASE)


def _kind_of(csv_path: str, timeframe: Union[None, str, int]) -> Optional[str]:
    """ "ticks" or a timeframe's name from `timeframe`, else from the file
    name; None when the terminal is to tell from the header and the bars'
    spacing."""
    if timeframe is not None:
        if isinstance(timeframe, int) and not isinstance(timeframe, bool):
            name = _TIMEFRAME_CODES.get(timeframe)
        else:
            name = str(timeframe).upper()
            name = "ticks" if name == "TICKS" else name if name in _TIMEFRAMES else None
        if name is None:
            raise ValueError(
                "timeframe must be one of %s or 'ticks': %r" % (", ".join(_TIMEFRAMES), timeframe)
            )
        return name
    found = _KIND_NAME.search(os.path.basename(csv_path))
    if found is None:
        return None
    kind = found.group(1)
    return "ticks" if kind.lower() == "ticks" else kind.upper()


_OFFSET = re.compile(r"^(?:UTC|GMT)?\s*([+-])(\d{1,2})(?::?(\d{2}))?$", re.IGNORECASE)


def _zone_steps(timezone: str) -> str:
    """The terminal's form of a time zone: the offset (seconds east of
    UTC) in force from each change on, "OFFSET;FROM_MS:OFFSET;...", for
    1970 to 2100; `timezone` is an IANA name or a fixed offset (+02:00)."""
    fixed = _OFFSET.match(timezone.strip())
    if fixed:
        sign = 1 if fixed.group(1) == "+" else -1
        return str(sign * (int(fixed.group(2)) * 3600 + int(fixed.group(3) or 0) * 60))
    try:
        zone = zoneinfo.ZoneInfo(timezone)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError) as e:
        raise ValueError(
            "unknown time zone %r: an IANA name like Europe/Berlin, or an offset like +02:00"
            % timezone
        ) from e

    def offset(t: int) -> int:
        off = datetime.datetime.fromtimestamp(t, zone).utcoffset()
        return int(off.total_seconds()) if off is not None else 0

    # Weekly samples, and the second of each change between two of them.
    now = offset(0)
    steps = [str(now)]
    t, end, week = 0, 4102444800, 7 * 86400
    while t < end:
        later = offset(t + week)
        if later != now:
            lo, hi = t, t + week
            while hi - lo > 1:
                mid = (lo + hi) // 2
                if offset(mid) == now:
                    lo = mid
                else:
                    hi = mid
            now = offset(hi)
            steps.append("%d:%d" % (hi * 1000, now))
        t += week
    return ";".join(steps)


def _import_options(
    columns: Optional[Dict[str, str]], timezone: Optional[str], date_order: Optional[str]
) -> List[str]:
    """The terminal's /import- options for them."""
    args = []
    if columns:
        for name in columns.values():
            if "," in name or not name.strip():
                raise ValueError(
                    "a column name for columns= may not be empty or hold a comma: %r" % name
                )
        args.append("/import-columns:" + ",".join("%s=%s" % kv for kv in columns.items()))
    if timezone is not None:
        args.append("/import-timezone:" + _zone_steps(timezone))
    if date_order is not None:
        if date_order.lower() not in ("dmy", "mdy"):
            raise ValueError("date_order must be 'dmy' or 'mdy': %r" % date_order)
        args.append("/import-dates:" + date_order.lower())
    return args


# What a symbol's name may be: what a client can send (29 UTF-16 units),
# one file name anywhere (no separators, no "..", nothing a file system
# refuses). The terminal checks the same.
_MAX_SYMBOL_UNITS = 29
_NOT_IN_SYMBOLS = set('/\\:,*!?"<>|')


def _check_symbol(symbol: str) -> None:
    units = len(symbol.encode("utf-16-le", "surrogatepass")) // 2
    if (
        not symbol
        or units > _MAX_SYMBOL_UNITS
        or ".." in symbol
        or symbol == "."
        or any(c in _NOT_IN_SYMBOLS or ord(c) < 0x20 or ord(c) == 0x7F for c in symbol)
    ):
        raise HistoryImportError(
            '%r is not a symbol name: 1 to %d characters, not ".", without "..", control '
            "characters or any of %s"
            % (symbol, _MAX_SYMBOL_UNITS, "".join(sorted(_NOT_IN_SYMBOLS)))
        )


def _run_import(
    exe: str, portable: bool, files: Sequence[str] = (), options: Sequence[str] = ()
) -> Tuple[int, str]:
    """The import's exit status and what it wrote to standard error (bytes
    that are no UTF-8 escaped)."""
    done = run(exe, portable, ["/import"] + list(options) + ["/import:" + f for f in files])
    return done.returncode, done.stderr.decode("utf-8", "backslashreplace")


def _running_error(exe: str) -> HistoryImportError:
    return HistoryImportError(
        "the terminal at %s is running: stop it first, it imports when it starts" % exe
    )


def _converted(
    source: Any, symbol: Optional[str], exe: str, portable: bool, kind: Optional[str]
) -> Tuple[str, str, str]:
    """Writes a DataFrame or a Parquet file as a CSV file in the import
    folder of the terminal at `exe`, a chunk at a time: under a temporary
    name (which a terminal starting meanwhile neither reads nor keeps),
    then under its import name: of `kind` when given, else ticks by their
    columns or bars of the timeframe their spacing says. Returns (that
    file, its symbol, its name)."""
    described = source if isinstance(source, str) else "the DataFrame"
    try:
        if isinstance(source, str):
            layout, chunks = hs.open_parquet(source)
            if symbol is None:
                symbol = os.path.basename(source).split(".")[0]
        else:
            if symbol is None:
                raise HistoryImportError("importing a DataFrame needs symbol=")
            layout = hs.frame_layout(source)
            chunks = hs.frame_chunks(source)
    except hs.SourceError as e:
        raise HistoryImportError("%s cannot be imported: %s" % (described, e), str(e)) from None
    _check_symbol(symbol)
    folder = os.path.join(_data_folder(exe, portable), "import")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    if os.path.islink(folder) or not os.path.isdir(folder):
        raise HistoryImportError("%s is not a folder inside the data folder" % folder)
    if kind is None and layout.kind == "ticks":
        kind = "ticks"
    name = "%s.%s.csv" % (symbol, kind) if kind is not None else "%s.csv" % symbol
    final = os.path.join(folder, name)
    temp = "%s.tmp%d" % (final, os.getpid())
    try:
        with open(temp, "w", newline="") as out:
            out.write(layout.header())
            for chunk, first_row in chunks:
                hs.write_chunk(out, chunk, layout, first_row)
        os.replace(temp, final)
    except hs.SourceError as e:
        raise HistoryImportError("%s cannot be imported: %s" % (described, e), str(e)) from None
    except OSError as e:
        raise HistoryImportError("cannot write %s: %s" % (temp, e)) from None
    finally:
        if os.path.exists(temp):
            os.remove(temp)
    return final, symbol, name


def import_history(
    source: Any,
    symbol: Optional[str] = None,
    path: Optional[str] = None,
    *,
    portable: Optional[bool] = None,
    timeframe: Union[None, str, int] = None,
    columns: Optional[Dict[str, str]] = None,
    timezone: Optional[str] = None,
    date_order: Optional[str] = None,
) -> int:
    """Imports price history into the terminal at `path` (the bundled one by
    default) and returns the number of rows stored.

    `source` is a CSV file, a Parquet file (``.parquet``, as ``zelkor5
    export`` writes them; needs pyarrow) or a pandas DataFrame.

    A CSV file's header names the columns, in any order and letter case: bars
    ``time,open,high,low,close`` (optionally ``volume``/``tick_volume``,
    ``spread``, ``real_volume``), ticks ``time_msc,bid,ask`` (optionally
    ``last,volume,flags``), with the usual other names and layouts (see
    docs/terminal.md); `columns` names the others as {role: column}, e.g.
    ``{"time": "Gmt time", "volume": "Volume"}``. Times without a zone
    are UTC, or local to `timezone` (an IANA name like "Europe/Berlin", or
    "+02:00"); `date_order` "dmy" or "mdy" reads dates like 03/04/2024.
    A DataFrame or a Parquet file may give the time as a DatetimeIndex or a
    column ``time``, ``time_msc``, ``datetime``, ``timestamp`` or ``date``
    (naive times are UTC), and the volume as ``volume``; `columns`,
    `timezone` and `date_order` are for CSV files.
    Bars are of `timeframe` ("H1", "D1", a TIMEFRAME_ constant; "ticks" for
    ticks), else of the one the file name says (``EURUSD.H1.csv``), else of
    the one their times are spaced by. The symbol is `symbol`, or the file
    name's first part; a DataFrame needs `symbol`. A name the terminal does
    not know becomes a custom symbol. `portable` defaults to how the
    installation was started last. The terminal imports while it is not
    running; raises HistoryImportError when it runs, when it rejects the
    data (with the line, or the row of a DataFrame or Parquet file, and the
    reason) or the columns, or when the symbol is no symbol name (at most 29
    characters, no path separators, not "." or ".."); ValueError for a
    timeframe, time zone or date order it cannot take.
    """
    if isinstance(source, os.PathLike):
        source = os.fspath(source)
    if not isinstance(source, str) and not (hasattr(source, "columns") and hasattr(source, "iloc")):
        raise HistoryImportError(
            "import_history takes a file's path or a pandas DataFrame, not %s"
            % type(source).__name__
        )
    tabular = not isinstance(source, str) or source.lower().endswith(".parquet")
    if tabular and (columns or timezone is not None or date_order is not None):
        raise ValueError(
            "columns=, timezone= and date_order= are for CSV files: name a DataFrame's or "
            "a Parquet file's columns as time, open, ... and give its times as UTC or aware"
        )
    kind = _kind_of("", timeframe) if tabular else _kind_of(source, timeframe)
    options = _import_options(columns, timezone, date_order)
    exe = _exe(path)
    if portable is None:
        portable = is_portable(exe)
    if tabular and _serving(exe, portable) is not None:
        raise _running_error(exe)
    if tabular:
        named, symbol, named_as = _converted(source, symbol, exe, portable, kind)
        described = source if isinstance(source, str) else "the DataFrame"
        code, said = _run_import(exe, portable)
        if code == 1 and os.path.exists(named):
            os.remove(named)  # not left for the next start
    else:
        described = source
        if symbol is None:
            symbol = os.path.basename(source).split(".")[0]
        _check_symbol(symbol)
        named_as = "%s.%s.csv" % (symbol, kind) if kind is not None else "%s.csv" % symbol
        if kind is None and _KIND_NAME.search(named_as):
            raise HistoryImportError(
                "the symbol %r ends like a timeframe: say the file's timeframe with "
                "timeframe=" % symbol
            )
        with tempfile.TemporaryDirectory(prefix="zk5import") as tmp:
            named = os.path.join(tmp, named_as)
            shutil.copyfile(source, named)
            code, said = _run_import(exe, portable, [named], options)
    if code == 1:
        raise _running_error(exe)
    name = re.escape(named_as)
    rejected = re.search("import of " + name + " rejected: (.*)", said)
    if rejected:
        reason = rejected.group(1)
        if tabular:
            # Lines of the CSV written: the header, then a row each.
            reason = re.sub(r"^line (\d+):", lambda m: "row %d:" % (int(m.group(1)) - 2), reason)
        raise HistoryImportError("%s rejected: %s" % (described, reason), reason)
    imported = re.search("imported " + name + r": (\d+) rows", said)
    if code not in (0, 3) or not imported:
        raise HistoryImportError("the terminal could not import %s: %s" % (described, said.strip()))
    return int(imported.group(1))


When = Union[str, int, float, datetime.datetime]


def _when(start: When) -> str:
    if isinstance(start, str):
        return start
    if isinstance(start, (int, float)):
        start = datetime.datetime.fromtimestamp(start, datetime.timezone.utc)
    if start.tzinfo is not None:
        start = start.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return start.strftime("%Y-%m-%d %H:%M:%S")


def configure_replay(
    start: Optional[When],
    speed: int = 1,
    step: int = 0,
    path: Optional[str] = None,
    *,
    portable: Optional[bool] = None,
    stepped: bool = False,
    to: Optional[When] = None,
) -> None:
    """Sets the replay clock of the terminal at `path` (the bundled one by
    default) for its next start: the market begins at `start` (a UTC
    datetime, seconds since 1970 or "YYYY-MM-DD HH:MM") and runs `speed`
    market seconds per real second; `step` > 0 instead moves it `step`
    milliseconds per request; `stepped` holds it still until the script
    moves it (zelkor5.replay.advance, next_bar), so that a strategy sees
    every bar however many requests it makes. The clock stops at `to` (as
    `start`, after it and not after now), by default at the end of the
    imported history that goes on after `start` (else where the replay
    starts). `start` None clears it (the market runs on the wall clock
    again at the next start). Other settings in config/terminal.ini are
    kept. A replay stays configured, start after start, until cleared. A
    replay the terminal would refuse at its start (a `start` outside its
    price history, in the future; a `to` after now) raises TerminalError
    with the terminal's reason, and the settings stay as they were.
    """
    if start is not None:
        if sum((speed != 1, step != 0, bool(stepped))) > 1:
            raise ValueError("speed, step and stepped exclude each other")
        if not 1 <= int(speed) <= 1000000:
            raise ValueError("speed must be from 1 to 1000000")
        if int(step) < 0:
            raise ValueError("step must be 0 or more milliseconds")
        if to is not None:
            begin, end = _ini_time(_when(start)), _ini_time(_when(to))
            if begin is not None and end is not None and end <= begin:
                raise ValueError("to must be after start")
    exe = _exe(path)
    if portable is None:
        portable = is_portable(exe)
    config = os.path.join(_data_folder(exe, portable), "config")
    os.makedirs(config, exist_ok=True)
    ini = os.path.join(config, "terminal.ini")
    try:
        with open(ini, "r", encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        lines = []
    kept, inside = [], False
    for line in lines:
        head = line.strip()
        if head.startswith("[") and head.endswith("]"):
            inside = head[1:-1].strip().lower() == "replay"
        if not inside:
            kept.append(line)
    if start is not None:
        kept += [
            "[Replay]",
            "From=" + _when(start),
            "Speed=%d" % int(speed),
            "Step=%d" % int(step),
            "Stepped=%d" % bool(stepped),
            "To=" + ("" if to is None else _when(to)),
        ]
    _write_settings(exe, portable, ini, "\n".join(kept) + "\n", start is not None)


def replay(
    start: When,
    speed: int = 1,
    step: int = 0,
    path: Optional[str] = None,
    *,
    portable: Optional[bool] = None,
    stepped: bool = False,
    to: Optional[When] = None,
    **initialize_kwargs: Any,
) -> bool:
    """Starts the terminal at `path` (the bundled one by default) as a
    replay from `start` to `to` (see configure_replay) and connects the
    module to it with initialize(); returns initialize's result. Every
    account starts afresh in the replay. Raises TerminalError when the
    terminal already runs (a replay begins when the terminal starts). With
    `stepped`, the script moves the clock with zelkor5.replay.advance() and
    next_bar().
    """
    exe = _exe(path)
    if portable is None:
        portable = is_portable(exe)
    if status(exe).running:
        raise TerminalError(
            "the terminal at %s is running: stop it first, a replay " "begins when it starts" % exe
        )
    configure_replay(start, speed, step, exe, portable=portable, stepped=stepped, to=to)
    _replay._started_by(exe)
    return bool(_core.initialize(exe, portable=portable, **initialize_kwargs))
