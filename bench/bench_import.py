"""Benchmark: the bundled terminal imports a tick file faster than
pandas.read_csv parses it, and answers at once while it imports one.

Writes (once, kept in build/bench/) a CSV file of N ticks with the header
time_msc,bid,ask, then measures in the same run:
  - pandas.read_csv of the file (C parser, defaults), best of R rounds;
  - `terminal64.exe /portable /import` of the same file into a fresh
    portable installation, best of R rounds: the whole program, from start
    to exit, parsing and checking every row and writing the binary store
    (flushed to disk);
and prints both times, the stored size and the ratio. Then, once each: the
terminal started by the module (initialize) with the same file waiting in
its import/: the time from the start to its first answer (a tick of
EURUSD), which it gives while it imports beside it, against the time from
the start until the import is done (terminal status, looked at every 0.25
s), and their ratio; and the time to the first answer with nothing to
import, for comparison.

    python bench/bench_import.py [--rows N] [--rounds R] [--smoke]

Run it with the interpreter of a virtual environment that has zelkor5 and
pandas installed (scripts/setup.sh). Linux only.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import zelkor5
from zelkor5 import terminal
from zelkor5.terminal import terminal_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
T0_MS = 1709596800000  # 2024-03-05 00:00 UTC


def make_csv(path, rows):
    """Ticks 10 to 250 ms apart, a random walk in whole points of 10^-5."""
    rng = np.random.default_rng(7)
    chunk = 1000000
    time_ms, bid = T0_MS, 108500
    with open(path + ".part", "w") as f:
        f.write("time_msc,bid,ask\n")
        for start in range(0, rows, chunk):
            n = min(chunk, rows - start)
            times = time_ms + np.cumsum(rng.integers(10, 250, n))
            bids = bid + np.cumsum(rng.integers(-2, 3, n))
            asks = bids + rng.integers(1, 4, n)
            time_ms, bid = int(times[-1]), int(bids[-1])
            lines = [
                "%d,%d.%05d,%d.%05d" % (t, b // 100000, b % 100000, a // 100000, a % 100000)
                for t, b, a in zip(times.tolist(), bids.tolist(), asks.tolist())
            ]
            f.write("\n".join(lines) + "\n")
    os.replace(path + ".part", path)


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rows", type=int, default=10000000)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--smoke", action="store_true", help="a small run: 20,000 rows, one round")
    args = ap.parse_args()
    if args.smoke:
        ap.set_defaults(rows=20000, rounds=1)
        args = ap.parse_args()

    cache = os.path.join(ROOT, "build", "bench")
    os.makedirs(cache, exist_ok=True)
    csv = os.path.join(cache, "EURUSD.%d.ticks.csv" % args.rows)
    if not os.path.exists(csv):
        print("writing %s ..." % csv)
        make_csv(csv, args.rows)
    size = os.path.getsize(csv)

    def parse():
        frame = pd.read_csv(csv)
        assert len(frame) == args.rows

    work = tempfile.mkdtemp(prefix="zk5bench")
    env = dict(
        os.environ,
        XDG_RUNTIME_DIR=os.path.join(work, "run"),
        XDG_DATA_HOME=os.path.join(work, "roaming"),
    )
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    stored = []

    def one_import():
        inst = tempfile.mkdtemp(dir=work)
        exe = os.path.join(inst, "terminal64.exe")
        shutil.copy2(terminal_path(), exe)
        os.makedirs(os.path.join(inst, "import"))
        os.link(csv, os.path.join(inst, "import", "EURUSD.ticks.csv"))
        start = time.perf_counter()
        done = subprocess.run(
            [exe, "/portable", "/import"], env=env, stderr=subprocess.PIPE, universal_newlines=True
        )
        took = time.perf_counter() - start
        assert done.returncode == 0 and "%d rows" % args.rows in done.stderr, done.stderr
        history = os.path.join(inst, "history")
        stored.append(sum(os.path.getsize(os.path.join(history, n)) for n in os.listdir(history)))
        shutil.rmtree(inst)
        return took

    def serving_import(with_file=True):
        """(seconds to the first answer, seconds until the import is done)."""
        inst = tempfile.mkdtemp(dir=work)
        exe = os.path.join(inst, "terminal64.exe")
        shutil.copy2(terminal_path(), exe)
        os.makedirs(os.path.join(inst, "import"))
        if with_file:
            os.link(csv, os.path.join(inst, "import", "EURUSD.ticks.csv"))
        os.environ.update(
            XDG_RUNTIME_DIR=env["XDG_RUNTIME_DIR"], XDG_DATA_HOME=env["XDG_DATA_HOME"]
        )
        try:
            start = time.perf_counter()
            assert zelkor5.initialize(exe, portable=True), zelkor5.last_error()
            assert zelkor5.symbol_info_tick("EURUSD") is not None, zelkor5.last_error()
            first = time.perf_counter() - start
            during = terminal.status(exe).importing
            while with_file:
                progress = terminal.status(exe).importing
                if progress is not None and progress.done:
                    assert progress.imported == 1, progress
                    break
                time.sleep(0.25)  # each look scans the processes and asks the terminal
            done = time.perf_counter() - start
        finally:
            zelkor5.shutdown()
            terminal.stop(exe)
        return first, done, during

    try:
        pandas_s = best(parse, args.rounds)
        import_s = min(one_import() for _ in range(args.rounds))
        empty_s = serving_import(with_file=False)[0]
        first_s, done_s, during = serving_import()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("rows                      %d (CSV %.0f MB)" % (args.rows, size / 1e6))
    print("pandas.read_csv           %.2f s" % pandas_s)
    print("terminal64.exe /import    %.2f s (stored %.0f MB)" % (import_s, stored[0] / 1e6))
    print("ratio pandas / import     %.2f x" % (pandas_s / import_s))
    print("start to first answer     %.3f s with nothing to import" % empty_s)
    print(
        "start to first answer     %.3f s (import then at %s)"
        % (
            first_s,
            "%.1f%%" % during.percent if during is not None and not during.done else "its end",
        )
    )
    print("start to import done      %.2f s" % done_s)
    print("ratio done / first answer %.1f x" % (done_s / first_s))
    return 0


if __name__ == "__main__":
    sys.exit(main())
