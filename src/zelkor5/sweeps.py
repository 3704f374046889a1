"""Backtests and sweeps: one strategy, one run or a grid of runs, each in
a private replay.

    import zelkor5 as zk
    from zelkor5 import stream

    def strategy(params):
        for bar in stream.bars("EURUSD", zk.TIMEFRAME_M1):  # every minute of the span
            ...                                           # the ordinary API
        return {"bars": ...}                              # optional: more columns

    report = zk.backtest(strategy, {"fast": 5, "slow": 50},
                         history="EURUSD.M1.csv", span=("2024-03-04", "2024-03-08"))
    frame = zk.sweep(strategy, {"fast": [5, 10], "slow": [50, 100]},
                     history="EURUSD.M1.csv", span=("2024-03-04", "2024-03-08"))
    print(frame.sort_values("net_profit"))

The strategy is the code that trades live: ``zelkor5.stream.bars`` waits
for each closed bar live, and in a run moves the replay's clock to it
(``bars`` here is another name for it).

Each run is a private copy of the bundled terminal in a temporary folder
of its own (data folder, socket folder, settings and accounts), which
imports the history, starts a stepped replay at the span's start and is
connected to the module when the strategy is called with its parameter
set, in a process of its own that the executor's worker forks and
watches. When the strategy returns, the account's report (a backtest's
result; a sweep's row: its statistics and what the strategy returned)
is sent back, and the terminal, the process and the folder are removed.
A run that raises, exits, dies or takes longer than `timeout` is a row
with its ``error``; an interrupt ends the runs under way within seconds.

Runs go to the machine's cores (a process pool) by default, or to
`executor`: a ``concurrent.futures`` executor or a Dask
``distributed.Client``. The history travels with each task (the files'
bytes), so workers need no shared folder; with ``shared_history=True``
only the paths travel and every worker reads them. Needs pandas (and tqdm
for the progress bar). Linux.
"""

import contextlib
import ctypes
import datetime
import fcntl
import glob
import io
import itertools
import math
import os
import pickle
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import traceback
from typing import (
    Any,
    Callable,
    Dict,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
)

from . import _core, reporting, terminal
from . import replay as _clock
from . import stream as _stream

__all__ = [
    "sweep",
    "backtest",
    "bars",
    "span",
    "parameter_sets",
    "RunSpan",
    "SweepError",
    "RunError",
    "load_strategy",
]

When = Union[str, int, float, datetime.datetime]
Grid = Union[Mapping[str, Sequence[Any]], Sequence[Mapping[str, Any]]]
Strategy = Callable[[Dict[str, Any]], Any]

_UTC = datetime.timezone.utc
# Seconds a private terminal stays without a client before it exits by
# itself, should its run's process die before stopping it.
_IDLE_EXIT = 5


class SweepError(RuntimeError):
    """A sweep that cannot start (a bad grid, span or history)."""


class RunSpan(NamedTuple):
    """The span of the run in progress, in seconds since 1970 (UTC)."""

    start: int
    end: int


def _seconds(value: When) -> int:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, str):
        text = value.strip().replace("T", " ")
        if text.endswith("Z"):
            text = text[:-1]
        try:
            value = datetime.datetime.fromisoformat(text)
        except ValueError:
            raise SweepError(
                "bad time %r: YYYY-MM-DD[ HH:MM[:SS]] or seconds since 1970" % value
            ) from None
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=_UTC)
        return int(value.timestamp())
    raise SweepError("bad time %r" % (value,))


def parameter_sets(grid: Grid) -> List[Dict[str, Any]]:
    """The parameter sets of `grid`: a dict of lists gives every
    combination (the first key varying slowest), a list of dicts is taken
    as it is. An empty grid, an empty list or a parameter without values
    is refused (SweepError), naming it."""
    if isinstance(grid, Mapping):
        if not grid:
            raise SweepError("empty grid: the dict has no parameters")
        keys = list(grid)
        values = []
        for k in keys:
            v = grid[k]
            if isinstance(v, (str, bytes)) or not isinstance(v, Sequence):
                v = [v]
            if not len(v):
                raise SweepError("empty grid: parameter %r has no values" % (k,))
            values.append(list(v))
        return [dict(zip(keys, combo)) for combo in itertools.product(*values)]
    sets = [dict(p) for p in grid]
    if not sets:
        raise SweepError("empty grid: the list has no parameter sets")
    return sets


