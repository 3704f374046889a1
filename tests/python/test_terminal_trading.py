"""Trading on the bundled terminal through the module: every function agrees
with the others, deals survive a killed terminal, and two client processes
trade one account at once."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from test_terminal_helpers import filling_for, install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5.constants import (
    ACCOUNT_MARGIN_MODE_RETAIL_NETTING,
    DEAL_ENTRY_IN,
    DEAL_ENTRY_INOUT,
    DEAL_ENTRY_OUT,
    DEAL_ENTRY_OUT_BY,
    ORDER_FILLING_FOK,
    ORDER_FILLING_IOC,
    ORDER_FILLING_RETURN,
    ORDER_TIME_SPECIFIED,
    ORDER_TYPE_BUY,
    ORDER_TYPE_BUY_LIMIT,
    ORDER_TYPE_BUY_STOP_LIMIT,
    ORDER_TYPE_CLOSE_BY,
    ORDER_TYPE_SELL,
    ORDER_TYPE_SELL_STOP,
    SYMBOL_TRADE_EXECUTION_MARKET,
    SYMBOL_TRADE_MODE_CLOSEONLY,
    SYMBOL_TRADE_MODE_FULL,
    SYMBOL_TRADE_MODE_LONGONLY,
    TRADE_ACTION_CLOSE_BY,
    TRADE_ACTION_DEAL,
    TRADE_ACTION_MODIFY,
    TRADE_ACTION_PENDING,
    TRADE_ACTION_REMOVE,
    TRADE_ACTION_SLTP,
    TRADE_RETCODE_CLOSE_ONLY,
    TRADE_RETCODE_DONE,
    TRADE_RETCODE_INVALID,
    TRADE_RETCODE_INVALID_EXPIRATION,
    TRADE_RETCODE_INVALID_FILL,
    TRADE_RETCODE_INVALID_PRICE,
    TRADE_RETCODE_INVALID_STOPS,
    TRADE_RETCODE_INVALID_VOLUME,
    TRADE_RETCODE_LONG_ONLY,
    TRADE_RETCODE_NO_CHANGES,
    TRADE_RETCODE_POSITION_CLOSED,
)

SYMBOL = "BTCUSD"  # trades at weekends too


def market(type_, volume, position=0, symbol=SYMBOL):
    return {
        "action": TRADE_ACTION_DEAL,
        "symbol": symbol,
        "volume": volume,
        "type": type_,
        "type_filling": filling_for(symbol),
        "position": position,
        "magic": 11,
        "comment": "test",
    }


@pytest.fixture
def terminal(install):
    inst = install()
    assert inst.initialize(), zelkor5.last_error()
    return inst


def test_each_symbol_s_filling_policies_and_trade_mode_are_enforced(install):
    # A Tuesday afternoon: the index and metal markets are open.
    inst = install(settings="IdleExit=3\n[Replay]\nFrom=2024-03-05 14:00:00\nSpeed=1\nStep=0\n")
    assert inst.initialize(), zelkor5.last_error()
    full, long_only, close_only = (
        SYMBOL_TRADE_MODE_FULL,
        SYMBOL_TRADE_MODE_LONGONLY,
        SYMBOL_TRADE_MODE_CLOSEONLY,
    )
    stated = {
        s: (i.filling_mode, i.trade_mode, i.trade_exemode)
        for s in ("EURUSD", "GER40", "XAGUSD", "LTCUSD", "XRPUSD")
        for i in [ok(zelkor5.symbol_info(s))]
    }
    assert stated == {
        "EURUSD": (3, full, 2),
        "GER40": (2, full, 2),
        "XAGUSD": (1, full, 2),
        "LTCUSD": (3, long_only, 2),
        "XRPUSD": (3, close_only, 2),
    }
    assert SYMBOL_TRADE_EXECUTION_MARKET == 2

    for symbol, other in (
        ("GER40", ORDER_FILLING_FOK),
        ("XAGUSD", ORDER_FILLING_IOC),
        ("EURUSD", ORDER_FILLING_RETURN),
    ):
        assert filling_for(symbol) != other
        refused = ok(
            zelkor5.order_send(dict(market(ORDER_TYPE_BUY, 0.1, symbol=symbol), type_filling=other))
        )
        assert (refused.retcode, refused.comment) == (
            TRADE_RETCODE_INVALID_FILL,
            "Unsupported filling mode",
        )
        assert zelkor5.last_error() == (1, "Success")
        sent = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.1, symbol=symbol)))
        assert sent.retcode == TRADE_RETCODE_DONE, (symbol, sent.comment)
    # A limit order rests at its price: it may keep a remainder working.
    bid = ok(zelkor5.symbol_info_tick("EURUSD")).bid
    limit = ok(
        zelkor5.order_send(
            {
                "action": TRADE_ACTION_PENDING,
                "symbol": "EURUSD",
                "volume": 0.1,
                "type": ORDER_TYPE_BUY_LIMIT,
                "price": round(bid - 0.005, 5),
                "type_filling": ORDER_FILLING_RETURN,
            }
        )
    )
    assert limit.retcode == TRADE_RETCODE_DONE, limit.comment

    assert (
        ok(zelkor5.order_check(market(ORDER_TYPE_SELL, 0.1, symbol="LTCUSD"))).retcode
        == TRADE_RETCODE_LONG_ONLY
    )
    bought = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.1, symbol="LTCUSD")))
    assert bought.retcode == TRADE_RETCODE_DONE, bought.comment
    sold = ok(zelkor5.order_send(market(ORDER_TYPE_SELL, 0.1, bought.order, symbol="LTCUSD")))
    assert sold.retcode == TRADE_RETCODE_DONE, sold.comment
    assert (
        ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 100.0, symbol="XRPUSD"))).retcode
        == TRADE_RETCODE_CLOSE_ONLY
    )


def test_a_position_shows_everywhere_and_its_closing_in_the_history(terminal):
    start = ok(zelkor5.account_info())
    assert start.margin == 0 and zelkor5.positions_total() == 0
    check = ok(zelkor5.order_check(market(ORDER_TYPE_BUY, 0.2)))
    assert check.retcode == 0
    sent = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.2)))
    assert sent.retcode == TRADE_RETCODE_DONE, sent.comment
    assert sent.volume == 0.2 and sent.price == sent.ask

    assert zelkor5.positions_total() == 1
    (pos,) = ok(zelkor5.positions_get())
    assert ok(zelkor5.positions_get(ticket=pos.ticket)) == (pos,)
    assert ok(zelkor5.positions_get(symbol=SYMBOL)) == (pos,)
    assert ok(zelkor5.positions_get(group="*BTC*")) == (pos,)
    assert pos.ticket == sent.order and pos.identifier == sent.order
    assert pos.type == ORDER_TYPE_BUY and pos.volume == 0.2 and pos.price_open == sent.price
    assert pos.magic == 11 and pos.comment == "test"
    margin = ok(zelkor5.order_calc_margin(ORDER_TYPE_BUY, SYMBOL, 0.2, pos.price_open))
    assert margin == check.margin
    acc = ok(zelkor5.account_info())
    assert acc.margin == pytest.approx(margin, abs=0.01)
    assert acc.margin_free == pytest.approx(acc.equity - acc.margin, abs=0.011)
    (opening,) = ok(zelkor5.history_deals_get(ticket=sent.deal))
    assert opening.commission == -0.4  # 2 dollars a lot and deal
    assert acc.balance == pytest.approx(start.balance + opening.commission, abs=1e-6)
    profit = ok(
        zelkor5.order_calc_profit(ORDER_TYPE_BUY, SYMBOL, 0.2, pos.price_open, pos.price_current)
    )
    assert pos.profit == pytest.approx(profit, abs=0.01)

    closed = ok(zelkor5.order_send(market(ORDER_TYPE_SELL, 0.2, position=pos.ticket)))
    assert closed.retcode == TRADE_RETCODE_DONE, closed.comment
    assert zelkor5.positions_total() == 0 and ok(zelkor5.positions_get()) == ()
    assert ok(zelkor5.positions_get(ticket=pos.ticket)) == ()
    assert zelkor5.last_error() == (1, "Success")

    deals = ok(zelkor5.history_deals_get(position=pos.ticket))
    assert [d.entry for d in deals] == [DEAL_ENTRY_IN, DEAL_ENTRY_OUT]
    assert [d.ticket for d in deals] == [sent.deal, closed.deal]
    assert deals[1].price == closed.price
    expected = ok(zelkor5.order_calc_profit(ORDER_TYPE_BUY, SYMBOL, 0.2, sent.price, closed.price))
    assert deals[1].profit == pytest.approx(expected, abs=0.01)
    end = ok(zelkor5.account_info())
    assert end.balance == pytest.approx(
        start.balance + sum(d.profit + d.swap + d.commission + d.fee for d in deals), abs=1e-6
    )
    assert end.margin == 0
    orders = ok(zelkor5.history_orders_get(position=pos.ticket))
    assert [o.ticket for o in orders] == [sent.order, closed.order]
    assert ok(zelkor5.history_deals_get(ticket=closed.deal))[0] == deals[1]
    now = int(time.time())
    in_range = ok(zelkor5.history_deals_get(now - 3600, now + 3600))
    assert [d.ticket for d in in_range][-2:] == [sent.deal, closed.deal]
    assert zelkor5.history_deals_total(now - 3600, now + 3600) == len(in_range)
    assert ok(zelkor5.history_deals_get(now - 3600, now + 3600, group="EUR*")) == ()
    assert zelkor5.history_orders_total(now - 3600, now + 3600) == 2
    assert zelkor5.orders_total() == 0 and ok(zelkor5.orders_get()) == ()


def pending(type_, price, **more):
    return dict(market(type_, 0.1), action=TRADE_ACTION_PENDING, price=price, **more)


# Prices relative to the current bid (b) and ask (a); BTCUSD's stops level
# is 25.00.
@pytest.mark.parametrize(
    "make,retcode",
    [
        (lambda b, a: market(ORDER_TYPE_BUY, 0.001), TRADE_RETCODE_INVALID_VOLUME),
        (lambda b, a: dict(market(ORDER_TYPE_BUY, 0.1), sl=b + 1.0), TRADE_RETCODE_INVALID_STOPS),
        (lambda b, a: dict(market(ORDER_TYPE_BUY, 0.1), tp=b + 10.0), TRADE_RETCODE_INVALID_STOPS),
        (
            lambda b, a: dict(market(ORDER_TYPE_SELL, 0.1), sl=a - 100.0),
            TRADE_RETCODE_INVALID_STOPS,
        ),
        (lambda b, a: pending(ORDER_TYPE_BUY_LIMIT, a + 100.0), TRADE_RETCODE_INVALID_PRICE),
        (lambda b, a: pending(ORDER_TYPE_SELL_STOP, b - 10.0), TRADE_RETCODE_INVALID_PRICE),
        (
            lambda b, a: pending(ORDER_TYPE_BUY_STOP_LIMIT, a + 100.0, stoplimit=a + 200.0),
            TRADE_RETCODE_INVALID_PRICE,
        ),
        (
            lambda b, a: pending(ORDER_TYPE_BUY_LIMIT, a - 500.0, sl=a - 400.0),
            TRADE_RETCODE_INVALID_STOPS,
        ),
        (
            lambda b, a: pending(
                ORDER_TYPE_BUY_LIMIT, a - 500.0, type_time=ORDER_TIME_SPECIFIED, expiration=1000
            ),
            TRADE_RETCODE_INVALID_EXPIRATION,
        ),
        (
            lambda b, a: dict(
                market(ORDER_TYPE_BUY, 0.1),
                action=TRADE_ACTION_MODIFY,
                order=424242,
                price=a - 500.0,
            ),
            TRADE_RETCODE_INVALID,
        ),
        (
            lambda b, a: dict(
                market(ORDER_TYPE_BUY, 0.1), action=TRADE_ACTION_REMOVE, order=424242
            ),
            TRADE_RETCODE_INVALID,
        ),
        (
            lambda b, a: dict(
                market(ORDER_TYPE_BUY, 0.1), action=TRADE_ACTION_SLTP, position=424242, sl=b - 500.0
            ),
            TRADE_RETCODE_POSITION_CLOSED,
        ),
        (
            lambda b, a: dict(
                market(ORDER_TYPE_BUY, 0.1),
                action=TRADE_ACTION_CLOSE_BY,
                position=424242,
                position_by=424243,
            ),
            TRADE_RETCODE_POSITION_CLOSED,
        ),
        (lambda b, a: market(ORDER_TYPE_SELL, 0.1, position=424242), TRADE_RETCODE_POSITION_CLOSED),
    ],
)
def test_refused_requests_come_back_with_their_return_code(terminal, make, retcode):
    tick = ok(zelkor5.symbol_info_tick(SYMBOL))
    request_ = make(round(tick.bid, 2), round(tick.ask, 2))
    assert ok(zelkor5.order_check(request_)).retcode == retcode
    result = ok(zelkor5.order_send(request_))
    assert result.retcode == retcode and result.deal == 0 and result.comment
    assert zelkor5.last_error() == (1, "Success")
    assert zelkor5.positions_total() == 0 and zelkor5.orders_total() == 0


def test_close_by_and_an_unchanged_stop(terminal):
    buy = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.3)))
    sell = ok(zelkor5.order_send(market(ORDER_TYPE_SELL, 0.1)))
    nothing = ok(zelkor5.order_send({"action": TRADE_ACTION_SLTP, "position": buy.order}))
    assert nothing.retcode == TRADE_RETCODE_NO_CHANGES
    by = ok(
        zelkor5.order_send(
            {"action": TRADE_ACTION_CLOSE_BY, "position": buy.order, "position_by": sell.order}
        )
    )
    assert by.retcode == TRADE_RETCODE_DONE, by.comment
    (left,) = ok(zelkor5.positions_get())
    assert left.ticket == buy.order and left.volume == 0.2
    (order,) = ok(zelkor5.history_orders_get(ticket=by.order))
    assert order.type == ORDER_TYPE_CLOSE_BY and order.position_by_id == sell.order
    for position in (buy.order, sell.order):
        closing = ok(zelkor5.history_deals_get(position=position))[-1]
        assert closing.entry == DEAL_ENTRY_OUT_BY and closing.volume == 0.1
        assert closing.price == sell.price  # both at the price the opposite position opened at


def test_a_netting_account_holds_one_position_per_symbol(install):
    inst = install()
    assert inst.initialize(
        login=10000003, password="demo", server="Brundel-Demo"
    ), zelkor5.last_error()
    assert ok(zelkor5.account_info()).margin_mode == ACCOUNT_MARGIN_MODE_RETAIL_NETTING
    start = ok(zelkor5.account_info()).balance
    for type_, volume in (
        (ORDER_TYPE_BUY, 0.1),
        (ORDER_TYPE_BUY, 0.1),
        (ORDER_TYPE_SELL, 0.05),
        (ORDER_TYPE_SELL, 0.3),
        (ORDER_TYPE_BUY, 0.15),
    ):
        assert ok(zelkor5.order_send(market(type_, volume))).retcode == TRADE_RETCODE_DONE
        if zelkor5.positions_total():
            (pos,) = ok(zelkor5.positions_get())
            ident = pos.identifier
    # Stops of a netting position are found by its symbol.
    assert ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.1))).retcode == TRADE_RETCODE_DONE
    bid = ok(zelkor5.symbol_info_tick(SYMBOL)).bid
    stops = ok(
        zelkor5.order_send(
            {"action": TRADE_ACTION_SLTP, "symbol": SYMBOL, "sl": round(bid - 500, 2)}
        )
    )
    assert stops.retcode == TRADE_RETCODE_DONE, stops.comment
    assert ok(zelkor5.positions_get())[0].sl == round(bid - 500, 2)
    (pos,) = ok(zelkor5.positions_get())
    assert ok(zelkor5.order_send(market(ORDER_TYPE_SELL, 0.1))).retcode == TRADE_RETCODE_DONE
    assert zelkor5.positions_total() == 0
    deals = ok(zelkor5.history_deals_get(position=ident))
    assert [d.entry for d in deals] == [
        DEAL_ENTRY_IN,
        DEAL_ENTRY_IN,
        DEAL_ENTRY_OUT,
        DEAL_ENTRY_INOUT,
        DEAL_ENTRY_OUT,
    ]
    deals += ok(zelkor5.history_deals_get(position=pos.identifier))
    assert ok(zelkor5.account_info()).balance == pytest.approx(
        start + sum(d.profit + d.swap + d.commission + d.fee for d in deals), abs=1e-6
    )


def test_a_confirmed_deal_survives_a_killed_terminal(terminal):
    sent = ok(zelkor5.order_send(market(ORDER_TYPE_SELL, 0.05)))
    assert sent.retcode == TRADE_RETCODE_DONE
    terminal.signal(signal.SIGKILL)
    assert terminal.wait_gone()
    assert terminal.initialize(), zelkor5.last_error()
    (deal,) = ok(zelkor5.history_deals_get(ticket=sent.deal))
    assert deal.order == sent.order and deal.volume == 0.05 and deal.price == sent.price
    (pos,) = ok(zelkor5.positions_get(ticket=sent.order))
    assert pos.type == ORDER_TYPE_SELL
    # Tickets go on from where they were.
    again = ok(zelkor5.order_send(market(ORDER_TYPE_BUY, 0.05, position=pos.ticket)))
    assert again.retcode == TRADE_RETCODE_DONE and again.order > sent.deal


CLIENT = r"""
import json, sys, zelkor5
path, symbol, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
assert zelkor5.initialize(path, portable=True), zelkor5.last_error()
sys.stdout.write("ready\n"); sys.stdout.flush()
sys.stdin.readline()
results = []
for i in range(count):
    r = zelkor5.order_send({"action": 1, "symbol": symbol, "volume": 0.01, "type": i % 2})
    results.append([r.retcode, r.deal, r.order] if r is not None else [zelkor5.last_error()[0], 0, 0])
