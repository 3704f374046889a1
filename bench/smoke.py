"""Runs every benchmark in this folder at its small size, to check that each
still works: `bench_*.py --smoke`, one after the other, each of which must
finish within its time limit, print its figures and exit 0. No figure is
judged. A benchmark whose source has the line `# bench: needs wine` is
given `--prefix $ZK5_TEST_WINEPREFIX` when the caller made a Wine prefix,
and is left out with --no-wine. Every C file here must be named by a
benchmark (the one that builds it), so that none is left unbuilt.

    python bench/smoke.py [--no-wine] [--timeout SECONDS] [NAME ...]

NAME picks benchmarks by file name (bench_store.py or store). Run it with
the interpreter of a virtual environment that has zelkor5 installed
(scripts/setup.sh); the benchmarks run with the same one. scripts/test.sh
runs it where its Wine prefix exists.
"""

import argparse
import glob
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NEEDS_WINE = re.compile(r"^# bench: needs wine$", re.M)


def run(path, source, args):
    cmd = [sys.executable, path, "--smoke"]
    if NEEDS_WINE.search(source):
        if args.no_wine:
            return "skipped (needs wine)", True
        if os.environ.get("ZK5_TEST_WINEPREFIX"):
            cmd += ["--prefix", os.environ["ZK5_TEST_WINEPREFIX"]]
    # Its own process group, so that a benchmark over its limit can be
    # stopped with whatever it started: first as by Ctrl-C, so that its
    # cleanup runs, then for good.
    proc = subprocess.Popen(
        cmd,
        cwd=ROOT,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        start_new_session=True,
    )
    try:
        output, _ = proc.communicate(timeout=args.timeout)
        status, ok = "exit %d" % proc.returncode, proc.returncode == 0
    except subprocess.TimeoutExpired:
        for sig, grace in ((signal.SIGINT, 10), (signal.SIGKILL, None)):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                output, _ = proc.communicate(timeout=grace)
                break
            except subprocess.TimeoutExpired:
                pass
        status, ok = "over the %d s limit" % args.timeout, False
    text = output.decode("utf-8", "replace").rstrip()
    if ok and not text:
        status, ok = "printed nothing", False
    for line in text.splitlines():
        print("    " + line)
    return status, ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("names", nargs="*", help="only these benchmarks")
    ap.add_argument("--no-wine", action="store_true", help="leave out the benchmarks under Wine")
    ap.add_argument("--timeout", type=int, default=300, help="limit of each benchmark (s)")
    args = ap.parse_args()

    benches = sorted(glob.glob(os.path.join(HERE, "bench_*.py")))
    failed = []
    sources = {}
    for path in benches:
        with open(path, encoding="utf-8") as f:
            sources[path] = f.read()
    for c_file in sorted(glob.glob(os.path.join(HERE, "*.c"))):
        name = os.path.basename(c_file)
        if not any(name in text for text in sources.values()):
            print("%s: no benchmark builds it" % name)
            failed.append(name)
    if args.names:
        wanted = {n if n.startswith("bench_") else "bench_%s" % n for n in args.names}
        wanted = {n if n.endswith(".py") else n + ".py" for n in wanted}
        unknown = wanted - {os.path.basename(p) for p in benches}
        if unknown:
            sys.exit("no such benchmark: %s" % ", ".join(sorted(unknown)))
        benches = [p for p in benches if os.path.basename(p) in wanted]

    started = time.monotonic()
    skipped = 0
    for path in benches:
        name = os.path.basename(path)
        print("-- %s --smoke" % name, flush=True)
        t0 = time.monotonic()
        status, ok = run(path, sources[path], args)
        print("   %s: %s, %.1f s" % (name, status, time.monotonic() - t0), flush=True)
        skipped += status.startswith("skipped")
        if not ok:
            failed.append(name)
    print(
        "%d benchmarks run, %d skipped, in %.1f s%s"
        % (
            len(benches) - skipped,
            skipped,
            time.monotonic() - started,
            "; failed: " + " ".join(failed) if failed else "",
        )
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
