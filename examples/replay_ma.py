"""A moving-average strategy in a replay of imported price history.

Writes three days of minute bars of an invented symbol, MYCOIN, as a CSV
file, imports it into a private copy of the bundled terminal (so your own
installation is left alone), and starts a stepped replay of those days: the
market stands still until the script moves it to the close of the next
minute with zelkor5.replay.next_bar(), so the strategy acts on every
minute however many requests it makes, and the run repeats exactly. The
strategy trades through the ordinary calls: at each minute's close it
compares the 5- and 20-minute averages of the closes, buys 1 lot with a
stop-loss when the fast one crosses above the slow one and closes the
position when it crosses back. At the end it prints the trades and the
account's result, and writes the report page (equity, drawdown,
statistics) to replay_ma.html, or the file given.

    python examples/replay_ma.py [report.html]
"""

import calendar
import datetime
import math
import os
import random
import shutil
import sys
import tempfile
from typing import List

import zelkor5 as zk
from zelkor5 import replay as market_clock
from zelkor5.constants import (
    DEAL_ENTRY_OUT,
    DEAL_REASON_SL,
    DEAL_TYPE_BUY,
    ORDER_FILLING_FOK,
    ORDER_FILLING_IOC,
    ORDER_FILLING_RETURN,
    ORDER_TYPE_BUY,
    ORDER_TYPE_SELL,
    SYMBOL_FILLING_FOK,
    SYMBOL_FILLING_IOC,
    TIMEFRAME_M1,
    TRADE_ACTION_DEAL,
    TRADE_RETCODE_DONE,
)
from zelkor5.terminal import import_history, replay, terminal_path

SYMBOL = "MYCOIN"
START = calendar.timegm((2024, 3, 4, 0, 0, 0))
DAYS = 3
FAST, SLOW = 5, 20


def when(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M"
    )


def write_bars(path: str) -> None:
    """A random walk with a slow swing, in minute bars of two decimals."""
    rnd = random.Random(5)
    price = 100.0
    with open(path, "w") as f:
        f.write("time,open,high,low,close,tick_volume\n")
        for k in range(DAYS * 1440):
            open_ = price
            price = max(1.0, price + rnd.gauss(0, 0.08) + 0.03 * math.sin(k / 180.0))
            high = max(open_, price) + abs(rnd.gauss(0, 0.03))
            low = min(open_, price) - abs(rnd.gauss(0, 0.03))
            f.write(
                "%d,%.2f,%.2f,%.2f,%.2f,%d\n"
                % (START + 60 * k, open_, high, low, price, rnd.randint(4, 30))
            )


def average(values: List[float]) -> float:
    return sum(values) / len(values)


def filling_for(symbol: str) -> int:
    """A filling policy the symbol accepts for market orders, from its
    filling_mode bits (a broker may allow only one)."""
    info = zk.symbol_info(symbol)
    mode = info.filling_mode if info is not None else 0
    if mode & SYMBOL_FILLING_FOK:
        return ORDER_FILLING_FOK
    if mode & SYMBOL_FILLING_IOC:
        return ORDER_FILLING_IOC
    return ORDER_FILLING_RETURN


def run(exe: str, report_path: str) -> int:
    # The market starts an hour into the data, so the averages have their
    # history; it moves only when the script moves it.
    if not replay(when(START + 3600), stepped=True, path=exe, portable=True):
        print("cannot start the replay:", zk.last_error())
        return 1
    info = zk.account_info()
    if info is None:
        print("no account:", zk.last_error())
        return 1
    start_balance = info.balance
    filling = filling_for(SYMBOL)
    minutes = 0
    while True:
        bar = market_clock.next_bar(SYMBOL, TIMEFRAME_M1)  # the minute that just closed
        if bar is None:
            break  # the end of the data
        minutes += 1
        # The closed minutes up to this one.
        bars = zk.copy_rates_from(SYMBOL, TIMEFRAME_M1, int(bar["time"]), SLOW + 1)
        if bars is None or len(bars) < SLOW + 1:
            print("no bars:", zk.last_error())
            return 1
        closes = [float(c) for c in bars["close"]]
        fast_now, slow_now = average(closes[-FAST:]), average(closes[-SLOW:])
        fast_before, slow_before = average(closes[-FAST - 1 : -1]), average(closes[-SLOW - 1 : -1])
        positions = zk.positions_get(symbol=SYMBOL) or ()
        if not positions and fast_before <= slow_before and fast_now > slow_now:
            tick = zk.symbol_info_tick(SYMBOL)
            if tick is None:
                continue
            sent = zk.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": SYMBOL,
                    "volume": 1.0,
                    "type": ORDER_TYPE_BUY,
                    "type_filling": filling,
                    "sl": round(tick.bid - 1.5, 2),
                }
            )
            if sent is None or sent.retcode != TRADE_RETCODE_DONE:
                print("buy refused:", sent.comment if sent else zk.last_error())
        elif positions and fast_before >= slow_before and fast_now < slow_now:
            zk.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": SYMBOL,
                    "volume": positions[0].volume,
                    "type": ORDER_TYPE_SELL,
                    "type_filling": filling,
                    "position": positions[0].ticket,
                }
            )

    deals = zk.history_deals_get(START, START + DAYS * 86400) or ()
    print("%-16s  %-4s  %-15s  %9s  %9s" % ("time", "side", "entry", "price", "profit"))
    for d in deals:
        if d.symbol != SYMBOL:
            continue
        entry = (
            ("out (stop-loss)" if d.reason == DEAL_REASON_SL else "out")
            if d.entry == DEAL_ENTRY_OUT
            else "in"
        )
        print(
            "%-16s  %-4s  %-15s  %9.2f  %9.2f"
            % (when(d.time), "buy" if d.type == DEAL_TYPE_BUY else "sell", entry, d.price, d.profit)
        )
    account = zk.account_info()
    if account is None:
        print("no account:", zk.last_error())
        return 1
    closed = [d for d in deals if d.symbol == SYMBOL and d.entry == DEAL_ENTRY_OUT]
    print(
        "\n%d minutes seen, %d round trips, %d won; balance %.2f -> %.2f (%+.2f), equity %.2f"
        % (
            minutes,
            len(closed),
            sum(1 for d in closed if d.profit > 0),
            start_balance,
            account.balance,
            account.balance - start_balance,
            account.equity,
        )
    )
    result = zk.report(
        html=report_path, title="MYCOIN moving averages %d/%d, stepped replay" % (FAST, SLOW)
    )
    print(
        "report: %s (profit factor %.2f, largest drawdown %.2f)"
        % (report_path, result.statistics["profit_factor"], result.statistics["max_drawdown"])
    )
    zk.shutdown()
    return 0


def main() -> int:
    report_path = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "replay_ma.html")
    work = tempfile.mkdtemp(prefix="zk5replay")
    try:
        exe = os.path.join(work, "terminal64.exe")
        shutil.copy2(terminal_path(), exe)
        os.makedirs(os.path.join(work, "config"))
        with open(os.path.join(work, "config", "terminal.ini"), "w") as f:
            f.write("[Terminal]\nIdleExit=1\n")  # gone a second after the script
        csv = os.path.join(work, "mycoin.csv")
        write_bars(csv)
        rows = import_history(csv, symbol=SYMBOL, path=exe, portable=True)
        print(
            "imported %d minute bars of %s, %s to %s\n"
            % (rows, SYMBOL, when(START), when(START + DAYS * 86400 - 60))
        )
        return run(exe, report_path)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
