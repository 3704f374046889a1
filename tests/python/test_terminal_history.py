"""The user's own price history in the bundled terminal, through the module:
imported bars and ticks served exactly (for a known and a new symbol), a
rejected file, and replays of the imported market; the layouts and
encodings files come in, bars of longer timeframes, and bytes that are no
text."""

import calendar
import datetime
import os
import time

import pytest
from test_terminal_helpers import import_done, install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5 import replay as zreplay
from zelkor5.constants import (
    COPY_TICKS_ALL,
    DEAL_REASON_SL,
    ORDER_TYPE_BUY,
    ORDER_TYPE_BUY_LIMIT,
    ORDER_TYPE_SELL,
    TIMEFRAME_D1,
    TIMEFRAME_H1,
    TIMEFRAME_H4,
    TIMEFRAME_M1,
    TIMEFRAME_M5,
    TIMEFRAME_W1,
    TRADE_ACTION_DEAL,
    TRADE_ACTION_PENDING,
    TRADE_RETCODE_DONE,
)
from zelkor5.terminal import HistoryImportError, import_history, replay, status

T0 = calendar.timegm((2024, 3, 5, 0, 0, 0))  # a Tuesday
END = T0 + 86400


def stamp(t):
    return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")


def write_bars(path, bars, extra=True):
    """bars: (time, open, high, low, close, tick_volume, spread, real_volume)."""
    head = "time,open,high,low,close,tick_volume" + (",spread,real_volume" if extra else "")
    with open(path, "w") as f:
        f.write(head + "\n")
        for i, b in enumerate(bars):
            # Both time forms, alternately.
            when = str(b[0]) if i % 2 else stamp(b[0])
            cells = [when] + ["%.5f" % p for p in b[1:5]] + [str(b[5])]
            if extra:
                cells += [str(b[6]), str(b[7])]
            f.write(",".join(cells) + "\n")


# EURUSD minutes 10:00..10:29 of 2024-03-05, one missing at 10:13.
EURUSD_BARS = []
for k in range(30):
    if k == 13:
        continue
    o = 1.08500 + 0.0001 * (k % 7)
    EURUSD_BARS.append(
        (
            T0 + 36000 + 60 * k,
            o,
            o + 0.00040,
            o - 0.00025,
            o + 0.00010 * (k % 3 - 1),
            [0, 1, 2, 7, 150][k % 5],
            3 + k % 4,
            10 * k,
        )
    )
# A new symbol's ticks, three decimals.
CUSTOM_TICKS = [
    (
        T0 * 1000 + 36000000 + 137 * j + (j // 50) * 61000,
        250.125 + 0.01 * (j % 13),
        250.125 + 0.01 * (j % 13) + 0.05,
    )
    for j in range(200)
]


def rows(array, fields):
    return [tuple(r[f].item() for f in fields) for r in array]


@pytest.fixture
def imported(install):
    inst = install()
    folder = os.path.join(inst.data_dir(), "import")
    os.makedirs(folder)
    write_bars(os.path.join(folder, "EURUSD.M1.csv"), EURUSD_BARS)
    with open(os.path.join(folder, "MYIDX.ticks.csv"), "w") as f:
        f.write("time_msc,bid,ask\n")
        for i, (t, bid, ask) in enumerate(CUSTOM_TICKS):
            when = (
                str(t)
                if i % 2
                else datetime.datetime.fromtimestamp(t / 1000, datetime.timezone.utc).strftime(
                    "%Y-%m-%d %H:%M:%S.%f"
                )[:-3]
            )
            f.write("%s,%.3f,%.3f\n" % (when, bid, ask))
    # A malformed file: line 4 has a low above its open.
    write_bars(
        os.path.join(folder, "GBPUSD.M1.csv"),
        [EURUSD_BARS[0], EURUSD_BARS[1], (T0 + 36120, 1.3, 1.31, 1.305, 1.302, 5, 1, 0)],
    )
    return inst


def test_imported_bars_and_ticks_are_served_exactly(imported):
    assert imported.initialize(), zelkor5.last_error()
    progress = import_done(imported)
    assert (progress.files, progress.imported, progress.rejected) == (3, 2, 1)
    folder = os.path.join(imported.data_dir(), "import")
    assert sorted(os.listdir(os.path.join(folder, "done"))) == ["EURUSD.M1.csv", "MYIDX.ticks.csv"]
    assert sorted(os.listdir(os.path.join(folder, "failed"))) == [
        "GBPUSD.M1.csv",
        "GBPUSD.M1.csv.err",
    ]
    with open(os.path.join(folder, "failed", "GBPUSD.M1.csv.err")) as f:
        assert f.read().startswith("line 4: high and low do not contain open and close")
    assert not [n for n in os.listdir(folder) if n.endswith(".csv")]

    # Minute bars as imported, every field (a tick_volume of 0 is no count:
    # the ticks made for the bar); the rejected file left GBPUSD alone.
    fields = ("time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume")
    m1 = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, T0 + 36000, T0 + 36000 + 29 * 60))
    assert rows(m1, fields) == [
        (b[0],) + tuple(round(p, 5) for p in b[1:5]) + (b[5] or 4,) + b[6:] for b in EURUSD_BARS
    ]
    gbp = ok(zelkor5.copy_rates_range("GBPUSD", TIMEFRAME_M1, T0 + 36000, T0 + 36120))
    assert len(gbp) == 3 and gbp[2]["open"] != 1.3
    # Outside the imported span the simulated market goes on.
    hour = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, T0 + 35940, T0 + 39600))
    assert hour[0]["time"] == T0 + 35940 and hour[-1]["time"] == T0 + 39600
    assert len(hour) == 62 - 1  # 09:59 to 11:00 but 10:13

    # Larger timeframes from the minutes; ticks that reproduce each minute.
    for tf, span in ((TIMEFRAME_M5, 300), (TIMEFRAME_H1, 3600)):
        for bar in ok(zelkor5.copy_rates_range("EURUSD", tf, T0 + 36000, T0 + 39599)):
            inside = hour[(hour["time"] >= bar["time"]) & (hour["time"] < bar["time"] + span)]
            assert (bar["open"], bar["close"]) == (inside[0]["open"], inside[-1]["close"])
            assert (bar["high"], bar["low"]) == (inside["high"].max(), inside["low"].min())
            assert bar["tick_volume"] == inside["tick_volume"].sum()
            assert bar["real_volume"] == inside["real_volume"].sum()
    ticks = ok(zelkor5.copy_ticks_range("EURUSD", T0 + 36000, T0 + 37800, COPY_TICKS_ALL))
    for bar in m1:
        mine = ticks[
            (ticks["time_msc"] >= bar["time"] * 1000)
            & (ticks["time_msc"] < bar["time"] * 1000 + 60000)
        ]
        assert len(mine) == max(bar["tick_volume"], 4)
        assert mine[0]["bid"] == bar["open"] and mine[-1]["bid"] == bar["close"]
        assert mine["bid"].max() == bar["high"] and mine["bid"].min() == bar["low"]
        assert (mine["ask"] - mine["bid"]).round(5).min() == round(bar["spread"] * 1e-5, 5)

    # The new symbol: a custom symbol with the data's digits, its ticks as they are.
    info = ok(zelkor5.symbol_info("MYIDX"))
    assert info.custom and info.path == "Custom\\MYIDX" and info.digits == 3
    assert info.trade_contract_size == 1 and info.trade_calc_mode == 2
    got = ok(zelkor5.copy_ticks_range("MYIDX", 0, END, COPY_TICKS_ALL))
    assert rows(got, ("time_msc", "bid", "ask")) == [
        (t, round(b, 3), round(a, 3)) for t, b, a in CUSTOM_TICKS
    ]
    bars = ok(zelkor5.copy_rates_range("MYIDX", TIMEFRAME_M1, 0, END))
    assert sum(bars["tick_volume"]) == len(CUSTOM_TICKS)
    for bar in bars:
        mine = got[(got["time"] >= bar["time"]) & (got["time"] < bar["time"] + 60)]
        assert (bar["open"], bar["close"]) == (mine[0]["bid"], mine[-1]["bid"])
        assert (bar["high"], bar["low"]) == (mine["bid"].max(), mine["bid"].min())
    assert zelkor5.symbol_info("GBPUSD.M1") is None


