"""Replays under the script's control and what comes out of them: a stepped
replay that sees every bar however many requests a strategy makes, its
state shown by the command and switched off again, exports that import
back exactly and stream in bounded memory, and the report of an account."""

import calendar
import csv
import os
import re
import subprocess
import sys
import tracemalloc

import numpy as np
import peer
import pytest
from test_terminal_helpers import Installation, install, ok, roaming  # noqa: F401  fixtures
from test_terminal_history import T0, market, ramp_bars, stamp, write_bars

import zelkor5
from zelkor5 import cli as zcli
from zelkor5 import history
from zelkor5 import replay as zreplay
from zelkor5.constants import (
    COPY_TICKS_ALL,
    DEAL_ENTRY_IN,
    DEAL_ENTRY_OUT,
    DEAL_REASON_EXPERT,
    DEAL_REASON_SL,
    DEAL_TYPE_BALANCE,
    DEAL_TYPE_BUY,
    DEAL_TYPE_SELL,
    ORDER_TYPE_BUY,
    ORDER_TYPE_SELL,
    TIMEFRAME_D1,
    TIMEFRAME_H1,
    TIMEFRAME_M1,
    TRADE_ACTION_DEAL,
    TRADE_RETCODE_DONE,
)
from zelkor5.terminal import TerminalError, configure_replay, import_history, replay, status

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "zelkor5"] + list(args), capture_output=True, text=True, timeout=120
    )


def test_the_replay_commands_and_the_socket_are_those_of_the_terminal(tmp_path, roaming):
    with open(os.path.join(ROOT, "src", "common", "ipc", "commands.h")) as f:
        table = dict(re.findall(r"^\s*(REPLAY_\w+) = (\d+),", f.read(), re.M))
    assert {k: int(v) for k, v in table.items()} == {
        "REPLAY_STATE": zreplay.REPLAY_STATE,
        "REPLAY_ADVANCE": zreplay.REPLAY_ADVANCE,
        "REPLAY_NEXT_BAR": zreplay.REPLAY_NEXT_BAR,
    }
    # The socket is the one the terminal tells, named after its path.
    for name in ("Zk5", "Ünïcode İ"):
        exe = Installation(tmp_path / name, roaming).exe
        assert zreplay.socket_path(exe) == peer.pipe_path_for(exe)


