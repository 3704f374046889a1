"""The opt-in layers for live bots against the bundled terminal: reconnection
across a restart (and never a second trade request), the streams of ticks,
bars and trade events live and in replays, and the asyncio facade with a
cancelled call that leaves the connection to the other tasks."""

import asyncio
import logging
import signal
import threading
import time

import pytest
from peer import CMD, Peer, close, delay, echo, handshake, u32
from test_terminal_helpers import install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5 import aio, errors, reconnect, stream, strict
from zelkor5 import replay as market_clock
from zelkor5.constants import (
    COPY_TICKS_ALL,
    ORDER_TYPE_BUY,
    ORDER_TYPE_BUY_LIMIT,
    ORDER_TYPE_BUY_STOP,
    ORDER_TYPE_SELL,
    TIMEFRAME_M1,
    TRADE_ACTION_DEAL,
    TRADE_ACTION_PENDING,
    TRADE_ACTION_REMOVE,
)
from zelkor5.terminal import configure_replay

# Tuesday 2024-03-05 14:00:00 UTC, a busy hour of the deterministic market.
T0 = 1709647200
FAR = 4102444800


@pytest.fixture
def reconnecting():
    reconnect.enable(attempts=4, first_delay=0.05, max_delay=0.2)
    yield
    reconnect.disable()


def replay(inst, speed=1, step=0):
    configure_replay(T0, speed, step, inst.exe, portable=True)
    assert inst.initialize(), zelkor5.last_error()


def test_reads_reconnect_across_a_terminal_restart(install, reconnecting, caplog):
    inst = install()
    assert strict.initialize(inst.exe, portable=True)
    login = strict.account_info().login
    inst.signal(signal.SIGTERM)
    assert inst.wait_gone()
    # The call fails, the layer starts the terminal again with the same
    # arguments and repeats the read.
    with caplog.at_level(logging.INFO, logger="zelkor5"):
        assert strict.account_info().login == login
    assert inst.pids()
    assert [r.levelno for r in caplog.records] == [logging.WARNING, logging.INFO]
    assert (
        caplog.records[0].getMessage()
        == "account_info: connection lost, reconnecting (attempt 1 of 4)"
    )
    # Reconnection off: the loss is reported as it happens.
    reconnect.disable()
    inst.signal(signal.SIGKILL)
    assert inst.wait_gone()
    with pytest.raises(errors.ConnectionLost):
        strict.account_info()


def test_a_trade_request_is_never_sent_twice(exe_path, reconnecting):
    # The terminal takes the order_send and hangs up without an answer; the
    # next connection answers everything.
    script = handshake() + [close()] + handshake()
    with Peer(exe_path, script, default=echo(1, u32(0))) as p:
        assert strict.initialize(exe_path)
        request = {
            "action": TRADE_ACTION_DEAL,
            "symbol": "EURUSD",
            "volume": 0.1,
            "type": ORDER_TYPE_BUY,
            "magic": 42,
            "comment": "once",
        }
        with pytest.raises(errors.TradeOutcomeUnknown) as caught:
            strict.order_send(request)
        e = caught.value
        assert isinstance(e, errors.ConnectionLost) and e.code in (-10001, -10002)
        assert e.request == request
        text = str(e)
        assert "outcome is unknown" in text and "not sent again" in text
        assert "magic=42" in text and "comment='once'" in text
        assert "history_deals_get" in text and "connection is restored" in text
        # The connection is back, and reads work.
        assert strict.positions_total() == 0
        assert p.commands().count(CMD["ORDER_SEND"]) == 1
        assert p.connections() == 2


def collect(s, count, timeout=30.0):
    """The first `count` items of stream `s` (stopped from a timer when the
    terminal is too slow, so that a failure does not hang)."""
    timer = threading.Timer(timeout, s.stop)
    timer.start()
    try:
        out = []
        for item in s:
            out.append(item)
            if len(out) == count:
                s.stop()
        return out
    finally:
        timer.cancel()


