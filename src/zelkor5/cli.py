"""The ``zelkor5`` command (also ``python -m zelkor5``).

    zelkor5 demo
    zelkor5 terminal start|stop|status|path [--data]
    zelkor5 terminal reset-account LOGIN
    zelkor5 terminal import FILE [--symbol SYMBOL]
    zelkor5 terminal replay --from 2024-03-05T00:00 [--speed 600 | --step MS]
    zelkor5 export rates SYMBOL --timeframe H1 --from 2024-01-01 --to 2024-06-30 -o FILE
    zelkor5 export ticks SYMBOL --from 2024-03-06 --to 2024-03-06 -o FILE

``--path EXE`` picks another terminal installation than the bundled one.
Dates on the command line are UTC: a bare date as --to means the end of
that day. Files are .csv or .parquet (needs pyarrow); their times are UTC.
Errors print one line on standard error and exit with status 1.
"""

import argparse
import csv
import datetime
import os
import sys
from typing import Any, Callable, List, NoReturn, Optional, Sequence

from . import _core, history, terminal
from .constants import CopyTicks, Timeframe

UTC = datetime.timezone.utc


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """A usage error in one line, status 2."""
        self.exit(2, "%s: error: %s\n" % (self.prog, message))


class CommandError(Exception):
    """A failure to report in one line."""


def _date(text: str, end_of_day: bool = False) -> datetime.datetime:
    """An ISO date or date and time; UTC unless it names an offset."""
    try:
        if len(text) == 10:
            day = datetime.date.fromisoformat(text)
            value = datetime.datetime(day.year, day.month, day.day, tzinfo=UTC)
            if end_of_day:
                value += datetime.timedelta(days=1, seconds=-1)
            return value
        value = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            "bad date %r: use YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]" % text
        ) from None
    return value if value.tzinfo is not None else value.replace(tzinfo=UTC)


def _timeframe(text: str) -> Timeframe:
    try:
        return Timeframe[text.upper()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            "unknown timeframe %r: one of %s" % (text, ", ".join(Timeframe.__members__))
        ) from None


def _login(text: str) -> int:
    if not text.isdigit() or int(text) <= 0:
        raise argparse.ArgumentTypeError("bad login %r: a positive number" % text)
    return int(text)


def _parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument(
        "--path",
        default=argparse.SUPPRESS,
        metavar="EXE",
        help="terminal64.exe of another installation (default: the bundled one)",
    )
    p = _Parser(prog="zelkor5", parents=[common], description="Client of the Zelkor 5 terminal.")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    sub.add_parser("demo", parents=[common], help="run the demo session")

    term = sub.add_parser("terminal", parents=[common], help="the bundled terminal")
    tsub = term.add_subparsers(dest="action", metavar="ACTION")
    tsub.required = True
    tsub.add_parser("start", parents=[common], help="start it unless it runs")
    tsub.add_parser("stop", parents=[common], help="stop it and wait until it has exited")
    tsub.add_parser("status", parents=[common], help="whether it runs (exit status 0) or not (3)")
    path = tsub.add_parser("path", parents=[common], help="print the executable's path")
    path.add_argument("--data", action="store_true", help="print the data folder instead")
    reset = tsub.add_parser(
        "reset-account",
        parents=[common],
        help="put an account back to its first state (stops the terminal)",
    )
    reset.add_argument("login", type=_login)
    imp = tsub.add_parser(
        "import",
        parents=[common],
        help="import a CSV file of price history (while the terminal is stopped)",
    )
    imp.add_argument("file")
    imp.add_argument("--symbol", help="the symbol (default: the file name's first part)")
    rep = tsub.add_parser(
        "replay", parents=[common], help="start it as a replay of the market from a past moment"
    )
    rep.add_argument("--from", dest="start", required=True, type=_date, metavar="DATE")
    rep.add_argument(
        "--speed",
        type=int,
        default=1,
        help="market seconds per real second, 1 to 1000000 (default 1)",
    )
    rep.add_argument(
        "--step",
        type=int,
        default=0,
        metavar="MS",
        help="instead move the market MS milliseconds per request",
    )

    export = sub.add_parser("export", parents=[common], help="bars or ticks to a file")
    esub = export.add_subparsers(dest="kind", metavar="KIND")
    esub.required = True
    for kind in ("rates", "ticks"):
        e = esub.add_parser(kind, parents=[common], help="export " + kind)
        e.add_argument("symbol")
        if kind == "rates":
            e.add_argument(
                "--timeframe",
                "-t",
                type=_timeframe,
                default=Timeframe.H1,
                help="M1 ... MN1 (default H1)",
            )
        else:
            e.add_argument(
                "--flags",
                choices=[m.lower() for m in CopyTicks.__members__],
                default="all",
                help="which ticks (default all)",
            )
        e.add_argument("--from", dest="start", required=True, type=_date, metavar="DATE")
        e.add_argument("--to", dest="end", required=True, metavar="DATE")
        e.add_argument(
            "-o", "--output", required=True, metavar="FILE", help="FILE.csv or FILE.parquet"
        )
    return p


def _connect(path: Optional[str]) -> None:
    exe = path if path is not None else terminal.terminal_path()
    if not _core.initialize(exe, portable=terminal.is_portable(exe)):
        code, message = _core.last_error()
        raise CommandError("cannot connect to the terminal at %s: %s (%d)" % (exe, message, code))