def test_import_helper_reports_the_line_of_a_fault(install, tmp_path):
    inst = install()
    good = tmp_path / "prices.csv"
    # Years before the simulated history begins.
    early = [(b[0] - 441763200,) + b[1:] for b in EURUSD_BARS[:3]]
    write_bars(str(good), early, extra=False)
    assert import_history(str(good), symbol="ABC", path=inst.exe, portable=True) == 3
    bad = tmp_path / "XYZ.ticks.csv"
    bad.write_text("time_msc,bid,ask\n1709600000000,1.5,1.6\n1709600000001,1.5,oops\n")
    with pytest.raises(HistoryImportError) as err:
        import_history(str(bad), path=inst.exe, portable=True)
    assert err.value.reason == 'line 3: ask is not a positive number: "oops"'
    assert inst.initialize(), zelkor5.last_error()
    assert ok(zelkor5.symbol_info("ABC")).custom and zelkor5.symbol_info("XYZ") is None
    bars = ok(zelkor5.copy_rates_range("ABC", TIMEFRAME_M1, early[0][0], early[-1][0]))
    assert list(bars["time"]) == [b[0] for b in early]
    assert len(ok(zelkor5.copy_rates_from_pos("ABC", TIMEFRAME_H1, 0, 10))) == 1


def ramp_bars():
    """REPLAYX minutes from 00:00: flat at 100, a dip to 97.50 at 00:30 and
    one to 96.00 at 00:45; each dip goes to its high first, so its low is
    the minute's third tick, at :30."""
    bars = []
    for k in range(60):
        o, h, low, c, n = 100.0, 100.0, 100.0, 100.0, 1
        if k == 30:
            h, low, c, n = 100.5, 97.5, 99.0, 4
        if k == 45:
            o, h, low, c, n = 99.0, 99.5, 96.0, 98.0, 4
        bars.append((T0 + 60 * k, o, h, low, c, n, 0, 0))
    return bars


def replay_install(install, settings):
    inst = install(settings="IdleExit=3\n" + settings)
    folder = os.path.join(inst.data_dir(), "import")
    os.makedirs(folder)
    write_bars(os.path.join(folder, "REPLAYX.M1.csv"), ramp_bars(), extra=False)
    return inst


def market(type_, volume, **kw):
    return dict(
        {"action": TRADE_ACTION_DEAL, "symbol": "REPLAYX", "volume": volume, "type": type_}, **kw
    )


