"""The Windows build of the terminal under Wine, reached from this Linux
module through the relay, against a Windows client on its named pipe
directly (bench/win_pipe_client.c, built here with mingw-w64 and run under
the same Wine), in the same run:

1. symbol_info_tick: median round trip of CALLS calls; target: the relay's
   at most 1.5 x the direct client's.
2. COUNT BTCUSD ticks (default 10 million, 600 MB) in one copy_ticks_from
   reply, received into a fresh block; target: the relay's throughput at
   least 0.8 x the direct client's.

    python bench/bench_wine.py [--calls N] [--count N] [--repeat R] [--prefix DIR] [--smoke]

Needs scripts/build_windows.sh (build/win64/terminal64.exe) and wine. Each
measurement alternates the two clients REPEAT times and keeps the best of
each, as other load on a shared machine only ever adds time. Without
--prefix a private Wine prefix is made (about 20 s) and removed afterwards.
"""

# bench: needs wine

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import zelkor5
from zelkor5.constants import COPY_TICKS_ALL

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOWS_TERMINAL = os.path.join(ROOT, "build", "win64", "terminal64.exe")
START = 1420070400 + 30 * 86400  # early in the history: room for 10 million BTCUSD ticks
ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def pipe_name(windows_path):
    final = ("\\\\?\\" + windows_path).lower().encode("utf-16-le")
    return "\\\\.\\pipe\\ZK5.Terminal." + hashlib.sha256(final).hexdigest().upper()


def module_tick_median(calls):
    f = zelkor5.symbol_info_tick
    for _ in range(1000):
        f("EURUSD")
    walls = []
    clock = time.perf_counter_ns
    for _ in range(calls):
        t0 = clock()
        f("EURUSD")
        walls.append(clock() - t0)
    return statistics.median(walls)


def module_ticks_seconds(count):
    t0 = time.perf_counter()
    ticks = zelkor5.copy_ticks_from("BTCUSD", START, count, COPY_TICKS_ALL)
    seconds = time.perf_counter() - t0
    assert ticks is not None and len(ticks) == count, zelkor5.last_error()
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--count", type=int, default=10000000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--prefix")
    parser.add_argument(
        "--smoke", action="store_true", help="a small run: 500 calls, 200,000 ticks, once"
    )
    args = parser.parse_args()
    if args.smoke:
        parser.set_defaults(calls=500, count=200000, repeat=1)
        args = parser.parse_args()
    if not os.path.isfile(WINDOWS_TERMINAL):
        sys.exit("no %s: run scripts/build_windows.sh" % WINDOWS_TERMINAL)

    client = os.path.join(ROOT, "build", "bench", "win_pipe_client.exe")
    os.makedirs(os.path.dirname(client), exist_ok=True)
    subprocess.run(
        [
            "x86_64-w64-mingw32-gcc-posix",
            "-O2",
            "-municode",
            "-static",
            "-o",
            client,
            os.path.join(ROOT, "bench", "win_pipe_client.c"),
        ],
        check=True,
    )

    prefix = args.prefix or tempfile.mkdtemp(prefix="zk5-wine-bench.")
    os.environ.update(ENV, WINEPREFIX=prefix)
    try:
        if not args.prefix:
            subprocess.run(
                ["wineboot", "-i"],
                check=True,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                timeout=300,
            )
        name = "zk5bench"
        inst = os.path.join(prefix, "drive_c", name)
        os.makedirs(os.path.join(inst, "config"), exist_ok=True)
        exe = os.path.join(inst, "terminal64.exe")
        shutil.copy2(WINDOWS_TERMINAL, exe)
        with open(os.path.join(inst, "config", "terminal.ini"), "w") as f:
            f.write("[Terminal]\nIdleExit=10\n")

        t0 = time.perf_counter()
        assert zelkor5.initialize(exe, portable=True), zelkor5.last_error()
        print("initialize (starts the terminal under Wine): %.2f s" % (time.perf_counter() - t0))
        zelkor5.copy_ticks_from("BTCUSD", START, args.count, COPY_TICKS_ALL)  # warm the terminal

        direct_cmd = [
            "wine",
            client,
            pipe_name("C:\\%s\\terminal64.exe" % name),
            str(args.calls),
            str(args.count),
            str(START * 1000),
        ]
        relay_tick, relay_ticks, direct_tick, direct_ticks = [], [], [], []
        for _ in range(args.repeat):
            relay_tick.append(module_tick_median(args.calls))
            relay_ticks.append(module_ticks_seconds(args.count))
            out = subprocess.run(direct_cmd, check=True, capture_output=True, text=True).stdout
            median_ns, seconds = out.split()
            direct_tick.append(float(median_ns))
            direct_ticks.append(float(seconds))
        zelkor5.shutdown()

        rt, dt = min(relay_tick), min(direct_tick)
        mb = 60 * args.count / 1e6
        rr, dr = mb / min(relay_ticks), mb / min(direct_ticks)
        print(
            "symbol_info_tick, median round trip of %d calls (best of %d):"
            % (args.calls, args.repeat)
        )
        print("  %-44s %8.1f us" % ("Linux module through the relay", rt / 1e3))
        print("  %-44s %8.1f us" % ("Windows client on the pipe directly", dt / 1e3))
        print("  ratio relay / direct: %.2f (target <= 1.5)" % (rt / dt))
        print("%d ticks (%.0f MB) in one reply (best of %d):" % (args.count, mb, args.repeat))
        print("  %-44s %8.0f MB/s" % ("Linux module through the relay", rr))
        print("  %-44s %8.0f MB/s" % ("Windows client on the pipe directly", dr))
        print("  ratio relay / direct: %.2f (target >= 0.8)" % (rr / dr))
    finally:
        zelkor5.shutdown()
        if not args.prefix:
            subprocess.run(
                ["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
            )
            shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
