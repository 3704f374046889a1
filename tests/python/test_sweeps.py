"""Sweeps: one strategy over a grid of parameters, each run a private
terminal replaying imported history, on whichever executor. Needs pandas,
which only the main test venv has: the other interpreters of the suite skip
the file (and the Dask parts need dask[distributed], in that venv only)."""

import calendar
import concurrent.futures
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import threading

import pytest

pd = pytest.importorskip("pandas")

import zelkor5 as zk  # noqa: E402
from zelkor5 import stream, sweeps  # noqa: E402
from zelkor5.constants import (  # noqa: E402
    ORDER_TYPE_BUY,
    ORDER_TYPE_SELL,
    TIMEFRAME_M1,
    TRADE_ACTION_DEAL,
)
from zelkor5.terminal import import_history, stop  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "examples"))
import one_strategy  # noqa: E402  the strategy of the example, run every way

START = calendar.timegm((2024, 3, 4, 0, 0, 0))
DAYS = 2
GRID = {"fast": [3, 8], "slow": [15, 30]}


def write_bars(path):
    rnd = random.Random(7)
    price = 50.0
    with open(path, "w") as f:
        f.write("time,open,high,low,close,tick_volume\n")
        for k in range(DAYS * 1440):
            open_ = price
            price = max(1.0, price + rnd.gauss(0, 0.05) + 0.02 * math.sin(k / 120.0))
            high, low = max(open_, price) + 0.01, min(open_, price) - 0.01
            f.write("%d,%.2f,%.2f,%.2f,%.2f,%d\n" % (START + 60 * k, open_, high, low, price, 9))


