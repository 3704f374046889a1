"""Many replays at once: one strategy over a grid of parameters.

    import zelkor5 as zk
    from zelkor5 import sweeps

    def strategy(params):
        for bar in sweeps.bars("EURUSD", zk.TIMEFRAME_M1):   # every minute of the span
            ...                                            # the ordinary API
        return {"bars": ...}                               # optional: more columns

    frame = zk.sweep(strategy, {"fast": [5, 10], "slow": [50, 100]},
                     history="EURUSD.M1.csv", span=("2024-03-04", "2024-03-08"))
    print(frame.sort_values("net_profit"))

Each run is a private copy of the bundled terminal in a temporary folder of
its own (data folder, socket folder, settings and accounts), which imports
the history, starts a stepped replay at the span's start and is connected
to the module when the strategy is called with its parameter set. The
strategy moves the market with ``bars()`` (or ``zelkor5.replay.next_bar``
and ``advance``) and trades through the ordinary calls; when it returns,
the account's report statistics (``zelkor5.reporting.statistics``) and
what it returned make the run's row, and the terminal and its folder are
removed. A run that raises is a row with its ``error``.

Runs go to the machine's cores (a process pool) by default, or to
`executor`: a ``concurrent.futures`` executor or a Dask
``distributed.Client``. The module holds one connection per process, so
the runs of one process take turns; give thread-based executors (and Dask
workers) one thread per process to run in parallel. The history travels
with each task (the files' bytes), so workers need no shared folder; with
``shared_history=True`` only the paths travel and every worker reads them.
Needs pandas (and tqdm for the progress bar).
"""

import contextlib
import datetime
import glob
import itertools
import math
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import traceback
from typing import (
    Any,
    Callable,
    Dict,
    Iterator,
    List,
    Mapping,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
)

from . import _core, replay, reporting, terminal

__all__ = ["sweep", "bars", "span", "parameter_sets", "RunSpan", "SweepError", "load_strategy"]

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
    as it is."""
    if isinstance(grid, Mapping):
        keys = list(grid)
        values = []
        for k in keys:
            v = grid[k]
            if isinstance(v, (str, bytes)) or not isinstance(v, Sequence):
                v = [v]
            values.append(list(v))
        return [dict(zip(keys, combo)) for combo in itertools.product(*values)]
    sets = [dict(p) for p in grid]
    if not sets:
        raise SweepError("the grid has no parameter sets")
    return sets


# The run in progress in this process: one at a time, since the module has
# one connection per process.
_lock = threading.Lock()
_current: Optional[Tuple[str, RunSpan]] = None


def span() -> RunSpan:
    """The span of the run in progress (for the strategy)."""
    if _current is None:
        raise SweepError("no sweep run in progress")
    return _current[1]


def bars(symbol: str, timeframe: int) -> Iterator[Any]:
    """Moves the run's market bar by bar over its span: yields each bar of
    `symbol` and `timeframe` as it closes (zelkor5.replay.next_bar), until
    the next one would close after the span's end or the data ends."""
    if _current is None:
        raise SweepError("no sweep run in progress")
    exe, run_span = _current
    period = _period(int(timeframe))
    now = replay.state(exe).now.timestamp()
    while now < run_span.end:
        bar = replay.next_bar(symbol, timeframe, exe)
        if bar is None:
            return
        # The clock stands at the bar's close.
        now = int(bar["time"]) + period if period else replay.state(exe).now.timestamp()
        if now > run_span.end:
            return
        yield bar


def _period(timeframe: int) -> int:
    """Seconds of a bar of `timeframe`; 0 for months (of varying length)."""
    unit = timeframe & 0xC000
    if unit == 0:
        return 60 * timeframe
    if unit == 0x4000:
        return 3600 * (timeframe & 0x3FFF)
    return 7 * 86400 if unit == 0x8000 else 0


class _Task(NamedTuple):
    number: int
    params: Dict[str, Any]
    strategy: Strategy
    # (file name, its bytes or None when read from the path, path)
    history: Tuple[Tuple[str, Optional[bytes], str], ...]
    start: int
    end: int