def test_ticks_in_order_each_once_across_pages(install):
    inst = install()
    replay(inst, speed=60)
    symbols = ["EURUSD", "BTCUSD"]
    # Pages of 3 ticks from the start of the replay: many page boundaries.
    got = collect(stream.ticks(symbols, since_msc=T0 * 1000, page=3), 200)
    assert len(got) == 200
    assert [t.time_msc for t in got] == sorted(t.time_msc for t in got)
    for symbol in symbols:
        mine = [t for t in got if t.symbol == symbol]
        assert mine, symbol
        last = mine[-1].time_msc
        # Exactly the terminal's ticks of the period, none twice.
        ticks = ok(zelkor5.copy_ticks_range(symbol, T0, last // 1000 + 1, COPY_TICKS_ALL))
        ticks = ticks[ticks["time_msc"] <= last]
        assert [tuple(t[1:]) for t in mine] == ticks.tolist()
        assert all(tick.time_msc >= T0 * 1000 for tick in mine)


def test_streams_in_a_stepped_replay_follow_the_terminal_clock(install):
    inst = install()
    # The clock stands still but for 15 s after every request.
    replay(inst, step=15000)
    bars = stream.bars("BTCUSD", TIMEFRAME_M1)
    ticks = stream.ticks("BTCUSD")
    trades = stream.trades()
    closed, seen, events = [], [], []
    for round_ in range(40):
        # Rounds without waiting: only the terminal's clock moves.
        for bar in bars.poll():
            now = ok(zelkor5.symbol_info_tick("BTCUSD")).time
            assert now >= bar.time + 60, "given before it closed"
            closed.append(bar)
        seen += ticks.poll()
        events += trades.poll()
        if round_ == 20:
            buy = strict.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": "BTCUSD",
                    "volume": 0.01,
                    "type": ORDER_TYPE_BUY,
                }
            )
    assert [(e.kind, e.ticket) for e in events] == [("deal", buy.deal), ("position", buy.order)]
    assert len(closed) >= 5
    assert [b.time for b in closed] == list(range(closed[0].time, closed[-1].time + 1, 60))
    final = ok(zelkor5.copy_rates_range("BTCUSD", TIMEFRAME_M1, closed[0].time, closed[-1].time))
    assert [tuple(b[2:]) for b in closed] == final.tolist()
    assert [t.time_msc for t in seen] == sorted(t.time_msc for t in seen)
    assert len(seen) == len(set(seen))
    assert seen and closed[-1].time < seen[-1].time


def test_the_streams_move_a_stepped_replay_s_clock(install):
    """In a stepped replay the stream's own iteration moves the clock: no
    other call, and the same loop as live."""
    inst = install()
    configure_replay(T0 + 30, stepped=True, path=inst.exe, portable=True)
    assert inst.initialize(), zelkor5.last_error()

    def clock():
        return market_clock.now(inst.exe)

    bars = stream.bars("BTCUSD", TIMEFRAME_M1)
    got = collect(bars, 3)
    assert bars.stepped
    # The bar in progress at the start first, then each minute, as it
    # closed; the clock stands at the first price after the last one.
    assert [b.time for b in got] == [T0, T0 + 60, T0 + 120]
    assert T0 + 180 <= clock() < T0 + 240
    final = ok(zelkor5.copy_rates_range("BTCUSD", TIMEFRAME_M1, T0, T0 + 120))
    assert [tuple(b[2:]) for b in got] == final.tolist()
    assert got[0]["close"] == got[0].close and got[0][6] == got[0].close

    # The ticks up to the close of the minute in progress, once each.
    before = clock()
    (first,) = collect(stream.ticks("BTCUSD"), 1)
    assert before * 1000 < first.time_msc <= clock() * 1000
    assert T0 + 240 <= clock() < T0 + 300

    # Trade events: the clock moves a minute at a time until a stop order
    # just above the price fills.
    events = stream.trades()
    assert events.poll() == []
    ask = ok(zelkor5.symbol_info_tick("BTCUSD")).ask
    stop = strict.order_send(
        {
            "action": TRADE_ACTION_PENDING,
            "symbol": "BTCUSD",
            "volume": 0.01,
            "type": ORDER_TYPE_BUY_STOP,
            "price": round(ask * 1.0005, 2),
        }
    )
    before = clock()
    (placed,) = collect(events, 1)
    assert (placed.kind, clock()) == ("order", before)
    events = stream.trades()
    events.poll()
    (filled,) = collect(events, 1)
    assert filled.kind == "deal" and filled.record.order == stop.order
    now = clock()
    assert now > before
    minute = int(now) - int(now) % 60

    async def two_bars():
        got = []
        async for bar in aio.stream.bars("BTCUSD", TIMEFRAME_M1):
            got.append(bar.time)
            if len(got) == 2:
                return got

    # The asyncio streams step alike.
    assert asyncio.run(asyncio.wait_for(two_bars(), 30)) == [minute, minute + 60]
    assert minute + 120 <= clock() < minute + 180


def test_a_fill_is_seen_once(install):
    inst = install()
    assert inst.initialize(), zelkor5.last_error()
    events = stream.trades(interval=0.01)
    assert events.poll() == []
    buy = strict.order_send(
        {
            "action": TRADE_ACTION_DEAL,
            "symbol": "BTCUSD",
            "volume": 0.01,
            "type": ORDER_TYPE_BUY,
            "magic": 7,
        }
    )
    limit = strict.order_send(
        {
            "action": TRADE_ACTION_PENDING,
            "symbol": "BTCUSD",
            "volume": 0.01,
            "type": ORDER_TYPE_BUY_LIMIT,
            "price": round(buy.price * 0.5, 2),
        }
    )
    first = [(e.kind, e.ticket) for e in events.poll()]
    assert first == [("deal", buy.deal), ("order", limit.order), ("position", buy.order)]
    assert events.poll() == []  # nothing twice, whatever the prices do
    strict.order_send({"action": TRADE_ACTION_REMOVE, "order": limit.order})
    sell = strict.order_send(
        {
            "action": TRADE_ACTION_DEAL,
            "symbol": "BTCUSD",
            "volume": 0.01,
            "type": ORDER_TYPE_SELL,
            "position": buy.order,
        }
    )
    with events:
        got = collect(events, 3, timeout=10)
    assert [(e.kind, e.ticket) for e in got] == [
        ("deal", sell.deal),
        ("order_gone", limit.order),
        ("position_gone", buy.order),
    ]
    assert events.stopped