# The run of this process (a run's own process), for span().
_current: Optional[RunSpan] = None

bars = _stream.bars
"""The bar loop of a run: the same as ``zelkor5.stream.bars`` (the name is
kept for strategies written for it)."""


def span() -> RunSpan:
    """The span of the run in progress (for the strategy)."""
    if _current is None:
        raise SweepError("no sweep run in progress")
    return _current


class _Task(NamedTuple):
    number: int
    params: Dict[str, Any]
    strategy: Strategy
    # (file name, its bytes or None when read from the path, path)
    history: Tuple[Tuple[str, Optional[bytes], str], ...]
    start: int
    end: int
    # Seconds the run may take, set-up included (None: no limit).
    timeout: Optional[float]
    # The folder of the sweep, where runs on its machine make theirs (and
    # find "cancel" when the sweep was interrupted); None for a backtest.
    home: Optional[str]
    # A backtest's run: the whole report (and its page, when `html`).
    whole_report: bool = False
    html: Optional[str] = None


def _stats_of_report() -> Dict[str, float]:
    result = reporting.report()
    return {k: float(v) for k, v in result.statistics.items()}


def _error(e: BaseException) -> str:
    return "%s: %s" % (type(e).__name__, e)


# The descriptor whose lock claims the run's processor, held while it runs.
_claim: Optional[int] = None


