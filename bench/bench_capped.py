"""The cost of the package's bar and tick functions (the module's, checked
for a result that stops at the terminal's limit) against the module's own,
measured in the same run against the bundled terminal.

    .venv/py39/bin/python bench/bench_capped.py [--rounds R] [--calls N] [--smoke]

Cases: a small count request (no check), a small range (no check), and a
range of exactly MaxBars bars (the check asks terminal_info() once).
Rounds alternate module and package; the figure is the median ratio.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import zelkor5  # noqa: E402
from zelkor5 import _core  # noqa: E402

WEDNESDAY = 1709683200  # 2024-03-06 00:00 UTC
MAX_BARS = 1000


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--smoke", action="store_true", help="a small run: 2 rounds of 5 calls")
    args = parser.parse_args()
    if args.smoke:
        args.rounds, args.calls = 2, 5

    work = tempfile.mkdtemp(prefix="zk5bc", dir="/tmp")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    from test_terminal_helpers import Installation

    inst = Installation(
        os.path.join(work, "t"),
        os.path.join(work, "roaming"),
        settings="IdleExit=30\nMaxBars=%d\n" % MAX_BARS,
    )
    try:
        if not inst.initialize():
            print("initialize failed:", zelkor5.last_error())
            return 1
        cases = [
            ("copy_rates_from_pos, 10 bars", "copy_rates_from_pos", ("EURUSD", 16385, 0, 10)),
            (
                "copy_rates_range, 25 H1 bars",
                "copy_rates_range",
                ("EURUSD", 16385, WEDNESDAY, WEDNESDAY + 86400),
            ),
            (
                "copy_rates_range, MaxBars M1 bars",
                "copy_rates_range",
                ("EURUSD", 1, WEDNESDAY - 2 * 86400, WEDNESDAY),
            ),
        ]
        warnings.simplefilter("ignore")
        for label, name, call_args in cases:
            module, package = getattr(_core, name), getattr(zelkor5, name)
            n = len(module(*call_args))
            ratios, times = [], []
            for _ in range(args.rounds):
                pair = []
                for f in (module, package):
                    t = time.perf_counter()
                    for _ in range(args.calls):
                        f(*call_args)
                    pair.append((time.perf_counter() - t) / args.calls)
                times.append(pair)
                ratios.append(pair[1] / pair[0])
            print(
                "%-36s %5d bars: module %7.1f us, package %7.1f us, package/module %.3f"
                % (
                    label,
                    n,
                    statistics.median(t[0] for t in times) * 1e6,
                    statistics.median(t[1] for t in times) * 1e6,
                    statistics.median(ratios),
                )
            )
    finally:
        zelkor5.shutdown()
        inst.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
