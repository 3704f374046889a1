"""A demo session against the bundled simulated terminal (``zelkor5 demo``,
``scripts/demo.sh``).

Starts the terminal that comes with the package, logs in to its demo
account, shows the account, a few quotes and recent bars, opens a market
position with a stop-loss and a take-profit, places a pending order,
modifies and removes it, closes the position by an opposite deal, shows
the account's deals with their reasons, and disconnects.
"""

import datetime
import sys
from typing import Any, Dict, Optional, Sequence

from . import _core as zk
from ._request import TradeRequestDict
from .constants import (
    DEAL_ENTRY_IN,
    DEAL_ENTRY_INOUT,
    DEAL_ENTRY_OUT,
    DEAL_ENTRY_OUT_BY,
    DEAL_REASON_CLIENT,
    DEAL_REASON_EXPERT,
    DEAL_REASON_SL,
    DEAL_REASON_SO,
    DEAL_REASON_TP,
    DEAL_TYPE_BALANCE,
    DEAL_TYPE_BUY,
    ORDER_FILLING_FOK,
    ORDER_FILLING_IOC,
    ORDER_FILLING_RETURN,
    ORDER_STATE_CANCELED,
    ORDER_TIME_DAY,
    ORDER_TYPE_BUY,
    ORDER_TYPE_BUY_LIMIT,
    ORDER_TYPE_SELL,
    SYMBOL_FILLING_FOK,
    SYMBOL_FILLING_IOC,
    TIMEFRAME_H1,
    TRADE_ACTION_DEAL,
    TRADE_ACTION_MODIFY,
    TRADE_ACTION_PENDING,
    TRADE_ACTION_REMOVE,
    TRADE_RETCODE_CHECK_OK,
    TRADE_RETCODE_DONE,
    TRADE_RETCODE_MARKET_CLOSED,
)
from .terminal import DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER, terminal_path

QUOTED = ["EURUSD", "GBPUSD", "USDJPY", "XAUUSD", "US500", "BTCUSD"]
# The deals shown at the end (the account's history may hold thousands).
LAST_DEALS = 20
ENTRIES: Dict[int, str] = {
    DEAL_ENTRY_IN: "in",
    DEAL_ENTRY_OUT: "out",
    DEAL_ENTRY_INOUT: "in/out",
    DEAL_ENTRY_OUT_BY: "out by",
}
REASONS: Dict[int, str] = {
    DEAL_REASON_CLIENT: "client",
    DEAL_REASON_EXPERT: "expert",
    DEAL_REASON_SL: "stop-loss",
    DEAL_REASON_TP: "take-profit",
    DEAL_REASON_SO: "stop-out",
}


def when(seconds: int) -> str:
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M:%S"
    )