def test_a_stepped_replay_sees_every_bar_however_many_requests_a_bar(install):
    inst = install()
    csv_path = os.path.join(inst.dir, "REPLAYX.M1.csv")
    write_bars(csv_path, ramp_bars(), extra=False)
    import_history(csv_path, path=inst.exe, portable=True)
    assert replay(stamp(T0 + 600), stepped=True, path=inst.exe, portable=True), zelkor5.last_error()
    st = status(inst.exe).replay
    assert st.mode == "stepped" and st.start.timestamp() == T0 + 600 and st.now == st.start
    # By default the replay ends where the imported history does.
    assert st.end.timestamp() == T0 + 3600 and not zreplay.state().ended
    # Refused before the clock moves: arguments, and a module connection
    # next_bar cannot read the bar through.
    for call, error, words in [
        (lambda: zreplay.advance(1e300), ValueError, "seconds=1e"),
        (lambda: zreplay.advance(2**70), ValueError, "seconds="),
        (
            lambda: zreplay.advance(float("nan")),
            ValueError,
            "seconds must be a finite number, not nan",
        ),
        (lambda: zreplay.advance(-0.0001), ValueError, "seconds must be >= 0"),
        (lambda: zreplay.advance("10"), TypeError, "seconds must be a number.*not str"),
        (lambda: zreplay.advance(True), TypeError, "seconds must be a number.*not bool"),
        (lambda: zreplay.advance(200 * 366 * 86400), zreplay.ReplayError, "refused seconds="),
        (lambda: zreplay.next_bar("REPLAYX", 2**40), ValueError, "timeframe=1099511627776"),
        (lambda: zreplay.next_bar("REPLAYX", 7), ValueError, "timeframe=7"),
        (lambda: zreplay.next_bar("REPLAYX", True), TypeError, "timeframe.*not bool"),
        (lambda: zreplay.next_bar("REPLAYX", "1"), TypeError, "timeframe.*not str"),
        (lambda: zreplay.next_bar(b"REPLAYX", TIMEFRAME_M1), TypeError, "symbol.*not bytes"),
        (lambda: zreplay.next_bar("NOSUCH", TIMEFRAME_M1), zreplay.ReplayError, "unknown symbol"),
        (zelkor5.shutdown, None, None),
        (
            lambda: zreplay.next_bar("REPLAYX", TIMEFRAME_M1),
            zreplay.ReplayError,
            r"not connected .*\(No IPC connection \(-10004\)\); call zelkor5.initialize",
        ),
        (install(name="other").initialize, None, None),
        (
            lambda: zreplay.next_bar("REPLAYX", TIMEFRAME_M1),
            zreplay.ReplayError,
            "connected to the terminal at .*/other/inst/terminal64.exe, not to the one at",
        ),
    ]:
        if error is None:
            call()
            continue
        with pytest.raises(error, match=words) as caught:
            call()
        assert "Success" not in str(caught.value)
        assert zreplay.now() == T0 + 600
    assert zelkor5.initialize(inst.exe, portable=True), zelkor5.last_error()

    seen = []
    for requests in range(100):
        bar = zreplay.next_bar("REPLAYX", TIMEFRAME_M1)
        if bar is None:
            break
        clock = zreplay.now()
        assert clock == bar["time"] + 60  # the bar's close
        # One to four requests a bar: none of them moves the market.
        for _ in range(1 + requests % 4):
            tick = ok(zelkor5.symbol_info_tick("REPLAYX"))
            ok(zelkor5.positions_get())
            latest = ok(zelkor5.copy_rates_from("REPLAYX", TIMEFRAME_M1, int(bar["time"]), 2))
            assert latest[-1].tobytes() == bar.tobytes() and tick.time <= clock
        assert zreplay.now() == clock
        seen.append(int(bar["time"]))
    assert seen == [T0 + 60 * k for k in range(10, 60)]  # every minute to the data's end
    assert zreplay.now() == T0 + 3600 and zreplay.state().ended  # unmoved at the end
    assert zreplay.advance(30.5) == T0 + 3600  # stopped at the end, short of 3630.5
    assert zreplay.next_bar("REPLAYX", TIMEFRAME_M1) is None
    assert status(inst.exe).replay.now.timestamp() == T0 + 3600
    # What is traded at the end, the history returns.
    sent = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 1.0)))
    assert sent.retcode == TRADE_RETCODE_DONE, sent.comment
    (deal,) = ok(zelkor5.history_deals_get(T0 + 3000, T0 + 3600))
    assert deal.ticket == sent.deal and deal.time == T0 + 3600


@pytest.mark.parametrize(
    "call, answer, words",
    [
        (zreplay.state, peer.echo(1, b"\0" * 35), "answered the clock's state out of form"),
        (zreplay.state, peer.echo(-7), r"does not tell its clock \(-7\)"),
        (lambda path: zreplay.advance(1, path), peer.echo(1, b"\0" * 4), "answered advance out of"),
        (lambda path: zreplay.advance(1, path), peer.echo(-2), r"refused seconds=1 as invalid"),
    ],
)
def test_an_answer_out_of_form_is_a_replay_error(exe_path, tmp_path, call, answer, words):
    # The stand-in tells where it serves, as the terminal program does.
    said = [peer.pipe_path_for(exe_path), str(tmp_path / "data"), str(tmp_path / "data" / "lock")]
    with open(exe_path, "w") as f:
        f.write("#!/bin/sh\nprintf '%s\\n%s\\n%s\\n'\n" % tuple(said))
    os.chmod(exe_path, 0o755)
    with peer.Peer(exe_path, [answer]):
        with pytest.raises(zreplay.ReplayError, match=words):
            call(exe_path)


DAY = 86400
THU = calendar.timegm((2024, 2, 29, 0, 0, 0))  # a Thursday: daily bars over one weekend
FRI = calendar.timegm((2024, 3, 8, 22, 0, 0))  # Friday 22:00: hourly bars over the next
MON = FRI + 2 * 3600 + 2 * DAY  # Monday 00:00