def test_a_fast_replay_triggers_a_stop_and_a_pending_order_at_imported_prices(install):
    inst = install()
    write_bars(os.path.join(str(inst.dir), "REPLAYX.M1.csv"), ramp_bars(), extra=False)
    import_history(os.path.join(str(inst.dir), "REPLAYX.M1.csv"), path=inst.exe, portable=True)
    # 600 market seconds a second: the dips come 3 and 4.5 seconds in.
    assert replay(stamp(T0), speed=600, path=inst.exe, portable=True), zelkor5.last_error()
    start = ok(zelkor5.symbol_info_tick("REPLAYX"))
    assert T0 * 1000 <= start.time_msc < (T0 + 25 * 60) * 1000
    # Nothing later than the clock exists.
    latest = ok(zelkor5.copy_rates_from_pos("REPLAYX", TIMEFRAME_M1, 0, 100))
    assert latest[-1]["time"] <= start.time_msc // 1000 + 60 and len(latest) < 30
    deposit = ok(zelkor5.account_info()).balance
    assert ok(zelkor5.history_deals_get(0, END))[0].time < T0 + 25 * 60

    bought = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 1.0, sl=98.0)))
    assert bought.retcode == TRADE_RETCODE_DONE and bought.price == 100.0, bought.comment
    placed = ok(
        zelkor5.order_send(
            {
                "action": TRADE_ACTION_PENDING,
                "symbol": "REPLAYX",
                "volume": 2.0,
                "type": ORDER_TYPE_BUY_LIMIT,
                "price": 96.5,
            }
        )
    )
    assert placed.retcode == TRADE_RETCODE_DONE, placed.comment
    # The market clock reaches 00:46 within about 5 real seconds.
    deadline = time.monotonic() + 60
    while ok(zelkor5.symbol_info_tick("REPLAYX")).time < T0 + 46 * 60:
        assert time.monotonic() < deadline
        time.sleep(0.05)

    # The first request after the walk already sees what the stream did.
    deals = ok(zelkor5.history_deals_get(T0, T0 + 3600))
    # Each at its level, where the line from the bar's high (its second
    # tick, at :15) to its low (at :30) reaches it.
    sl = [d for d in deals if d.reason == DEAL_REASON_SL]
    assert len(sl) == 1 and sl[0].price == 98.0 and sl[0].time_msc == (T0 + 30 * 60 + 27.5) * 1000
    filled = [d for d in deals if d.order == placed.order]
    assert (
        len(filled) == 1
        and filled[0].price == 96.5
        and filled[0].time_msc == (T0 + 45 * 60 + 27) * 1000 + 858  # 12857.1 ms after :15
    )
    for d in (sl[0], filled[0]):
        ticks = ok(zelkor5.copy_ticks_range("REPLAYX", d.time - 30, d.time + 30, COPY_TICKS_ALL))
        before = ticks[ticks["time_msc"] < d.time_msc][-1]
        after = ticks[ticks["time_msc"] >= d.time_msc][0]
        assert before["bid"] > d.price > after["bid"]
    assert sl[0].profit == -2.0
    assert zelkor5.positions_total() == 1 and zelkor5.orders_total() == 0
    assert ok(zelkor5.account_info()).balance == pytest.approx(deposit - 2.0)


def scripted_session(inst):
    """One fixed sequence of requests; what a replay answered to it."""
    assert inst.initialize(), zelkor5.last_error()
    seen = []
    sent = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.5, sl=98.0)))
    seen.append((sent.retcode, sent.price, sent.deal))
    for _ in range(50):
        seen.append(tuple(ok(zelkor5.symbol_info_tick("REPLAYX"))))
    sent = ok(
        zelkor5.order_send(
            {
                "action": TRADE_ACTION_PENDING,
                "symbol": "REPLAYX",
                "volume": 1.0,
                "type": ORDER_TYPE_BUY_LIMIT,
                "price": 97.0,
            }
        )
    )
    seen.append((sent.retcode, sent.order))
    for _ in range(50):
        seen.append(tuple(ok(zelkor5.symbol_info_tick("REPLAYX"))))
    (position,) = ok(zelkor5.positions_get())
    sent = ok(zelkor5.order_send(market(ORDER_TYPE_SELL, 1.0, position=position.ticket)))
    seen.append((sent.retcode, sent.price))
    deals = ok(zelkor5.history_deals_get(0, END))
    seen.append(tuple(tuple(d) for d in deals))
    seen.append(tuple(tuple(o) for o in ok(zelkor5.history_orders_get(0, END))))
    seen.append(ok(zelkor5.account_info()).balance)
    seen.append(ok(zelkor5.copy_ticks_range("REPLAYX", 0, END, COPY_TICKS_ALL)).tobytes())
    inst.stop()
    return seen, deals


def test_two_stepped_replays_give_identical_results(install):
    # Each request moves the market 30 seconds: the stop-loss at 00:30 and
    # the limit order at 00:45 are reached in the middle of the script.
    inst = replay_install(install, "[Replay]\nFrom=%s\nStep=30000\n" % stamp(T0))
    first, deals = scripted_session(inst)
    second, _ = scripted_session(inst)
    assert first == second
    # deposit, buy, its stop-loss, the limit order's fill, its close
    assert [d.reason == DEAL_REASON_SL for d in deals] == [False, False, True, False, False]
    assert deals[2].price == 98.0 and deals[3].price == 97.0  # at their levels
    assert all(T0 <= d.time < T0 + 3600 for d in deals)


