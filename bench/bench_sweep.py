"""Sixteen replays one after the other and on every core, in the same run.

Writes DAYS days of minute bars of an invented symbol and sweeps the
moving-average strategy of examples/sweep_ma.py over a grid of RUNS
parameter sets, each run a private copy of the bundled terminal replaying
those days stepped, minute by minute: first one run at a time (in this
process), then on a process pool of WORKERS processes (default: one per
core). Prints both wall times and their ratio (the goal: at least 1.7 x on
two cores), and the overhead of a private installation: from the start of
a run to the first answer of its terminal (copying the terminal, importing
the history, starting the replay and connecting), median and spread over
every run. The two frames must be equal (the sweep is reproducible
whichever executor ran it); a failed run fails the benchmark.

    python bench/bench_sweep.py [--runs 16] [--days 1] [--workers N] [--smoke]

--smoke: 2 runs over 2 hours of minutes, to see that it runs. Run it with
the interpreter of a virtual environment that has zelkor5 and pandas
installed (scripts/setup.sh). Linux only.
"""

import argparse
import concurrent.futures
import os
import shutil
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import sweep_ma  # noqa: E402  the strategy and its data

import zelkor5 as zk  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=16, help="parameter sets (default 16)")
    ap.add_argument("--days", type=float, default=1.0, help="days of minutes replayed (default 1)")
    ap.add_argument(
        "--workers",
        type=int,
        default=os.cpu_count() or 1,
        help="processes of the parallel sweep (default: one per core)",
    )
    ap.add_argument(
        "--rounds", type=int, default=2, help="alternations of the two sweeps (default 2)"
    )
    ap.add_argument(
        "--smoke", action="store_true", help="a small run: 2 runs over 2 hours, one round"
    )
    args = ap.parse_args()
    if args.smoke:
        ap.set_defaults(runs=2, days=2 / 24, rounds=1)
        args = ap.parse_args()

    fasts = [3, 5, 8, 10, 13, 16, 20, 25]
    slows = [30, 40, 60, 90]
    grid = [{"fast": f, "slow": s} for s in slows for f in fasts][: args.runs]
    work = tempfile.mkdtemp(prefix="zk5bsw")
    t_seq = t_par = 0.0
    frames, ratios = [], []
    try:
        csv = os.path.join(work, sweep_ma.SYMBOL + ".M1.csv")
        sweep_ma.write_bars(csv)  # three days
        start = sweep_ma.START + 3600
        span = (start, start + int(args.days * 86400))
        for _ in range(args.rounds):
            t0 = time.perf_counter()
            with concurrent.futures.ThreadPoolExecutor(1) as one:
                sequential = zk.sweep(
                    sweep_ma.strategy, grid, history=csv, span=span, executor=one, progress=False
                )
            seq = time.perf_counter() - t0
            t0 = time.perf_counter()
            parallel = zk.sweep(
                sweep_ma.strategy,
                grid,
                history=csv,
                span=span,
                workers=args.workers,
                progress=False,
            )
            par = time.perf_counter() - t0
            t_seq, t_par = t_seq + seq, t_par + par
            ratios.append(seq / par)
            frames += [sequential, parallel]
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for frame in frames:
        if frame["error"].notna().any():
            sys.exit("a run failed: %s" % frame["error"].dropna().iloc[0])
        if not frame.equals(frames[0]):
            sys.exit("the sweeps' frames differ")
    setup = [s["setup"] for f in frames for s in f.attrs["seconds"]]
    runs = [s["run"] for f in frames[::2] for s in f.attrs["seconds"]]
    first = frames[0]
    print(
        "%d runs of %d stepped minutes each (%d trades in all), %d round(s), %d cores, "
        "load average %.1f"
        % (
            len(grid),
            int(first["minutes"].iloc[0]),
            int(first["trades"].sum()),
            args.rounds,
            os.cpu_count() or 1,
            os.getloadavg()[0],
        )
    )
    print(
        "  one at a time                  %7.2f s   (%.2f s a run, median)"
        % (t_seq, statistics.median(runs))
    )
    print("  %d processes                    %7.2f s" % (args.workers, t_par))
    print(
        "  ratio sequential / parallel    %7.2f x   (goal >= 1.7 x on two cores; rounds %s)"
        % (t_seq / t_par, ", ".join("%.2f" % r for r in ratios))
    )
    print(
        "  private installation, start to first answer: median %.3f s, min %.3f s, max %.3f s"
        % (statistics.median(setup), min(setup), max(setup))
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