def _failed(what: str) -> CommandError:
    code, message = _core.last_error()
    return CommandError("%s: %s (%d)" % (what, message, code))


def _iso(seconds: int) -> str:
    return datetime.datetime.fromtimestamp(seconds, UTC).strftime("%Y-%m-%dT%H:%M:%SZ")


def _iso_ms(msc: int) -> str:
    t = datetime.datetime.fromtimestamp(msc // 1000, UTC)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + ".%03dZ" % (msc % 1000)


# How each time field is written: seconds or milliseconds since 1970.
_TIME_UNITS = {"time": "s", "time_msc": "ms"}


def _write_csv(array: Any, out: str) -> None:
    names = array.dtype.names
    formats: List[Callable[[Any], str]] = []
    for name in names:
        unit = _TIME_UNITS.get(name)
        if unit == "s":
            formats.append(lambda v: _iso(int(v)))
        elif unit == "ms":
            formats.append(lambda v: _iso_ms(int(v)))
        elif array.dtype[name].kind == "f":
            formats.append(lambda v: repr(float(v)))
        else:
            formats.append(lambda v: str(int(v)))
    with open(out, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(names)
        columns = [array[n].tolist() for n in names]
        for row in zip(*columns):
            w.writerow([fmt(v) for fmt, v in zip(formats, row)])


def _write_parquet(array: Any, out: str) -> None:
    try:
        import pyarrow as pa  # type: ignore[import-untyped]
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
    except ImportError:
        raise CommandError("writing .parquet needs pyarrow: pip install pyarrow") from None
    columns = {}
    for name in array.dtype.names:
        unit = _TIME_UNITS.get(name)
        values = array[name]
        if unit is not None:
            columns[name] = pa.array(values.astype("int64"), pa.timestamp(unit, tz="UTC"))
        else:
            columns[name] = pa.array(values)
    pq.write_table(pa.table(columns), out)


def _export(args: argparse.Namespace, path: Optional[str]) -> int:
    ext = os.path.splitext(args.output)[1].lower()
    if ext not in (".csv", ".parquet"):
        raise CommandError("the output file must end in .csv or .parquet: " + args.output)
    try:
        end = _date(args.end, end_of_day=True)
    except argparse.ArgumentTypeError as e:
        raise CommandError(str(e)) from None
    if end < args.start:
        raise CommandError("--to is before --from")
    _connect(path)
    if _core.symbol_info(args.symbol) is None:
        code, message = _core.last_error()
        raise CommandError("unknown symbol %s: %s (%d)" % (args.symbol, message, code))
    progress = sys.stderr.isatty() and _has_tqdm()
    if args.kind == "rates":
        data = history.rates_range(args.symbol, args.timeframe, args.start, end, progress=progress)
    else:
        data = history.ticks_range(
            args.symbol, args.start, end, CopyTicks[args.flags.upper()], progress=progress
        )
    if data is None:
        raise _failed("%s %s" % (args.kind, args.symbol))
    (_write_csv if ext == ".csv" else _write_parquet)(data, args.output)
    print("%s: %d %s of %s" % (args.output, len(data), args.kind, args.symbol))
    _core.shutdown()
    return 0


def _has_tqdm() -> bool:
    try:
        import tqdm  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        return False
    return True


def _terminal(args: argparse.Namespace, path: Optional[str]) -> int:
    if args.action == "start":
        pid = terminal.start(path)
        print("running, pid %d" % pid)
    elif args.action == "stop":
        print("stopped" if terminal.stop(path) else "not running")
    elif args.action == "status":
        st = terminal.status(path)
        print("not running" if st.pid is None else "running, pid %d" % st.pid)
        print("path: " + st.path)
        print("data: " + (st.data_path or "(not created yet)"))
        return 0 if st.running else 3
    elif args.action == "path":
        if args.data:
            folder = terminal.data_path(path)
            if folder is None:
                raise CommandError("the terminal has not run yet: no data folder")
            print(folder)
        else:
            print(path if path is not None else terminal.terminal_path())
    elif args.action == "reset-account":
        terminal.reset_account(args.login, path)
        print("account %d reset; the terminal is stopped" % args.login)
    elif args.action == "import":
        rows = terminal.import_history(args.file, args.symbol, path)
        print("imported %d rows" % rows)
    elif args.action == "replay":
        if not 1 <= args.speed <= 1000000:
            raise CommandError("the speed must be from 1 to 1000000")
        if terminal.status(path).running:
            raise CommandError(
                "the terminal is running: stop it first, a replay begins " "when it starts"
            )
        terminal.configure_replay(args.start, args.speed, args.step, path)
        pid = terminal.start(path)
        print("replay from %s, running, pid %d" % (_iso(int(args.start.timestamp())), pid))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    path = getattr(args, "path", None)
    if path is not None:
        path = os.path.abspath(path)
    try:
        if args.command == "demo":
            from . import demo

            return demo.main(path)
        if args.command == "terminal":
            return _terminal(args, path)
        return _export(args, path)
    except (CommandError, terminal.TerminalError, FileNotFoundError, OSError) as e:
        print("zelkor5: error: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("zelkor5: interrupted", file=sys.stderr)
        return 130