def test_the_command_imports_history_and_starts_a_replay(install):
    from test_package_terminal import cli

    inst = install(portable=False)
    good = os.path.join(inst.dir, "REPLAYX.M1.csv")
    write_bars(good, ramp_bars(), extra=False)
    bad = os.path.join(inst.dir, "BADX.M1.csv")
    with open(bad, "w") as f:
        f.write(
            "time,open,high,low,close,tick_volume\n%d,1,2,0.5,1.5,4\n%d,1,x,0.5,1,4\n"
            % (T0, T0 + 60)
        )
    done = cli("terminal", "import", bad, "--path", inst.exe)
    assert done.returncode == 1 and "line 3" in done.stderr, done.stderr
    done = cli("terminal", "import", good, "--path", inst.exe)
    assert (done.returncode, done.stdout) == (0, "imported 60 rows\n"), done.stderr

    # Each request moves the market a minute from 00:40.
    done = cli(
        "terminal", "replay", "--from", "2024-03-05T00:40", "--step", "60000", "--path", inst.exe
    )
    assert done.returncode == 0 and "pid" in done.stdout, done.stderr
    done = cli("terminal", "replay", "--from", "2024-03-05T00:40", "--path", inst.exe)
    assert done.returncode == 1 and "stop it first" in done.stderr
    assert inst.initialize(), zelkor5.last_error()
    tick = ok(zelkor5.symbol_info_tick("REPLAYX"))
    assert T0 + 40 * 60 <= tick.time < T0 + 60 * 60
    # The next request is a minute later: its current bar is the next one.
    bar = ok(zelkor5.copy_rates_from_pos("REPLAYX", TIMEFRAME_M1, 0, 1))[0]
    assert bar["time"] == tick.time - tick.time % 60 + 60


PEAK_RSS = r"""
import resource, subprocess, sys
done = subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                      stderr=subprocess.PIPE, universal_newlines=True)
print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.stdout.write(done.stderr)
"""


def test_hostile_import_files_cost_a_refusal_never_the_start_nor_a_read_outside(install, tmp_path):
    import subprocess
    import sys

    inst = install()
    folder = os.path.join(inst.data_dir(), "import")
    os.makedirs(folder)
    secret = tmp_path / "secret.csv"
    secret.write_text("time,open,high,low,close,tick_volume\nTOPSECRET-42,1,1,1,1,1\n")
    os.symlink(str(secret), os.path.join(folder, "OUT.M1.csv"))
    os.symlink("/dev/zero", os.path.join(folder, "ZERO.ticks.csv"))
    os.mkfifo(os.path.join(folder, "PIPE.M1.csv"))
    write_bars(os.path.join(folder, "EURUSD.M1.csv"), EURUSD_BARS)
    # 100 MB of empty lines after the header: bounded by the rows kept.
    with open(os.path.join(folder, "BLANK.M1.csv"), "wb") as f:
        f.write(b"time,open,high,low,close,tick_volume\n")
        for _ in range(100):
            f.write(b"\n" * (1 << 20))
    exe = [inst.exe, "/portable", "/import"]
    done = subprocess.run(
        [sys.executable, "-c", PEAK_RSS] + exe,
        stdout=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    status, peak_kib = map(int, done.stdout.splitlines()[0].split())
    assert status == 3, done.stdout
    print("peak memory of the import: %.1f MiB" % (peak_kib / 1024))
    assert peak_kib < 64 * 1024
    failed = os.path.join(folder, "failed")
    reasons = {
        n[:-4]: open(os.path.join(failed, n)).read()
        for n in os.listdir(failed)
        if n.endswith(".err")
    }
    assert sorted(reasons) == ["BLANK.M1.csv", "OUT.M1.csv", "PIPE.M1.csv", "ZERO.ticks.csv"]
    assert "symbolic link" in reasons["OUT.M1.csv"] and "FIFO" in reasons["PIPE.M1.csv"]
    assert reasons["BLANK.M1.csv"] == "no rows after the header\n"
    assert not any("TOPSECRET" in r for r in reasons.values()) and secret.exists()
    assert os.listdir(os.path.join(folder, "done")) == ["EURUSD.M1.csv"]
    # The same files dropped in again (renamed) cost nothing at start.
    os.symlink("/dev/zero", os.path.join(folder, "ZERO2.ticks.csv"))
    os.mkfifo(os.path.join(folder, "PIPE2.M1.csv"))
    assert inst.initialize(), zelkor5.last_error()
    assert import_done(inst).rejected == 2
    bars = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, T0 + 36000, T0 + 36000))
    assert bars[0]["open"] == pytest.approx(EURUSD_BARS[0][1])
    assert [n for n in os.listdir(folder) if n.endswith(".csv")] == []


def test_symbol_names_never_lead_outside_their_folders(install, tmp_path):
    from test_package_terminal import cli

    inst = install()
    good = tmp_path / "t.M1.csv"
    write_bars(str(good), EURUSD_BARS[:2], extra=False)
    escape = os.path.join(tempfile_root(), "escape.M1.csv")
    for symbol in ["../../../escape", "a/b", "..", ".", "x" * 30, ""]:
        with pytest.raises(HistoryImportError, match="is not a symbol name"):
            import_history(str(good), symbol=symbol, path=inst.exe, portable=True)
    done = cli("terminal", "import", str(good), "--symbol", "../../../escape", "--path", inst.exe)
    assert done.returncode == 1 and "is not a symbol name" in done.stderr, done.stderr
    assert not os.path.exists(escape) and not os.path.exists("/escape.M1.csv")
    assert import_history(str(good), symbol="MY.X", path=inst.exe, portable=True) == 2


def tempfile_root():
    import tempfile

    return tempfile.gettempdir()


