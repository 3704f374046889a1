"""Market data of the bundled terminal through the module: determinism and
consistency of ticks and bars across timeframes and repeated calls."""

import datetime
import time

import numpy as np
import pytest
from test_terminal_helpers import install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5.constants import (
    BOOK_TYPE_BUY,
    BOOK_TYPE_SELL,
    COPY_TICKS_ALL,
    COPY_TICKS_INFO,
    COPY_TICKS_TRADE,
    TICK_FLAG_ASK,
    TICK_FLAG_BID,
    TICK_FLAG_LAST,
    TIMEFRAME_D1,
    TIMEFRAME_H1,
    TIMEFRAME_H4,
    TIMEFRAME_M1,
    TIMEFRAME_M5,
    TIMEFRAME_M15,
    TIMEFRAME_MN1,
    TIMEFRAME_W1,
)

WEDNESDAY = 1709683200  # 2024-03-06 00:00 UTC
DAY = 86400


@pytest.fixture
def terminal(install):
    inst = install()
    assert inst.initialize(), zelkor5.last_error()
    return inst


def combine(parts):
    return (
        parts["open"][0],
        parts["high"].max(),
        parts["low"].min(),
        parts["close"][-1],
        int(parts["tick_volume"].sum()),
    )


@pytest.mark.parametrize("symbol", ["EURUSD", "XAUUSD", "BTCUSD"])
@pytest.mark.parametrize(
    "big,small",
    [
        (TIMEFRAME_M5, TIMEFRAME_M1),
        (TIMEFRAME_M15, TIMEFRAME_M5),
        (TIMEFRAME_H1, TIMEFRAME_M1),
        (TIMEFRAME_H4, TIMEFRAME_H1),
        (TIMEFRAME_D1, TIMEFRAME_H1),
        (TIMEFRAME_W1, TIMEFRAME_D1),
    ],
)
def test_every_bar_is_its_smaller_bars_combined(terminal, symbol, big, small):
    outer = ok(zelkor5.copy_rates_range(symbol, big, WEDNESDAY - 14 * DAY, WEDNESDAY))
    assert len(outer) > 0
    for bar in outer[-3:]:
        end = bar["time"] + (7 * DAY if big == TIMEFRAME_W1 else 0)
        if big != TIMEFRAME_W1:
            step = {
                TIMEFRAME_M5: 300,
                TIMEFRAME_M15: 900,
                TIMEFRAME_H1: 3600,
                TIMEFRAME_H4: 14400,
                TIMEFRAME_D1: DAY,
            }[big]
            end = bar["time"] + step
        inner = ok(zelkor5.copy_rates_range(symbol, small, int(bar["time"]), int(end) - 1))
        assert combine(inner) == (
            bar["open"],
            bar["high"],
            bar["low"],
            bar["close"],
            int(bar["tick_volume"]),
        )


def test_repeated_requests_return_the_same_data(terminal):
    a = ok(zelkor5.copy_ticks_range("GBPUSD", WEDNESDAY + 3600, WEDNESDAY + 7200, COPY_TICKS_ALL))
    b = ok(zelkor5.copy_ticks_range("GBPUSD", WEDNESDAY + 3600, WEDNESDAY + 7200, COPY_TICKS_ALL))
    assert len(a) > 100 and a.tobytes() == b.tobytes()
    r1 = ok(zelkor5.copy_rates_from("GBPUSD", TIMEFRAME_M15, WEDNESDAY, 500))
    r2 = ok(zelkor5.copy_rates_from("GBPUSD", TIMEFRAME_M15, WEDNESDAY, 500))
    assert len(r1) == 500 and r1.tobytes() == r2.tobytes()
    assert r1["time"][-1] <= WEDNESDAY and np.all(np.diff(r1["time"]) > 0)