def _current_processor() -> Optional[int]:
    """The processor this process last ran on (field 39 of its stat)."""
    try:
        with open("/proc/self/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[36])
    except (OSError, ValueError, IndexError):
        return None


def _share_a_processor(task: _Task) -> None:
    """Puts the run's process on one processor, and with it the terminal it
    starts and every thread it makes: a step of a run is a request and its
    reply between the two, and waking a process that sleeps on another
    processor costs more than the step's work (a third of the bars per
    second on a 2-core virtual machine). The runs of a sweep on this
    machine each claim a processor of their own while there are free ones
    (a lock on a file per processor in the sweep's folder); elsewhere the
    run stays on the processor it runs on. Only speed depends on it: a
    failure leaves the process as it was."""
    global _claim
    try:
        allowed = sorted(os.sched_getaffinity(0))
        if len(allowed) < 2:
            return
        chosen = _current_processor()
        if task.home is not None and os.path.isdir(task.home):
            chosen = allowed[task.number % len(allowed)]
            for k in range(len(allowed)):
                cpu = allowed[(task.number + k) % len(allowed)]
                name = os.path.join(task.home, "processor.%d" % cpu)
                fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except OSError:
                    os.close(fd)
                    continue
                _claim, chosen = fd, cpu
                break
        if chosen is not None and chosen in allowed:
            os.sched_setaffinity(0, {chosen})
    except OSError:
        pass


def _execute(task: _Task, work: str) -> Dict[str, Any]:
    """One run, in its own process and folder `work`: its row. Never
    raises for the run's own failures, the strategy's SystemExit and
    KeyboardInterrupt included: they are its `error`."""
    global _current

    row: Dict[str, Any] = {"error": None}
    began = time.monotonic()
    exe = os.path.join(work, "inst", "terminal64.exe")
    process: Optional["subprocess.Popen[bytes]"] = None
    try:
        # Its own socket folder (short: AF_UNIX paths are limited), its own
        # roaming folder, where installations register, and its own
        # temporary folder: all go with the run's folder.
        for name in ("r", "d", "tmp"):
            os.makedirs(os.path.join(work, name), mode=0o700)
        os.environ.update(
            {
                "XDG_RUNTIME_DIR": os.path.join(work, "r"),
                "XDG_DATA_HOME": os.path.join(work, "d"),
                "TMPDIR": os.path.join(work, "tmp"),
            }
        )
        tempfile.tempdir = os.path.join(work, "tmp")
        os.makedirs(os.path.join(work, "inst", "config"))
        shutil.copy2(terminal.terminal_path(), exe)
        with open(os.path.join(work, "inst", "config", "terminal.ini"), "w") as f:
            # Thrown away afterwards: its accounts need no flush to disk.
            f.write("[Terminal]\nIdleExit=%d\n[Store]\nDurable=0\n" % _IDLE_EXIT)
        _install_history(task, work, exe)
        _share_a_processor(task)
        _core.shutdown()  # the connection this process was forked with
        # The replay ends at the span's end: there the terminal finds no
        # next bar and the streams end.
        terminal.configure_replay(task.start, stepped=True, path=exe, portable=True, to=task.end)
        process = _launch(exe, work)
        _clock._started_by(os.path.realpath(exe))
        if not _core.initialize(exe, portable=True):
            code, message = _core.last_error()
            raise SweepError("the replay did not start: %s (%d)" % (message, code))
        row["_setup"] = time.monotonic() - began
        _current = RunSpan(task.start, task.end)
        returned = task.strategy(dict(task.params))
        if task.whole_report:
            row["report"] = reporting.report(html=task.html)
        else:
            row.update(_stats_of_report())
        if isinstance(returned, Mapping):
            row.update({str(k): v for k, v in returned.items()})
        elif returned is not None:
            row["result"] = returned
    except BaseException as e:  # the run's failure is its row
        row["error"] = _error(e)
        row["traceback"] = traceback.format_exc()
    finally:
        _core.shutdown()
        if process is not None:
            # Its folder is thrown away: no need to let it save.
            process.kill()
            process.wait()
    return row


def _run(task: _Task) -> Dict[str, Any]:
    """One run in a process of its own, watched by this one: its row.
    Never raises for the run's failures (its process dying or hanging
    included), but for an interrupt of this process, after ending the
    run."""
    began = time.monotonic()
    work = _run_folder(task)
    if work is None:
        return {"error": "Cancelled: the sweep was interrupted", "_times": {}}
    try:
        row = _supervise(task, work, began)
    finally:
        _remove(work)
    times = {"run": time.monotonic() - began}
    if "_setup" in row:
        times["setup"] = row.pop("_setup")
    row["_times"] = dict(sorted(times.items(), key=lambda kv: kv[0] != "setup"))
    return row


def _run_folder(task: _Task) -> Optional[str]:
    """A new folder for the run: in the sweep's folder when it is on this
    machine (None when it says the sweep was interrupted), else its own
    under /tmp (short: the terminal's socket path is limited)."""
    if task.home is not None and os.path.isdir(task.home):
        if os.path.exists(os.path.join(task.home, "cancel")):
            return None
        for k in itertools.count():
            path = os.path.join(task.home, "%d" % task.number + (".%d" % k if k else ""))
            try:
                os.mkdir(path, 0o700)
                return path
            except FileExistsError:
                continue
    return tempfile.mkdtemp(prefix="zk5sw", dir="/tmp")


def _remove(folder: str) -> None:
    """Ends what still runs from `folder` (a private terminal), then
    removes it."""
    _end_processes(folder)
    shutil.rmtree(folder, ignore_errors=True)


def _processes_from(folder: str) -> List[int]:
    """The processes whose program is in `folder` (zombies aside)."""
    inside = os.path.realpath(folder) + os.sep
    found = []
    try:
        pids = [p for p in os.listdir("/proc") if p.isdigit()]
    except OSError:
        return []
    for pid in pids:
        try:
            if os.readlink("/proc/%s/exe" % pid).startswith(inside):
                found.append(int(pid))
        except OSError:
            pass
    return found


def _end_processes(folder: str, grace: float = 5.0) -> None:
    deadline = time.monotonic() + grace
    while True:
        found = _processes_from(folder)
        if not found or time.monotonic() > deadline:
            return
        for pid in found:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.01)