@pytest.mark.parametrize(
    "setting, says",
    [
        (
            "From=2024-13-01 00:00",
            "[Replay] From=2024-13-01 00:00 is not a UTC date and time YYYY-MM-DD HH:MM[:SS]",
        ),
        ("From=24-03-05 00:00", "[Replay] From=24-03-05 00:00 is not a UTC date and time"),
        (
            "From=2024-03-05 00:00\nSpeed=0",
            "[Replay] Speed=0 is not a whole number from 1 to 1000000",
        ),
        (
            "From=2024-03-05 00:00\nSpeed=abc",
            "[Replay] Speed=abc is not a whole number from 1 to 1000000",
        ),
        (
            "From=2024-03-05 00:00\nSpeed=1000000000",
            "[Replay] Speed=1000000000 is not a whole number",
        ),
        ("From=2024-03-05 00:00\nStep=-1", "[Replay] Step=-1 is not a whole number from 0 to"),
        (
            "From=2030-01-01 00:00",
            "[Replay] From=2030-01-01 00:00 is outside the price history, which covers "
            "2015-01-01 00:00 to now",
        ),
        ("From=1900-01-01 00:00", "[Replay] From=1900-01-01 00:00 is outside the price history"),
        (
            "From=2024-03-05 00:00\nTo=2024-03-04 23:59",
            "[Replay] To=2024-03-04 23:59 is not after From=2024-03-05 00:00",
        ),
        ("From=2024-03-05 00:00\nTo=2030-01-01 00:00", "[Replay] To=2030-01-01 00:00 is after now"),
    ],
)
def test_invalid_replay_settings_stop_the_start_before_anything_is_written(install, setting, says):
    import subprocess

    inst = install(settings="IdleExit=3\n[Replay]\n" + setting + "\n")
    done = subprocess.run(
        [inst.exe, "/portable"],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=30,
    )
    first = done.stderr.splitlines()[0]
    assert done.returncode == 2 and first.startswith("terminal64.exe: " + says), done.stderr
    assert "terminal.ini" in first
    for folder in ("bases", "replay"):
        path = os.path.join(inst.data_dir(), folder)
        assert not os.path.exists(path) or os.listdir(path) == []


# The same two EURUSD minute bars (2024-03-04 10:00 and 10:01 UTC) as users
# have them: (file name, text or bytes, import_history options).
LAYOUT_BARS = [
    (1709546400, 1.1, 1.2, 1.0, 1.15, 5),
    (1709546460, 1.15, 1.25, 1.1, 1.2, 6),
]
PLAIN = "time,open,high,low,close,tick_volume\n" + "".join(
    "%d,%s,%s,%s,%s,%d\n" % b for b in LAYOUT_BARS
)
LAYOUTS = [
    ("plain", PLAIN, {}),
    (
        "downloader",
        "Datetime,Open,High,Low,Close,Adj Close,Volume\n"
        "2024-03-04 10:00:00+00:00,1.1,1.2,1.0,1.15,1.15,5\n"
        "2024-03-04 10:01:00+00:00,1.15,1.25,1.1,1.2,1.2,6.0\n",
        {},
    ),
    (
        "date-time",
        "Date,Time,Open,High,Low,Close,Volume\n2024.03.04,10:00,1.1,1.2,1.0,1.15,5\n"
        "2024.03.04,10:01,1.15,1.25,1.1,1.2,6\n",
        {},
    ),
    (
        "semicolons",
        "DATE;TIME;OPEN;HIGH;LOW;CLOSE;VOL\n20240304;10:00:00;1.1;1.2;1.0;1.15;5\n"
        "20240304;10:01:00;1.15;1.25;1.1;1.2;6\n",
        {},
    ),
    (
        "terminal-export",
        "<DATE>\t<TIME>\t<OPEN>\t<HIGH>\t<LOW>\t<CLOSE>\t<TICKVOL>\t<VOL>\t<SPREAD>\n"
        "2024.03.04\t10:00:00\t1.1\t1.2\t1.0\t1.15\t5\t0\t0\n"
        "2024.03.04\t10:01:00\t1.15\t1.25\t1.1\t1.2\t6\t0\t0\n",
        {},
    ),
    (
        "unix-ms",
        "timestamp,open,high,low,close,volume\n1709546400000,1.1,1.2,1.0,1.15,5\n"
        "1709546460000,1.15,1.25,1.1,1.2,6\n",
        {},
    ),
    (
        "iso-zones",
        "Time,Open,High,Low,Close,TickVol\n2024-03-04T10:00:00Z,1.1,1.2,1.0,1.15,5\n"
        "2024-03-04T12:01:00.000+02:00,1.15,1.25,1.1,1.2,6\n",
        {},
    ),
    (
        "day-first-local",
        "Local time,Open,High,Low,Close,Volume\n04.03.2024 11:00:00.000,1.1,1.2,1.0,1.15,5\n"
        "04.03.2024 11:01:00.000,1.15,1.25,1.1,1.2,6\n",
        {"date_order": "dmy", "timezone": "Europe/Berlin"},
    ),
    (
        "mapped",
        "Zeit,Erster,Hoch,Tief,Letzter,Umsatz,Notiz\n2024-03-04 10:00,1.1,1.2,1.0,1.15,5,a\n"
        "2024-03-04 10:01,1.15,1.25,1.1,1.2,6,b\n",
        {
            "columns": {
                "time": "Zeit",
                "open": "Erster",
                "high": "Hoch",
                "low": "Tief",
                "close": "Letzter",
                "volume": "Umsatz",
            }
        },
    ),
    ("utf-8-bom", b"\xef\xbb\xbf" + PLAIN.encode(), {}),
    ("utf-16-le", PLAIN.encode("utf-16"), {}),  # with its byte-order mark
    ("utf-16-be", b"\xfe\xff" + PLAIN.encode("utf-16-be"), {}),
]