def test_after_a_bar_the_market_stands_at_the_next_open_and_stops_fill_at_their_level(install):
    inst = install()
    daily = [(THU + d * DAY, o, o + 1, o - 1, o + 0.5, 0, 0, 0) for d, o in ((0, 50), (1, 51))]
    daily += [(THU + d * DAY, o, o + 1, o - 1, o + 0.5, 0, 0, 0) for d, o in ((4, 53), (5, 52))]
    hourly = [
        (FRI, 100.0, 101.0, 99.5, 100.5),
        (FRI + 3600, 100.6, 101.0, 100.2, 100.8),
        (MON, 98.0, 99.0, 97.5, 98.5),  # opens below the first stop: filled at the open
        (MON + 3600, 98.5, 99.2, 96.0, 97.0),  # 98.5, 99.2, 96.0, 97.0: passes 97.2 at :24.375
        (MON + 7200, 97.0, 97.5, 96.5, 97.2),
        (MON + 10800, 97.2, 97.4, 97.0, 97.3),
    ]
    for name, bars in (("GAPD", daily), ("GAPH", [b + (0, 0, 0) for b in hourly])):
        # Today's way to import daily and hourly bars: as minute bars at their times.
        csv_path = os.path.join(inst.dir, name + ".M1.csv")
        write_bars(csv_path, bars, extra=False)
        import_history(csv_path, path=inst.exe, portable=True)
    assert replay(stamp(THU), stepped=True, path=inst.exe, portable=True), zelkor5.last_error()
    # The replay ends where the imported history ends last: the last hourly bar's minute.
    assert zreplay.state().end.timestamp() == MON + 10800 + 60

    def buy(symbol, **kw):
        sent = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 1.0, symbol=symbol, **kw)))
        assert sent.retcode == TRADE_RETCODE_DONE, sent.comment
        return sent

    # Daily bars: every bar trades, at the next day's open, across the weekend too.
    for opened, then, price in ((THU, THU + DAY, 51.0), (THU + DAY, THU + 4 * DAY, 53.0)):
        assert zreplay.next_bar("GAPD", TIMEFRAME_D1)["time"] == opened
        assert zreplay.now() == then and buy("GAPD").price == price
    # Close-of-bar fills: a minute bar's ticks are all past at its 59th second.
    zreplay.advance(FRI + 59 - zreplay.now())
    first = buy("GAPH", sl=99.0)
    assert first.price == 100.5  # the close of the 22:00 bar
    # Hourly bars: after Friday's last bar the market stands at Monday's open.
    assert zreplay.next_bar("GAPH", TIMEFRAME_H1)["time"] == FRI
    assert zreplay.now() == FRI + 3600
    assert zreplay.next_bar("GAPH", TIMEFRAME_H1)["time"] == FRI + 3600
    assert zreplay.now() == MON
    second = buy("GAPH", sl=97.2)
    assert second.price == 98.0
    for _ in range(2):
        zreplay.next_bar("GAPH", TIMEFRAME_H1)
    stops = [d for d in ok(zelkor5.history_deals_get(FRI, MON + DAY)) if d.reason == DEAL_REASON_SL]
    # The gap at Monday's open fills at the open; the stop passed inside the
    # 01:00 bar at its level, when the path from 99.2 to 96.0 reached it.
    assert [(d.position_id, d.price, d.time_msc) for d in stops] == [
        (first.order, 98.0, MON * 1000),
        (second.order, 97.2, (MON + 3600) * 1000 + 24375),
    ]
    # The last bar is cut at the end; then the replay is over.
    while zreplay.next_bar("GAPH", TIMEFRAME_H1) is not None:
        pass
    assert zreplay.now() == MON + 10800 + 60 and zreplay.state().ended