print(json.dumps(results))
"""


def test_two_client_processes_trade_at_once(terminal):
    start = ok(zelkor5.account_info())
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", CLIENT, terminal.exe, "ETHUSD", "25"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=os.environ.copy(),
        )
        for _ in range(2)
    ]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    for p in procs:  # let both go at the same moment
        p.stdin.write("go\n")
        p.stdin.flush()
    outputs = [json.loads(p.communicate(timeout=60)[0]) for p in procs]
    tickets = [t for out in outputs for r in out for t in r[1:]]
    assert all(r[0] == TRADE_RETCODE_DONE for out in outputs for r in out)
    assert len(tickets) == 100 and len(set(tickets)) == 100
    assert zelkor5.positions_total() == 50
    positions = ok(zelkor5.positions_get(symbol="ETHUSD"))
    assert sorted(p.ticket for p in positions) == sorted(r[2] for out in outputs for r in out)
    acc = ok(zelkor5.account_info())
    assert acc.balance == pytest.approx(start.balance - 50 * 0.02, abs=1e-6)  # commissions
    assert acc.margin == pytest.approx(
        sum(zelkor5.order_calc_margin(p.type, "ETHUSD", p.volume, p.price_open) for p in positions),
        abs=0.05,
    )
    assert acc.profit == pytest.approx(sum(p.profit for p in positions), abs=0.05)