def test_the_layouts_users_have_import_as_the_same_bars(install, tmp_path):
    from zelkor5.terminal import _zone_steps

    # A zone reaches the terminal as its offsets: Berlin's summer time of
    # 2024 from 01:00 UTC on 31 March to 01:00 UTC on 27 October.
    assert ";1711846800000:7200;1729990800000:3600;" in _zone_steps("Europe/Berlin")
    assert _zone_steps("+05:30") == "19800" and _zone_steps("UTC-3") == "-10800"
    inst = install()
    for i, (name, text, options) in enumerate(LAYOUTS):
        path = tmp_path / ("%s.csv" % name)
        if isinstance(text, str):
            path.write_text(text, encoding="utf-8")
        else:
            path.write_bytes(text)
        rows_stored = import_history(
            str(path), symbol="LAYOUT%d" % i, path=inst.exe, portable=True, **options
        )
        assert rows_stored == 2, name
    assert inst.initialize(), zelkor5.last_error()
    fields = ("time", "open", "high", "low", "close", "tick_volume")
    for i, (name, _, _) in enumerate(LAYOUTS):
        got = ok(zelkor5.copy_rates_range("LAYOUT%d" % i, TIMEFRAME_M1, 1709546400, 1709546460))
        assert rows(got, fields) == LAYOUT_BARS, name


def test_bars_of_an_hour_or_a_day_are_served_at_theirs_and_above_never_below(install, tmp_path):
    from test_package_terminal import cli

    inst = install()
    hours = [T0 + 3600 * k for k in (0, 1, 2, 3, 5, 6, 7)]  # 04:00 missing
    with open(str(tmp_path / "HOURLY.H1.csv"), "w") as f:
        f.write("time,open,high,low,close,tick_volume\n")
        for k, t in enumerate(hours):
            f.write(
                "%s,%.2f,%.2f,%.2f,%.2f,%d\n" % (stamp(t), 100 + k, 102 + k, 99 + k, 101 + k, 10)
            )
    assert import_history(str(tmp_path / "HOURLY.H1.csv"), path=inst.exe, portable=True) == 7
    # Days by their dates, the timeframe from their spacing; and from timeframe=.
    days = tmp_path / "daily.csv"
    days.write_text("Date,Open,High,Low,Close\n2024-03-04,10,12,9,11\n2024-03-05,11,13,10,12\n")
    assert import_history(str(days), symbol="DAILY", path=inst.exe, portable=True) == 2
    done = cli(
        "terminal", "import", str(days), "--symbol", "DAILY2", "--timeframe", "d1",
        "--columns", "date=Date", "--timezone", "+02:00", "--path", inst.exe,
    )  # fmt: skip
    assert (done.returncode, done.stdout) == (0, "imported 2 rows\n"), done.stderr
    with pytest.raises(HistoryImportError, match="time is not the start of a H4 bar"):
        import_history(
            str(tmp_path / "HOURLY.H1.csv"), path=inst.exe, portable=True, timeframe="H4"
        )
    assert inst.initialize(), zelkor5.last_error()

    h1 = ok(zelkor5.copy_rates_range("HOURLY", TIMEFRAME_H1, T0, END))
    assert list(h1["time"]) == hours
    assert list(h1["open"]) == [100 + k for k in range(7)]
    h4 = ok(zelkor5.copy_rates_range("HOURLY", TIMEFRAME_H4, T0, END))
    assert rows(h4, ("time", "open", "high", "low", "close", "tick_volume")) == [
        (T0, 100, 105, 99, 104, 40),
        (T0 + 4 * 3600, 104, 108, 103, 107, 30),
    ]
    # No invented minutes inside an hour.
    for tf in (TIMEFRAME_M1, TIMEFRAME_M5):
        got = zelkor5.copy_rates_range("HOURLY", tf, T0, END)
        assert got is not None and len(got) == 0
    d1 = ok(zelkor5.copy_rates_range("DAILY", TIMEFRAME_D1, T0 - 86400, END))
    assert rows(d1, ("time", "open", "close")) == [(T0 - 86400, 10, 11), (T0, 11, 12)]
    w1 = ok(zelkor5.copy_rates_range("DAILY2", TIMEFRAME_W1, T0 - 7 * 86400, END))
    assert rows(w1, ("open", "high", "low", "close")) == [(10, 13, 9, 12)]
    assert len(zelkor5.copy_rates_range("DAILY", TIMEFRAME_H1, T0 - 86400, END)) == 0
    # Ticks made for an hour spread over it, and reproduce it.
    ticks = ok(zelkor5.copy_ticks_range("HOURLY", T0, T0 + 3600, COPY_TICKS_ALL))
    inside = ticks[ticks["time_msc"] < (T0 + 3600) * 1000]
    assert len(inside) == 10 and inside[-1]["time_msc"] >= (T0 + 3000) * 1000
    assert (inside[0]["bid"], inside[-1]["bid"]) == (100, 101)
    # A stepped replay goes through them an hour at a time.
    inst.stop()
    assert replay(stamp(T0), stepped=True, path=inst.exe, portable=True), zelkor5.last_error()
    stepped = [zreplay.next_bar("HOURLY", TIMEFRAME_H1) for _ in range(2)]
    assert [(b["time"], b["open"], b["close"]) for b in stepped] == [
        (T0, 100, 101),
        (T0 + 3600, 101, 102),
    ]
    assert zreplay.now() == T0 + 7200