_PR_SET_PDEATHSIG = 1


def _die_with(parent: int) -> None:
    """Makes this process end when `parent` does (Linux)."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:  # it ended before the line above
        os._exit(1)


def _child(task: _Task, work: str, out: int, parent: int) -> None:
    """The run's process: runs it, sends its row to `out`, exits."""
    try:
        # A process group of its own, with the terminal it starts: the
        # watching process ends them all at once; an interrupt of the
        # sweep's terminal window reaches the sweep, which ends them.
        os.setsid()
        _die_with(parent)
        # Its own standard output and error on the same files: the objects
        # inherited may be locked by a thread of the parent, or write to
        # something only the parent may use (a notebook's channel).
        for fd, name in ((1, "stdout"), (2, "stderr")):
            with contextlib.suppress(OSError, ValueError):
                setattr(
                    sys,
                    name,
                    io.TextIOWrapper(
                        io.FileIO(fd, "w", closefd=False),
                        line_buffering=True,
                        errors="backslashreplace",
                    ),
                )
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        row = _execute(task, work)
        try:
            data = pickle.dumps(row)
        except Exception as e:
            data = pickle.dumps({"error": "the run's result could not be sent: %s" % _error(e)})
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        data = struct.pack("<Q", len(data)) + data
        while data:
            data = data[os.write(out, data) :]
    finally:
        os._exit(0)


def _died(ended: Any) -> str:
    """The error of a run whose process ended without its result, from
    its waitid() report."""
    if ended.si_code in (os.CLD_KILLED, os.CLD_DUMPED):
        number = ended.si_status
        try:
            name = signal.Signals(number).name
        except ValueError:
            name = "signal"
        return "RunDied: the run's process was killed by %s (%d)%s" % (
            name,
            number,
            ", as by the out-of-memory killer" if number == signal.SIGKILL else "",
        )
    return "RunDied: the run's process exited with status %d before its result" % (ended.si_status)