def test_ticks_make_the_minute_bars(terminal):
    start = WEDNESDAY + 14 * 3600
    # The end is inclusive to the millisecond: take the whole last second,
    # and drop a tick that might open the next minute at .000.
    ticks = ok(zelkor5.copy_ticks_range("EURUSD", start, start + 3600, COPY_TICKS_ALL))
    ticks = ticks[ticks["time_msc"] < (start + 3600) * 1000]
    bars = ok(zelkor5.copy_rates_range("EURUSD", TIMEFRAME_M1, start, start + 3599))
    assert len(bars) == 60
    assert int(bars["tick_volume"].sum()) == len(ticks)
    assert np.all(np.diff(ticks["time_msc"]) > 0)
    minute = ticks["time_msc"] // 60000
    for bar in bars[::7]:
        mine = ticks[minute == bar["time"] // 60]
        assert (mine["bid"][0], mine["bid"].max(), mine["bid"].min(), mine["bid"][-1]) == (
            bar["open"],
            bar["high"],
            bar["low"],
            bar["close"],
        )
    assert np.all(ticks["ask"] > ticks["bid"])
    assert np.all(ticks["flags"] & (TICK_FLAG_BID | TICK_FLAG_ASK))
    # From a date with a count: the same ticks.
    first = ok(zelkor5.copy_ticks_from("EURUSD", start, 50, COPY_TICKS_ALL))
    assert first.tobytes() == ticks[:50].tobytes()


def test_tick_copy_flags_split_quotes_and_trades(terminal):
    start = WEDNESDAY + 10 * 3600
    every = ok(zelkor5.copy_ticks_range("BTCUSD", start, start + 600, COPY_TICKS_ALL))
    info = ok(zelkor5.copy_ticks_range("BTCUSD", start, start + 600, COPY_TICKS_INFO))
    trade = ok(zelkor5.copy_ticks_range("BTCUSD", start, start + 600, COPY_TICKS_TRADE))
    assert len(trade) > 0 and len(info) + len(trade) == len(every)
    assert np.all(trade["flags"] & TICK_FLAG_LAST) and np.all(trade["last"] > 0)
    assert np.all(trade["volume_real"] > 0)
    assert np.all(info["last"] == 0)
    assert len(ok(zelkor5.copy_ticks_range("EURUSD", start, start + 600, COPY_TICKS_TRADE))) == 0
    assert zelkor5.copy_ticks_range("EURUSD", start, start + 600, 0) is None
    assert zelkor5.last_error()[0] == -2


def test_positions_counts_and_history_depth(terminal):
    now = ok(zelkor5.copy_rates_from_pos("XAUUSD", TIMEFRAME_D1, 0, 1))
    tick = ok(zelkor5.symbol_info_tick("XAUUSD"))
    assert now["time"][0] <= tick.time < now["time"][0] + DAY
    assert now["close"][0] == tick.bid
    days = ok(zelkor5.copy_rates_from_pos("XAUUSD", TIMEFRAME_D1, 0, 800))
    assert len(days) == 800 and days["time"][0] < time.time() - 2 * 365 * DAY
    months = ok(zelkor5.copy_rates_from_pos("XAUUSD", TIMEFRAME_MN1, 0, 12))
    assert len(months) == 12
    older = ok(zelkor5.copy_rates_from_pos("XAUUSD", TIMEFRAME_D1, 10, 5))
    assert older.tobytes() == days[-15:-10].tobytes()
    assert zelkor5.copy_rates_from_pos("XAUUSD", 7, 0, 5) is None
    assert zelkor5.last_error()[0] == -2
    assert zelkor5.copy_rates_from_pos("NOPE", TIMEFRAME_D1, 0, 5) is None
    assert zelkor5.last_error()[0] == -4


def test_an_end_in_2100_gives_the_bars_up_to_now(terminal):
    recent = ok(zelkor5.copy_rates_from_pos("XAUUSD", TIMEFRAME_D1, 0, 30))
    bars = ok(
        zelkor5.copy_rates_range(
            "XAUUSD", TIMEFRAME_D1, int(recent["time"][0]), datetime.datetime(2100, 1, 1)
        )
    )
    assert zelkor5.last_error() == (1, "Success")
    assert list(bars["time"]) == list(recent["time"])
    assert bars["time"][-1] <= time.time()


def test_new_ticks_arrive_as_time_passes(terminal):
    begin = int(time.time()) - 300
    before = ok(zelkor5.copy_ticks_range("BTCUSD", begin, begin + 600, COPY_TICKS_ALL))
    # A quiet minute may hold a single tick: wait up to two minutes.
    deadline = time.monotonic() + 130
    while True:
        later = ok(zelkor5.copy_ticks_range("BTCUSD", begin, begin + 600, COPY_TICKS_ALL))
        if len(later) > len(before) or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    assert len(later) > len(before)
    assert later[: len(before)].tobytes() == before.tobytes()
    assert later["time_msc"][-1] <= time.time() * 1000 + 1


def test_symbols_and_their_records(terminal):
    total = ok(zelkor5.symbols_total())
    everything = ok(zelkor5.symbols_get())
    assert total == len(everything) >= 30
    usd = ok(zelkor5.symbols_get("*USD"))
    assert {s.name for s in usd} == {s.name for s in everything if s.name.endswith("USD")}
    assert [s.name for s in ok(zelkor5.symbols_get(group="*,!*USD*"))] == [
        s.name for s in everything if "USD" not in s.name
    ]
    for s in everything:
        assert s.point == pytest.approx(10.0**-s.digits)
        assert s.volume_min <= s.volume_max and s.trade_contract_size > 0
        assert s.trade_tick_value > 0 and s.currency_base and s.currency_profit
        assert s.path.endswith("\\" + s.name) and s.description
        assert s.ask > s.bid > 0 and s.bidlow <= s.bid <= s.bidhigh
    assert zelkor5.symbol_info("NOPE") is None and zelkor5.last_error()[0] == -4
    assert ok(zelkor5.symbol_select("XPTUSD", True))
    assert ok(zelkor5.symbol_info("XPTUSD")).select
    assert ok(zelkor5.symbol_select("XPTUSD", False))
    assert not ok(zelkor5.symbol_info("XPTUSD")).select


def test_depth_of_market_for_subscribed_symbols(terminal):
    assert ok(zelkor5.market_book_get("EURUSD")) == ()
    assert zelkor5.market_book_add("EURUSD")
    book = ok(zelkor5.market_book_get("EURUSD"))
    assert [e.type for e in book] == [BOOK_TYPE_SELL] * 5 + [BOOK_TYPE_BUY] * 5
    prices = [e.price for e in book]
    assert prices == sorted(prices, reverse=True)
    tick = ok(zelkor5.symbol_info_tick("EURUSD"))
    assert book[4].price == tick.ask and book[5].price == tick.bid
    assert all(e.volume_dbl > 0 for e in book)
    assert zelkor5.market_book_release("EURUSD")
    assert ok(zelkor5.market_book_get("EURUSD")) == ()
    assert not zelkor5.market_book_add("NOPE")
