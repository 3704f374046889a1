"""Benchmark of the bundled terminal under load: many client processes
making mixed calls at once, against one client alone, in the same run.

One portable installation in a temporary folder on disk. Each client
process connects, waits until every client is connected, then makes CALLS
calls in rounds of six: symbol_info_tick, copy_rates_from_pos (100 M1
bars), order_send (a 0.01-lot BTCUSD buy), positions_get (by ticket),
order_send (the sell that closes it) and history_deals_get (by position),
timing each. First one client alone (the baseline), then PROCS clients at
once; both on the same account, with the same mix.

Every trade request is on disk before its reply; concurrent requests share
the flush (group commit), and a read waits only for the flush of its own
account's last change. The goal: under load, order_send's median is at
most 2x the median of a quote (symbol_info_tick, which touches no
account, disk or batch) in the same run; what is left between them is
what the shared machine costs every call alike. The figures printed:
median, 90th and 99th percentile and maximum per call, alone and under
load, the ratio of the medians, and order_send's median under load
against the quote's under the same load, with the goal. The clients exit together once all are done, so that
no interpreter's exit runs beside the calls measured.

    python bench/bench_load.py [--procs 50] [--calls 300] [--terminal PATH] [--smoke]

--smoke runs a tiny load (3 processes of 12 calls) to show the benchmark
works. Run it with the interpreter of a virtual environment that has
zelkor5 installed (scripts/setup.sh). Linux only.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import zelkor5
from zelkor5.terminal import terminal_path

CLIENT = r"""
import json, sys, time, zelkor5
path, calls = sys.argv[1], int(sys.argv[2])
assert zelkor5.initialize(path, portable=True), zelkor5.last_error()
print("ready", flush=True)
sys.stdin.readline()
times = {}
def timed(name, f, *args):
    t = time.perf_counter()
    r = f(*args)
    times.setdefault(name, []).append(time.perf_counter() - t)
    return r
done = 0
while done < calls:
    timed("symbol_info_tick", zelkor5.symbol_info_tick, "BTCUSD")
    timed("copy_rates_from_pos", zelkor5.copy_rates_from_pos, "EURUSD", 1, 0, 100)
    r = timed("order_send", zelkor5.order_send,
              {"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": 0})
    assert r is not None and r.retcode == 10009, (r, zelkor5.last_error())
    timed("positions_get", lambda: zelkor5.positions_get(ticket=r.order))
    c = timed("order_send", zelkor5.order_send,
              {"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": 1, "position": r.order})
    assert c is not None and c.retcode == 10009, (c, zelkor5.last_error())
    timed("history_deals_get", lambda: zelkor5.history_deals_get(position=r.order))
    done += 6
print(json.dumps(times), flush=True)
sys.stdin.readline()  # exits with the others, so that no exit runs beside their calls
"""

KINDS = [
    "symbol_info_tick",
    "copy_rates_from_pos",
    "order_send",
    "positions_get",
    "history_deals_get",
]


def run_clients(exe, procs, calls):
    """Starts `procs` clients, lets them go together, returns their times."""
    clients = [
        subprocess.Popen(
            [sys.executable, "-c", CLIENT, exe, str(calls)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        for _ in range(procs)
    ]
    for c in clients:
        line = c.stdout.readline().strip()
        if line != "ready":
            raise SystemExit("a client could not connect: %r" % line)
    for c in clients:
        c.stdin.write("go\n")
        c.stdin.flush()
    merged = {}
    lines = [c.stdout.readline() for c in clients]
    for c, line in zip(clients, lines):
        c.communicate("exit\n", timeout=900)
        if c.returncode != 0 or not line:
            raise SystemExit("a client failed")
        for name, values in json.loads(line).items():
            merged.setdefault(name, []).extend(values)
    return merged


def figures(values):
    v = sorted(values)
    pick = lambda q: v[min(len(v) - 1, int(q * len(v)))]  # noqa: E731
    return statistics.median(v) * 1000, pick(0.9) * 1000, pick(0.99) * 1000, v[-1] * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--procs", type=int, default=50)
    ap.add_argument("--calls", type=int, default=300)
    ap.add_argument("--terminal", help="the terminal program to copy (default: the bundled one)")
    ap.add_argument("--smoke", action="store_true", help="a tiny run: 3 processes of 12 calls")
    args = ap.parse_args()
    if args.smoke:
        args.procs, args.calls = 3, 12
    # On disk, not in memory: the flushes are what is measured.
    work = tempfile.mkdtemp(prefix="zk5bl", dir=os.environ.get("ZK5_BENCH_DIR", "/var/tmp"))
    exe = os.path.join(work, "terminal64.exe")
    shutil.copy2(args.terminal or terminal_path(), exe)
    os.makedirs(os.path.join(work, "config"))
    with open(os.path.join(work, "config", "terminal.ini"), "w") as f:
        f.write("[Terminal]\nIdleExit=60\n")
    try:
        if not zelkor5.initialize(exe, portable=True):
            raise SystemExit("cannot start the terminal: %s" % (zelkor5.last_error(),))
        alone = run_clients(exe, 1, args.calls)
        loaded = run_clients(exe, args.procs, args.calls)
        print(
            "%d client(s) x %d calls alone, then %d processes x %d calls at once (ms)"
            % (1, args.calls, args.procs, args.calls)
        )
        print(
            "%-20s %31s   %31s   %s"
            % ("", "alone: median p90 p99 max", "loaded: median p90 p99 max", "median ratio")
        )
        for kind in KINDS:
            a, b = figures(alone[kind]), figures(loaded[kind])
            print(
                "%-20s %7.2f %7.2f %7.2f %7.2f   %7.2f %7.2f %7.2f %7.2f   %6.2fx"
                % ((kind,) + a + b + (b[0] / a[0],))
            )
        ratio = figures(loaded["order_send"])[0] / figures(alone["order_send"])[0]
        print("order_send median under load / alone: %.2fx" % ratio)
        # What the shared machine costs every call alike: a quote touches no
        # account, disk or batch.
        share = figures(loaded["order_send"])[0] / figures(loaded["symbol_info_tick"])[0]
        print(
            "order_send median under load / symbol_info_tick's under load: %.2fx (goal: at most 2x)"
            % share
        )
    finally:
        zelkor5.shutdown()
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/exe" % entry) == exe:
                        os.kill(int(entry), signal.SIGTERM)
                except OSError:
                    pass
        time.sleep(0.5)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