def test_bytes_that_are_no_text_and_names_that_are_no_symbols_are_refused_in_a_line(
    install, tmp_path
):
    from test_package_terminal import cli

    inst = install()
    bad = tmp_path / "BAD.M1.csv"
    bad.write_bytes(b"time,open,high,low,close\n%d,1,1,1,1\n%d,1,1\xff,1,1\n" % (T0, T0 + 60))
    with pytest.raises(HistoryImportError) as err:
        import_history(str(bad), path=inst.exe, portable=True)
    assert err.value.reason == (
        "line 3: byte 0xFF at column 15 is not UTF-8: the file must be UTF-8, or UTF-16 with "
        "a byte-order mark"
    )
    done = cli("terminal", "import", str(bad), "--path", inst.exe)
    assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
    assert "line 3: byte 0xFF at column 15" in done.stderr and done.stderr.count("\n") == 1
    # Text quoted in a message is shown escaped; a UTF-16 file without a mark is named so.
    quoted = tmp_path / "Q.ticks.csv"
    quoted.write_bytes(b"time_msc,bid,ask\n1709546400000,1.1,\x1b[31m\n")
    with pytest.raises(HistoryImportError) as err:
        import_history(str(quoted), path=inst.exe, portable=True)
    assert err.value.reason == 'line 2: ask is not a positive number: "\\x1B[31m"'
    unmarked = tmp_path / "U.csv"
    unmarked.write_bytes(PLAIN.encode("utf-16-le"))
    with pytest.raises(HistoryImportError, match="line 1: a NUL byte at column 2"):
        import_history(str(unmarked), path=inst.exe, portable=True)
    with pytest.raises(HistoryImportError, match='the date "03/04/2024" could be day/month'):
        ambiguous = tmp_path / "A.csv"
        ambiguous.write_text("Date,Time,Open,High,Low,Close\n03/04/2024,10:00,1,1,1,1\n")
        import_history(str(ambiguous), path=inst.exe, portable=True)
    for symbol in (".", ".."):
        with pytest.raises(HistoryImportError, match="is not a symbol name"):
            import_history(str(bad), symbol=symbol, path=inst.exe, portable=True)
    # Options it cannot take.
    with pytest.raises(HistoryImportError, match="the columns option is not role=name"):
        import_history(str(bad), path=inst.exe, portable=True, columns={"colour": "Red"})
    with pytest.raises(ValueError, match="unknown time zone 'Mars/Olympus'"):
        import_history(str(bad), path=inst.exe, portable=True, timezone="Mars/Olympus")
    with pytest.raises(ValueError, match="timeframe must be one of"):
        import_history(str(bad), path=inst.exe, portable=True, timeframe="H5")
    # Dropped into the folder: ..M1.csv names the symbol "."; the .err shows bytes escaped.
    folder = os.path.join(inst.data_dir(), "import")
    with open(os.path.join(folder, "..M1.csv"), "w") as f:
        f.write(PLAIN)
    with open(os.path.join(folder, "NUL.ticks.csv"), "wb") as f:
        f.write(b"time_msc,bid,ask\n1709546400000,1.1,1.2\x00\n")
    assert inst.initialize(), zelkor5.last_error()
    failed = os.path.join(folder, "failed")
    assert {"..M1.csv.err", "NUL.ticks.csv.err"} <= set(os.listdir(failed))
    with open(os.path.join(failed, "NUL.ticks.csv.err"), "rb") as f:
        assert f.read() == (
            b"line 2: a NUL byte at column 22: the file must be UTF-8, or UTF-16 with a "
            b"byte-order mark\n"
        )
    assert zelkor5.symbol_info(".") is None


