"""The bundled terminal's market goes on between requests and while the
terminal is not running: stops, pending orders, expiries, rollovers and the
stop-out happen at the ticks a client can read back, with their times and
prices. The market clock is moved with the ClockShift setting, so each
scenario runs at a fixed moment of the deterministic market."""

import os
import signal
import time

import pytest
from test_terminal_helpers import install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5.constants import (
    COPY_TICKS_ALL,
    DEAL_ENTRY_IN,
    DEAL_ENTRY_OUT,
    DEAL_REASON_SL,
    DEAL_REASON_SO,
    ORDER_STATE_CANCELED,
    ORDER_STATE_FILLED,
    ORDER_STATE_PLACED,
    ORDER_TYPE_BUY,
    ORDER_TYPE_BUY_LIMIT,
    ORDER_TYPE_BUY_STOP,
    ORDER_TYPE_SELL,
    TRADE_ACTION_DEAL,
    TRADE_ACTION_MODIFY,
    TRADE_ACTION_PENDING,
    TRADE_ACTION_REMOVE,
    TRADE_ACTION_SLTP,
    TRADE_RETCODE_DONE,
)

# Tuesday 2024-03-05 14:00:00 UTC: BTCUSD's last tick before it is at
# 13:59:59.478 (ask 57976.64), the next at 14:00:04.586; the ask first reaches
# 58025 at 14:00:26.337, the bid falls to 57950 and to 57900 within the hour.
T0 = 1709647200
SYMBOL = "BTCUSD"


def settings(clock):
    """terminal.ini text putting the market clock at `clock` now."""
    return "IdleExit=3\n[Market]\nClockShift=%d\n" % (clock - int(time.time()))


def restart(inst, clock, kill=False):
    inst.signal(signal.SIGKILL if kill else signal.SIGTERM)
    assert inst.wait_gone()
    inst.configure(settings(clock))
    assert inst.initialize(), zelkor5.last_error()


def send(**request):
    result = ok(zelkor5.order_send(dict(request, symbol=request.get("symbol", SYMBOL), magic=14)))
    assert result.retcode == TRADE_RETCODE_DONE, (result.retcode, result.comment)
    return result


def tick_at(deal):
    """The tick with the deal's time, as copy_ticks_range returns it."""
    ticks = ok(zelkor5.copy_ticks_range(deal.symbol, deal.time, deal.time + 1, COPY_TICKS_ALL))
    (tick,) = [t for t in ticks if t["time_msc"] == deal.time_msc]
    return tick


def balance_is_the_sum_of_the_deals():
    deals = ok(zelkor5.history_deals_get(0, 2**31 - 1))
    total = sum(d.profit + d.commission + d.swap + d.fee for d in deals)
    assert ok(zelkor5.account_info()).balance == pytest.approx(total, abs=1e-6)


def test_orders_and_stops_fill_at_the_ticks_that_reached_them_even_while_the_terminal_was_down(
    install,
):
    inst = install(settings=settings(T0))
    assert inst.initialize(), zelkor5.last_error()
    info = ok(zelkor5.symbol_info(SYMBOL))
    assert info.order_mode == 127 and info.expiration_mode == 15 and info.filling_mode == 3
    assert info.trade_stops_level == 2500

    # A market buy with a stop-loss; its take-profit set afterwards.
    buy = send(action=TRADE_ACTION_DEAL, type=ORDER_TYPE_BUY, volume=0.1, sl=57900.0)
    send(action=TRADE_ACTION_SLTP, position=buy.order, sl=57900.0, tp=59000.0)
    (pos,) = ok(zelkor5.positions_get(ticket=buy.order))
    assert (pos.sl, pos.tp) == (57900.0, 59000.0)
    # A buy limit placed, modified and removed.
    limit = send(action=TRADE_ACTION_PENDING, type=ORDER_TYPE_BUY_LIMIT, volume=0.1, price=57000.0)
    send(action=TRADE_ACTION_MODIFY, order=limit.order, price=57100.0, sl=56000.0, tp=58500.0)
    (working,) = ok(zelkor5.orders_get(ticket=limit.order))
    assert (
        working.state == ORDER_STATE_PLACED
        and working.price_open == 57100.0
        and working.sl == 56000.0
    )
    send(action=TRADE_ACTION_REMOVE, order=limit.order)
    # A buy stop the market reaches only after the kill below.
    stop = send(
        action=TRADE_ACTION_PENDING, type=ORDER_TYPE_BUY_STOP, volume=0.2, price=58025.0, sl=57950.0
    )
    assert zelkor5.orders_total() == 1 and ok(zelkor5.orders_get())[0].ticket == stop.order

    # Killed for a minute of market time.
    clock_at_kill = now_clock(inst)
    restart(inst, int(clock_at_kill) + 60, kill=True)
    assert zelkor5.orders_total() == 0
    (done,) = ok(zelkor5.history_orders_get(ticket=stop.order))
    assert done.state == ORDER_STATE_FILLED
    assert clock_at_kill * 1000 < done.time_done_msc <= (clock_at_kill + 61) * 1000
    (opened,) = ok(zelkor5.history_deals_get(position=stop.order))
    assert opened.entry == DEAL_ENTRY_IN and opened.time_msc == done.time_done_msc
    tick = tick_at(opened)
    assert tick["ask"] == opened.price and tick["ask"] >= 58025.0
    (removed,) = ok(zelkor5.history_orders_get(ticket=limit.order))
    assert removed.state == ORDER_STATE_CANCELED and removed.time_done > 0

    # An hour later both stop-losses have closed their positions.
    restart(inst, T0 + 3600)
    assert zelkor5.positions_total() == 0
    for position, sl in ((buy.order, 57900.0), (stop.order, 57950.0)):
        deals = ok(zelkor5.history_deals_get(position=position))
        closing = deals[-1]
        assert closing.entry == DEAL_ENTRY_OUT and closing.reason == DEAL_REASON_SL
        tick = tick_at(closing)
        assert tick["bid"] == closing.price and tick["bid"] <= sl
        # No earlier tick after the opening reached the level.
        before = ok(zelkor5.copy_ticks_range(SYMBOL, deals[0].time, closing.time, COPY_TICKS_ALL))
        assert not [
            t
            for t in before
            if deals[0].time_msc < t["time_msc"] < closing.time_msc and t["bid"] <= sl
        ]
    balance_is_the_sum_of_the_deals()