def test_asyncio_calls_streams_and_a_cancelled_wait(install, exe_path):
    inst = install()
    replay(inst, speed=60)
    zelkor5.shutdown()

    async def main():
        assert await aio.initialize(inst.exe, portable=True)
        info, total = await asyncio.gather(aio.account_info(), aio.positions_total())
        assert info == zelkor5.account_info() and total == 0
        assert await aio.symbol_info("NOPE") is None
        assert await aio.last_error() == (-4, "Terminal: Not found")
        # The loop goes on while the stream waits for ticks.
        got = []
        async with aio.stream.ticks("EURUSD", since_msc=T0 * 1000, page=5) as ticks:
            async for tick in ticks:
                got.append(tick)
                await asyncio.sleep(0)
                if len(got) == 20:
                    break
        assert [t.time_msc for t in got] == sorted(t.time_msc for t in got)
        assert await aio.shutdown()

    asyncio.run(main())
    # Cancelling a task whose call waits for a terminal that never answers.
    with Peer(exe_path, handshake() + [delay(60, close())]) as p:

        async def cancelled():
            assert await aio.initialize(exe_path)
            task = asyncio.ensure_future(aio.positions_total())
            while not p.commands().count(CMD["POSITIONS_TOTAL"]):
                await asyncio.sleep(0.01)
            started = time.monotonic()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # The worker is free again at once: the wait ended. A shutdown
            # next leaves the connection the cancellation closed closed.
            assert await aio.shutdown()
            elapsed = time.monotonic() - started
            assert await aio.positions_total() is None
            assert await aio.last_error() == (-10004, "No IPC connection")
            assert p.connections() == 1
            return elapsed

        assert asyncio.run(cancelled()) < 0.5


def test_a_cancelled_order_send_is_not_sent_again(exe_path):
    # The terminal holds the order's answer; once the cancellation closed
    # the connection it takes the next one, which answers the next call.
    script = handshake() + [delay(1, close())] + handshake()
    with Peer(exe_path, script, default=echo(1, u32(0))) as p:

        async def main():
            assert await aio.initialize(exe_path)
            request = {"action": TRADE_ACTION_DEAL, "symbol": "EURUSD", "volume": 0.1}
            task = asyncio.ensure_future(aio.order_send(request))
            while not p.commands().count(CMD["ORDER_SEND"]):
                await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert await aio.positions_total() == 0
            assert await aio.shutdown()

        asyncio.run(main())
        assert p.connections() == 2
        assert p.commands() == [
            CMD["HELLO"],
            CMD["TERMINAL_STATE"],
            CMD["ORDER_SEND"],
            CMD["HELLO"],
            CMD["TERMINAL_STATE"],
            CMD["POSITIONS_TOTAL"],
        ]


def test_a_cancelled_aio_call_leaves_the_connection_to_the_other_tasks(install, caplog):
    inst = install()
    year = (T0 - 365 * 86400, T0, COPY_TICKS_ALL)

    async def timed_out():
        # A year of ticks takes seconds: the timeout cancels the call half-way.
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(aio.copy_ticks_range("EURUSD", *year), 0.2)

    async def healthy():
        outcomes = []
        for _ in range(3):
            info = await aio.account_info()
            outcomes.append((info is not None, await aio.last_error()))
        return outcomes

    async def main():
        assert await aio.initialize(inst.exe, portable=True)
        with caplog.at_level(logging.INFO, logger="zelkor5"):
            _, outcomes = await asyncio.gather(timed_out(), healthy())
        assert outcomes == [(True, (1, "Success"))] * 3
        # The connection the cancellation closed was opened again, once,
        # before the next call; the cancelled call was not made again.
        assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
            (
                logging.WARNING,
                "aio: a cancelled call closed the connection, reconnecting (attempt 1 of 1)",
            ),
            (logging.INFO, "reconnected to the terminal"),
        ]
        buy = await aio.order_send(
            {
                "action": TRADE_ACTION_DEAL,
                "symbol": "BTCUSD",
                "volume": 0.01,
                "type": ORDER_TYPE_BUY,
            }
        )
        assert buy is not None and buy.retcode == 10009, await aio.last_error()
        assert await aio.positions_total() == 1
        assert await aio.shutdown()

    asyncio.run(main())