def table(title: str, headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    """Prints rows as a plain text table under a title."""
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    print("\n" + title)
    line = "  ".join("-" * w for w in widths)
    for n, row in enumerate(cells):
        print(
            "  ".join(c.rjust(w) if n and _numeric(c) else c.ljust(w) for c, w in zip(row, widths))
        )
        if n == 0:
            print(line)
    if not rows:
        print("(none)")


def _numeric(text: str) -> bool:
    try:
        float(text)
        return True
    except ValueError:
        return False


def filling_for(symbol: str) -> int:
    """A filling policy the symbol accepts for market orders: its
    filling_mode bits tell which (a broker may allow only one)."""
    info = zk.symbol_info(symbol)
    if info is not None and info.filling_mode & SYMBOL_FILLING_FOK:
        return ORDER_FILLING_FOK
    if info is not None and info.filling_mode & SYMBOL_FILLING_IOC:
        return ORDER_FILLING_IOC
    return ORDER_FILLING_RETURN


def fail(what: str) -> int:
    code, message = zk.last_error()
    print("{} failed: {} {}".format(what, code, message))
    zk.shutdown()
    return 1


def main(path: Optional[str] = None) -> int:
    if path is None:
        path = terminal_path()
    print("Starting the terminal:", path)
    if not zk.initialize(path=path, login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER):
        return fail("initialize")

    version = zk.version()
    term = zk.terminal_info()
    acc = zk.account_info()
    if term is None or acc is None:
        return fail("terminal_info/account_info")
    table(
        "Terminal",
        ["field", "value"],
        [
            ("name", term.name),
            ("version", "{} build {} ({})".format(*version)),
            ("connected", term.connected),
            ("trading allowed", term.trade_allowed),
            ("data folder", term.data_path),
        ],
    )
    table(
        "Account",
        ["field", "value"],
        [
            ("login", acc.login),
            ("name", acc.name),
            ("server", acc.server),
            ("currency", acc.currency),
            ("leverage", "1:{}".format(acc.leverage)),
            ("balance", "{:.2f}".format(acc.balance)),
            ("equity", "{:.2f}".format(acc.equity)),
            ("free margin", "{:.2f}".format(acc.margin_free)),
        ],
    )

    rows = []
    for name in QUOTED:
        info = zk.symbol_info(name)
        tick = zk.symbol_info_tick(name)
        if info is None or tick is None:
            return fail("symbol_info " + name)
        rows.append(
            (
                name,
                info.description,
                "{:.{d}f}".format(tick.bid, d=info.digits),
                "{:.{d}f}".format(tick.ask, d=info.digits),
                info.spread,
                when(tick.time),
            )
        )
    table("Last prices", ["symbol", "description", "bid", "ask", "spread", "time (UTC)"], rows)

    bars = zk.copy_rates_from_pos("EURUSD", TIMEFRAME_H1, 0, 8)
    if bars is None:
        return fail("copy_rates_from_pos")
    table(
        "EURUSD, last 8 hourly bars",
        ["time (UTC)", "open", "high", "low", "close", "ticks"],
        [
            (
                when(b["time"]),
                "{:.5f}".format(b["open"]),
                "{:.5f}".format(b["high"]),
                "{:.5f}".format(b["low"]),
                "{:.5f}".format(b["close"]),
                int(b["tick_volume"]),
            )
            for b in bars
        ],
    )

    # Currency markets rest at the weekend; crypto trades around the clock.
    symbol = "EURUSD"
    request: TradeRequestDict = {
        "action": TRADE_ACTION_DEAL,
        "symbol": symbol,
        "volume": 0.1,
        "type": ORDER_TYPE_BUY,
        "type_filling": filling_for(symbol),
        "magic": 2026,
        "comment": "demo",
    }
    check = zk.order_check(request)
    if check is not None and check.retcode == TRADE_RETCODE_MARKET_CLOSED:
        symbol = "BTCUSD"
        request.update({"symbol": symbol, "volume": 0.01, "type_filling": filling_for(symbol)})
        check = zk.order_check(request)
    if check is None or check.retcode != TRADE_RETCODE_CHECK_OK:
        if check is None:
            return fail("order_check")
        print("order_check:", check.comment)
        return 1
    print(
        "\norder_check: margin after the deal {:.2f} {}, free margin {:.2f}".format(
            check.margin, acc.currency, check.margin_free
        )
    )

    # Stops at least the symbol's stops level away from the market.
    info = zk.symbol_info(symbol)
    tick = zk.symbol_info_tick(symbol)
    if info is None or tick is None:
        return fail("symbol_info " + symbol)
    distance = max(info.trade_stops_level, 1) * 20 * info.point
    request.update(
        {
            "sl": round(tick.bid - distance, info.digits),
            "tp": round(tick.bid + distance, info.digits),
        }
    )
    sent = zk.order_send(request)
    if sent is None:
        return fail("order_send")
    print(
        "order_send: {} (retcode {}), deal {} order {}: bought {} {} at {}, stop-loss {}, take-profit {}".format(
            sent.comment,
            sent.retcode,
            sent.deal,
            sent.order,
            sent.volume,
            symbol,
            sent.price,
            request["sl"],
            request["tp"],
        )
    )
    if sent.retcode != TRADE_RETCODE_DONE:
        zk.shutdown()
        return 1

    positions = zk.positions_get(symbol=symbol)
    if positions is None:
        return fail("positions_get")
    table(
        "Open positions in " + symbol,
        ["ticket", "type", "volume", "open price", "sl", "tp", "current", "profit"],
        [
            (
                p.ticket,
                "buy" if p.type == ORDER_TYPE_BUY else "sell",
                p.volume,
                p.price_open,
                p.sl,
                p.tp,
                p.price_current,
                "{:.2f}".format(p.profit),
            )
            for p in positions
        ],
    )
    acc = zk.account_info()
    if acc is None:
        return fail("account_info")
    print("margin in use {:.2f}, equity {:.2f}".format(acc.margin, acc.equity))

    # A buy limit below the market, good for the day: placed, moved, removed.
    limit_price = round(tick.ask - 2 * distance, info.digits)
    # A limit order rests at its price, so it may keep a remainder working.
    pending: TradeRequestDict = {
        "action": TRADE_ACTION_PENDING,
        "symbol": symbol,
        "volume": request["volume"],
        "type": ORDER_TYPE_BUY_LIMIT,
        "price": limit_price,
        "type_time": ORDER_TIME_DAY,
        "type_filling": ORDER_FILLING_RETURN,
        "magic": 2026,
        "comment": "demo limit",
    }
    placed = zk.order_send(pending)
    if placed is None:
        return fail("order_send (pending)")
    if placed.retcode != TRADE_RETCODE_DONE:
        print("pending:", placed.comment)
        return 1
    print("\npending: buy limit {} placed at {}".format(placed.order, limit_price))
    moved = zk.order_send(
        {
            "action": TRADE_ACTION_MODIFY,
            "order": placed.order,
            "price": round(limit_price - distance, info.digits),
            "type_time": ORDER_TIME_DAY,
            "sl": round(limit_price - 2 * distance, info.digits),
        }
    )
    if moved is None:
        return fail("order_send (modify)")
    orders = zk.orders_get()
    if orders is None:
        return fail("orders_get")
    table(
        "Working orders",
        ["ticket", "type", "volume", "price", "sl", "expires (UTC)"],
        [
            (o.ticket, "buy limit", o.volume_current, o.price_open, o.sl, when(o.time_expiration))
            for o in orders
        ],
    )
    removed = zk.order_send({"action": TRADE_ACTION_REMOVE, "order": placed.order})
    if removed is None:
        return fail("order_send (remove)")
    gone = zk.history_orders_get(ticket=placed.order) or ()
    print(
        "remove: {} (retcode {}); the order is now {}".format(
            removed.comment,
            removed.retcode,
            "cancelled" if gone and gone[0].state == ORDER_STATE_CANCELED else "still working",
        )
    )

    ticket = sent.order
    close = request.copy()
    close.update(
        {"type": ORDER_TYPE_SELL, "position": ticket, "comment": "demo close", "sl": 0.0, "tp": 0.0}
    )
    closed = zk.order_send(close)
    if closed is None:
        return fail("order_send (close)")
    print("\nclosing: {} (retcode {}) at {}".format(closed.comment, closed.retcode, closed.price))

    deals = zk.history_deals_get(0, int(datetime.datetime.now().timestamp()) + 86400)
    if deals is None:
        return fail("history_deals_get")
    # An account's history may be long: the latest deals tell the story.
    latest = sorted(deals, key=lambda d: (d.time_msc, d.ticket))[-LAST_DEALS:]
    table(
        "The account's last %d deals (of %d)" % (len(latest), len(deals)),
        [
            "deal",
            "order",
            "time (UTC)",
            "symbol",
            "type",
            "entry",
            "reason",
            "volume",
            "price",
            "commission",
            "swap",
            "profit",
        ],
        [
            (
                d.ticket,
                d.order,
                when(d.time),
                d.symbol or "-",
                "balance"
                if d.type == DEAL_TYPE_BALANCE
                else "buy"
                if d.type == DEAL_TYPE_BUY
                else "sell",
                ENTRIES.get(d.entry, d.entry),
                REASONS.get(d.reason, d.reason),
                d.volume,
                d.price,
                "{:.2f}".format(d.commission),
                "{:.2f}".format(d.swap),
                "{:.2f}".format(d.profit),
            )
            for d in latest
        ],
    )
    acc = zk.account_info()
    if acc is None:
        return fail("account_info")
    total = sum(d.profit + d.commission + d.swap + d.fee for d in deals)
    print(
        "\nbalance now {:.2f} {} (the sum of the deals: {:.2f}), open positions {}".format(
            acc.balance, acc.currency, total, zk.positions_total()
        )
    )

    zk.shutdown()
    print("shutdown: done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
