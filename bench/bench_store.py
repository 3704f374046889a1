"""Benchmark of the bundled terminal's account store: order_send latency
through the module with a short history and with a long one, same run.

Two installations run side by side, each its own terminal and data folder:
- "short": a fresh account brought to 100 deals through the module;
- "long": an account whose history was grown to DEALS deals (default
  100,000) while its terminal was stopped, by a bulk insert straight into
  bases/accounts.sqlite with Python's sqlite3: closed 0.01-lot positions,
  an order and two deals each, spread over the past year, the account's
  ticket counter moved past them. (Sending them one by one through the
  module would take many minutes of flushes to disk and measure nothing
  more.)
The module then sends SENDS order_sends to each (market buys and the sells
that close them, 0.01 BTCUSD), in alternating rounds of ROUND so that a
change in the machine's load falls on both alike, and reports the median
and 90th percentile of their wall time.

Every order_send is one transaction on disk (WAL, flushed) before its
reply, so both medians are mostly the disk's flush; what matters
is that the second stays within 1.5x the first: the cost of a deal does not
grow with the history.

    python bench/bench_store.py [--deals N] [--sends N]

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only.
"""

import argparse
import os
import shutil
import signal
import sqlite3
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import zelkor5  # noqa: E402
from zelkor5.terminal import terminal_path  # noqa: E402

LOGIN = 10000001
SYMBOL = "BTCUSD"  # trades every day


def terminal_pids(exe):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink("/proc/%s/exe" % entry) == exe:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def stop(exe):
    zelkor5.shutdown()
    pids = terminal_pids(exe)
    for pid in pids:
        os.kill(pid, signal.SIGTERM)
    end = time.monotonic() + 30
    while terminal_pids(exe):
        if time.monotonic() > end:
            raise RuntimeError("terminal did not stop")
        time.sleep(0.05)


def send_round(sends):
    """order_send latencies in milliseconds: a buy, then the sell closing
    it, and so on."""
    times = []
    position = 0
    for i in range(sends):
        req = {"action": 1, "symbol": SYMBOL, "volume": 0.01, "type": i % 2, "position": position}
        started = time.perf_counter()
        r = zelkor5.order_send(req)
        times.append((time.perf_counter() - started) * 1000)
        if r is None or r.retcode != 10009:
            raise RuntimeError("order_send failed: %r %r" % (r, zelkor5.last_error()))
        position = r.order if i % 2 == 0 else 0
    return times


def grow_history(db_path, deals):
    """Adds closed positions until the account holds `deals` deals."""
    db = sqlite3.connect(db_path)
    (have,) = db.execute("SELECT COUNT(*) FROM deals WHERE login = ?", (LOGIN,)).fetchone()
    (ticket,) = db.execute("SELECT next_ticket FROM accounts WHERE login = ?", (LOGIN,)).fetchone()
    now_ms = int(time.time() * 1000)
    pairs = max(0, (deals - have + 1) // 2)
    step = 365 * 86400000 // max(pairs, 1)
    orders_rows, deal_rows = [], []
    for k in range(pairs):
        t = now_ms - 365 * 86400000 + k * step
        o_in, d_in, o_out, d_out = ticket, ticket + 1, ticket + 2, ticket + 3
        ticket += 4
        for o, side, when in ((o_in, 0, t), (o_out, 1, t + 60000)):
            orders_rows.append((LOGIN, o, when, when, side, 0, 4, 0, o_in, 3, 0.01, 100.0, 100.0,
                                SYMBOL, "seed"))
        deal_rows.append((LOGIN, d_in, o_in, t, 0, 0, 0, o_in, 3, 0.01, 100.0, 0.0, 0.0, 0.0, 0.0,
                          SYMBOL, "seed"))
        deal_rows.append((LOGIN, d_out, o_out, t + 60000, 1, 1, 0, o_in, 3, 0.01, 100.0, 0.0, 0.0,
                          0.0, 0.0, SYMBOL, "seed"))
    with db:
        db.executemany("INSERT INTO orders(login, ticket, time_setup_msc, time_done_msc, type,"
                       " type_filling, state, magic, position_id, reason, volume_initial,"
                       " price_open, price_current, symbol, comment)"
                       " VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", orders_rows)
        db.executemany("INSERT INTO deals(login, ticket, order_ticket, time_msc, type, entry,"
                       " magic, position_id, reason, volume, price, commission, swap, profit,"
                       " fee, symbol, comment) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                       deal_rows)
        db.execute("UPDATE accounts SET next_ticket = ? WHERE login = ?", (ticket, LOGIN))
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()


def summary(label, times):
    q = statistics.quantiles(times, n=10)
    print("  %-34s median %6.2f ms   p90 %6.2f ms" % (label, statistics.median(times), q[8]))
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deals", type=int, default=100000)
    ap.add_argument("--sends", type=int, default=400)
    ap.add_argument("--round", type=int, default=20)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="zk5bs", dir="/tmp")
    run = os.path.join(work, "run")
    os.mkdir(run, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = run
    os.environ["XDG_DATA_HOME"] = os.path.join(work, "roaming")
    exes = {}
    for name in ("short", "long"):
        inst = os.path.join(work, name)
        os.makedirs(os.path.join(inst, "config"))
        exes[name] = os.path.join(inst, "terminal64.exe")
        shutil.copy2(terminal_path(), exes[name])
        with open(os.path.join(inst, "config", "terminal.ini"), "w") as f:
            f.write("[Terminal]\nIdleExit=0\n")

    def connect(name):
        if not zelkor5.initialize(exes[name], portable=True):
            raise RuntimeError(zelkor5.last_error())

    try:
        connect("long")
        zelkor5.account_info()  # the account's first use creates it
        stop(exes["long"])
        grow_history(os.path.join(work, "long", "bases", "accounts.sqlite"), args.deals)
        connect("short")
        send_round(99)  # the deposit and 99 more: 100 deals
        counts = {"short": zelkor5.history_deals_total(0, 2 ** 31 - 1)}
        connect("long")
        counts["long"] = zelkor5.history_deals_total(0, 2 ** 31 - 1)
        times = {"short": [], "long": []}
        for _ in range(0, args.sends, args.round):
            for name in ("short", "long"):
                connect(name)
                times[name] += send_round(args.round)
        print("order_send latency, %d sends each (%s, 0.01 lot, open and close),"
              " alternating rounds of %d:" % (len(times["short"]), SYMBOL, args.round))
        short = summary("account with %d deals" % counts["short"], times["short"])
        long_ = summary("account with %d deals" % counts["long"], times["long"])
        print("ratio long/short history: %.2f (target <= 1.5)" % (long_ / short))
    finally:
        for exe in exes.values():
            stop(exe)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
