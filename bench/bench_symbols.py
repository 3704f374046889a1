"""Cost per SymbolInfo record of symbols_get, next to a pure-Python decoder.

A test terminal (tests/python/peer.py) answers every SYMBOLS_ALL request with
the same reply of SYMBOLS records (default 2000, about 6 MB). Measured in the
same run:
  - module: zelkor5.symbols_get(), receive and conversion together;
  - python: a pure-Python decoder of the same record bytes (struct for the
    numbers, the UTF-16 codec for the texts) building the same SymbolInfo
    named tuples.
Each side runs in a child interpreter. The default measure is the client's
CPU time (user + system) per record. With --valgrind each child also runs
under callgrind twice, with ROUNDS rounds and with none, and the difference
of the instruction counts gives instructions per record.

    python bench/bench_symbols.py [--symbols N] [--rounds R] [--valgrind] [--distinct] [--smoke]

Records are forex-like by default (prices and names of their own, shared
settings, option and session fields zero); --distinct gives every number of
every record its own value, the worst case for the module.

Run it with the interpreter of a virtual environment that has zelkor5
installed (scripts/setup.sh). Linux only.
"""

import argparse
import codecs
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.join(ROOT, "tests", "python")
sys.path.insert(0, TESTS)
import peer  # noqa: E402
from layouts import SYMBOL_INFO  # noqa: E402

RECORD = SYMBOL_INFO.size

# ---------------------------------------------------------------------------
# Records: what a terminal typically sends, a few texts filled in.
# ---------------------------------------------------------------------------

CURRENCIES = ["EUR", "USD", "GBP", "JPY", "CHF", "AUD", "CAD", "NZD"]


