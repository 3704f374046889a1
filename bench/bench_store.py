"""Benchmark of the bundled terminal's account store: order_send latency
through the module with a short history and with a long one, same run.

Two installations run side by side, each its own terminal and data folder:
- "short": a fresh account brought to 100 deals through the module;
- "long": an account whose history was grown to DEALS deals (default
  100,000) while its terminal was stopped. Its terminal first opens and
  closes one 0.01-lot position through the module; then Python's sqlite3
  copies that position's orders and deals in bases/accounts.sqlite, every
  column the store has (read from the database, not listed here) as the
  terminal wrote it, with new tickets and times spread over the past year,
  and moves the account's ticket counter past them. (Sending them one by
  one through the module would take many minutes of flushes to disk and
  measure nothing more.)
The module then sends SENDS order_sends to each (market buys and the sells
that close them, 0.01 BTCUSD), in alternating rounds of ROUND so that a
change in the machine's load falls on both alike, and reports the median
and 90th percentile of their wall time.

Every order_send is one transaction on disk (WAL, flushed) before its
reply, so both medians are mostly the disk's flush; what matters
is that the second stays within 1.5x the first: the cost of a deal does not
grow with the history.

    python bench/bench_store.py [--deals N] [--sends N] [--round N] [--smoke]

--smoke: 1,000 deals and 40 sends, to check that the benchmark works.

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


def columns(db, table):
    return [row[1] for row in db.execute("PRAGMA table_info(%s)" % table)]


def grow_history(db_path, deals):
    """Adds closed positions until the account holds `deals` deals: copies
    of the last position the terminal itself closed (its orders and deals,
    every column as the terminal wrote it), each with new tickets and
    earlier times. The columns come from the database, so a column added
    to the store later is copied with the rest."""
    db = sqlite3.connect(db_path)
    (have,) = db.execute("SELECT COUNT(*) FROM deals WHERE login = ?", (LOGIN,)).fetchone()
    (ticket,) = db.execute("SELECT next_ticket FROM accounts WHERE login = ?", (LOGIN,)).fetchone()
    row = db.execute(
        "SELECT position_id FROM deals WHERE login = ? AND position_id != 0"
        " ORDER BY ticket DESC LIMIT 1",
        (LOGIN,),
    ).fetchone()
    if row is None:
        raise RuntimeError("no closed position to copy in %s" % db_path)
    position = row[0]
    tickets = set()
    for table in ("orders", "deals"):
        tickets.update(
            t
            for (t,) in db.execute(
                "SELECT ticket FROM %s WHERE login = ? AND" " position_id = ?" % table,
                (LOGIN, position),
            )
        )
    (per_copy,) = db.execute(
        "SELECT COUNT(*) FROM deals WHERE login = ? AND position_id = ?", (LOGIN, position)
    ).fetchone()
    first, span = min(tickets), max(tickets) - min(tickets) + 1
    if ticket <= max(tickets):
        raise RuntimeError("next_ticket %d is not past the copied tickets" % ticket)
    copies = max(0, -(-(deals - have) // per_copy))
    # Copy k (0-based) takes the tickets from next_ticket on, span per copy,
    # and lies k steps after a year before the position that was copied.
    step = 365 * 86400000 // max(copies, 1)
    shift_ticket = "(?2 - %d + k * %d)" % (first, span)
    shift_time = "(k * %d - %d)" % (step, 365 * 86400000)

    def value(col):
        if col in ("ticket", "order_ticket", "position_id", "position_by_id"):
            return "CASE WHEN %s = 0 THEN 0 ELSE %s + %s END" % (col, col, shift_ticket)
        if col.startswith("time") and col.endswith("_msc"):
            return "CASE WHEN %s = 0 THEN 0 ELSE %s + %s END" % (col, col, shift_time)
        return col

    with db:
        for table in ("orders", "deals"):
            cols = columns(db, table)
            for needed in ("login", "ticket", "position_id"):
                if needed not in cols:
                    raise RuntimeError("the store's %s table has no %s column" % (table, needed))
            db.execute(
                "WITH RECURSIVE copies(k) AS (SELECT 0 WHERE ?3 > 0"
                " UNION ALL SELECT k + 1 FROM copies WHERE k + 1 < ?3)"
                " INSERT INTO %s(%s) SELECT %s FROM %s, copies"
                " WHERE login = ?1 AND position_id = ?4"
                % (table, ", ".join(cols), ", ".join(value(c) for c in cols), table),
                (LOGIN, ticket, copies, position),
            )
        db.execute(
            "UPDATE accounts SET next_ticket = ? WHERE login = ?", (ticket + copies * span, LOGIN)
        )
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
    ap.add_argument("--smoke", action="store_true", help="a small run: 1,000 deals, 40 sends")
    args = ap.parse_args()
    if args.smoke:
        ap.set_defaults(deals=1000, sends=40)
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
        send_round(2)  # the account's deposit, and a position opened and closed to copy
        stop(exes["long"])
        grow_history(os.path.join(work, "long", "bases", "accounts.sqlite"), args.deals)
        connect("short")
        send_round(99)  # the deposit and 99 more: 100 deals
        counts = {"short": zelkor5.history_deals_total(0, 2**31 - 1)}
        connect("long")
        counts["long"] = zelkor5.history_deals_total(0, 2**31 - 1)
        # The copies read back as whole records, each with its own ticket.
        for get in (zelkor5.history_deals_get, zelkor5.history_orders_get):
            got = get(0, 2**31 - 1)
            if (
                got is None
                or len({r.ticket for r in got}) != len(got)
                or len(got) < counts["long"] - 1
            ):
                raise RuntimeError(
                    "the grown history does not read back: %r" % (zelkor5.last_error(),)
                )
        times = {"short": [], "long": []}
        for _ in range(0, args.sends, args.round):
            for name in ("short", "long"):
                connect(name)
                times[name] += send_round(args.round)
        print(
            "order_send latency, %d sends each (%s, 0.01 lot, open and close),"
            " alternating rounds of %d:" % (len(times["short"]), SYMBOL, args.round)
        )
        short = summary("account with %d deals" % counts["short"], times["short"])
        long_ = summary("account with %d deals" % counts["long"], times["long"])
        print("ratio long/short history: %.2f (target <= 1.5)" % (long_ / short))
    finally:
        for exe in exes.values():
            stop(exe)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