def test_replay_is_shown_switched_off_and_checked_by_the_command(install, tmp_path):
    inst = install(portable=False)
    csv_path = os.path.join(inst.dir, "REPLAYX.M1.csv")
    write_bars(csv_path, ramp_bars(), extra=False)
    assert cli("terminal", "import", csv_path, "--path", inst.exe).returncode == 0
    for bad in (
        ["--from", "2024-03-05", "--speed", "0"],
        ["--from", "2024-03-05", "--speed", "5", "--step", "10"],
        ["--speed", "5"],
        ["--from", "2024-03-05", "--stepped", "--off"],
        ["--from", "2024-03-05", "--step", "0"],
        ["--from", "2024-03-05x"],
        ["--from", "2024-03-05T00:10", "--to", "2024-03-05T00:10"],
        ["--to", "2024-03-05", "--off"],
    ):
        done = cli("terminal", "replay", "--path", inst.exe, *bad)
        assert done.returncode == 2 and done.stderr.count("\n") == 1 and not done.stdout, (
            bad,
            done,
        )
    # A replay the terminal would refuse at its start is refused before the
    # settings are written: the next start is not broken by it.
    config = os.path.join(inst.data_dir(), "config")
    with open(os.path.join(config, "terminal.ini"), "rb") as f:
        settings = f.read()
    done = cli("terminal", "replay", "--path", inst.exe, "--from", "1999-01-01")
    assert done.returncode == 1 and "1999-01-01 00:00 is outside the price history" in done.stderr
    with pytest.raises(TerminalError, match="2999-01-01 00:00 is outside the price history"):
        configure_replay("2999-01-01 00:00", path=inst.exe)
    with open(os.path.join(config, "terminal.ini"), "rb") as f:
        assert f.read() == settings
    assert not [name for name in os.listdir(config) if ".tmp" in name]

    done = cli("terminal", "replay", "--from", "2024-03-05T00:10", "--stepped", "--path", inst.exe)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1] == (
        "replay: from 2024-03-05T00:10:00Z to 2024-03-05T01:00:00Z, stepped (the script "
        "moves the clock), clock at 2024-03-05T00:10:00.000Z"
    )  # the end of the imported history
    zreplay.advance(61, path=inst.exe)
    done = cli("terminal", "status", "--path", inst.exe)
    assert done.returncode == 0 and done.stdout.splitlines()[-1].endswith(
        "clock at 2024-03-05T00:11:01.000Z"
    ), done.stdout
    assert cli("terminal", "stop", "--path", inst.exe).returncode == 0
    # A bare date ends at its end.
    bare = zcli._parser().parse_args(
        ["terminal", "replay", "--from", "2024-03-05", "--to", "2024-03-05"]
    )
    assert bare.end.timestamp() == T0 + 86400
    until = ["--to", "2024-03-05T00:12:30", "--stepped"]
    done = cli("terminal", "replay", "--from", "2024-03-05T00:10", *until, "--path", inst.exe)
    assert done.returncode == 0, done.stderr
    assert zreplay.advance(600, path=inst.exe) == T0 + 750  # stopped at --to
    # The replay stays until switched off, shown while stopped too.
    assert cli("terminal", "stop", "--path", inst.exe).returncode == 0
    done = cli("terminal", "status", "--path", inst.exe)
    assert done.returncode == 3 and done.stdout.splitlines()[-1] == (
        "replay: from 2024-03-05T00:10:00Z to 2024-03-05T00:12:30Z, stepped (the script "
        "moves the clock)"
    )
    assert (
        cli("terminal", "start", "--path", inst.exe)
        .stdout.splitlines()[1]
        .startswith("replay: from 2024-03-05T00:10:00Z")
    )
    done = cli("terminal", "replay", "--off", "--path", inst.exe)
    assert done.returncode == 0 and "live market" in done.stdout, done.stderr
    assert status(inst.exe).replay is None and not status(inst.exe).running
    assert inst.initialize()
    assert abs(ok(zelkor5.symbol_info_tick("EURUSD")).time - T0) > 86400  # today's market
    done = cli("terminal", "status", "--path", inst.exe)
    assert done.stdout.splitlines()[-1] == "replay: off (the live market)"

    # A reader that has gone: no traceback, no error, the command's own status.
    read, write = os.pipe()
    os.close(read)
    try:
        done = subprocess.run(
            [sys.executable, "-m", "zelkor5", "terminal", "status", "--path", inst.exe],
            stdout=write,
            stderr=subprocess.PIPE,
            text=True,
            timeout=60,
        )
    finally:
        os.close(write)
    assert (done.returncode, done.stderr) == (0, "")
    # Every option says what it is for.
    parser = zcli._parser()
    stack = [parser]
    while stack:
        p = stack.pop()
        for action in p._actions:
            if action.choices and isinstance(action.choices, dict):
                stack.extend(action.choices.values())
            elif action.dest != "help":
                assert action.help, (p.prog, action.dest)


def test_exported_bars_and_ticks_import_back_byte_for_byte(install):
    source = install(name="source")
    start, end = "2024-03-05T09:00", "2024-03-05T10:59:59"
    lo, hi = T0 + 9 * 3600, T0 + 11 * 3600 - 1
    bars_csv = os.path.join(source.dir, "EURUSD.M1.csv")
    ticks_csv = os.path.join(source.dir, "EURUSD.ticks.csv")
    for kind, out in (("rates", bars_csv), ("ticks", ticks_csv)):
        extra = ["--timeframe", "M1"] if kind == "rates" else []
        done = cli(
            "export",
            kind,
            "EURUSD",
            *extra,
            "--from",
            start,
            "--to",
            end,
            "-o",
            out,
            "--path",
            source.exe,
        )
        assert done.returncode == 0, done.stderr
    with open(ticks_csv) as f:
        first = next(csv.DictReader(f))
    assert first["time"].endswith("Z") and re.match(r".*:\d\d\.\d{3}Z$", first["time_msc"])
    assert source.initialize()
    want_bars = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, lo, hi)).tobytes()
    want_ticks = ok(zelkor5.copy_ticks_range("EURUSD", lo, hi, COPY_TICKS_ALL)).tobytes()
    source.stop()

    target = install(name="target")
    for path in (bars_csv, ticks_csv):
        assert import_history(path, path=target.exe, portable=True) > 100
    assert target.initialize()
    assert ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, lo, hi)).tobytes() == want_bars
    assert ok(zelkor5.copy_ticks_range("EURUSD", lo, hi, COPY_TICKS_ALL)).tobytes() == want_ticks


