"""One strategy, unchanged: backtested, swept over two parameters, run live.

The strategy is one plain function of its parameters. On every closed
minute of BTCUSD (``zelkor5.stream.bars``) it compares a fast and a slow
average of the closes: it buys 0.1 lot when the fast one crosses above the
slow one and closes the position when it crosses back. The same loop
waits for each minute to close on a live account, and moves the replay's
clock to the next minute in a backtest or a sweep; it ends at the
backtest's end, or live after params["bars"] minutes.

1. A backtest (``zelkor5.backtest``) over a day of invented minute bars
   of BTCUSD (written as a CSV file here), with its report page.
2. A sweep (``zelkor5.sweep``) of the two averages over the same day.
3. The strategy as it is, on the demo account of a private copy of the
   bundled terminal (your own installation is left alone), for
   ``--live-bars`` closed minutes (default 3: about three minutes).
   ``--live-speed S`` runs that market S times faster (a replay from an
   hour ago whose clock runs by itself, as a live one does), for a quick
   look.

    python examples/one_strategy.py [--live-bars N] [--live-speed S] [--html FILE]
"""

import argparse
import calendar
import datetime
import math
import os
import random
import shutil
import sys
import tempfile
import time
from typing import Any, Dict, List, Mapping, Optional, Sequence

import zelkor5 as zk
from zelkor5 import stream
from zelkor5.constants import (
    ORDER_FILLING_FOK,
    ORDER_FILLING_IOC,
    ORDER_FILLING_RETURN,
    ORDER_TYPE_BUY,
    ORDER_TYPE_SELL,
    SYMBOL_FILLING_FOK,
    SYMBOL_FILLING_IOC,
    TIMEFRAME_M1,
    TRADE_ACTION_DEAL,
)
from zelkor5.terminal import replay, stop, terminal_path

SYMBOL = "BTCUSD"
START = calendar.timegm((2024, 3, 4, 0, 0, 0))
HOURS = 26  # of minute bars in the CSV file
# The backtest starts two hours into the data, so the averages have their
# history, and replays a day.
SPAN = (START + 2 * 3600, START + 26 * 3600)
PARAMS = {"fast": 5, "slow": 20}
GRID = {"fast": [5, 10], "slow": [20, 40]}


def write_bars(path: str, hours: int = HOURS) -> None:
    """A random walk with a slow swing around 60000, in minute bars."""
    rnd = random.Random(11)
    price = 60000.0
    with open(path, "w") as f:
        f.write("time,open,high,low,close,tick_volume\n")
        for k in range(hours * 60):
            open_ = price
            price = max(1000.0, price + rnd.gauss(0, 30) + 12 * math.sin(k / 150.0))
            high = max(open_, price) + abs(rnd.gauss(0, 10))
            low = min(open_, price) - abs(rnd.gauss(0, 10))
            f.write(
                "%d,%.2f,%.2f,%.2f,%.2f,%d\n"
                % (START + 60 * k, open_, high, low, price, rnd.randint(4, 30))
            )


def average(values: List[float]) -> float:
    return sum(values) / len(values)


def filling_for(symbol: str) -> int:
    """A filling policy the symbol accepts for market orders."""
    info = zk.symbol_info(symbol)
    mode = info.filling_mode if info is not None else 0
    if mode & SYMBOL_FILLING_FOK:
        return ORDER_FILLING_FOK
    if mode & SYMBOL_FILLING_IOC:
        return ORDER_FILLING_IOC
    return ORDER_FILLING_RETURN


def strategy(params: Mapping[str, Any]) -> Dict[str, Any]:
    """The strategy: the same code in a backtest, a sweep and live."""
    fast, slow = int(params["fast"]), int(params["slow"])
    limit: Optional[int] = params.get("bars")
    filling = filling_for(SYMBOL)
    minutes = 0
    for bar in stream.bars(SYMBOL, TIMEFRAME_M1):  # each minute once it has closed
        minutes += 1
        got = zk.copy_rates_from(SYMBOL, TIMEFRAME_M1, bar.time, slow + 1)
        if got is not None and len(got) == slow + 1:
            closes = [float(c) for c in got["close"]]
            fast_now, slow_now = average(closes[-fast:]), average(closes[-slow:])
            fast_before = average(closes[-fast - 1 : -1])
            slow_before = average(closes[-slow - 1 : -1])
            positions = zk.positions_get(symbol=SYMBOL) or ()
            order: zk.TradeRequestDict = {
                "action": TRADE_ACTION_DEAL,
                "symbol": SYMBOL,
                "volume": 0.1,
                "type_filling": filling,
                "magic": 33,
            }
            if not positions and fast_before <= slow_before and fast_now > slow_now:
                zk.order_send({**order, "type": ORDER_TYPE_BUY})
            elif positions and fast_before >= slow_before and fast_now < slow_now:
                zk.order_send({**order, "type": ORDER_TYPE_SELL, "position": positions[0].ticket})
        if limit is not None and minutes >= limit:
            break
    return {"minutes": minutes}


def when(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M"
    )


def run_live(bars: int, speed: Optional[int] = None) -> Dict[str, Any]:
    """The strategy on the demo account of a private copy of the bundled
    terminal, for `bars` closed minutes; `speed`: a replay from an hour ago
    whose market runs that many times faster. Returns what the strategy
    returned, with the account's deals."""
    work = tempfile.mkdtemp(prefix="zk5one")
    saved = os.environ.get("XDG_DATA_HOME")
    os.environ["XDG_DATA_HOME"] = os.path.join(work, "data")  # it registers there
    exe = os.path.join(work, "terminal64.exe")
    shutil.copy2(terminal_path(), exe)
    try:
        if speed:
            started = replay(when(time.time() - 3600), speed=speed, path=exe, portable=True)
        else:
            started = zk.initialize(exe, portable=True)
        if not started:
            raise RuntimeError("the terminal did not start: %r" % (zk.last_error(),))
        returned = strategy(dict(PARAMS, bars=bars))
        deals = zk.history_deals_get(0, time.time() + 10 * 365 * 86400) or ()
        returned["deals"] = [(d.type, d.volume, d.price) for d in deals if d.symbol == SYMBOL]
        return returned
    finally:
        zk.shutdown()
        stop(exe)
        if saved is None:
            os.environ.pop("XDG_DATA_HOME", None)
        else:
            os.environ["XDG_DATA_HOME"] = saved
        shutil.rmtree(work, ignore_errors=True)


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    ap.add_argument("--live-bars", type=int, default=3, help="closed minutes live (default 3)")
    ap.add_argument("--live-speed", type=int, help="run the live market this many times faster")
    ap.add_argument("--html", default="one_strategy.html", help="the backtest's report page")
    args = ap.parse_args(argv)

    work = tempfile.mkdtemp(prefix="zk5one")
    try:
        csv = os.path.join(work, SYMBOL + ".M1.csv")
        write_bars(csv)
        print("1. backtest of %s from %s to %s" % (PARAMS, when(SPAN[0]), when(SPAN[1])))
        report = zk.backtest(strategy, PARAMS, history=csv, span=SPAN, html=args.html)
        stats = report.statistics
        print(
            "   net profit %.2f, %d trades, win rate %.0f%%, largest drawdown %.2f; page: %s"
            % (
                stats["net_profit"],
                stats["trades"],
                stats["win_rate"],
                stats["max_drawdown"],
                report.html,
            )
        )
        print("2. sweep of %s" % GRID)
        frame = zk.sweep(strategy, GRID, history=csv, span=SPAN, progress=False)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    columns = ["fast", "slow", "net_profit", "trades", "win_rate", "max_drawdown", "minutes"]
    print(frame[columns + ["error"]].to_string(index=False))
    mine = frame[(frame["fast"] == PARAMS["fast"]) & (frame["slow"] == PARAMS["slow"])]
    same = all(
        (math.isnan(a) and math.isnan(b)) or a == b
        for a, b in zip(mine.iloc[0][list(stats.index)], stats)
    )
    print("   the row of %s is the backtest's: %s" % (PARAMS, "yes" if same else "NO"))

    print(
        "3. live on the demo account, %d closed minutes%s"
        % (args.live_bars, " at %dx" % args.live_speed if args.live_speed else "")
    )
    live = run_live(args.live_bars, args.live_speed)
    print("   %d minutes, deals: %s" % (live["minutes"], live["deals"] or "none"))
    failed = frame["error"].notna().any() or not same or live["minutes"] != args.live_bars
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