def _supervise(task: _Task, work: str, began: float) -> Dict[str, Any]:
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()  # else the run's process writes it again
    read, write = os.pipe()
    parent = os.getpid()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        _child(task, work, write, parent)
    os.close(write)
    data = bytearray()
    size: Optional[int] = None
    cancel = os.path.join(task.home, "cancel") if task.home else None
    limit = task.timeout or 0.0
    deadline = began + limit if limit else None
    row: Optional[Dict[str, Any]] = None
    try:
        while row is None:
            ready, _, _ = select.select([read], [], [], 0.05)
            if ready:
                chunk = os.read(read, 1 << 20)
                data += chunk
                if size is None and len(data) >= 8:
                    (size,) = struct.unpack_from("<Q", data)
                if size is not None and len(data) >= 8 + size:
                    row = pickle.loads(bytes(data[8 : 8 + size]))
                    break
                if chunk:
                    continue
            # Its process ended without the whole result? (Not reaped
            # yet: its group cannot be another's until it is.)
            ended = os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            if ended is not None:
                row = {"error": _died(ended)}
                break
            if deadline is not None and time.monotonic() > deadline:
                row = {"error": "TimeoutError: the run took more than %g s and was stopped" % limit}
            elif cancel is not None and os.path.exists(cancel):
                row = {"error": "Cancelled: the sweep was interrupted"}
    finally:
        os.close(read)
        # Its group (the terminal, anything the strategy started) ends,
        # then the process is reaped.
        with contextlib.suppress(OSError):
            os.killpg(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    return row


def _launch(exe: str, work: str) -> "subprocess.Popen[bytes]":
    """Starts the private terminal as this process's child and waits until
    it serves its socket, looking every 10 ms (the module's own start polls
    at half a second, most of a private run's set-up). It stays in the
    run's process group."""
    log = open(os.path.join(work, "terminal.log"), "wb")
    try:
        process = subprocess.Popen(
            [exe, "/portable"],
            cwd=os.path.dirname(exe),
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
        )
    finally:
        log.close()
    where = _clock.socket_path(exe)
    deadline = time.monotonic() + 60
    while True:
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(where)
            return process
        except OSError:
            pass
        finally:
            probe.close()
        if process.poll() is not None or time.monotonic() > deadline:
            if process.poll() is None:
                process.kill()
            process.wait()
            with open(os.path.join(work, "terminal.log"), "rb") as f:
                said = f.read().decode("utf-8", "replace").strip().splitlines()
            raise SweepError(
                "the private terminal did not start: %s"
                % (said[-1] if said else "exit status %s" % process.returncode)
            )
        time.sleep(0.01)


def _install_history(task: _Task, work: str, exe: str) -> None:
    folder = os.path.join(work, "csv")
    os.makedirs(folder)
    hst = os.path.join(work, "inst", "history")
    for name, data, path in task.history:
        if name.endswith(".hst"):
            os.makedirs(hst, exist_ok=True)
            target = os.path.join(hst, name)
            if data is None:
                shutil.copyfile(path, target)
            else:
                with open(target, "wb") as f:
                    f.write(data)
            continue
        if data is not None:
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(data)
        symbol = name.split(".")[0]
        terminal.import_history(path, symbol=symbol, path=exe, portable=True)


def _history_files(history: Union[str, Sequence[str]]) -> List[Tuple[str, str]]:
    """(name, path) of each history file: CSV files as given, or the
    imported history (history/*.hst) of an installation's terminal64.exe."""
    entries = [history] if isinstance(history, (str, os.PathLike)) else list(history)
    if not entries:
        raise SweepError("no history to replay")
    files: List[Tuple[str, str]] = []
    for entry in entries:
        path = os.fspath(entry)
        if os.path.basename(path).lower() == "terminal64.exe":
            data = terminal.data_path(path)
            found = sorted(glob.glob(os.path.join(data, "history", "*.hst"))) if data else []
            if not found:
                raise SweepError("the installation at %s has no imported history" % path)
            files += [(os.path.basename(f), f) for f in found]
        elif os.path.isfile(path):
            files.append((os.path.basename(path), os.path.abspath(path)))
        else:
            raise SweepError("no history file %s" % path)
    return files


def _executor_of(executor: Any, workers: Optional[int]) -> Tuple[Any, bool]:
    """A concurrent.futures executor for `executor` (a Dask Client gives
    its own), and whether this function made it (and shuts it down)."""
    if executor is None:
        import concurrent.futures

        n = workers or os.cpu_count() or 1
        return concurrent.futures.ProcessPoolExecutor(max_workers=n), True
    if type(executor).__module__.split(".")[0] == "distributed":
        # A Dask Client: its executor interface, every run a new task, never
        # run again elsewhere after a failure (a run's failure is its row).
        return executor.get_executor(pure=False, retries=0), False
    if not hasattr(executor, "submit"):
        raise SweepError("executor must be a concurrent.futures executor or a Dask Client")
    return executor, False


def _span_of(span: Tuple[When, When]) -> Tuple[int, int]:
    start, end = _seconds(span[0]), _seconds(span[1])
    if end <= start:
        raise SweepError("the span ends before it starts")
    return start, end


def _timeout_of(timeout: Optional[float]) -> Optional[float]:
    if timeout is not None and not timeout > 0:
        raise SweepError("timeout must be a number of seconds above 0, or None")
    return None if timeout is None else float(timeout)


def _history_of(
    history: Union[str, Sequence[str]], shared: bool
) -> Tuple[Tuple[str, Optional[bytes], str], ...]:
    files: List[Tuple[str, Optional[bytes], str]] = []
    for name, path in _history_files(history):
        if shared:
            files.append((name, None, path))
        else:
            with open(path, "rb") as f:
                files.append((name, f.read(), path))
    return tuple(files)


def _stop_pool(pool: Any) -> None:
    """Shuts down a process pool this module made, after an interrupt: its
    runs under way see "cancel" and end, those not begun are dropped; a
    process still busy after a few seconds is ended."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    deadline = time.monotonic() + 3
    for process in processes:
        with contextlib.suppress(Exception):
            process.join(max(0.0, deadline - time.monotonic()))
            if process.is_alive():
                process.kill()
                process.join(1)


def _end_sweep(home: str, interrupted: bool) -> None:
    """Removes the sweep's folder once the runs of this machine are over:
    after an interrupt, the runs still going end (they see "cancel"
    within 50 ms), then whatever remains is ended."""
    if interrupted:
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            try:
                # Only runs' folders count, not the processors' claims.
                if not [e for e in os.listdir(home) if os.path.isdir(os.path.join(home, e))]:
                    break
            except OSError:
                break
            time.sleep(0.02)
    _remove(home)


def sweep(
    strategy: Strategy,
    grid: Grid,
    *,
    history: Union[str, Sequence[str]],
    span: Tuple[When, When],
    executor: Any = None,
    workers: Optional[int] = None,
    shared_history: bool = False,
    progress: bool = True,
    timeout: Optional[float] = None,
) -> Any:
    """Runs `strategy` once per parameter set of `grid` (see
    parameter_sets), each in a private installation replaying `history`
    (CSV files, SYMBOL.M1.csv or SYMBOL.ticks.csv, or an installation's
    terminal64.exe, whose imported history is used) stepped from span[0];
    the streams end at span[1]. Returns a pandas DataFrame, one row per
    parameter set in the grid's order: the parameters, the report
    statistics (zelkor5.reporting.STATISTICS), what the strategy returned
    (a dict's items as columns, anything else as `result`) and `error`
    (None, or the run's failure as text: its exception, its process dying,
    or `timeout`). `executor`: a concurrent.futures executor or a Dask
    distributed.Client (default: a process per core, or `workers`).
    `timeout`: seconds a run may take, set-up included; a run over it is
    stopped with its processes. `progress` shows a bar (tqdm). An
    interrupt (KeyboardInterrupt) ends the runs under way and returns
    within seconds; nothing of the runs is left behind."""
    import pandas as pd  # type: ignore[import-untyped]

    sets = parameter_sets(grid)
    start, end = _span_of(span)
    limit = _timeout_of(timeout)
    files = _history_of(history, shared_history)
    home = tempfile.mkdtemp(prefix="zk5sw", dir="/tmp")
    tasks = [_Task(i, p, strategy, files, start, end, limit, home) for i, p in enumerate(sets)]
    rows: List[Optional[Dict[str, Any]]] = [None] * len(tasks)
    interrupted = True
    pool: Any = None
    owned = False
    bar = None
    futures: Dict[Any, int] = {}
    try:
        import concurrent.futures

        pool, owned = _executor_of(executor, workers)
        futures = {pool.submit(_run, t): t.number for t in tasks}
        # After the pool has forked its processes: the bar has a thread.
        bar = _progress(len(tasks), progress)
        for done in concurrent.futures.as_completed(futures):
            index = futures[done]
            try:
                rows[index] = done.result()
            except Exception as e:  # the worker itself failed
                rows[index] = {"error": _error(e), "_times": {}}
            if bar is not None:
                bar.update(1)
        interrupted = False
    finally:
        if interrupted:
            # The runs not begun are dropped; those under way end, with
            # their terminals and folders, before this returns.
            with contextlib.suppress(OSError):
                open(os.path.join(home, "cancel"), "w").close()
            for future in futures:
                future.cancel()
        if bar is not None:
            bar.close()
        if owned:
            if interrupted:
                _stop_pool(pool)
            else:
                pool.shutdown(wait=True)
        _end_sweep(home, interrupted)
    stats = list(reporting.STATISTICS)
    records = []
    times = []
    tracebacks = []
    for params, row in zip(sets, rows):
        assert row is not None
        times.append(row.pop("_times", {}))
        tracebacks.append(row.pop("traceback", None))
        record: Dict[str, Any] = dict(params)
        for k in stats:
            record[k] = row.pop(k, math.nan)
        error = row.pop("error", None)
        record.update({k: v for k, v in row.items() if k not in record})
        record["error"] = error
        records.append(record)
    frame = pd.DataFrame.from_records(records)
    frame.attrs["seconds"] = times
    frame.attrs["tracebacks"] = tracebacks
    return frame


class RunError(SweepError):
    """A backtest's run that failed: the message is its error, `traceback`
    the run's traceback (None when its process died or was stopped)."""

    def __init__(self, error: str, traceback_text: Optional[str] = None) -> None:
        super().__init__(error)
        self.traceback = traceback_text


class _RemoteTraceback(Exception):
    """The traceback of a failure in the run's process, shown as the cause."""

    def __str__(self) -> str:
        return "\n" + str(self.args[0]).rstrip()


def backtest(
    strategy: Strategy,
    params: Optional[Mapping[str, Any]] = None,
    *,
    history: Union[str, Sequence[str]],
    span: Tuple[When, When],
    html: Optional[str] = None,
    timeout: Optional[float] = None,
) -> "reporting.Report":
    """One run of `strategy` with `params` (default: an empty dict), as a
    run of sweep(): a private installation replaying `history` stepped from
    span[0] to span[1], in a process of its own, removed afterwards.
    Returns the account's report (zelkor5.reporting.Report: statistics,
    curve, trades) and writes its page to `html` when given. The
    statistics are those of the sweep's row for the same parameters.
    Raises RunError when the run failed (the strategy raised, its process
    died, or it took more than `timeout` seconds), SweepError for a bad
    span or history; an interrupt ends the run first."""
    start, end = _span_of(span)
    task = _Task(
        0,
        dict(params or {}),
        strategy,
        _history_of(history, False),
        start,
        end,
        _timeout_of(timeout),
        None,
        True,
        None if html is None else os.path.abspath(html),
    )
    row = _run(task)
    if row.get("error") is not None:
        error = RunError(str(row["error"]), row.get("traceback"))
        if error.traceback:
            raise error from _RemoteTraceback(error.traceback)
        raise error
    report: reporting.Report = row["report"]
    return report


def _progress(total: int, show: bool) -> Any:
    if not show:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm(total=total, desc="sweep", unit="run")


class _FromSource:
    """A strategy defined by a script's source: travels as text and is
    compiled where it runs (a worker needs no copy of the file)."""

    def __init__(self, source: str, filename: str, name: str) -> None:
        self.source, self.filename, self.name = source, filename, name
        self._function: Optional[Strategy] = None

    def __getstate__(self) -> Dict[str, Any]:
        return {"source": self.source, "filename": self.filename, "name": self.name}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__init__(state["source"], state["filename"], state["name"])  # type: ignore[misc]

    def function(self) -> Strategy:
        if self._function is None:
            namespace: Dict[str, Any] = {
                "__name__": "zk5_sweep_strategy",
                "__file__": self.filename,
            }
            exec(compile(self.source, self.filename, "exec"), namespace)
            found = namespace.get(self.name)
            if not callable(found):
                raise SweepError("%s defines no function %s" % (self.filename, self.name))
            self._function = found
        return self._function

    def __call__(self, params: Dict[str, Any]) -> Any:
        return self.function()(params)


def load_strategy(path: str, name: str = "strategy") -> Strategy:
    """The function `name` of the script at `path`, as a strategy that
    travels to workers as source text."""
    with open(path, "r", encoding="utf-8") as f:
        loaded = _FromSource(f.read(), os.path.abspath(path), name)
    loaded.function()  # its errors now, not in every run
    return loaded