@pytest.mark.parametrize("ext", ["csv", "parquet"])
def test_an_export_holds_one_page_at_a_time(install, tmp_path, monkeypatch, ext):
    if ext == "parquet":
        pytest.importorskip("pyarrow.parquet")  # its import is no part of the figure
    inst = install()
    out = str(tmp_path / ("ticks." + ext))
    monkeypatch.setattr(history, "TICKS_CHUNK_SECONDS", 1800)  # small pages
    args = [
        "export",
        "ticks",
        "EURUSD",
        "--from",
        "2024-03-04",
        "--to",
        "2024-03-07",
        "-o",
        out,
        "--path",
        inst.exe,
    ]
    # The writer's first use imports what it needs: no part of the figure.
    zcli.write_pages([np.zeros(1, dtype=[("time_msc", "i8"), ("bid", "f8")])], out)
    tracemalloc.start()
    try:
        assert zcli.main(args) == 0
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert inst.initialize()
    total = ok(history.ticks_range("EURUSD", T0 - 86400, T0 + 3 * 86400 - 1))
    page = ok(history.ticks_range("EURUSD", T0, T0 + 1800))
    # Four days are 192 pages: the export held a few pages' worth at most
    # (as text: a page of CSV lines is some 40 times its binary size).
    assert total.nbytes > 150 * page.nbytes and peak < total.nbytes / 5, (peak, total.nbytes)
    if ext == "parquet":
        import pyarrow.parquet as pq

        meta = pq.ParquetFile(out).metadata
        assert meta.num_rows == len(total) and meta.num_row_groups >= 192
    else:
        with open(out) as f:
            assert sum(1 for _ in f) == len(total) + 1


class Deal:
    """A deal as history_deals_get gives it, for a scenario by hand."""

    _n = 0

    def __init__(
        self,
        time,
        type_,
        entry,
        position,
        volume,
        price,
        profit=0.0,
        commission=0.0,
        symbol="XYZ",
        reason=DEAL_REASON_EXPERT,
    ):
        Deal._n += 1
        self.ticket = Deal._n
        self.time, self.time_msc, self.type, self.entry = time, time * 1000, type_, entry
        self.position_id, self.volume, self.price, self.profit = position, volume, price, profit
        self.commission, self.swap, self.fee, self.symbol = commission, 0.0, 0.0, symbol
        self.reason = reason


def minute_bars(times, close):
    bars = np.zeros(len(times), dtype=[("time", "i8"), ("close", "f8"), ("spread", "i4")])
    bars["time"], bars["close"] = times, close
    return bars