def test_dataframes_and_both_export_formats_import_back_the_same_bars_and_ticks(install, tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    from test_package_terminal import cli

    inst = install()
    # Bars on a naive DatetimeIndex (UTC), the volume as "Volume".
    bars = pd.DataFrame(
        {
            "Open": [b[1] for b in EURUSD_BARS],
            "High": [b[2] for b in EURUSD_BARS],
            "Low": [b[3] for b in EURUSD_BARS],
            "Close": [b[4] for b in EURUSD_BARS],
            "Volume": [b[5] for b in EURUSD_BARS],
        },
        index=pd.to_datetime([b[0] for b in EURUSD_BARS], unit="s"),
    )
    assert import_history(bars, symbol="DFBARS", path=inst.exe, portable=True) == len(EURUSD_BARS)
    # The same frame written by pandas to Parquet: its index is a column there.
    bars.to_parquet(str(tmp_path / "bars.parquet"))
    assert import_history(tmp_path / "bars.parquet", symbol="PQBARS", path=inst.exe) == len(
        EURUSD_BARS
    )
    # Ticks with an aware time column an hour east of UTC, and flags of 0.
    ticks = pd.DataFrame(
        {
            "time": pd.to_datetime([t for t, _, _ in CUSTOM_TICKS], unit="ms", utc=True).tz_convert(
                "Etc/GMT-1"
            ),
            "bid": [b for _, b, _ in CUSTOM_TICKS],
            "ask": [a for _, _, a in CUSTOM_TICKS],
            # Flags that say nothing changed are worked out from the prices.
            "flags": [0] * len(CUSTOM_TICKS),
        }
    )
    assert import_history(ticks, symbol="DFTICKS", path=inst.exe, portable=True) == len(
        CUSTOM_TICKS
    )
    # Faults are one line each, naming the row; nothing is imported.
    nan = bars.copy()
    nan.iloc[2, 3] = float("nan")
    for frame, says in [
        (bars.reset_index(drop=True), "has no time"),
        (bars[["Open", "High"]], "neither open, high, low and close"),
        (nan, "row 2: close is NaN"),
        (bars.iloc[::-1], "row 1: time is not later than the row before"),
        ([(T0, 1.0)], "takes a file's path or a pandas DataFrame, not list"),
    ]:
        with pytest.raises(HistoryImportError, match=says) as e:
            import_history(frame, symbol="DFBAD", path=inst.exe, portable=True)
        assert "\n" not in str(e.value)
    left = os.listdir(os.path.join(inst.data_dir(), "import"))
    assert not [n for n in left if n.endswith(".csv") or ".tmp" in n], left

    assert inst.initialize(), zelkor5.last_error()
    fields = ("time", "open", "high", "low", "close", "tick_volume")
    for symbol in ("DFBARS", "PQBARS"):
        got = ok(zelkor5.copy_rates_range(symbol, TIMEFRAME_M1, 0, END))
        assert rows(got, fields) == [
            (b[0],) + tuple(round(p, 5) for p in b[1:5]) + (b[5] or 4,) for b in EURUSD_BARS
        ]
    got = ok(zelkor5.copy_ticks_range("DFTICKS", 0, END, COPY_TICKS_ALL))
    assert rows(got, ("time_msc", "bid", "ask")) == [
        (t, round(b, 3), round(a, 3)) for t, b, a in CUSTOM_TICKS
    ]
    expected_bars = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, T0, T0 + 3600))
    expected_ticks = ok(zelkor5.copy_ticks_range("EURUSD", T0 + 600, T0 + 780, COPY_TICKS_ALL))
    zelkor5.shutdown()

    # What the export writes, as CSV and as Parquet, imports back as it is.
    span = {
        "rates": ("2024-03-05T00:00", "2024-03-05T01:00"),
        "ticks": ("2024-03-05T00:10", "2024-03-05T00:12:59"),
    }
    for kind, ext in [(k, e) for k in ("rates", "ticks") for e in ("csv", "parquet")]:
        out = str(tmp_path / ("%s.%s" % (kind, ext)))
        argv = ["export", kind, "EURUSD", "--from", span[kind][0], "--to", span[kind][1], "-o", out]
        argv += ["--timeframe", "M1"] if kind == "rates" else []
        done = cli(*argv, "--path", inst.exe)
        assert done.returncode == 0, done.stderr
        inst.stop()
        symbol = "RT%s%s" % (kind[0].upper(), ext[0].upper())
        done = cli("terminal", "import", out, "--symbol", symbol, "--path", inst.exe)
        assert done.returncode == 0 and done.stdout.startswith("imported "), done.stderr
    assert inst.initialize(), zelkor5.last_error()
    for symbol in ("RTRC", "RTRP"):
        got = ok(zelkor5.copy_rates_range(symbol, TIMEFRAME_M1, T0, T0 + 3600))
        assert got.tobytes() == expected_bars.tobytes(), symbol
    for symbol in ("RTTC", "RTTP"):
        got = ok(zelkor5.copy_ticks_range(symbol, T0 + 600, T0 + 780, COPY_TICKS_ALL))
        assert got.tobytes() == expected_ticks.tobytes(), symbol


def test_a_start_serves_at_once_while_a_large_import_runs(install):
    import fcntl

    inst = install()
    folder = os.path.join(inst.data_dir(), "import")
    os.makedirs(folder)
    # A million ticks of EURUSD (about 35 MB) from 2024-03-05 00:00, whose
    # writer still holds its lock when the terminal starts.
    first = T0 * 1000
    big = open(os.path.join(folder, "EURUSD.ticks.csv"), "w")
    fcntl.flock(big, fcntl.LOCK_EX)
    big.write("time_msc,bid,ask\n")
    block = 100_000
    for k in range(0, 1_000_000, block):
        big.write(
            "".join(
                "%d,1.%05d,1.%05d\n" % (first + 10 * j, 20000 + j % 500, 20002 + j % 500)
                for j in range(k, k + block)
            )
        )
    big.flush()
    try:
        assert inst.initialize(), zelkor5.last_error()
        while status(inst.exe).importing is None:  # written as the import begins
            time.sleep(0.01)
        # Answered while the import runs, from what is stored so far: the
        # simulated market, whose first tick of the day is no imported one.
        tick = ok(zelkor5.copy_ticks_range("EURUSD", T0, T0 + 60, COPY_TICKS_ALL))[0]
        during = status(inst.exe).importing
        assert during.percent < 100 and not during.done, during
        assert (during.file, during.file_number, during.files) == ("EURUSD.ticks.csv", 1, 1)
        assert (tick["time_msc"], tick["bid"]) != (first, 1.2)
        shown = cli_status(inst)
        assert "import: 0.0%, file 1 of 1 (EURUSD.ticks.csv)" in shown, shown
        # Stopped during the import: the file waits in import/ for the next start.
        inst.stop()
        assert os.path.exists(big.name) and not os.listdir(os.path.join(folder, "done"))
        assert not os.listdir(os.path.join(inst.data_dir(), "history"))
    finally:
        big.close()  # the lock with it
    assert inst.initialize(), zelkor5.last_error()
    assert import_done(inst).imported == 1
    assert "import: done, 1 file: 1 imported, 0 rejected" in cli_status(inst)
    # Then from the import, as a whole.
    got = ok(zelkor5.copy_ticks_range("EURUSD", T0, T0 + 1, COPY_TICKS_ALL))
    assert rows(got, ("time_msc", "bid")) == [
        (first + 10 * j, round(1.2 + j * 1e-5, 5)) for j in range(101)
    ]
    last = ok(zelkor5.copy_ticks_range("EURUSD", T0 + 9999, T0 + 10000, COPY_TICKS_ALL))[-1]
    assert (last["time_msc"], last["bid"]) == (first + 9_999_990, 1.20499)


def cli_status(inst):
    import subprocess
    import sys

    done = subprocess.run(
        [sys.executable, "-m", "zelkor5", "terminal", "status", "--path", inst.exe],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout
