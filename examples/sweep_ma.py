"""A moving-average strategy over a grid of parameters, many replays at once.

Writes three days of minute bars of an invented symbol, MYCOIN, as a CSV
file and runs the strategy of replay_ma.py for every pair of averages in a
small grid, each pair in a private copy of the bundled terminal replaying
those days (stepped: the strategy acts on every minute), spread over the
machine's cores. Prints the results sorted by net profit and writes them
to sweep_ma.csv, or the file given.

    python examples/sweep_ma.py [results.csv]
"""

import calendar
import math
import os
import random
import shutil
import sys
import tempfile
from typing import Any, Dict, List

import zelkor5 as zk
from zelkor5 import stream
from zelkor5.constants import ORDER_TYPE_BUY, ORDER_TYPE_SELL, TIMEFRAME_M1, TRADE_ACTION_DEAL

SYMBOL = "MYCOIN"
START = calendar.timegm((2024, 3, 4, 0, 0, 0))
DAYS = 3
GRID = {"fast": [5, 10], "slow": [20, 40]}


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


def strategy(params: Dict[str, Any]) -> Dict[str, Any]:
    """Buys 1 lot when the fast average crosses above the slow one, closes
    when it crosses back; runs in the private terminal the sweep gives it."""
    fast, slow = int(params["fast"]), int(params["slow"])
    minutes = 0
    for bar in stream.bars(SYMBOL, TIMEFRAME_M1):
        minutes += 1
        got = zk.copy_rates_from(SYMBOL, TIMEFRAME_M1, bar.time, slow + 1)
        if got is None or len(got) < slow + 1:
            continue
        closes = [float(c) for c in got["close"]]
        fast_now, slow_now = average(closes[-fast:]), average(closes[-slow:])
        fast_before, slow_before = average(closes[-fast - 1 : -1]), average(closes[-slow - 1 : -1])
        positions = zk.positions_get(symbol=SYMBOL) or ()
        if not positions and fast_before <= slow_before and fast_now > slow_now:
            zk.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": SYMBOL,
                    "volume": 1.0,
                    "type": ORDER_TYPE_BUY,
                }
            )
        elif positions and fast_before >= slow_before and fast_now < slow_now:
            zk.order_send(
                {
                    "action": TRADE_ACTION_DEAL,
                    "symbol": SYMBOL,
                    "volume": positions[0].volume,
                    "type": ORDER_TYPE_SELL,
                    "position": positions[0].ticket,
                }
            )
    return {"minutes": minutes}


def main() -> int:
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "sweep_ma.csv")
    work = tempfile.mkdtemp(prefix="zk5sweep")
    try:
        csv = os.path.join(work, SYMBOL + ".M1.csv")
        write_bars(csv)
        # The market starts an hour into the data, so the averages have their history.
        frame = zk.sweep(strategy, GRID, history=csv, span=(START + 3600, START + DAYS * 86400))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    columns = [
        "fast",
        "slow",
        "net_profit",
        "profit_factor",
        "trades",
        "win_rate",
        "max_drawdown",
        "exposure_pct",
        "minutes",
        "error",
    ]
    print(frame.sort_values("net_profit", ascending=False)[columns].to_string(index=False))
    frame.to_csv(out, index=False)
    print("\nresults: %s" % out)
    return 1 if frame["error"].notna().any() else 0


if __name__ == "__main__":
    sys.exit(main())
