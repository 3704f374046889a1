"""Peak memory and rows per second of a long tick export.

Runs `zelkor5 export ticks EURUSD` over DAYS days (default 1096, three
years: some 30 million ticks) from a private copy of the bundled terminal,
to Parquet and to CSV, each in a fresh process whose peak resident size
(ru_maxrss) is taken; and, as the baseline measured in the same run, the
same ticks read whole into memory first (history.ticks_range, then one
write: what the command did before it streamed).

    python bench/bench_export.py [--days N] [--formats parquet,csv] [--smoke]

--smoke: two weekdays, to see that it runs. Run it with the interpreter of a
virtual environment that has zelkor5 and pyarrow installed
(scripts/setup.sh). Linux only.
"""

import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time

FROM = "2022-01-01"

# The baseline: every tick in memory, then one write.
WHOLE = r"""
import sys
import zelkor5
from zelkor5 import cli, history
exe, start, end, out = sys.argv[1:5]
assert zelkor5.initialize(exe, portable=True), zelkor5.last_error()
s = cli._date(start)
e = cli._date(end, end_of_day=True)
# To the last millisecond of the last second, as the command exports.
last = int(e.timestamp()) + 1
ticks = history.ticks_range("EURUSD", s, last)
assert ticks is not None, zelkor5.last_error()
ticks = ticks[ticks["time_msc"] < last * 1000]
# Written in slices, so that only the array itself is what is held whole.
cli.write_pages((ticks[i:i + 100000] for i in range(0, max(len(ticks), 1), 100000)), out)
print(len(ticks))
"""


def child_peak(args, cwd):
    """Runs args; its peak RSS from wait4 (the only child waited for)."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # wait4 reaps it and gives its own rusage, not the sum of all children.
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - t0
    out = proc.stdout.read().decode()
    err = proc.stderr.read().decode()
    proc.returncode = (
        os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status >> 8
    )
    if proc.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(args), err))
    return elapsed, usage.ru_maxrss * 1024, out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--from", dest="start", default=FROM, help="the first day (default %s)" % FROM)
    p.add_argument(
        "--days", type=int, default=1096, help="days of ticks (default 1096: to 2024-12-31)"
    )
    p.add_argument("--formats", default="parquet,csv", help="comma-separated: parquet, csv")
    p.add_argument("--smoke", action="store_true", help="two weekdays, to see that it runs")
    args = p.parse_args()
    days = 2 if args.smoke else args.days
    start = "2022-01-04" if args.smoke else args.start
    from zelkor5 import cli
    from zelkor5.terminal import terminal_path

    end = (cli._date(start) + datetime.timedelta(days=days - 1)).strftime("%Y-%m-%d")
    work = tempfile.mkdtemp(prefix="zk5bench")
    try:
        os.makedirs(os.path.join(work, "config"))
        with open(os.path.join(work, "config", "terminal.ini"), "w") as f:
            f.write("[Terminal]\nIdleExit=5\n")
        exe = os.path.join(work, "terminal64.exe")
        shutil.copy2(terminal_path(), exe)
        env_python = sys.executable
        print("ticks of EURUSD, %s to %s (%d days)" % (start, end, days))
        # The terminal's own start, outside the figures.
        subprocess.run(
            [env_python, "-m", "zelkor5", "terminal", "start", "--path", exe],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        for fmt in args.formats.split(","):
            out = os.path.join(work, "ticks." + fmt)
            secs, peak, text = child_peak(
                [
                    env_python,
                    "-m",
                    "zelkor5",
                    "export",
                    "ticks",
                    "EURUSD",
                    "--from",
                    start,
                    "--to",
                    end,
                    "-o",
                    out,
                    "--path",
                    exe,
                ],
                work,
            )
            rows = int(text.split(": ")[1].split()[0])
            size = os.path.getsize(out)
            os.remove(out)
            base_secs, base_peak, base_text = child_peak(
                [env_python, "-c", WHOLE, exe, start, end, out], work
            )
            assert int(base_text) == rows, (base_text, rows)
            os.remove(out)
            print(
                "%-8s %11d rows %8.0f MB file | streamed: peak %7.1f MB, %9.0f rows/s | "
                "whole in memory: peak %7.1f MB, %9.0f rows/s | peak ratio %.2f"
                % (
                    fmt,
                    rows,
                    size / 1e6,
                    peak / 1e6,
                    rows / secs,
                    base_peak / 1e6,
                    rows / base_secs,
                    peak / base_peak,
                )
            )
        subprocess.run(
            [env_python, "-m", "zelkor5", "terminal", "stop", "--path", exe],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