def test_the_statistics_of_a_scenario_computed_by_hand():
    t = T0
    deals = [
        Deal(t, DEAL_TYPE_BALANCE, DEAL_ENTRY_IN, 0, 0, 0, profit=10000.0),
        # Buy 1 at 100, sell at 110: +1000, less 2 commission on the way in.
        Deal(t + 60, DEAL_TYPE_BUY, DEAL_ENTRY_IN, 1, 1.0, 100.0, commission=-2.0),
        Deal(t + DAY + 60, DEAL_TYPE_SELL, DEAL_ENTRY_OUT, 1, 1.0, 110.0, profit=1000.0),
        # Sell 2 at 110, buy back at 115: -1000.
        Deal(t + DAY + 120, DEAL_TYPE_SELL, DEAL_ENTRY_IN, 2, 2.0, 110.0),
        Deal(t + 2 * DAY + 60, DEAL_TYPE_BUY, DEAL_ENTRY_OUT, 2, 2.0, 115.0, profit=-1000.0),
    ]
    # Without prices: the balance after each deal is the curve (no pandas needed).
    plain = zelkor5.reporting.statistics(deals)
    assert plain["max_drawdown"] == pytest.approx(1000) and plain["net_profit"] == -2
    assert plain["profit_factor"] == pytest.approx(0.998) and plain["trades"] == 2
    pytest.importorskip("pandas")
    # Minute closes (bid) of the symbol; spread 0; 100 money per 1.0 per lot.
    times = np.array(
        [
            t,
            t + 60,
            t + 120,
            t + DAY,
            t + DAY + 60,
            t + DAY + 120,
            t + DAY + 180,
            t + 2 * DAY,
            t + 2 * DAY + 60,
            t + 3 * DAY,
        ],
        dtype=np.int64,
    )
    close = np.array([100, 100, 90, 105, 110, 110, 118, 112, 115, 115], dtype=float)
    bars = minute_bars(times, close)
    curve = zelkor5.reporting.equity_curve(deals, {"XYZ": bars}, {"XYZ": (100.0, 0.01)})
    # One row per bar, no other.
    assert curve["time"].tolist() == times.tolist()
    # Equity: 10000; 9998 (bought at 100, close 100); 8998 (close 90); 10498; 10998 (closed);
    # 10998 (sold 2 at 110, close 110); 9398 (close 118: -1600); 10598 (112: +-0 -> -400);
    # 9998 (closed at 115); 9998.
    assert curve["equity"].tolist() == [
        10000,
        9998,
        8998,
        10498,
        10998,
        10998,
        9398,
        10598,
        9998,
        9998,
    ]
    # Exposed: every bar that held a position at any moment, the bars of
    # the closing deals included; the first and the last bar held none.
    assert curve["exposed"].tolist() == [False] + [True] * 8 + [False]
    stats = zelkor5.reporting.statistics(deals, curve)
    # The equity at each day's last point: 8998, 9398, 9998, 9998; three
    # daily returns are too few for the ratios.
    expected = {
        "initial_balance": 10000,
        "final_balance": 9998,
        "final_equity": 9998,
        "deposits": 0,
        "net_profit": -2,
        "gross_profit": 998,
        "gross_loss": -1000,
        "profit_factor": 0.998,
        "trades": 2,
        "wins": 1,
        "losses": 1,
        "win_rate": 50,
        "average_win": 998,
        "average_loss": -1000,
        "largest_win": 998,
        "largest_loss": -1000,
        # From the peak 10998 down to 9398.
        "max_drawdown": 1600,
        "max_drawdown_pct": 1600 / 10998 * 100,
        "daily_returns": 3,
        "sharpe": float("nan"),
        "sortino": float("nan"),
        "exposure_pct": 80,
    }
    assert list(stats) == list(expected)
    assert stats == pytest.approx(expected, nan_ok=True)

    # The ratios from 20 daily returns (21 day closes), none from 19.
    rnd = np.random.default_rng(3)
    equity = 10000 * np.cumprod(1 + rnd.normal(0.001, 0.01, 21))
    for days in (21, 20):
        daily = {
            "time": T0 + DAY * np.arange(days),
            "equity": equity[:days],
            "deposits": np.full(days, 10000.0),
            "exposed": np.ones(days, dtype=bool),
        }
        got = zelkor5.reporting.statistics(deals, daily)
        returns = equity[1:days] / equity[: days - 1] - 1
        assert got["daily_returns"] == days - 1
        if days == 21:
            downside = np.sqrt(np.mean(np.minimum(returns, 0) ** 2))
            assert got["sharpe"] == pytest.approx(returns.mean() / returns.std(ddof=1) * 252**0.5)
            assert got["sortino"] == pytest.approx(returns.mean() / downside * 252**0.5)
        else:
            assert np.isnan(got["sharpe"]) and np.isnan(got["sortino"])


