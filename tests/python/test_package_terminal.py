"""The package's helpers against the bundled terminal: frame() on every
kind of result, long ranges paged through the terminal's caps, and the
``zelkor5`` command's export and terminal control."""

import csv
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from test_terminal_helpers import install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5 import history
from zelkor5.constants import (
    COPY_TICKS_ALL,
    ORDER_TYPE_BUY,
    TIMEFRAME_H1,
    TIMEFRAME_M1,
    TRADE_ACTION_DEAL,
    TRADE_RETCODE_DONE,
)
from zelkor5.terminal import DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER

pd = pytest.importorskip("pandas")

WEDNESDAY = 1709683200  # 2024-03-06 00:00 UTC
DAY = 86400
MAX_BARS = 2000


@pytest.fixture
def terminal(install):
    """A non-portable installation (as the bundled terminal is used), with
    a small bar cap so that a few days of M1 bars need several pages."""
    inst = install(settings="IdleExit=3\nMaxBars=%d\n" % MAX_BARS, portable=False)
    assert inst.initialize(
        login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER
    ), zelkor5.last_error()
    return inst


def buy(volume=0.01):
    sent = ok(
        zelkor5.order_send(
            {
                "action": TRADE_ACTION_DEAL,
                "symbol": "BTCUSD",
                "volume": volume,
                "type": ORDER_TYPE_BUY,
            }
        )
    )
    assert sent.retcode == TRADE_RETCODE_DONE, sent.comment
    return sent


def test_frame_of_every_kind_of_result(terminal):
    bars = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_H1, WEDNESDAY, WEDNESDAY + DAY))
    df = zelkor5.frame(bars)
    assert isinstance(df.index, pd.DatetimeIndex) and str(df.index.tz) == "UTC"
    assert list(df.columns) == [n for n in bars.dtype.names if n != "time"]
    assert (df.index.asi8 // 10**9 == bars["time"]).all() and (df["close"] == bars["close"]).all()

    ticks = ok(zelkor5.copy_ticks_range("EURUSD", WEDNESDAY, WEDNESDAY + 60, COPY_TICKS_ALL))
    df = zelkor5.frame(ticks)
    assert len(df) == len(ticks) > 0
    assert (df.index.asi8 // 10**6 == ticks["time_msc"]).all() and str(df.index.tz) == "UTC"

    # Without positions or orders, frames of their record type still have
    # the columns, with the dtypes a frame of such records gets.
    empty = {
        kind: zelkor5.frame(ok(get()), kind=kind)
        for get, kind in (
            (zelkor5.positions_get, zelkor5.TradePosition),
            (zelkor5.orders_get, zelkor5.TradeOrder),
        )
    }
    for kind, df in empty.items():
        assert df.shape == (0, len(kind._fields)) and list(df.columns) == list(kind._fields)
    assert empty[zelkor5.TradePosition]["profit"].sum() == 0.0
    assert zelkor5.frame((), kind=zelkor5.TradeDeal)["commission"].dtype == "float64"
    with pytest.raises(TypeError, match="kind=TradeOrder but a TradeDeal record"):
        zelkor5.frame(ok(zelkor5.history_deals_get(0, 2**31 - 1)), kind=zelkor5.TradeOrder)
    with pytest.raises(TypeError, match="record types"):
        zelkor5.frame((), kind=tuple)

    buy()
    full = zelkor5.frame(ok(zelkor5.positions_get()), kind=zelkor5.TradePosition)
    assert full.dtypes.to_dict() == empty[zelkor5.TradePosition].dtypes.to_dict()
    assert str(empty[zelkor5.TradeOrder]["time_done"].dtype) == "datetime64[ns, UTC]"
    for records, times in (
        (ok(zelkor5.positions_get()), ["time", "time_msc", "time_update", "time_update_msc"]),
        (ok(zelkor5.history_deals_get(0, 2**31 - 1)), ["time", "time_msc"]),
        (ok(zelkor5.symbols_get("EUR*")), ["time", "start_time", "expiration_time"]),
    ):
        df = zelkor5.frame(records)
        fields = list(type(records[0])._fields)
        if isinstance(records[0], zelkor5.SymbolInfo):
            # Symbols by name.
            assert df.index.name == "name" and list(df.index) == [r.name for r in records]
            df = df.reset_index()
        assert sorted(df.columns) == sorted(fields)
        df = df[fields]
        # The time fields are UTC datetimes (0, no time, is NaT); back in
        # their units they are the records' values.
        assert [c for c in fields if isinstance(df[c].dtype, pd.DatetimeTZDtype)] == times
        for c in times:
            assert str(df[c].dt.tz) == "UTC"
            unit = "datetime64[ms]" if c.endswith("_msc") else "datetime64[s]"
            back = df[c].dt.tz_convert(None).to_numpy().astype(unit).astype(np.int64)
            df[c] = np.where(df[c].isna(), 0, back)
        assert [tuple(row) for row in df.itertuples(index=False)] == [tuple(r) for r in records]
    # A tick has the frame of a tick array of one tick.
    tick = ok(zelkor5.symbol_info_tick("EURUSD"))
    one_tick = zelkor5.frame(tick)
    assert one_tick.dtypes.to_dict() == zelkor5.frame(ticks).dtypes.to_dict()
    assert one_tick.index.asi8.tolist() == [tick.time_msc * 10**6] and len(one_tick) == 1
    one = zelkor5.frame(ok(zelkor5.account_info()))
    assert len(one) == 1 and one["login"][0] == DEMO_LOGIN


def test_paged_ranges_equal_the_pages_put_together(terminal):
    start, end = WEDNESDAY - 2 * DAY, WEDNESDAY + 2 * DAY
    # The terminal cuts one request to its cap, and the call says so ...
    with pytest.warns(UserWarning) as caught:
        assert len(ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, start, end))) == MAX_BARS
    assert len(caught) == 1 and caught[0].filename == __file__
    assert str(caught[0].message) == (
        "copy_rates_range() stopped at the terminal's limit of %d bars "
        "(terminal_info().maxbars): the result may go on past it (zelkor5.history.rates_range() "
        "pages through a range of any length)" % MAX_BARS
    )
    # ... the helper pages through; day by day (each under the cap) agrees.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        paged = ok(history.rates_range("EURUSD", TIMEFRAME_M1, start, end))
        days = [
            ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, t, min(t + DAY - 1, end)))
            for t in range(start, end + 1, DAY)
        ]
    assert len(paged) > 2 * MAX_BARS
    assert paged.tobytes() == np.concatenate(days).tobytes()

    # Ticks in windows of 7 seconds (cutting between ticks of one second)
    # equal the ticks of one request.
    busy = WEDNESDAY + 9 * 3600
    whole = ok(zelkor5.copy_ticks_range("EURUSD", busy, busy + 300, COPY_TICKS_ALL))
    windows = ok(history.ticks_range("EURUSD", busy, busy + 300, chunk=7))
    seconds = whole["time_msc"] // 1000
    assert len(whole) > 100 and len(np.unique(seconds)) < len(seconds)
    assert windows.tobytes() == whole.tobytes()
    empty = ok(
        history.rates_range("EURUSD", TIMEFRAME_H1, WEDNESDAY - 3 * DAY, WEDNESDAY - 2 * DAY - 1)
    )
    assert len(empty) == 0 or empty.dtype == paged.dtype


def cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "zelkor5"] + list(args), capture_output=True, text=True, timeout=120
    )


def test_export_rows_equal_the_module_result(terminal, tmp_path):
    out = tmp_path / "bars.csv"
    done = cli(
        "export",
        "rates",
        "EURUSD",
        "--timeframe",
        "M1",
        "--from",
        "2024-03-04",
        "--to",
        "2024-03-05",
        "-o",
        str(out),
        "--path",
        terminal.exe,
    )
    assert done.returncode == 0, done.stderr
    expected = ok(history.rates_range("EURUSD", TIMEFRAME_M1, WEDNESDAY - 2 * DAY, WEDNESDAY - 1))
    with open(out, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == list(expected.dtype.names) and len(rows) - 1 == len(expected) > MAX_BARS
    for row, bar in zip(rows[1:], expected):
        assert pd.Timestamp(row[0]).value // 10**9 == bar["time"]
        assert [float(v) for v in row[1:]] == [float(bar[n]) for n in expected.dtype.names[1:]]

    parquet = tmp_path / "ticks.parquet"
    done = cli(
        "export",
        "ticks",
        "EURUSD",
        "--from",
        "2024-03-06T00:00:00",
        "--to",
        "2024-03-06T00:02:00",
        "-o",
        str(parquet),
        "--path",
        terminal.exe,
    )
    assert done.returncode == 0, done.stderr
    ticks = ok(zelkor5.copy_ticks_range("EURUSD", WEDNESDAY, WEDNESDAY + 120, COPY_TICKS_ALL))
    table = pd.read_parquet(parquet)
    msc = table["time_msc"].astype("datetime64[ns, UTC]").astype("int64") // 10**6
    assert len(table) == len(ticks) > 0 and (msc == ticks["time_msc"]).all()
    assert (table["bid"] == ticks["bid"]).all() and str(table["time"].dt.tz) == "UTC"

    for args, message in [
        (("EURUSDX",), "unknown symbol EURUSDX"),
        (("EURUSD", "--to", "2024-02-30"), "bad date"),
        (("EURUSD", "-o", str(tmp_path / "x.txt")), ".csv or .parquet"),
    ]:
        base = {"--from": "2024-03-04", "--to": "2024-03-05", "-o": str(tmp_path / "x.csv")}
        rest = list(args[1:])
        for k in list(base):
            if k in rest:
                base.pop(k)
        argv = ["export", "rates", args[0]] + rest + [x for kv in base.items() for x in kv]
        done = cli(*argv, "--path", terminal.exe)
        assert done.returncode != 0 and message in done.stderr
        assert len(done.stderr.strip().splitlines()) == 1, done.stderr


def test_terminal_stop_waits_and_reset_account_starts_afresh(terminal):
    buy()
    assert len(ok(zelkor5.history_deals_get(0, 2**31 - 1))) == 2  # the deposit and the buy
    zelkor5.shutdown()
    assert terminal.pids()

    done = cli("terminal", "stop", "--path", terminal.exe)
    assert (done.returncode, done.stdout) == (0, "stopped\n"), done.stderr
    assert terminal.pids() == []  # gone, not just signalled
    done = cli("terminal", "status", "--path", terminal.exe)
    assert done.returncode == 3 and done.stdout.startswith("not running")
    assert cli("terminal", "stop", "--path", terminal.exe).stdout == "not running\n"

    assert terminal.initialize(login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER)
    assert len(ok(zelkor5.positions_get())) == 1  # stopping kept the account
    zelkor5.shutdown()
    done = cli("terminal", "reset-account", str(DEMO_LOGIN), "--path", terminal.exe)
    assert done.returncode == 0, done.stderr
    assert terminal.pids() == []
    assert terminal.initialize(login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER)
    assert ok(zelkor5.positions_get()) == ()
    (deposit,) = ok(zelkor5.history_deals_get(0, 2**31 - 1))
    assert deposit.type == zelkor5.DEAL_TYPE_BALANCE
    assert zelkor5.account_info().balance == deposit.profit
    assert os.path.isdir(zelkor5.terminal.data_path(terminal.exe))

    done = cli("terminal", "reset-account", "12345", "--path", terminal.exe)
    assert done.returncode == 1 and "12345" in done.stderr


def test_bar_results_at_the_terminals_limit_warn_once_per_calling_line(terminal):
    now = int(ok(zelkor5.symbol_info_tick("EURUSD")).time)
    capped = [
        lambda: zelkor5.copy_rates_from("EURUSD", TIMEFRAME_M1, now, MAX_BARS + 10),
        lambda: zelkor5.copy_rates_from_pos("EURUSD", TIMEFRAME_M1, 5, MAX_BARS),
        lambda: zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, 0, now),
    ]
    whole = [
        lambda: zelkor5.copy_rates_from("EURUSD", TIMEFRAME_M1, now, MAX_BARS),
        lambda: zelkor5.copy_rates_from_pos("EURUSD", TIMEFRAME_M1, 0, MAX_BARS - 5),
        lambda: zelkor5.copy_rates_range("EURUSD", TIMEFRAME_H1, WEDNESDAY, WEDNESDAY + DAY),
    ]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")  # Python's own: once per calling line
        for _ in range(2):
            for call in capped + whole:
                call()
    assert [str(w.message).split("()")[0] for w in caught] == [
        "copy_rates_from",
        "copy_rates_from_pos",
        "copy_rates_range",
    ]
    assert all(
        w.filename == __file__
        and "%d bars" % MAX_BARS in str(w.message)
        and "zelkor5.history" in str(w.message)
        for w in caught
    )
    # Silenced like any warning, and the result is the module's.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.filterwarnings("ignore", "copy_rates_range", UserWarning)
        result = zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, 0, now)
    assert (
        result.tobytes() == zelkor5._core.copy_rates_range("EURUSD", TIMEFRAME_M1, 0, now).tobytes()
    )


def test_history_progress_is_the_notebook_aware_bar(terminal, monkeypatch):
    tqdm_auto = pytest.importorskip("tqdm.auto")
    import tqdm.std

    made = []

    class Recording(tqdm.std.tqdm):
        def __init__(self, **kwargs):
            made.append(self)
            super().__init__(disable=True, **kwargs)

    monkeypatch.setattr(tqdm_auto, "tqdm", Recording)
    bars = ok(
        history.rates_range("EURUSD", TIMEFRAME_H1, WEDNESDAY - 4 * DAY, WEDNESDAY, progress=True)
    )
    assert len(made) == 1 and made[0].total == 4 and len(bars) > 0

    # A notebook without its widgets: the notebook bar refuses, the text bar
    # takes over.
    def refuses(**kwargs):
        raise ImportError("IProgress not found")

    monkeypatch.setattr(tqdm_auto, "tqdm", refuses)
    monkeypatch.setattr(tqdm.std, "tqdm", Recording)
    ok(history.ticks_range("EURUSD", WEDNESDAY, WEDNESDAY + 60, progress=True))
    assert len(made) == 2