def make_records(n, distinct=False):
    """n symbol records. By default like a terminal's forex list: prices and
    names of their own, shared settings, the option and session fields zero.
    distinct=True gives every number of every record a value of its own, the
    worst case for the module's conversion."""
    out = []
    for i in range(n):
        base, quote = CURRENCIES[i % 8], CURRENCIES[(i // 8 + 1) % 8]
        name = "%s%s.%d" % (base, quote, i)
        if distinct:
            values = SYMBOL_INFO.sample(i + 1)
            for field, _, kind in SYMBOL_INFO.wire_fields():
                if isinstance(kind, tuple):
                    values[field] = ""
        else:
            price = 0.5 + (i * 7919 % 10007) / 1000.0
            spread = 1e-5 * (10 + i % 7)
            values = {
                "select": i < 40,
                "visible": i < 40,
                "chart_mode": 0,
                "digits": 5,
                "spread": 10 + i % 7,
                "spread_float": True,
                "ticks_bookdepth": 10,
                "trade_calc_mode": 0,
                "trade_mode": 4,
                "trade_exemode": 2,
                "swap_mode": 1,
                "swap_rollover3days": 3,
                "expiration_mode": 15,
                "filling_mode": 2,
                "order_mode": 127,
                "time": 1700000000 + i,
                "bid": price,
                "bidhigh": price * 1.01,
                "bidlow": price * 0.99,
                "ask": price + spread,
                "askhigh": price * 1.01 + spread,
                "asklow": price * 0.99 + spread,
                "point": 1e-5,
                "trade_tick_value": 1.0,
                "trade_tick_value_profit": 1.0,
                "trade_tick_value_loss": 1.0,
                "trade_tick_size": 1e-5,
                "trade_contract_size": 100000.0,
                "volume_min": 0.01,
                "volume_max": 500.0,
                "volume_step": 0.01,
                "swap_long": -0.5 - i % 5,
                "swap_short": 0.25 + i % 3,
                "margin_hedged": 50000.0,
                "price_change": (i % 21 - 10) / 100.0,
            }
        values.update(
            {
                "name": name,
                "currency_base": base,
                "currency_profit": quote,
                "currency_margin": base,
                "description": "%s vs %s" % (base, quote),
                "path": "Forex\\Majors\\" + name,
                "isin": "XS%010d" % i,
                "bank": "Brundel Pricing",
                "exchange": "OTC",
            }
        )
        out.append(SYMBOL_INFO.pack(values))
    return out


# ---------------------------------------------------------------------------
# The pure-Python decoder: one struct for every number, the UTF-16 codec for
# each text field, text cut at its first NUL, `name` moved to its position.
# ---------------------------------------------------------------------------

_STRUCT_CODES = {"bool8": "?", "u32": "I", "i32": "i", "u64": "Q", "i64": "q", "f64": "d"}


def make_python_decoder(symbol_type):
    numbers = [f for f in SYMBOL_INFO.fields if not isinstance(f[2], tuple)]
    texts = [f for f in SYMBOL_INFO.fields if isinstance(f[2], tuple)]
    # The numbers are the contiguous start of the record in tuple order.
    assert [f[1] for f in numbers] == sorted(f[1] for f in numbers)
    numbers_struct = struct.Struct("<" + "".join(_STRUCT_CODES[f[2]] for f in numbers))
    text_slices = [(off, off + 2 * kind[1]) for _, off, kind in texts]
    decode = codecs.utf_16_le_decode

    def decode_record(buf, base):
        values = list(numbers_struct.unpack_from(buf, base))
        for start, end in text_slices:
            text = decode(buf[base + start : base + end], "surrogatepass")[0]
            values.append(text.partition("\0")[0])
        return symbol_type(values)

    def decode_all(block, count):
        view = memoryview(block)
        return tuple(decode_record(view, i * RECORD) for i in range(count))

    return decode_all


# ---------------------------------------------------------------------------
# Child: runs ROUNDS rounds of one side and prints its CPU time.
# ---------------------------------------------------------------------------


def child(side, exe, symbols, rounds, distinct):
    import zelkor5

    records = make_records(symbols, distinct)
    if side == "module":
        if not zelkor5.initialize(exe):
            sys.exit("initialize failed: %r" % (zelkor5.last_error(),))
        run = zelkor5.symbols_get
    else:
        block = b"".join(records)
        decode_all = make_python_decoder(zelkor5.SymbolInfo)
        # Same result as the module's, checked before anything is timed.
        first = decode_all(block, 1)[0]
        assert first.name == "EURUSD.0" and first.path == "Forex\\Majors\\EURUSD.0"

        def run():
            return decode_all(block, symbols)

    t0 = time.process_time()
    for _ in range(rounds):
        result = run()
        if result is None or len(result) != symbols:
            sys.exit("bad result: %r" % (zelkor5.last_error(),))
    t1 = time.process_time()
    if side == "module" and rounds and not os.environ.get("ZK5_BENCH_COUNTING"):
        # Both sides build the same records (not checked while counting).
        expected = make_python_decoder(zelkor5.SymbolInfo)(b"".join(records), symbols)
        assert result == expected
    print("%.9f" % (t1 - t0), flush=True)
    if side == "module":
        zelkor5.shutdown()


# ---------------------------------------------------------------------------
# Parent
# ---------------------------------------------------------------------------


def serve(exe, payload):
    """A test terminal that greets and then answers everything with payload."""
    return peer.Peer(exe, peer.handshake(), default=peer.reply(174, 1, payload)).start()


def run_child(side, exe, payload, symbols, rounds, distinct, valgrind=False):
    server = serve(exe, payload)
    try:
        cmd = [
            sys.executable,
            os.path.abspath(__file__),
            "--child",
            side,
            exe,
            str(symbols),
            str(rounds),
            "1" if distinct else "0",
        ]
        # NumPy's BLAS threads spin while idle; under callgrind their
        # instructions would swamp the difference being measured.
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
        if valgrind:
            env["ZK5_BENCH_COUNTING"] = "1"
            cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + cmd
        out = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=3600)
        if out.returncode != 0:
            sys.exit("%s child failed:\n%s" % (side, out.stderr))
        seconds = float(out.stdout.split()[-1])
        instructions = None
        if valgrind:
            m = re.search(r"Collected\s*:\s*(\d+)", out.stderr)
            instructions = int(m.group(1))
        return seconds, instructions
    finally:
        server.stop()


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        side, exe, symbols, rounds, distinct = sys.argv[2:7]
        return child(side, exe, int(symbols), int(rounds), distinct == "1")
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--symbols", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument(
        "--valgrind", action="store_true", help="also count instructions under callgrind"
    )
    ap.add_argument("--valgrind-rounds", type=int, default=2)
    ap.add_argument(
        "--distinct",
        action="store_true",
        help="every number of every record different (worst case)",
    )
    ap.add_argument("--smoke", action="store_true", help="a small run: 200 symbols, 2 rounds")
    args = ap.parse_args()
    if args.smoke:
        ap.set_defaults(symbols=200, rounds=2)
        args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="zk5b", dir="/tmp")
    try:
        os.environ["XDG_RUNTIME_DIR"] = peer.ensure_runtime_dir(os.path.join(work, "r"))
        exe = os.path.join(work, "terminal64.exe")
        open(exe, "wb").close()
        payload = peer.array(make_records(args.symbols, args.distinct), RECORD)
        n = args.symbols
        print(
            "symbols_get of %d %s records (%.1f MB), %d rounds each"
            % (n, "distinct" if args.distinct else "typical", len(payload) / 1e6, args.rounds)
        )

        per = {}
        for side in ("module", "python"):
            seconds, _ = run_child(side, exe, payload, n, args.rounds, args.distinct)
            per[side] = seconds / (args.rounds * n)
            print("  %-7s CPU time per record: %8.3f us" % (side, per[side] * 1e6))
        print("  ratio (python / module), CPU time: %.1f" % (per["python"] / per["module"]))

        if args.valgrind:
            r = args.valgrind_rounds
            print("callgrind, %d rounds against none" % r)
            counts = {}
            for side in ("module", "python"):
                _, with_rounds = run_child(side, exe, payload, n, r, args.distinct, valgrind=True)
                _, without = run_child(side, exe, payload, n, 0, args.distinct, valgrind=True)
                counts[side] = (with_rounds - without) / (r * n)
                print("  %-7s instructions per record: %10.0f" % (side, counts[side]))
            print(
                "  ratio (python / module), instructions: %.1f"
                % (counts["python"] / counts["module"])
            )
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