def test_a_stop_inside_a_bar_is_booked_in_that_bars_row():
    pytest.importorskip("pandas")
    t = T0
    deals = [
        Deal(t, DEAL_TYPE_BALANCE, DEAL_ENTRY_IN, 0, 0, 0, profit=10000.0),
        # Bought at 100 in the first hour; the stop at 95 fills at 01:20,
        # inside the second hour, whose bar closes at 97.
        Deal(t + 60, DEAL_TYPE_BUY, DEAL_ENTRY_IN, 7, 1.0, 100.0, commission=-2.0),
        Deal(
            t + 4800,
            DEAL_TYPE_SELL,
            DEAL_ENTRY_OUT,
            7,
            1.0,
            95.0,
            profit=-500.0,
            reason=DEAL_REASON_SL,
        ),
    ]
    hours = minute_bars(t + 3600 * np.arange(4), [99.0, 97.0, 90.0, 92.0])
    curve = zelkor5.reporting.equity_curve(deals, {"XYZ": hours}, {"XYZ": (100.0, 0.01)}, 3600)
    assert len(curve) == 4 and curve["time"].tolist() == hours["time"].tolist()
    # The second bar's row has the position closed at the stop, not valued
    # at the bar's close (9698); the later falls of the price are not ours.
    assert curve["equity"].tolist() == [9898, 9498, 9498, 9498]
    assert curve["balance"].tolist() == [9998, 9498, 9498, 9498]
    assert curve["exposed"].tolist() == [True, True, False, False]
    stats = zelkor5.reporting.statistics(deals, curve)
    assert stats["max_drawdown"] == 400 and stats["exposure_pct"] == 50
    (trade,) = zelkor5.reporting.trade_table(deals).itertuples()
    assert (trade.side, trade.open_price, trade.close_price, trade.closed_by) == (
        "buy",
        100.0,
        95.0,
        "stop-loss",
    )
    assert trade.duration.total_seconds() == 4740 and trade.result == -502
    periods = zelkor5.reporting.drawdown_periods(curve)
    assert len(periods) == 1 and periods["depth"][1] == 400 and periods["recovery"].isna().all()
    monthly = zelkor5.reporting.monthly_returns(curve)
    assert monthly.loc[2024, 3] == pytest.approx(-5.02) and monthly.loc[2024, "year"] == (
        pytest.approx(-5.02)
    )
    # Periods under water, deepest first: 12 -> 9 -> 12, 13 -> 12 -> 14, 14 -> 10 (open);
    # months: March ends at 13 (+30 % of the deposits), April at 10 (-3/13).
    import pandas as pd

    equity = [10, 12, 11, 9, 12, 13, 12, 14, 10]
    days = T0 + DAY * np.array([0, 1, 2, 3, 4, 26, 27, 28, 30])
    by_hand = pd.DataFrame(
        {"time": days, "equity": equity, "deposits": 10.0},
        index=pd.to_datetime(days, unit="s", utc=True),
    )
    periods = zelkor5.reporting.drawdown_periods(by_hand)
    assert periods["depth"].tolist() == [4, 3, 1]
    assert [p.days for p in periods["length"]] == [2, 3, 2]
    assert periods["recovery"].isna().tolist() == [True, False, False]
    monthly = zelkor5.reporting.monthly_returns(by_hand)
    assert monthly.loc[2024, [3, 4]].tolist() == pytest.approx([30, -300 / 13])
    assert monthly.loc[2024, "year"] == pytest.approx(0)