def now_clock(inst):
    """The terminal's market clock now, from its settings."""
    with open(os.path.join(inst.data_dir(), "config", "terminal.ini")) as f:
        shift = int(f.read().split("ClockShift=")[1].split()[0])
    return time.time() + shift


# Tuesday 2024-03-05 23:59:00 UTC, a minute before the rollover.
ROLLOVER_EVE = T0 + 9 * 3600 + 59 * 60

RISKY_ACCOUNT = """[Terminal]
LastLogin=20000001

[Account 20000001]
Password=demo
Server=Brundel-Demo
Name=Risky
Deposit=1000
MarginCall=120
StopOut=100
"""


def test_swaps_at_rollovers_and_a_stop_out(install):
    inst = install(settings=settings(ROLLOVER_EVE))
    assert inst.initialize(), zelkor5.last_error()
    eur = send(action=TRADE_ACTION_DEAL, symbol="EURUSD", type=ORDER_TYPE_BUY, volume=1.0)
    info = ok(zelkor5.symbol_info("EURUSD"))
    night = round(info.swap_long * info.point * info.trade_contract_size, 2)
    # Thursday 00:01: Tuesday's night once, Wednesday's three times.
    restart(inst, ROLLOVER_EVE + 86400 + 120)
    (pos,) = ok(zelkor5.positions_get(ticket=eur.order))
    assert pos.swap == pytest.approx(4 * night, abs=0.02)
    closed = send(
        action=TRADE_ACTION_DEAL,
        symbol="EURUSD",
        type=ORDER_TYPE_SELL,
        volume=1.0,
        position=eur.order,
    )
    (deal,) = ok(zelkor5.history_deals_get(ticket=closed.deal))
    assert deal.swap == pos.swap and deal.commission < 0
    balance_is_the_sum_of_the_deals()
    inst.stop()

    # An account with a stop-out level of 100%: hedged BTCUSD positions using
    # most of its margin lose to the market and the swaps within two weeks.
    risky = install(settings=settings(T0), name="risky")
    with open(os.path.join(risky.data_dir(), "config", "accounts.dat"), "w") as f:
        f.write(RISKY_ACCOUNT)
    assert risky.initialize(
        login=20000001, password="demo", server="Brundel-Demo"
    ), zelkor5.last_error()
    acc = ok(zelkor5.account_info())
    assert (acc.margin_so_call, acc.margin_so_so) == (120.0, 100.0)
    price = ok(zelkor5.symbol_info_tick(SYMBOL)).ask
    lots = int(1000 / (price / 100) * 0.95 * 100) / 100
    send(action=TRADE_ACTION_DEAL, type=ORDER_TYPE_BUY, volume=round(lots * 0.5, 2))
    send(action=TRADE_ACTION_DEAL, type=ORDER_TYPE_SELL, volume=round(lots * 0.3, 2))
    restart(risky, T0 + 14 * 86400)
    deals = ok(zelkor5.history_deals_get(0, 2**31 - 1))
    stop_outs = [d for d in deals if d.reason == DEAL_REASON_SO]
    assert stop_outs and all(d.entry == DEAL_ENTRY_OUT for d in stop_outs)
    acc = ok(zelkor5.account_info())
    assert acc.margin == 0 or acc.margin_level > 100
    balance_is_the_sum_of_the_deals()
