"""The bar loop of a stepped replay against an independent backtester, in
the same run.

Writes DAYS days of minute bars of an invented symbol and runs the same
moving-average strategy (buy 1 lot when the FAST-bar average of the
closes crosses above the SLOW-bar one, close when it crosses back) two
ways:

- zelkor5: a backtest's run (a private terminal replaying the bars,
  stepped), whose loop is ``zelkor5.stream.bars``: each step is the next
  bar (which moves the clock) plus two small reads, the last SLOW+1 bars
  and the positions, and an order on a cross. Timed inside the run: the
  loop alone, without the set-up of the private terminal;
- backtesting.py (PyPI ``backtesting``, a benchmark-only dependency) over
  the same bars in a pandas frame.

Prints the bars per second of each (median of ROUNDS), their ratio, and
each one's trades and net result (for a look, not judged: the engines'
fill and cost rules differ).

    python bench/bench_replay.py [--days 5] [--rounds 3] [--smoke]

--smoke: two hours of minutes, one round. Run it with the interpreter of
a virtual environment that has zelkor5, pandas and backtesting installed
(scripts/setup.sh). Linux only.
"""

import argparse
import calendar
import math
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
import warnings

import zelkor5 as zk
from zelkor5 import stream
from zelkor5.constants import ORDER_TYPE_BUY, ORDER_TYPE_SELL, TIMEFRAME_M1, TRADE_ACTION_DEAL

SYMBOL = "BENCHX"
START = calendar.timegm((2024, 3, 4, 0, 0, 0))
FAST, SLOW = 10, 30
WARM_UP = 3600  # the replay starts an hour into the data: the averages have their bars


def write_bars(path, minutes):
    rnd = random.Random(17)
    price = 100.0
    rows = []
    with open(path, "w") as f:
        f.write("time,open,high,low,close,tick_volume\n")
        for k in range(minutes):
            open_ = price
            price = max(1.0, price + rnd.gauss(0, 0.08) + 0.03 * math.sin(k / 180.0))
            high = max(open_, price) + abs(rnd.gauss(0, 0.03))
            low = min(open_, price) - abs(rnd.gauss(0, 0.03))
            line = (START + 60 * k, round(open_, 2), round(high, 2), round(low, 2), round(price, 2))
            rows.append(line)
            f.write("%d,%.2f,%.2f,%.2f,%.2f,%d\n" % (line + (10,)))
    return rows


def strategy(params):
    """The moving-average strategy on zelkor5's loop; times the loop."""
    bars = 0
    started = time.perf_counter()
    for bar in stream.bars(SYMBOL, TIMEFRAME_M1):
        bars += 1
        # The last bars: the one just closed, the one it opened (when a
        # price came at the close) and those before.
        got = zk.copy_rates_from_pos(SYMBOL, TIMEFRAME_M1, 0, SLOW + 2)
        positions = zk.positions_get(symbol=SYMBOL)
        closes = got["close"][got["time"] <= bar.time][-(SLOW + 1) :]
        if len(closes) < SLOW + 1:
            continue
        fast_now, slow_now = closes[-FAST:].mean(), closes[-SLOW:].mean()
        fast_before, slow_before = closes[-FAST - 1 : -1].mean(), closes[-SLOW - 1 : -1].mean()
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
                    "volume": 1.0,
                    "type": ORDER_TYPE_SELL,
                    "position": positions[0].ticket,
                }
            )
    return {"bars": bars, "seconds": time.perf_counter() - started}


def run_zelkor5(csv, span):
    frame = zk.sweep(strategy, [{}], history=csv, span=span, progress=False)
    row = frame.iloc[0]
    if row["error"] is not None:
        sys.exit("the run failed: %s" % row["error"])
    return int(row["bars"]), float(row["seconds"]), int(row["trades"]), float(row["net_profit"])


def run_backtesting(rows):
    import backtesting.backtesting
    import pandas as pd
    from backtesting import Backtest, Strategy
    from backtesting.lib import crossover

    # No progress bar (ours has none either).
    backtesting.backtesting._tqdm = lambda seq, **_: seq

    def sma(values, n):
        return pd.Series(values).rolling(n).mean()

    class MovingAverages(Strategy):
        def init(self):
            self.fast = self.I(sma, self.data.Close, FAST)
            self.slow = self.I(sma, self.data.Close, SLOW)

        def next(self):
            if not self.position and crossover(self.fast, self.slow):
                self.buy(size=1)
            elif self.position and crossover(self.slow, self.fast):
                self.position.close()

    frame = pd.DataFrame(rows, columns=["time", "Open", "High", "Low", "Close"])
    frame.index = pd.to_datetime(frame.pop("time"), unit="s")
    frame["Volume"] = 10
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        started = time.perf_counter()
        result = Backtest(frame, MovingAverages, cash=1_000_000, commission=0).run()
        seconds = time.perf_counter() - started
    # Every bar of the frame (the warm-up hour too) went through its loop.
    return len(frame), seconds, int(result["# Trades"]), float(result["Equity Final [$]"]) - 1e6


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--days", type=float, default=5.0, help="days of minutes replayed (default 5)")
    ap.add_argument("--rounds", type=int, default=3, help="runs of each (default 3)")
    ap.add_argument("--smoke", action="store_true", help="a small run: two hours, one round")
    args = ap.parse_args()
    if args.smoke:
        ap.set_defaults(days=2 / 24, rounds=1)
        args = ap.parse_args()
    try:
        import backtesting  # noqa: F401
    except ImportError:
        sys.exit("needs backtesting.py (pip install backtesting; scripts/setup.sh installs it)")

    minutes = int(WARM_UP / 60 + args.days * 1440)
    work = tempfile.mkdtemp(prefix="zk5brp")
    ours, theirs = [], []
    try:
        csv = os.path.join(work, SYMBOL + ".M1.csv")
        rows = write_bars(csv, minutes)
        span = (START + WARM_UP, START + minutes * 60)
        for _ in range(args.rounds):
            ours.append(run_zelkor5(csv, span))
            theirs.append(run_backtesting(rows))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    rate_ours = statistics.median(b / s for b, s, _, _ in ours)
    rate_theirs = statistics.median(b / s for b, s, _, _ in theirs)
    print(
        "%d stepped minutes, averages %d/%d, %d round(s), load average %.1f"
        % (ours[0][0], FAST, SLOW, args.rounds, os.getloadavg()[0])
    )
    print(
        "  zelkor5 stream.bars + 2 reads   %9.0f bars/s   (%d trades, net %.2f)"
        % (rate_ours, ours[0][2], ours[0][3])
    )
    print(
        "  backtesting.py                  %9.0f bars/s   (%d trades, net %.2f)"
        % (rate_theirs, theirs[0][2], theirs[0][3])
    )
    print("  ratio zelkor5 / backtesting.py  %9.3f x" % (rate_ours / rate_theirs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
