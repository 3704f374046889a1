"""Throughput and peak memory of copy_ticks_range on a large reply.

Serves COUNT ticks (default 10 million, 600 MB) from a native server
(bench/tick_server.c) and measures, in the same run and against the same
server:
  - the module: zelkor5.copy_ticks_range, one fresh interpreter, ROUNDS calls;
    the peak resident size of each call (VmHWM, reset before the call);
  - a native client (bench/read_baseline.c) reading the same reply with the
    module's recv loop into (a) a fresh malloc block per round, (b) a block it
    already touched, and for reference into fresh blocks advised for huge
    pages (huge) and also prefaulted (populate).
The two C programs are built here with `cc -O2` into build/bench/.

    python bench/bench_ticks.py [--count N] [--rounds R] [--passes P] [--smoke]

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only (VmHWM, clear_refs).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
import peer  # noqa: E402  the pipe naming the module uses

BUILD = os.path.join(ROOT, "build", "bench")
RECORD = 60

# Runs in a fresh interpreter: one initialize, then the timed calls.
MODULE_ROUNDS = r"""
import json, sys, time
import zelkor5

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0

path, rounds, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
if not zelkor5.initialize(path):
    sys.exit("initialize failed: %r" % (zelkor5.last_error(),))
for _ in range(rounds):
    rss_before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current size
    t0 = time.perf_counter()
    a = zelkor5.copy_ticks_range("EURUSD", 0, 1 << 30, -1)
    t1 = time.perf_counter()
    peak = status("VmHWM")
    if a is None or len(a) != count:
        sys.exit("bad result: %r" % (zelkor5.last_error(),))
    print(json.dumps({"seconds": t1 - t0, "bytes": a.nbytes,
                      "rss_before": rss_before, "peak": peak}), flush=True)
    del a
zelkor5.shutdown()
"""


def build_tools():
    os.makedirs(BUILD, exist_ok=True)
    tools = {}
    for name in ("tick_server", "read_baseline"):
        src = os.path.join(ROOT, "bench", name + ".c")
        exe = os.path.join(BUILD, name)
        if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
            subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-o", exe, src], check=True)
        tools[name] = exe
    return tools


def start_server(exe, socket_path, count):
    proc = subprocess.Popen([exe, socket_path, str(count)], stdout=subprocess.PIPE)
    line = proc.stdout.readline()
    if line.strip() != b"READY":
        proc.kill()
        raise SystemExit("tick_server did not start")
    return proc


def run_baseline(exe, socket_path, mode, rounds, warmup):
    # "touched" spends its first round writing the block; it is not printed.
    n = warmup + rounds + (1 if mode == "touched" else 0)
    out = subprocess.run(
        [exe, socket_path, mode, str(n)], check=True, stdout=subprocess.PIPE
    ).stdout.decode()
    return [float(line.split()[1]) for line in out.splitlines()][warmup:]


def run_module(exe_path, rounds, warmup, count, env):
    out = subprocess.run(
        [sys.executable, "-c", MODULE_ROUNDS, exe_path, str(warmup + rounds), str(count)],
        check=True,
        stdout=subprocess.PIPE,
        env=env,
    )
    return [json.loads(line) for line in out.stdout.decode().splitlines()][warmup:]


def rate(nbytes, seconds):
    return nbytes / seconds / 1e9


def summary(name, nbytes, times):
    rates = [rate(nbytes, t) for t in times]
    return {
        "name": name,
        "median_gbps": statistics.median(rates),
        "best_gbps": max(rates),
        "rounds": [round(r, 2) for r in rates],
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=10_000_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument(
        "--warmup",
        type=int,
        default=1,
        help="untimed first rounds of every process: in a virtual machine the"
        " first touch of guest memory the host never backed is slow",
    )
    ap.add_argument(
        "--passes", type=int, default=1, help="repeat the whole set, interleaved, to even out noise"
    )
    ap.add_argument("--json", action="store_true", help="print the raw figures as JSON")
    ap.add_argument("--smoke", action="store_true", help="a small run: 200,000 ticks, 2 rounds")
    args = ap.parse_args()
    if args.smoke:
        ap.set_defaults(count=200000, rounds=2)
        args = ap.parse_args()

    tools = build_tools()
    rundir = tempfile.mkdtemp(prefix="zk5b", dir="/tmp")  # AF_UNIX paths are short
    os.chmod(rundir, 0o700)
    exe_path = os.path.join(rundir, "terminal64.exe")
    open(exe_path, "wb").close()
    env = dict(os.environ, XDG_RUNTIME_DIR=rundir)
    socket_path = peer.pipe_path_for(exe_path, rundir)
    nbytes = args.count * RECORD
    server = start_server(tools["tick_server"], socket_path, args.count)
    times = {"fresh": [], "touched": [], "huge": [], "populate": [], "module": []}
    module_rounds = []
    try:
        for _ in range(args.passes):
            for mode in ("fresh", "touched", "huge", "populate"):
                times[mode] += run_baseline(
                    tools["read_baseline"], socket_path, mode, args.rounds, args.warmup
                )
            rounds = run_module(exe_path, args.rounds, args.warmup, args.count, env)
            module_rounds += rounds
            times["module"] += [r["seconds"] for r in rounds]
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(rundir, ignore_errors=True)

    rows = [
        summary("C client, fresh malloc block (a)", nbytes, times["fresh"]),
        summary("C client, touched block (b)", nbytes, times["touched"]),
        summary("C client, fresh block + MADV_HUGEPAGE", nbytes, times["huge"]),
        summary("C client, + MADV_POPULATE_WRITE", nbytes, times["populate"]),
        summary("zelkor5.copy_ticks_range", nbytes, times["module"]),
    ]
    peak_over_payload = max(r["peak"] - r["bytes"] for r in module_rounds)
    peak_over_before = max(r["peak"] - r["rss_before"] for r in module_rounds)
    result = {
        "payload_mb": nbytes / 1e6,
        "rows": rows,
        "module_vs_fresh": rows[4]["median_gbps"] / rows[0]["median_gbps"],
        "module_vs_touched": rows[4]["median_gbps"] / rows[1]["median_gbps"],
        "peak_rss_mb": max(r["peak"] for r in module_rounds) / 2**20,
        "peak_minus_payload_mb": peak_over_payload / 2**20,
        "peak_growth_in_call_mb": peak_over_before / 2**20,
    }
    if args.json:
        print(json.dumps(result, indent=1))
        return
    print(
        "%d ticks, %.0f MB per reply, %d rounds (after %d warm-up) x %d passes"
        % (args.count, nbytes / 1e6, args.rounds, args.warmup, args.passes)
    )
    for row in rows:
        print(
            "  %-40s median %5.2f GB/s  best %5.2f GB/s  %s"
            % (row["name"], row["median_gbps"], row["best_gbps"], row["rounds"])
        )
    print(
        "  module / (a) fresh: %.2fx   module / (b) touched: %.2fx"
        % (result["module_vs_fresh"], result["module_vs_touched"])
    )
    print(
        "  peak RSS of a call: %.0f MiB = payload %.0f MiB + %.0f MiB (the call grew the"
        " process by at most %.0f MiB)"
        % (
            result["peak_rss_mb"],
            nbytes / 2**20,
            result["peak_minus_payload_mb"],
            result["peak_growth_in_call_mb"],
        )
    )


if __name__ == "__main__":
    main()
