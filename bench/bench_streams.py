"""The tick stream against the bundled terminal, live (its clock is the
wall clock): for SECONDS seconds each,

  - zelkor5.stream.ticks over SYMBOLS symbols, polling every INTERVAL s;
  - the loop users write by hand (the baseline): symbol_info_tick of each
    symbol every INTERVAL s, a tick counted when its time_msc changed;

reporting the delay from each tick's time to its delivery (median, 95th
percentile, maximum), this process's CPU time per delivered tick and per
second, and the ticks each missed against the terminal's own history of
the period.

    python bench/bench_streams.py [--seconds S] [--interval I] [--symbols N] [--speed X] [--smoke]

--speed X runs a replay (from 2024-03-05 14:00) at X market seconds per
second instead, for a busier market: ticks, missed ticks and CPU are
reported, not the delay (the replay's clock cannot be read exactly enough
from here).

Missed ticks: the terminal's ticks of the symbols from the run's start
(after the newest tick of any of them then) to the last tick delivered,
less those delivered.

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only.
"""

import argparse
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from private_terminal import private_terminal  # noqa: E402

import zelkor5  # noqa: E402
from zelkor5 import stream  # noqa: E402


def now_ms():
    return time.time() * 1000.0


def run_stream(symbols, seconds, interval, since_msc):
    s = stream.ticks(symbols, interval, since_msc=since_msc)
    delays, times = [], []
    timer = threading.Timer(seconds, s.stop)
    cpu0 = time.process_time()
    timer.start()
    for tick in s:
        delays.append(now_ms() - tick.time_msc)
        times.append(tick.time_msc)
    cpu = time.process_time() - cpu0
    return delays, cpu, times


def run_baseline(symbols, seconds, interval, since_msc):
    last = {s: zelkor5.symbol_info_tick(s).time_msc for s in symbols}
    delays, times = [], []
    cpu0 = time.process_time()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for symbol in symbols:
            tick = zelkor5.symbol_info_tick(symbol)
            if tick.time_msc != last[symbol]:
                last[symbol] = tick.time_msc
                delays.append(now_ms() - tick.time_msc)
                times.append(tick.time_msc)
        time.sleep(interval)
    return delays, time.process_time() - cpu0, times


def in_history(symbols, first_msc, end_msc):
    """The terminal's ticks of the symbols from first_msc to end_msc."""
    total = 0
    for symbol in symbols:
        ticks = zelkor5.copy_ticks_range(symbol, first_msc // 1000, end_msc // 1000 + 1, -1)
        times = ticks["time_msc"]
        total += int(((times >= first_msc) & (times <= end_msc)).sum())
    return total


def report(name, delays, cpu, seconds, expected, replay):
    if not delays:
        print("  %-34s no ticks" % name)
        return
    q = (
        statistics.quantiles(delays, n=20, method="inclusive")
        if len(delays) > 1
        else [delays[0]] * 19
    )
    delay = (
        ""
        if replay
        else "  delay median %6.1f ms  p95 %6.1f ms  max %6.1f ms"
        % (statistics.median(delays), q[18], max(delays))
    )
    print(
        "  %-34s %5d ticks (%d missed)%s  CPU %6.1f us/tick  %5.2f %% of a core"
        % (
            name,
            len(delays),
            max(expected - len(delays), 0),
            delay,
            cpu / len(delays) * 1e6,
            cpu / seconds * 100,
        )
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--interval", type=float, default=0.02)
    parser.add_argument("--symbols", type=int, default=8)
    parser.add_argument("--speed", type=int, default=0)
    parser.add_argument("--smoke", action="store_true", help="a tiny run, to check the script")
    args = parser.parse_args()
    if args.smoke:
        args.seconds = 1.0

    settings = "IdleExit=5\n"
    if args.speed:
        settings += "[Replay]\nFrom=2024-03-05 14:00\nSpeed=%d\n" % args.speed
    with private_terminal(settings):
        symbols = [s.name for s in zelkor5.symbols_get()][: args.symbols]
        print(
            "%d symbols, %.0f s each, polling every %.0f ms%s:"
            % (
                len(symbols),
                args.seconds,
                args.interval * 1000,
                ", replay at %dx" % args.speed if args.speed else "",
            )
        )
        for name, fn in (
            ("zelkor5.stream.ticks", run_stream),
            ("hand-written symbol_info_tick loop", run_baseline),
        ):
            since = max(zelkor5.symbol_info_tick(s).time_msc for s in symbols) + 1
            delays, cpu, times = fn(symbols, args.seconds, args.interval, since)
            expected = in_history(symbols, since, max(times)) if times else 0
            report(name, delays, cpu, args.seconds, expected, args.speed)


if __name__ == "__main__":
    main()
