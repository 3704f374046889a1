"""A demo session against the bundled simulated terminal (``zelkor5 demo``,
``scripts/demo.sh``).

Starts the terminal that comes with the package, logs in to its demo
account, shows the account, a few quotes and recent bars, opens a market
position, closes it by an opposite deal, shows the resulting deals, and
disconnects.
"""
import datetime
import sys
from typing import Any, Dict, Optional, Sequence

from . import _core as zk
from .constants import (
    ORDER_FILLING_IOC, ORDER_TYPE_BUY, ORDER_TYPE_SELL, TIMEFRAME_H1, TRADE_ACTION_DEAL,
    TRADE_RETCODE_CHECK_OK, TRADE_RETCODE_DONE, TRADE_RETCODE_MARKET_CLOSED)
from .terminal import DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER, terminal_path

QUOTED = ["EURUSD", "GBPUSD", "USDJPY", "XAUUSD", "US500", "BTCUSD"]


def when(seconds: int) -> str:
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def table(title: str, headers: Sequence[str], rows: Sequence[Sequence[Any]]) -> None:
    """Prints rows as a plain text table under a title."""
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    print("\n" + title)
    line = "  ".join("-" * w for w in widths)
    for n, row in enumerate(cells):
        print("  ".join(c.rjust(w) if n and _numeric(c) else c.ljust(w) for c, w in zip(row, widths)))
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
    table("Terminal", ["field", "value"], [
        ("name", term.name), ("version", "{} build {} ({})".format(*version)),
        ("connected", term.connected), ("trading allowed", term.trade_allowed),
        ("data folder", term.data_path)])
    table("Account", ["field", "value"], [
        ("login", acc.login), ("name", acc.name), ("server", acc.server),
        ("currency", acc.currency), ("leverage", "1:{}".format(acc.leverage)),
        ("balance", "{:.2f}".format(acc.balance)), ("equity", "{:.2f}".format(acc.equity)),
        ("free margin", "{:.2f}".format(acc.margin_free))])

    rows = []
    for name in QUOTED:
        info = zk.symbol_info(name)
        tick = zk.symbol_info_tick(name)
        if info is None or tick is None:
            return fail("symbol_info " + name)
        rows.append((name, info.description, "{:.{d}f}".format(tick.bid, d=info.digits),
                     "{:.{d}f}".format(tick.ask, d=info.digits), info.spread, when(tick.time)))
    table("Last prices", ["symbol", "description", "bid", "ask", "spread", "time (UTC)"], rows)

    bars = zk.copy_rates_from_pos("EURUSD", TIMEFRAME_H1, 0, 8)
    if bars is None:
        return fail("copy_rates_from_pos")
    table("EURUSD, last 8 hourly bars", ["time (UTC)", "open", "high", "low", "close", "ticks"],
          [(when(b["time"]), "{:.5f}".format(b["open"]), "{:.5f}".format(b["high"]),
            "{:.5f}".format(b["low"]), "{:.5f}".format(b["close"]), int(b["tick_volume"]))
           for b in bars])

    # Currency markets rest at the weekend; crypto trades around the clock.
    symbol = "EURUSD"
    request: Dict[str, Any] = {"action": TRADE_ACTION_DEAL, "symbol": symbol, "volume": 0.1,
               "type": ORDER_TYPE_BUY, "type_filling": ORDER_FILLING_IOC,
               "magic": 2026, "comment": "demo"}
    check = zk.order_check(request)
    if check is not None and check.retcode == TRADE_RETCODE_MARKET_CLOSED:
        symbol = "BTCUSD"
        request.update(symbol=symbol, volume=0.01)
        check = zk.order_check(request)
    if check is None or check.retcode != TRADE_RETCODE_CHECK_OK:
        if check is None:
            return fail("order_check")
        print("order_check:", check.comment)
        return 1
    print("\norder_check: margin after the deal {:.2f} {}, free margin {:.2f}".format(
        check.margin, acc.currency, check.margin_free))

    sent = zk.order_send(request)
    if sent is None:
        return fail("order_send")
    print("order_send: {} (retcode {}), deal {} order {}: bought {} {} at {}".format(
        sent.comment, sent.retcode, sent.deal, sent.order, sent.volume, symbol, sent.price))
    if sent.retcode != TRADE_RETCODE_DONE:
        zk.shutdown()
        return 1

    positions = zk.positions_get(symbol=symbol)
    if positions is None:
        return fail("positions_get")
    table("Open positions in " + symbol, ["ticket", "type", "volume", "open price", "current", "profit"],
          [(p.ticket, "buy" if p.type == ORDER_TYPE_BUY else "sell", p.volume, p.price_open,
            p.price_current, "{:.2f}".format(p.profit)) for p in positions])
    acc = zk.account_info()
    if acc is None:
        return fail("account_info")
    print("margin in use {:.2f}, equity {:.2f}".format(acc.margin, acc.equity))

    ticket = sent.order
    close = dict(request, type=ORDER_TYPE_SELL, position=ticket, comment="demo close")
    closed = zk.order_send(close)
    if closed is None:
        return fail("order_send (close)")
    print("\nclosing: {} (retcode {}) at {}".format(closed.comment, closed.retcode, closed.price))

    deals = zk.history_deals_get(position=ticket)
    if deals is None:
        return fail("history_deals_get")
    table("Deals of position {}".format(ticket),
          ["deal", "order", "time (UTC)", "type", "entry", "volume", "price", "profit"],
          [(d.ticket, d.order, when(d.time), "buy" if d.type == 0 else "sell",
            "in" if d.entry == 0 else "out", d.volume, d.price, "{:.2f}".format(d.profit))
           for d in deals])
    acc = zk.account_info()
    if acc is None:
        return fail("account_info")
    print("\nbalance now {:.2f} {}, open positions {}".format(acc.balance, acc.currency, zk.positions_total()))

    zk.shutdown()
    print("shutdown: done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
