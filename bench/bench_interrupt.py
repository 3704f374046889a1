"""Time from SIGINT to KeyboardInterrupt while the module waits.

For each wait the module has, TRIALS times: start the wait, send SIGINT to
the process after a random 200..400 ms, and time from the signal to the
KeyboardInterrupt reaching Python code. The baseline, measured in the same
run the same way, is Python's own time.sleep(), which the interpreter ends
at once on a signal. The module asks the signal handlers every 50 ms, so it
is expected to take up to about that much longer.

Waits:
- reply:  positions_total() against a terminal that never answers;
- launch: initialize() of a started terminal that never serves its socket;
- ready:  initialize() of a terminal that keeps answering "connecting";
- large:  copy_ticks_range("EURUSD", 2019-01-01, 2024-01-01) from the
          bundled terminal, a reply of about 3 GB that keeps arriving
          (interrupted after a random 1..3 s, well before it ends);
- sleep:  time.sleep(60) (the baseline).

    python bench/bench_interrupt.py [--trials N] [--smoke]

--smoke runs two trials and asks the bundled terminal for a month of ticks
(some tens of MB, interrupted after 50..150 ms) instead: a quick check that
the benchmark still runs.

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only.
"""

import argparse
import os
import random
import shutil
import signal
import statistics
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import peer  # noqa: E402

import zelkor5  # noqa: E402
from zelkor5.terminal import terminal_path  # noqa: E402

UTC_2019 = 1546300800
UTC_2024 = 1704067200


def bundled_terminal(folder):
    """A portable copy of the bundled terminal in `folder`; its path."""
    os.makedirs(os.path.join(folder, "config"))
    exe = os.path.join(folder, "terminal64.exe")
    shutil.copy2(terminal_path(), exe)
    with open(os.path.join(folder, "config", "terminal.ini"), "w") as f:
        f.write("[Terminal]\nIdleExit=30\n")
    return exe


def interrupted_after(delay, wait):
    """Seconds from a SIGINT sent after `delay` to wait()'s KeyboardInterrupt."""
    sent = []

    def fire():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    try:
        wait()
    except KeyboardInterrupt:
        return time.monotonic() - sent[0]
    finally:
        timer.cancel()
    raise RuntimeError("the wait ended without an interrupt")


def end_started(path):
    """Ends every process running the script `path` and waits for them (each
    writes a file beside the script as it exits)."""
    pids = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if path.encode() in f.read().split(b"\0"):
                    os.kill(int(entry), signal.SIGTERM)
                    pids.append(int(entry))
        except (OSError, ValueError):
            pass
    end = time.monotonic() + 10
    while time.monotonic() < end and any(os.path.exists("/proc/%d" % p) for p in pids):
        time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--smoke", action="store_true", help="a small run: 2 trials")
    args = parser.parse_args()
    if args.smoke:
        parser.set_defaults(trials=2)
        args = parser.parse_args()
    # Started in the background by a shell, Python inherits SIGINT ignored
    # and leaves it so: every wait would then run to its end.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rnd = random.Random(1)
    work = tempfile.mkdtemp(prefix="zk5b", dir="/tmp")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    exe = os.path.join(work, "terminal64.exe")
    open(exe, "w").close()
    # Each initialize() starts one more of these: all are ended at the end,
    # and each ends itself after a while regardless.
    silent = peer.make_terminal_exe(os.path.join(work, "silent"), serve=False, timeout=60)
    big = bundled_terminal(os.path.join(work, "bundled"))
    # The smoke run asks for as much as the full one: the interrupt ends the
    # call early either way, and a smaller reply could end before it comes.
    ticks_from, ticks_to = UTC_2019, UTC_2024
    after = (0.05, 0.15) if args.smoke else (1.0, 3.0)

    def reply_wait():
        with peer.Peer(exe, peer.handshake(), default=peer.delay(600, peer.close())):
            assert zelkor5.initialize(exe), zelkor5.last_error()
            return interrupted_after(rnd.uniform(0.2, 0.4), zelkor5.positions_total)

    def launch_wait():
        return interrupted_after(rnd.uniform(0.2, 0.4), lambda: zelkor5.initialize(silent.path))

    def ready_wait():
        with peer.Peer(exe, [peer.hello()], default=peer.reply(109, 1, peer.u32(1))):
            return interrupted_after(rnd.uniform(0.2, 0.4), lambda: zelkor5.initialize(exe))

    def large_wait():
        assert zelkor5.initialize(big, portable=True), zelkor5.last_error()
        latency = interrupted_after(
            rnd.uniform(*after),
            lambda: zelkor5.copy_ticks_range(
                "EURUSD", ticks_from, ticks_to, zelkor5.COPY_TICKS_ALL
            ),
        )
        assert zelkor5.last_error() == (-10002, "IPC recv failed"), zelkor5.last_error()
        return latency

    def sleep_wait():
        return interrupted_after(rnd.uniform(0.2, 0.4), lambda: time.sleep(60))

    waits = [
        ("sleep", sleep_wait),
        ("reply", reply_wait),
        ("launch", launch_wait),
        ("ready", ready_wait),
        ("large", large_wait),
    ]
    results = {name: [] for name, _ in waits}
    try:
        for _ in range(args.trials):
            for name, wait in waits:
                results[name].append(wait())
                zelkor5.shutdown()
    finally:
        zelkor5.shutdown()
        end_started(silent.path)
        end_started(big)
        shutil.rmtree(work, ignore_errors=True)
    base = statistics.median(results["sleep"])
    print("SIGINT -> KeyboardInterrupt, %d trials each (ms)" % args.trials)
    print("%-8s %8s %8s %8s %10s" % ("wait", "median", "max", "min", "vs sleep"))
    for name, _ in waits:
        values = results[name]
        median = statistics.median(values)
        print(
            "%-8s %8.1f %8.1f %8.1f %9.1fx"
            % (
                name,
                1000 * median,
                1000 * max(values),
                1000 * min(values),
                median / base if base > 0 else float("inf"),
            )
        )


if __name__ == "__main__":
    main()