@contextlib.contextmanager
def _environment(values: Mapping[str, str]) -> Iterator[None]:
    saved = {k: os.environ.get(k) for k in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def _stats_of_report() -> Dict[str, float]:
    result = reporting.report()
    return {k: float(v) for k, v in result.statistics.items()}


def _run(task: _Task) -> Dict[str, Any]:
    """One run in a private installation; its row. Never raises for the
    run's own failures: they are its `error`."""
    global _current
    row: Dict[str, Any] = {"error": None}
    times: Dict[str, float] = {}
    with _lock:
        began = time.monotonic()
        work = tempfile.mkdtemp(prefix="zk5sw", dir="/tmp")
        exe = os.path.join(work, "inst", "terminal64.exe")
        saved_started = replay._started
        try:
            # Its own socket folder (short: AF_UNIX paths are limited) and
            # its own roaming folder, where installations register.
            with _environment(
                {
                    "XDG_RUNTIME_DIR": os.path.join(work, "r"),
                    "XDG_DATA_HOME": os.path.join(work, "d"),
                }
            ):
                os.makedirs(os.path.join(work, "r"), mode=0o700)
                os.makedirs(os.path.join(work, "inst", "config"))
                shutil.copy2(terminal.terminal_path(), exe)
                with open(os.path.join(work, "inst", "config", "terminal.ini"), "w") as f:
                    # Thrown away afterwards: its accounts need no flush to disk.
                    f.write("[Terminal]\nIdleExit=%d\n[Store]\nDurable=0\n" % _IDLE_EXIT)
                process: Optional["subprocess.Popen[bytes]"] = None
                try:
                    _install_history(task, work, exe)
                    _core.shutdown()
                    terminal.configure_replay(task.start, stepped=True, path=exe, portable=True)
                    process = _launch(exe, work)
                    replay._started_by(os.path.realpath(exe))
                    if not _core.initialize(exe, portable=True):
                        code, message = _core.last_error()
                        raise SweepError("the replay did not start: %s (%d)" % (message, code))
                    times["setup"] = time.monotonic() - began
                    _current = (os.path.realpath(exe), RunSpan(task.start, task.end))
                    returned = task.strategy(dict(task.params))
                    _current = None
                    row.update(_stats_of_report())
                    if isinstance(returned, Mapping):
                        row.update({str(k): v for k, v in returned.items()})
                    elif returned is not None:
                        row["result"] = returned
                except Exception as e:  # the run's failure is its row
                    row["error"] = "%s: %s" % (type(e).__name__, e)
                    row["traceback"] = traceback.format_exc()
                finally:
                    _current = None
                    _core.shutdown()
                    channel = replay._channels.pop(os.path.realpath(exe), None)
                    if channel is not None:
                        channel.close()
                    replay._started = saved_started
                    if process is not None:
                        # It saves its state on the way out, then is reaped.
                        process.terminate()
                        try:
                            process.wait(10)
                        except subprocess.TimeoutExpired:
                            process.kill()
                            process.wait()
        finally:
            shutil.rmtree(work, ignore_errors=True)
        times["run"] = time.monotonic() - began
    row["_times"] = times
    return row


def _launch(exe: str, work: str) -> "subprocess.Popen[bytes]":
    """Starts the private terminal as this process's child and waits until
    it serves its socket, looking every 10 ms (the module's own start polls
    at half a second, most of a private run's set-up)."""
    log = open(os.path.join(work, "terminal.log"), "wb")
    try:
        process = subprocess.Popen(
            [exe, "/portable"],
            cwd=os.path.dirname(exe),
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=log,
            start_new_session=True,
        )
    finally:
        log.close()
    where = replay.socket_path(exe)
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
        # A Dask Client: its executor interface, every run a new task.
        return executor.get_executor(pure=False), False
    if not hasattr(executor, "submit"):
        raise SweepError("executor must be a concurrent.futures executor or a Dask Client")
    return executor, False


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
) -> Any:
    """Runs `strategy` once per parameter set of `grid` (see
    parameter_sets), each in a private installation replaying `history`
    (CSV files, SYMBOL.M1.csv or SYMBOL.ticks.csv, or an installation's
    terminal64.exe, whose imported history is used) stepped from span[0];
    bars() stops at span[1]. Returns a pandas DataFrame, one row per
    parameter set in the grid's order: the parameters, the report
    statistics (zelkor5.reporting.STATISTICS), what the strategy returned
    (a dict's items as columns, anything else as `result`) and `error`
    (None, or the run's exception as text). `executor`: a
    concurrent.futures executor or a Dask distributed.Client (default: a
    process per core, or `workers`). `progress` shows a bar (tqdm)."""
    import pandas as pd  # type: ignore[import-untyped]

    sets = parameter_sets(grid)
    start, end = _seconds(span[0]), _seconds(span[1])
    if end <= start:
        raise SweepError("the span ends before it starts")
    files: List[Tuple[str, Optional[bytes], str]] = []
    for name, path in _history_files(history):
        if shared_history:
            files.append((name, None, path))
        else:
            with open(path, "rb") as f:
                files.append((name, f.read(), path))
    tasks = [_Task(i, p, strategy, tuple(files), start, end) for i, p in enumerate(sets)]
    rows: List[Optional[Dict[str, Any]]] = [None] * len(tasks)
    pool, owned = _executor_of(executor, workers)
    bar = None
    futures: Dict[Any, int] = {}
    try:
        import concurrent.futures

        futures = {pool.submit(_run, t): t.number for t in tasks}
        # After the pool has forked its processes: the bar has a thread.
        bar = _progress(len(tasks), progress)
        for done in concurrent.futures.as_completed(futures):
            index = futures[done]
            try:
                rows[index] = done.result()
            except Exception as e:  # the worker itself failed
                rows[index] = {"error": "%s: %s" % (type(e).__name__, e), "_times": {}}
            if bar is not None:
                bar.update(1)
    except BaseException:
        # Interrupted: the runs not begun are dropped; those under way end
        # (their terminals and folders removed) before this returns.
        for future in futures:
            future.cancel()
        raise
    finally:
        if bar is not None:
            bar.close()
        if owned:
            pool.shutdown(wait=True)
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