def crossing(params):
    """Long while the fast average of the last closes is above the slow one;
    a parameter set with fast >= slow fails on purpose."""
    fast, slow = params["fast"], params["slow"]
    if fast >= slow:
        raise ValueError("fast must be below slow")
    seen = 0
    for bar in sweeps.bars("SWEEPX", TIMEFRAME_M1):
        seen += 1
        got = zk.copy_rates_from("SWEEPX", TIMEFRAME_M1, int(bar["time"]), slow)
        closes = got["close"]
        up = closes[-fast:].mean() > closes.mean()
        held = zk.positions_get(symbol="SWEEPX") or ()
        if up and not held:
            zk.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": "SWEEPX",
                    "volume": 1.0,
                    "type": ORDER_TYPE_BUY,
                }
            )
        elif held and not up:
            zk.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": "SWEEPX",
                    "volume": 1.0,
                    "type": ORDER_TYPE_SELL,
                    "position": held[0].ticket,
                }
            )
    first, last = sweeps.span()
    # A text cell a spreadsheet would take for a formula.
    return {"bars": seen, "span_minutes": (last - first) // 60, "note": "=%d+%d" % (fast, slow)}


def leftovers():
    """Private installations, their temporary folders and their terminals
    still present."""
    folders = [e for e in os.listdir("/tmp") if e.startswith(("zk5sw", "zk5import"))]
    procs = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if "/zk5sw" in os.readlink("/proc/%s/exe" % pid):
                procs.append(pid)
        except OSError:
            pass
    return sorted(folders), procs


def left_since(before):
    """What leftovers() has that it did not have at `before`."""
    now = leftovers()
    return tuple(sorted(set(n) - set(b)) for n, b in zip(now, before))


@pytest.fixture(scope="module")
def cluster():
    """A Dask cluster of two single-thread workers in this process, reachable
    over TCP (by the command's process too)."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=False,
        protocol="tcp://",
        dashboard_address=None,
    ) as c:
        yield c


@pytest.fixture(scope="module")
def history_csv(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("sweep") / "SWEEPX.M1.csv")
    write_bars(path)
    return path


SPAN = (START + 3600, START + 3600 + 6 * 3600)  # six hours of minutes


def test_a_sweep_gives_the_same_frame_on_every_executor(history_csv, cluster, tmp_path):
    import distributed

    before = leftovers()
    with concurrent.futures.ThreadPoolExecutor(1) as one:
        sequential = zk.sweep(
            crossing, GRID, history=history_csv, span=SPAN, executor=one, progress=False
        )
    grid_order = list(sequential[["fast", "slow"]].itertuples(index=False, name=None))
    assert grid_order == [(3, 15), (3, 30), (8, 15), (8, 30)]
    assert sequential["error"].isna().all(), sequential["error"].tolist()
    assert (sequential["bars"] == 360).all() and (sequential["span_minutes"] == 360).all()
    assert (sequential["trades"] > 0).all() and sequential["net_profit"].nunique() == 4
    stats = list(zk.reporting.STATISTICS)
    assert list(sequential.columns[2 : 2 + len(stats)]) == stats

    # The grid reversed on a process pool: the same rows, in the grid's order.
    reversed_grid = [dict(fast=f, slow=s) for f in (8, 3) for s in (30, 15)]
    on_processes = zk.sweep(crossing, reversed_grid, history=history_csv, span=SPAN, workers=2)
    pd.testing.assert_frame_equal(on_processes.iloc[::-1].reset_index(drop=True), sequential)

    with distributed.Client(cluster) as client:
        on_dask = zk.sweep(
            crossing,
            GRID,
            history=history_csv,
            span=SPAN,
            executor=client,
            progress=False,
            shared_history=True,
        )
    pd.testing.assert_frame_equal(on_dask, sequential)

    # The history an installation imported, in place of the CSV file.
    inst = tmp_path / "inst"
    inst.mkdir()
    exe = str(inst / "terminal64.exe")
    shutil.copy2(zk.terminal_path(), exe)
    import_history(history_csv, path=exe, portable=True)
    # The calling process's own connection (here to that installation)
    # stays as it was: each run is a process of its own.
    assert zk.initialize(exe, portable=True), zk.last_error()
    try:
        login = zk.account_info().login
        with concurrent.futures.ThreadPoolExecutor(2) as two:
            from_installation = zk.sweep(
                crossing, GRID, history=exe, span=SPAN, executor=two, progress=False
            )
        assert zk.account_info().login == login
    finally:
        zk.shutdown()
        stop(exe)
    pd.testing.assert_frame_equal(from_installation, sequential)
    assert left_since(before) == ([], [])


def sweep_command(*args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    return subprocess.run(
        [sys.executable, "-m", "zelkor5", "sweep", *args],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )


def test_a_failing_run_is_a_row_and_the_command_writes_the_frame(history_csv, cluster, tmp_path):
    before = leftovers()
    script = tmp_path / "strategy.py"
    script.write_text("from test_sweeps import crossing as strategy\n")
    out = str(tmp_path / "results.parquet")
    span = ["--from", "2024-03-04T01:00", "--to", "2024-03-04T02:00"]
    done = sweep_command(
        str(script),
        "--grid",
        "fast=3,40",
        "--grid",
        "slow=30",
        "--history",
        history_csv,
        *span,
        "--scheduler",
        cluster.scheduler_address,
        "-o",
        out,
    )
    assert done.returncode == 1, done.stderr
    assert "2 runs, 1 failed" in done.stdout
    assert "ValueError: fast must be below slow" in done.stderr
    assert "sweep: 100%" in done.stderr and "2/2" in done.stderr  # the progress bar
    frame = pd.read_parquet(out)
    assert frame["error"].tolist() == [None, "ValueError: fast must be below slow"]
    assert frame["bars"][0] == 60 and pd.isna(frame["net_profit"][1])

    # On this machine's processes, to CSV: every run done, exit status 0.
    out = str(tmp_path / "results.csv")
    done = sweep_command(
        str(script),
        "--grid",
        "fast=3",
        "--grid",
        "slow=30",
        "--grid=-tag=@x",
        "--history",
        history_csv,
        *span,
        "--workers",
        "2",
        "-o",
        out,
    )
    assert done.returncode == 0 and "1 run, 0 failed" in done.stdout, done.stderr
    written = pd.read_csv(out)
    assert written["bars"].tolist() == [60]
    # Text a spreadsheet would run as a formula, escaped; numbers as they are.
    assert written["'-tag"].tolist() == ["'@x"] and written["note"].tolist() == ["'=3+30"]
    assert written["net_profit"].dtype == float

    bad = sweep_command(str(script), "--grid", "fast", "--history", history_csv, *span, "-o", out)
    assert bad.returncode == 2 and "NAME=V1,V2" in bad.stderr
    # In this process, the failure's traceback beside its row.
    with concurrent.futures.ThreadPoolExecutor(1) as one:
        failed = zk.sweep(
            crossing,
            [{"fast": 9, "slow": 9}],
            history=history_csv,
            span=SPAN,
            executor=one,
            progress=False,
        )
    assert failed["error"][0] == "ValueError: fast must be below slow"
    assert "in crossing" in failed.attrs["tracebacks"][0]
    with pytest.raises(sweeps.SweepError, match="no history file"):
        zk.sweep(crossing, GRID, history=str(tmp_path / "none.csv"), span=SPAN)
    assert left_since(before) == ([], [])


def test_one_strategy_in_a_backtest_in_a_sweep_and_live(cluster, tmp_path):
    """The example's strategy, unchanged: a backtest, a sweep on processes
    and on Dask (the backtest is the sweep's row), a few bars live."""
    import distributed

    before = leftovers()
    csv = str(tmp_path / "BTCUSD.M1.csv")
    one_strategy.write_bars(csv, hours=8)
    start = one_strategy.START + 2 * 3600
    span = (start, start + 6 * 3600)  # six hours of minutes
    params = {"fast": 5, "slow": 20}
    page = str(tmp_path / "report.html")
    report = zk.backtest(one_strategy.strategy, params, history=csv, span=span, html=page)
    assert report.html == page and os.path.getsize(page) > 0
    assert report.statistics["trades"] > 0 and len(report.trades) == report.statistics["trades"]
    assert report.curve["time"].iloc[0] >= start

    grid = {"fast": [5, 10], "slow": [20]}
    frame = zk.sweep(one_strategy.strategy, grid, history=csv, span=span, workers=2, progress=False)
    assert frame["error"].isna().all(), frame["error"].tolist()
    # The stream ended at the span's end: one bar per minute of it.
    assert frame["minutes"].tolist() == [360, 360]
    stats = list(zk.reporting.STATISTICS)
    pd.testing.assert_series_equal(
        frame.iloc[0][stats].astype(float), report.statistics, check_names=False
    )
    with distributed.Client(cluster) as client:
        on_dask = zk.sweep(
            one_strategy.strategy, grid, history=csv, span=span, executor=client, progress=False
        )
    pd.testing.assert_frame_equal(on_dask, frame)

    # A replay whose clock runs by itself is live to the stream: it waits.
    live = one_strategy.run_live(2, speed=120)
    assert live["minutes"] == 2
    assert left_since(before) == ([], [])


def ending(params):
    """Each way a run can end badly, by params["how"]."""
    how = params["how"]
    for _ in stream.bars("SWEEPX", TIMEFRAME_M1):
        if how == "os._exit":
            os._exit(3)
        if how == "SIGKILL":
            os.kill(os.getpid(), signal.SIGKILL)  # as the out-of-memory killer does
        if how == "sys.exit":
            sys.exit("leaving")
        if how == "KeyboardInterrupt":
            raise KeyboardInterrupt
        if how == "hang":
            threading.Event().wait()
        break
    return {"how": how}


ENDINGS = {
    "fine": None,
    "os._exit": "RunDied: the run's process exited with status 3 before its result",
    "SIGKILL": "RunDied: the run's process was killed by SIGKILL (9), "
    "as by the out-of-memory killer",
    "sys.exit": "SystemExit: leaving",
    "KeyboardInterrupt": "KeyboardInterrupt: ",
    "hang": "TimeoutError: the run took more than 12 s and was stopped",
}


def test_runs_that_die_exit_or_hang_are_rows_and_leave_nothing(history_csv, cluster, tmp_path):
    import distributed

    before = leftovers()
    grid = {"how": list(ENDINGS)}
    frame = zk.sweep(ending, grid, history=history_csv, span=SPAN, workers=2, timeout=12)
    assert frame["error"].tolist() == list(ENDINGS.values())
    assert frame["net_profit"].isna().tolist() == [False] + [True] * 5
    assert left_since(before) == ([], [])
    # On Dask a dying run is one row: not run again, the others unharmed.
    with distributed.Client(cluster) as client:
        on_dask = zk.sweep(
            ending,
            {"how": ["SIGKILL", "fine", "sys.exit"]},
            history=history_csv,
            span=SPAN,
            executor=client,
            progress=False,
        )
    assert on_dask["error"].tolist() == [ENDINGS["SIGKILL"], None, ENDINGS["sys.exit"]]
    # A backtest raises its run's failure, with the run's traceback.
    with pytest.raises(sweeps.RunError, match="SystemExit: leaving") as failed:
        zk.backtest(ending, {"how": "sys.exit"}, history=history_csv, span=SPAN)
    assert "in ending" in failed.value.traceback
    # The stream ends where the data does (the replay finds no next bar).
    last = START + DAYS * 86400
    ended = zk.sweep(
        crossing, [{"fast": 3, "slow": 15}], history=history_csv, span=(last - 1800, last + 86400)
    )
    assert ended["bars"].tolist() == [30], ended["error"].tolist()
    # The command's limit of a run.
    script = tmp_path / "ending.py"
    script.write_text("from test_sweeps import ending as strategy\n")
    out = str(tmp_path / "ending.csv")
    span = ["--from", "2024-03-04T01:00", "--to", "2024-03-04T02:00"]
    done = sweep_command(
        str(script),
        "--grid",
        "how=hang",
        "--history",
        history_csv,
        *span,
        "--timeout",
        "2",
        "-o",
        out,
    )
    assert done.returncode == 1 and "1 run, 1 failed" in done.stdout, done.stderr
    assert "TimeoutError: the run took more than 2 s and was stopped" in done.stderr
    assert left_since(before) == ([], [])


@pytest.mark.parametrize(
    "grid, part",
    [
        ({}, "the dict has no parameters"),
        ([], "the list has no parameter sets"),
        ({"a": [], "b": [1]}, "parameter 'a' has no values"),
    ],
)
def test_an_empty_grid_is_refused_naming_its_empty_part(grid, part, history_csv):
    with pytest.raises(sweeps.SweepError, match="^empty grid: " + part):
        zk.sweep(crossing, grid, history=history_csv, span=SPAN)


def processors(params):
    """The processors the run's process and every thread of its terminal
    may run on."""
    with open("/proc/self/task/%d/children" % os.getpid()) as f:
        (terminal,) = f.read().split()
    threads = os.listdir("/proc/%s/task" % terminal)
    on = {cpu for t in threads for cpu in os.sched_getaffinity(int(t))}
    own = os.sched_getaffinity(0)
    return {"own": ",".join(map(str, sorted(own))), "same": own == on}


def test_a_run_and_its_terminal_share_one_processor(history_csv):
    # A step is a request and its reply: the two wake each other up.
    usable = os.sched_getaffinity(0)
    frame = zk.sweep(processors, {"k": [1, 2]}, history=history_csv, span=SPAN, workers=2)
    assert frame["error"].isna().all(), frame["error"].tolist()
    assert frame["same"].all()
    for own in frame["own"]:
        chosen = {int(cpu) for cpu in own.split(",")}
        assert chosen <= usable and len(chosen) == (1 if len(usable) > 1 else len(usable))
    # Only speed depends on it: the calling process keeps its processors.
    assert os.sched_getaffinity(0) == usable


INTERRUPTED = """
import signal, sys
# As an interactive interpreter has it (one started in the background by
# a shell may ignore SIGINT).
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, %r)
import zelkor5 as zk
from test_sweeps import ending
try:
    zk.sweep(ending, {"how": ["hang"] * 3}, history=%r, span=%r, workers=2, progress=False)
except KeyboardInterrupt:
    sys.exit(130)
"""


def test_an_interrupt_of_the_sweep_alone_returns_and_leaves_nothing(history_csv):
    """Ctrl-C sent to the sweep's process only (as a notebook's interrupt
    is): it returns, its runs and their terminals end, nothing is left."""
    before = leftovers()
    proc = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED % (HERE, history_csv, SPAN)],
        stdin=subprocess.DEVNULL,
    )
    try:
        # Both runs under way: their terminals serve.
        while len(leftovers()[1]) < len(before[1]) + 2:
            assert proc.poll() is None
            threading.Event().wait(0.05)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=15) == 130
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert left_since(before) == ([], [])
