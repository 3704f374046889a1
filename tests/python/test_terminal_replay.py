"""Replays under the script's control and what comes out of them: a stepped
replay that sees every bar however many requests a strategy makes, its
state shown by the command and switched off again, exports that import
back exactly and stream in bounded memory, and the report of an account."""

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
from test_terminal_history import T0, ramp_bars, stamp, write_bars

import zelkor5
from zelkor5 import cli as zcli
from zelkor5 import history
from zelkor5 import replay as zreplay
from zelkor5.constants import (
    COPY_TICKS_ALL,
    DEAL_ENTRY_IN,
    DEAL_ENTRY_OUT,
    DEAL_TYPE_BALANCE,
    DEAL_TYPE_BUY,
    DEAL_TYPE_SELL,
    ORDER_TYPE_BUY,
    ORDER_TYPE_SELL,
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
    assert zreplay.now() == T0 + 3600  # unmoved at the end
    assert zreplay.advance(90.5) == T0 + 3690.5
    assert status(inst.exe).replay.now.timestamp() == T0 + 3690.5
    with pytest.raises(ValueError):
        zreplay.advance(-1)
    with pytest.raises(zreplay.ReplayError, match="unknown symbol"):
        zreplay.next_bar("NOSUCH", TIMEFRAME_M1)


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
        "replay: from 2024-03-05T00:10:00Z, stepped (the script "
        "moves the clock), clock at 2024-03-05T00:10:00.000Z"
    )
    zreplay.advance(61, path=inst.exe)
    done = cli("terminal", "status", "--path", inst.exe)
    assert done.returncode == 0 and done.stdout.splitlines()[-1].endswith(
        "clock at 2024-03-05T00:11:01.000Z"
    ), done.stdout
    # The replay stays until switched off, shown while stopped too.
    assert cli("terminal", "stop", "--path", inst.exe).returncode == 0
    done = cli("terminal", "status", "--path", inst.exe)
    assert done.returncode == 3 and done.stdout.splitlines()[-1] == (
        "replay: from 2024-03-05T00:10:00Z, stepped (the script moves the clock)"
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
        self, time, type_, entry, position, volume, price, profit=0.0, commission=0.0, symbol="XYZ"
    ):
        Deal._n += 1
        self.ticket = Deal._n
        self.time, self.time_msc, self.type, self.entry = time, time * 1000, type_, entry
        self.position_id, self.volume, self.price, self.profit = position, volume, price, profit
        self.commission, self.swap, self.fee, self.symbol = commission, 0.0, 0.0, symbol


DAY = 86400


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
    bars = np.zeros(len(times), dtype=[("time", "i8"), ("close", "f8"), ("spread", "i4")])
    bars["time"], bars["close"] = times, close
    curve = zelkor5.reporting.equity_curve(deals, {"XYZ": bars}, {"XYZ": (100.0, 0.01)})
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
    assert curve["exposed"].tolist() == [
        False,
        True,
        True,
        True,
        False,
        True,
        True,
        True,
        False,
        False,
    ]
    stats = zelkor5.reporting.statistics(deals, curve)
    # The equity at each day's last point: 8998, 9398, 9998, 9998.
    returns = np.array([9398 / 8998, 9998 / 9398, 9998 / 9998]) - 1
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
        "sharpe": returns.mean() / returns.std(ddof=1) * 252**0.5,
        "exposure_pct": 60,
    }
    assert list(stats) == list(expected)
    assert stats == pytest.approx(expected)


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
    result = zelkor5.report(html=page, png_dir=str(tmp_path / "png"))
    assert result.statistics["trades"] == 3 and len(result.png) == 3
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
    assert written == pytest.approx(dict(result.statistics), nan_ok=True)
    assert cli("report", "-o", str(tmp_path / "x.txt"), "--path", inst.exe).returncode == 1
    with open(page) as f:
        text = f.read()
    assert (
        "http" not in text.replace("http-equiv", "") and text.count("data:image/png;base64,") == 3
    )

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
