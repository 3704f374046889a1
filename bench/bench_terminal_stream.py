"""Benchmark: the bundled terminal keeps up with its own price stream.

An account holds ORDERS working orders and POSITIONS positions with a
stop-loss and a take-profit, spread over 30 symbols. The terminal is
stopped and started again HOURS of market time later (the ClockShift
setting moves its clock), so at start it evaluates every order, stop,
rollover and the stop-out level over every tick of those hours. Reported,
in the same run:
  - the ticks the 30 symbols produced in that time (copy_ticks_range
    counts), i.e. the rate the terminal produces ticks (per market second);
  - the terminal's CPU time for the evaluation (its CPU time from start to
    the first answer, less that of a start with nothing to evaluate);
  - ticks evaluated per second of that CPU time, and its ratio to the
    production rate: how many times faster than the market the terminal
    can follow it.

    python bench/bench_terminal_stream.py [--orders N] [--positions N] [--hours H] [--smoke]

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import zelkor5  # noqa: E402
from zelkor5.constants import (  # noqa: E402
    COPY_TICKS_ALL,
    ORDER_FILLING_FOK,
    ORDER_FILLING_IOC,
    ORDER_TYPE_BUY,
    ORDER_TYPE_BUY_LIMIT,
    ORDER_TYPE_BUY_STOP,
    ORDER_TYPE_SELL,
    ORDER_TYPE_SELL_LIMIT,
    ORDER_TYPE_SELL_STOP,
    SYMBOL_FILLING_FOK,
    TRADE_ACTION_DEAL,
    TRADE_ACTION_PENDING,
    TRADE_RETCODE_DONE,
)
from zelkor5.terminal import terminal_path  # noqa: E402

T0 = 1709647200  # Tuesday 2024-03-05 14:00 UTC
LOGIN = 30000001
ACCOUNTS = """[Terminal]
LastLogin={login}

