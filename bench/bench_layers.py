"""The cost of the opt-in layers on a call: symbol_info_tick against the
bundled terminal through

  - the plain module function (the baseline),
  - zelkor5.strict with the zelkor5 logger's level above INFO (logging off),
  - zelkor5.strict logging at DEBUG to a handler that drops the records,

alternating the three in ROUNDS rounds of CALLS calls each and reporting
each one's best round in calls per second, with the ratio to the baseline,
and its least CPU time of this process per call (the layer's own cost,
which other load on the machine disturbs less than the rate).

    python bench/bench_layers.py [--calls N] [--rounds R] [--smoke]

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only.
"""

import argparse
import logging
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from private_terminal import private_terminal  # noqa: E402

import zelkor5  # noqa: E402
from zelkor5 import strict  # noqa: E402


class Drop(logging.Handler):
    def emit(self, record):
        self.format(record)  # what a real handler does at least


def rate(fn, calls):
    """(calls per second, this process's CPU microseconds per call)."""
    start, cpu = time.perf_counter(), time.process_time()
    for _ in range(calls):
        fn("EURUSD")
    return calls / (time.perf_counter() - start), (time.process_time() - cpu) / calls * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--smoke", action="store_true", help="a tiny run, to check the script")
    args = parser.parse_args()
    if args.smoke:
        args.calls, args.rounds = 200, 2

    logger = logging.getLogger("zelkor5")
    handler = Drop()
    with private_terminal():
        assert zelkor5.symbol_info_tick("EURUSD") is not None, zelkor5.last_error()
        best = {
            "plain": (0.0, 1e9),
            "strict, logging off": (0.0, 1e9),
            "strict, logging at DEBUG": (0.0, 1e9),
        }

        def keep(name, result):
            best[name] = (max(best[name][0], result[0]), min(best[name][1], result[1]))

        for _ in range(args.rounds):
            keep("plain", rate(zelkor5.symbol_info_tick, args.calls))
            logger.setLevel(logging.WARNING)
            keep("strict, logging off", rate(strict.symbol_info_tick, args.calls))
            logger.setLevel(logging.DEBUG)
            logger.addHandler(handler)
            logger.propagate = False
            keep("strict, logging at DEBUG", rate(strict.symbol_info_tick, args.calls))
            logger.removeHandler(handler)
            logger.propagate = True
            logger.setLevel(logging.NOTSET)
    base, base_cpu = best["plain"]
    print("symbol_info_tick, best of %d rounds of %d calls:" % (args.rounds, args.calls))
    for name, (value, cpu) in best.items():
        print(
            "  %-28s %9.0f calls/s   %.3f x plain   client CPU %5.1f us/call (%+.1f)"
            % (name, value, value / base, cpu, cpu - base_cpu)
        )


if __name__ == "__main__":
    main()