def test_the_report_of_a_fresh_account_and_of_trades_within_one_bar(install, tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    # No deals at all: an empty curve and statistics, no failure.
    empty = zelkor5.reporting.equity_curve([], {}, {})
    assert len(empty) == 0 and list(empty.columns)[-1] == "exposed"
    nothing = zelkor5.reporting.statistics([], empty)
    assert nothing["trades"] == 0 and np.isnan(nothing["sharpe"])
    assert len(zelkor5.reporting.drawdown_periods(empty)) == 0
    assert len(zelkor5.reporting.monthly_returns(empty)) == 0

    inst = install()
    csv_path = os.path.join(inst.dir, "REPLAYX.M1.csv")
    write_bars(csv_path, ramp_bars(), extra=False)
    import_history(csv_path, path=inst.exe, portable=True)
    assert replay(stamp(T0), stepped=True, path=inst.exe, portable=True)
    zreplay.next_bar("REPLAYX", TIMEFRAME_M1)
    for trades in (0, 1):
        if trades:
            # Opened and closed within the bar the deposit is in.
            for kind in (ORDER_TYPE_BUY, ORDER_TYPE_SELL):
                request = {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": "REPLAYX",
                    "volume": 1.0,
                    "type": kind,
                }
                if kind == ORDER_TYPE_SELL:
                    request["position"] = ok(zelkor5.positions_get())[0].ticket
                assert ok(zelkor5.order_send(request)).retcode == TRADE_RETCODE_DONE
        page = str(tmp_path / ("%d.html" % trades))
        # Hours: the deals are within the bar that opened at T0, before the
        # first of them.
        result = zelkor5.report(html=page, timeframe=TIMEFRAME_H1)
        stats = result.statistics
        assert stats["trades"] == trades and stats["initial_balance"] == 10000
        assert result.curve["exposed"].tolist() == [bool(trades)]
        assert result.curve["time"].tolist() == ([T0] if trades else [T0 + 60])
        assert len(result.trades) == trades and "<img" in result._repr_html_()
        done = cli("report", "-o", str(tmp_path / "cli.html"), "--path", inst.exe)
        assert done.returncode == 0 and "%d trades" % trades in done.stdout, done.stderr
        assert "Traceback" not in done.stderr


def test_the_report_page_renders_in_chromium(install, tmp_path):
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    inst = install()
    csv_path = os.path.join(inst.dir, "REPLAYX.M1.csv")
    write_bars(csv_path, ramp_bars(), extra=False)
    import_history(csv_path, path=inst.exe, portable=True)
    assert replay(stamp(T0), stepped=True, path=inst.exe, portable=True)
    for minute in range(59):
        zreplay.next_bar("REPLAYX", TIMEFRAME_M1)
        if minute in (2, 20, 33):
            ok(
                zelkor5.order_send(
                    {
                        "action": TRADE_ACTION_DEAL,
                        "symbol": "REPLAYX",
                        "volume": 1.0,
                        "type": ORDER_TYPE_BUY,
                    }
                )
            )
        elif minute in (12, 28, 50):
            (position,) = ok(zelkor5.positions_get())
            sent = ok(
                zelkor5.order_send(
                    {
                        "action": TRADE_ACTION_DEAL,
                        "symbol": "REPLAYX",
                        "volume": 1.0,
                        "type": ORDER_TYPE_SELL,
                        "position": position.ticket,
                    }
                )
            )
            assert sent.retcode == TRADE_RETCODE_DONE, sent.comment
    page = str(tmp_path / "report.html")
    # The user's backend and pyplot's figures are left as they were.
    import matplotlib
    import matplotlib.pyplot as plt

    backend = matplotlib.get_backend()
    mine = plt.figure()
    figures = plt.get_fignums()
    try:
        result = zelkor5.report(html=page, png_dir=str(tmp_path / "png"))
        inline = result._repr_html_()
        assert matplotlib.get_backend() == backend and plt.get_fignums() == figures
        assert plt.gcf() is mine
    finally:
        plt.close(mine)
    # Equity, drawdown, the trades' results and the price with the trades.
    assert result.statistics["trades"] == 3 and len(result.png) == 4
    assert inline.count("data:image/png;base64,") == 4 and "<script" not in inline
    assert result.trades["side"].tolist() == ["buy"] * 3
    assert (result.trades["close_time"] > result.trades["open_time"]).all()
    assert result.curve.index[-1].timestamp() <= T0 + 3600 and len(result.curve) >= 50
    deals = ok(zelkor5.history_deals_get(0, T0 + 7200))
    assert result.statistics["net_profit"] == pytest.approx(
        sum(d.profit + d.commission + d.swap + d.fee for d in deals if d.type != DEAL_TYPE_BALANCE)
    )
    # The command: the same statistics, for the account named.
    stats_csv = str(tmp_path / "stats.csv")
    done = cli(
        "report",
        "--login",
        str(ok(zelkor5.account_info()).login),
        "-o",
        str(tmp_path / "cli.html"),
        "--csv",
        stats_csv,
        "--path",
        inst.exe,
    )
    assert done.returncode == 0 and "3 trades" in done.stdout, done.stderr
    with open(stats_csv) as f:
        written = {row[0]: float(row[1]) for row in list(csv.reader(f))[1:]}
    assert written == pytest.approx(dict(result.statistics), nan_ok=True, abs=1e-4)
    # Money in the account currency's digits, no binary noise.
    with open(stats_csv) as f:
        assert not re.search(r"\.\d{5,}", f.read())
    assert cli("report", "-o", str(tmp_path / "x.txt"), "--path", inst.exe).returncode == 1
    with open(page) as f:
        text = f.read()
    assert (
        "http" not in text.replace("http-equiv", "") and text.count("data:image/png;base64,") == 4
    )
    # One page, no scripts, no path of the sources; the tables are there.
    assert "<script" not in text and ROOT not in text and "docs/" not in text
    for table in ("stats", "drawdowns", "monthly", "trades"):
        assert '<table class="%s">' % table in text
    assert text.count("<td class=text>REPLAYX</td>") == 3

    shot = str(tmp_path / "shot.png")
    done = subprocess.run(
        [
            "chromium",
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            "--enable-logging=stderr",
            "--v=0",
            "--window-size=1100,1500",
            "--screenshot=" + shot,
            "file://" + page,
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert not [line for line in done.stderr.splitlines() if "CONSOLE" in line], done.stderr
    assert os.path.getsize(shot) > 20000
    # What the page shows, as text.
    done = subprocess.run(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", "file://" + page],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0 and "Worst drawdown periods" in done.stdout
    assert "Monthly returns" in done.stdout and "Trades (3)" in done.stdout