[Account {login}]
Password=bench
Server=Brundel-Demo
Deposit=100000000
""".format(login=LOGIN)
LEAVE_OUT = {"ETHUSD", "LTCUSD", "XRPUSD"}  # 30 of the 33 symbols remain


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Terminal:
    def __init__(self, folder):
        self.dir = folder
        os.makedirs(os.path.join(folder, "config"))
        self.exe = os.path.join(folder, "terminal64.exe")
        shutil.copy2(terminal_path(), self.exe)
        with open(os.path.join(folder, "config", "accounts.dat"), "w") as f:
            f.write(ACCOUNTS)

    def start(self, clock):
        """Starts the terminal with its market clock at `clock`; returns its
        CPU seconds once it has answered the first account request."""
        with open(os.path.join(self.dir, "config", "terminal.ini"), "w") as f:
            f.write(
                "[Terminal]\nIdleExit=0\n[Market]\nClockShift=%d\n" % (clock - int(time.time()))
            )
        assert zelkor5.initialize(
            self.exe, portable=True, login=LOGIN, password="bench", server="Brundel-Demo"
        ), zelkor5.last_error()
        assert zelkor5.positions_total() is not None
        return cpu_seconds(self.pid())

    def pid(self):
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/exe" % entry) == self.exe:
                        return int(entry)
                except OSError:
                    pass
        raise RuntimeError("terminal not running")

    def stop(self):
        pid = self.pid()
        zelkor5.shutdown()
        os.kill(pid, signal.SIGTERM)
        while os.path.exists("/proc/%d" % pid):
            try:
                with open("/proc/%d/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        break
            except OSError:
                break
            time.sleep(0.01)


def send(request):
    r = zelkor5.order_send(request)
    assert r is not None and r.retcode == TRADE_RETCODE_DONE, (request, r and r.comment)


def filling(info):
    """A filling policy the symbol allows."""
    return ORDER_FILLING_FOK if info.filling_mode & SYMBOL_FILLING_FOK else ORDER_FILLING_IOC


def fill_account(symbols, orders, positions):
    """Positions with stops and working orders 1.5% away from the market,
    round-robin over the symbols: some are reached during the hours."""
    info = {s: zelkor5.symbol_info(s) for s in symbols}
    for i in range(positions):
        s = symbols[i % len(symbols)]
        tick = zelkor5.symbol_info_tick(s)
        buy = i % 2 == 0
        ref = tick.bid if buy else tick.ask
        away = ref * 0.015
        send(
            {
                "action": TRADE_ACTION_DEAL,
                "symbol": s,
                "volume": info[s].volume_min,
                "type": ORDER_TYPE_BUY if buy else ORDER_TYPE_SELL,
                "type_filling": filling(info[s]),
                "sl": round(ref - away if buy else ref + away, info[s].digits),
                "tp": round(ref + away if buy else ref - away, info[s].digits),
            }
        )
    kinds = [
        (ORDER_TYPE_BUY_LIMIT, -1),
        (ORDER_TYPE_SELL_LIMIT, 1),
        (ORDER_TYPE_BUY_STOP, 1),
        (ORDER_TYPE_SELL_STOP, -1),
    ]
    for i in range(orders):
        s = symbols[i % len(symbols)]
        tick = zelkor5.symbol_info_tick(s)
        type_, side = kinds[i % 4]
        send(
            {
                "action": TRADE_ACTION_PENDING,
                "symbol": s,
                "volume": info[s].volume_min,
                "type": type_,
                "type_filling": filling(info[s]),
                "price": round(tick.bid * (1 + side * 0.015), info[s].digits),
            }
        )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--orders", type=int, default=1000)
    parser.add_argument("--positions", type=int, default=1000)
    parser.add_argument("--hours", type=float, default=24)
    parser.add_argument(
        "--smoke", action="store_true", help="a small run: 30 orders, 30 positions, 1 hour"
    )
    args = parser.parse_args()
    if args.smoke:
        parser.set_defaults(orders=30, positions=30, hours=1)
        args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="zk5-bench-stream-")
    try:
        term = Terminal(os.path.join(folder, "inst"))
        term.start(T0)
        symbols = [s.name for s in zelkor5.symbols_get() if s.name not in LEAVE_OUT]
        assert len(symbols) == 30
        t0 = time.perf_counter()
        fill_account(symbols, args.orders, args.positions)
        print(
            "placed {} positions with stops and {} working orders over {} symbols in {:.1f} s".format(
                args.positions, args.orders, len(symbols), time.perf_counter() - t0
            )
        )
        stopped = time.time() + (T0 - int(time.time()))
        term.stop()

        # A start with (almost) nothing to evaluate: the cost of starting.
        base_clock = int(stopped) + 1
        baseline = term.start(base_clock)
        term.stop()
        # Then HOURS of market later.
        span_from = base_clock
        span_to = int(base_clock + args.hours * 3600)
        cpu = term.start(span_to) - baseline
        ticks = 0
        for s in symbols:
            got = zelkor5.copy_ticks_range(s, span_from, span_to, COPY_TICKS_ALL)
            ticks += len(got)
        acc = zelkor5.account_info()
        left = (zelkor5.positions_total(), zelkor5.orders_total())
        term.stop()

        seconds = span_to - span_from
        produced = ticks / seconds
        evaluated = ticks / max(cpu, 1e-9)
        print(
            "market time evaluated        {:>12,.0f} s ({:.1f} h)".format(seconds, seconds / 3600)
        )
        print("ticks of the 30 symbols      {:>12,}".format(ticks))
        print("produced per market second   {:>12,.1f} ticks".format(produced))
        print(
            "terminal CPU to evaluate     {:>12.3f} s (start with nothing to evaluate: {:.3f} s)".format(
                cpu, baseline
            )
        )
        print("evaluated per CPU second     {:>12,.0f} ticks".format(evaluated))
        print(
            "headroom                     {:>12,.0f} x the rate the market produces ticks".format(
                evaluated / produced
            )
        )
        print(
            "after: {} positions, {} working orders, balance {:.2f}".format(
                left[0], left[1], acc.balance
            )
        )
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
