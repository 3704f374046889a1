"""The ``zelkor5`` command (also ``python -m zelkor5``).

    zelkor5 demo
    zelkor5 terminal start|stop|status|path [--data]
    zelkor5 terminal reset-account LOGIN
    zelkor5 terminal import FILE [--symbol SYMBOL] [--timeframe H1|ticks]     (FILE .csv or .parquet)
        [--columns time="Gmt time",volume=Volume] [--timezone Europe/Berlin] [--dates dmy|mdy]
    zelkor5 terminal replay --from 2024-03-05T00:00 [--to DATE] [--speed N | --step MS | --stepped]
    zelkor5 terminal replay --off
    zelkor5 export rates SYMBOL --timeframe H1 --from 2024-01-01 --to 2024-06-30 -o FILE
    zelkor5 export ticks SYMBOL --from 2024-03-06 --to 2024-03-06 -o FILE
    zelkor5 report [--login N] [--from DATE] [--to DATE] -o report.html
    zelkor5 sweep STRATEGY.py --grid 'fast=5,10,20' --grid 'slow=50,100' \
        --history EURUSD.M1.csv --from DATE --to DATE [--scheduler ADDRESS] -o results.csv

``--path EXE`` picks another terminal installation than the bundled one.
Dates on the command line are UTC: a bare date as --to means the end of
that day. Files are .csv or .parquet (needs pyarrow); their times are UTC.
Errors print one line on standard error and exit with status 1, usage
errors with status 2; ``terminal status`` exits with 3 when the terminal
is not running; ``sweep`` exits with 1 when a run failed (its row says
why; the results are written all the same). Output cut short by its reader (``| head``) is no error.
"""

import argparse
import csv
import datetime
import math
import os
import sys
from typing import IO, Any, Dict, Iterable, List, NoReturn, Optional, Sequence, Union

import numpy as np

from . import _core, cells, demo, history, reporting, sweeps, terminal
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


def _columns(text: str) -> Dict[str, str]:
    """ROLE=NAME,ROLE=NAME (the shell has taken the quotes off names)."""
    out = {}
    for part in text.split(","):
        role, eq, name = part.partition("=")
        if not eq or not role.strip() or not name.strip():
            raise argparse.ArgumentTypeError("bad --columns %r: role=name,role=name" % text)
        out[role.strip().lower()] = name.strip().strip('"')
    return out


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
    rpt = sub.add_parser(
        "report",
        parents=[common],
        help="an HTML report of an account's trading: equity, drawdown, " "statistics",
    )
    rpt.add_argument(
        "--login", type=_login, help="the account (default: the one the terminal starts with)"
    )
    rpt.add_argument("--password", help="its password, when it is not the current account")
    rpt.add_argument(
        "--from",
        dest="start",
        type=_date,
        metavar="DATE",
        help="the first day, UTC (default: the account's first deal)",
    )
    rpt.add_argument(
        "--to",
        dest="end",
        metavar="DATE",
        help="the last day (to its end), UTC (default: now, the terminal's clock)",
    )
    rpt.add_argument(
        "-o", "--output", required=True, metavar="FILE", help="FILE.html: one self-contained page"
    )
    rpt.add_argument("--png", metavar="DIR", help="also write the plots as PNG files into DIR")
    rpt.add_argument("--csv", metavar="FILE", help="also write the statistics as a CSV file")

    swp = sub.add_parser(
        "sweep",
        parents=[common],
        help="run a strategy over a grid of parameters, one private replay each",
    )
    swp.add_argument(
        "strategy",
        metavar="STRATEGY.py",
        help="a script defining the strategy: a function taking one parameter set " "(a dict)",
    )
    swp.add_argument(
        "--function",
        default="strategy",
        metavar="NAME",
        help="the strategy's name in the script (default: strategy)",
    )
    swp.add_argument(
        "--grid",
        action="append",
        required=True,
        type=_grid_axis,
        metavar="NAME=V1,V2,...",
        help="a parameter and its values (numbers where they parse); repeat for "
        "every parameter: each combination is one run",
    )
    swp.add_argument(
        "--history",
        action="append",
        required=True,
        metavar="FILE",
        help="SYMBOL.M1.csv or SYMBOL.ticks.csv to replay, or an installation's "
        "terminal64.exe (its imported history); repeatable",
    )
    swp.add_argument(
        "--from",
        dest="start",
        type=_date,
        required=True,
        metavar="DATE",
        help="where each replay begins, UTC",
    )
    swp.add_argument(
        "--to",
        dest="end",
        type=_span_end,
        required=True,
        metavar="DATE",
        help="where it ends, UTC (a bare date: to its end, the next midnight)",
    )
    swp.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster of this scheduler (needs dask[distributed]; "
        "default: the cores of this machine)",
    )
    swp.add_argument(
        "--workers", type=int, metavar="N", help="processes on this machine (default: one per core)"
    )
    swp.add_argument(
        "--timeout",
        type=float,
        metavar="SECONDS",
        help="stop a run that takes longer (set-up included): its row says so",
    )
    swp.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="FILE",
        help="the results, one row per parameter set (.csv or .parquet)",
    )

    term = sub.add_parser("terminal", parents=[common], help="the bundled terminal")
    tsub = term.add_subparsers(dest="action", metavar="ACTION")
    tsub.required = True
    tsub.add_parser("start", parents=[common], help="start it unless it runs")
    tsub.add_parser("stop", parents=[common], help="stop it and wait until it has exited")
    tsub.add_parser(
        "status",
        parents=[common],
        help="whether it runs (exit status 0) or not (3), and whether it replays",
    )
    path = tsub.add_parser("path", parents=[common], help="print the executable's path")
    path.add_argument("--data", action="store_true", help="print the data folder instead")
    reset = tsub.add_parser(
        "reset-account",
        parents=[common],
        help="put an account back to its first state (stops the terminal)",
    )
    reset.add_argument("login", type=_login, help="the account's login")
    imp = tsub.add_parser(
        "import",
        parents=[common],
        help="import a CSV or Parquet file of price history (while the terminal is stopped)",
    )
    imp.add_argument(
        "file",
        help="a CSV file of bars or ticks (SYMBOL.H1.csv, SYMBOL.ticks.csv, SYMBOL.csv; the "
        "layouts docs/terminal.md lists), or a .parquet file as zelkor5 export writes them",
    )
    imp.add_argument("--symbol", help="the symbol (default: the file name's first part)")
    imp.add_argument(
        "--timeframe",
        help="the bars' timeframe (M1 .. D1) or ticks (default: from the file name, else the "
        "bars' spacing)",
    )
    imp.add_argument(
        "--columns",
        type=_columns,
        help='the columns the header does not name in the usual way: time="Gmt time",volume=Vol',
    )
    imp.add_argument(
        "--timezone", help="times without a zone are local to it: Europe/Berlin or +02:00"
    )
    imp.add_argument(
        "--dates", choices=["dmy", "mdy"], help="read dates like 03/04/2024 day or month first"
    )
    rep = tsub.add_parser(
        "replay",
        parents=[common],
        help="start it as a replay of the market from a past moment, or "
        "(--off) return it to the live market",
    )
    rep.add_argument(
        "--from",
        dest="start",
        type=_date,
        metavar="DATE",
        help="where the market begins, UTC (YYYY-MM-DD[THH:MM[:SS]])",
    )
    rep.add_argument(
        "--to",
        dest="end",
        type=_span_end,
        metavar="DATE",
        help="where the clock stops, UTC (a bare date: at its end, the next midnight; "
        "default: the end of the imported history, else the moment it starts)",
    )
    how = rep.add_mutually_exclusive_group()
    how.add_argument(
        "--speed",
        type=int,
        metavar="N",
        help="market seconds per real second, 1 to 1000000 (default 1)",
    )
    how.add_argument(
        "--step",
        type=int,
        metavar="MS",
        help="instead move the market MS milliseconds per request answered",
    )
    how.add_argument(
        "--stepped",
        action="store_true",
        help="instead hold the market still until the script moves it "
        "(zelkor5.replay.advance, next_bar)",
    )
    how.add_argument(
        "--off",
        action="store_true",
        help="clear the replay: the next start runs on the live market " "(stops the terminal)",
    )

    export = sub.add_parser("export", parents=[common], help="bars or ticks to a file")
    esub = export.add_subparsers(dest="kind", metavar="KIND")
    esub.required = True
    for kind in ("rates", "ticks"):
        e = esub.add_parser(kind, parents=[common], help="export " + kind)
        e.add_argument("symbol", help="the symbol, as symbol_info knows it")
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
        e.add_argument(
            "--from",
            dest="start",
            required=True,
            type=_date,
            metavar="DATE",
            help="the first day or moment, UTC (YYYY-MM-DD[THH:MM[:SS]])",
        )
        e.add_argument(
            "--to",
            dest="end",
            required=True,
            metavar="DATE",
            help="the last day (to its end) or moment, UTC",
        )
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


# How each time field is written: seconds or milliseconds since 1970.
_TIME_UNITS = {"time": "s", "time_msc": "ms"}


def _csv_column(page: Any, name: str) -> List[str]:
    """One column of a page as CSV texts: times as ISO 8601 UTC (with
    milliseconds for time_msc), floats as their shortest exact text."""
    values: Any = page[name]
    unit = _TIME_UNITS.get(name)
    if unit is not None:
        moments: Any = values.astype("int64").astype("datetime64[%s]" % unit)
        stamps: Any = np.datetime_as_string(moments, unit="s" if unit == "s" else "ms")
        return [t + "Z" for t in stamps.tolist()]
    if values.dtype.kind == "f":
        return list(map(repr, values.tolist()))
    return list(map(str, values.tolist()))


class _CsvPages:
    """A CSV file written a page at a time."""

    def __init__(self, out: str) -> None:
        self._file: Optional[IO[str]] = open(out, "w", newline="")

    def write(self, page: Any) -> None:
        assert self._file is not None
        names = page.dtype.names
        if self._file.tell() == 0:
            self._file.write(",".join(names) + "\n")
        if len(page):
            columns = [_csv_column(page, n) for n in names]
            self._file.write("\n".join(map(",".join, zip(*columns))) + "\n")

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None


class _ParquetPages:
    """A Parquet file written a row group per page."""

    def __init__(self, out: str) -> None:
        try:
            import pyarrow as pa  # type: ignore[import-untyped]
            import pyarrow.parquet as pq  # type: ignore[import-untyped]
        except ImportError:
            raise CommandError("writing .parquet needs pyarrow: pip install pyarrow") from None
        self._pa, self._pq, self._out = pa, pq, out
        self._writer: Any = None

    def write(self, page: Any) -> None:
        pa = self._pa
        columns = {}
        for name in page.dtype.names:
            unit = _TIME_UNITS.get(name)
            values = page[name]
            if unit is not None:
                columns[name] = pa.array(values.astype("int64"), pa.timestamp(unit, tz="UTC"))
            else:
                columns[name] = pa.array(values)
        table = pa.table(columns)
        if self._writer is None:
            self._writer = self._pq.ParquetWriter(self._out, table.schema)
        if len(page) or self._writer is not None:
            self._writer.write_table(table)

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()
            self._writer = None


def write_pages(pages: Iterable[Optional[Any]], out: str) -> Optional[int]:
    """Writes the pages (structured arrays of one layout) to `out` (.csv
    or .parquet) as they come, holding one page at a time; the rows written,
    or None when a page is None (a failed request; the file is removed)."""
    ext = os.path.splitext(out)[1].lower()
    writer: Union[_CsvPages, _ParquetPages] = (
        _CsvPages(out) if ext == ".csv" else _ParquetPages(out)
    )
    rows, ok = 0, False
    try:
        for page in pages:
            if page is None:
                return None
            writer.write(page)
            rows += len(page)
        ok = True
    finally:
        writer.close()
        if not ok:
            try:
                os.remove(out)
            except OSError:
                pass
    return rows


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
        pages = history.rates_pages(args.symbol, args.timeframe, args.start, end, progress=progress)
    else:
        # --to names a second: its ticks to its last millisecond are in it.
        limit = (int(end.timestamp()) + 1) * 1000
        pages = (
            None if p is None else p[p["time_msc"] < limit]
            for p in history.ticks_pages(
                args.symbol,
                args.start,
                int(end.timestamp()) + 1,
                CopyTicks[args.flags.upper()],
                chunk=history.TICKS_CHUNK_SECONDS,
                progress=progress,
            )
        )
    rows = write_pages(pages, args.output)
    if rows is None:
        raise _failed("%s %s" % (args.kind, args.symbol))
    print("%s: %d %s of %s" % (args.output, rows, args.kind, args.symbol))
    _core.shutdown()
    return 0


def _has_tqdm() -> bool:
    try:
        import tqdm  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        return False
    return True


def _replay_text(playing: Optional[terminal.Replay]) -> str:
    if playing is None:
        return "replay: off (the live market)"
    how = {
        "timed": "speed %d" % playing.speed,
        "per-request": "step %d ms per request" % playing.step_ms,
        "stepped": "stepped (the script moves the clock)",
    }.get(playing.mode, playing.mode)
    text = "replay: from %s" % _iso(int(playing.start.timestamp()))
    if playing.end is not None:
        text += " to %s" % _iso(int(playing.end.timestamp()))
    text += ", " + how
    if playing.now is not None:
        text += ", clock at %s" % playing.now.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"
    return text


def _import_text(p: terminal.ImportProgress) -> str:
    counts = "%d imported, %d rejected" % (p.imported, p.rejected)
    if p.postponed:
        counts += ", %d postponed to the next start" % p.postponed
    if p.done:
        return "import: done, %d file%s: %s" % (p.files, "" if p.files == 1 else "s", counts)
    return "import: %.1f%%, file %d of %d (%s); %s" % (
        p.percent,
        p.file_number,
        p.files,
        p.file,
        counts,
    )


def _terminal(
    args: argparse.Namespace, path: Optional[str], parser: argparse.ArgumentParser
) -> int:
    if args.action == "start":
        pid = terminal.start(path)
        print("running, pid %d" % pid)
        playing = terminal.status(path).replay
        if playing is not None:
            print(_replay_text(playing))
    elif args.action == "stop":
        print("stopped" if terminal.stop(path) else "not running")
    elif args.action == "status":
        st = terminal.status(path)
        print("not running" if st.pid is None else "running, pid %d" % st.pid)
        print("path: " + st.path)
        print("data: " + (st.data_path or "(not created yet)"))
        print(_replay_text(st.replay))
        if st.importing is not None:
            print(_import_text(st.importing))
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
        try:
            rows = terminal.import_history(
                args.file,
                args.symbol,
                path,
                timeframe=args.timeframe,
                columns=args.columns,
                timezone=args.timezone,
                date_order=args.dates,
            )
        except ValueError as e:
            raise CommandError(str(e)) from None
        print("imported %d rows" % rows)
    elif args.action == "replay":
        return _replay(args, path, parser)
    return 0


def _replay(args: argparse.Namespace, path: Optional[str], parser: argparse.ArgumentParser) -> int:
    if args.off:
        if args.start is not None or args.end is not None:
            parser.error("terminal replay: --off takes no --from or --to")
        was_running = terminal.stop(path)
        terminal.configure_replay(None, path=path)
        print(
            "replay off: the terminal %sstarts on the live market"
            % ("is stopped; it " if was_running else "")
        )
        return 0
    if args.start is None:
        parser.error("terminal replay: --from DATE is required (or --off)")
    if args.end is not None and args.end <= args.start:
        parser.error("terminal replay: --to must be after --from")
    if args.speed is not None and not 1 <= args.speed <= 1000000:
        parser.error("terminal replay: --speed must be from 1 to 1000000")
    if args.step is not None and args.step < 1:
        parser.error("terminal replay: --step must be 1 millisecond or more")
    if terminal.status(path).running:
        raise CommandError(
            "the terminal is running: stop it first, a replay begins " "when it starts"
        )
    terminal.configure_replay(
        args.start, args.speed or 1, args.step or 0, path, stepped=args.stepped, to=args.end
    )
    pid = terminal.start(path)
    print("running, pid %d" % pid)
    print(_replay_text(terminal.status(path).replay))
    return 0


def _report(args: argparse.Namespace, path: Optional[str]) -> int:
    if os.path.splitext(args.output)[1].lower() not in (".html", ".htm"):
        raise CommandError("the output file must end in .html: " + args.output)
    end = None
    if args.end is not None:
        try:
            end = _date(args.end, end_of_day=True)
        except argparse.ArgumentTypeError as e:
            raise CommandError(str(e)) from None
    _connect(path)
    if args.login is not None:
        info = _core.account_info()
        if info is None or info.login != args.login:
            if not _core.login(args.login, password=args.password or "", server=""):
                raise _failed("login %d" % args.login)
    try:
        result = reporting.report(start=args.start, end=end, html=args.output, png_dir=args.png)
    except reporting.ReportError as e:
        raise CommandError(str(e)) from None
    except ImportError as e:
        raise CommandError(
            "the report needs pandas and matplotlib (%s): %s" % (e, reporting.EXTRA)
        ) from None
    if args.csv:
        digits = int(result.statistics.attrs.get("currency_digits", 2))
        with open(args.csv, "w", newline="") as f:
            out = csv.writer(f)
            out.writerow(["statistic", "value"])
            for key, value in reporting.rounded(result.statistics, digits).items():
                out.writerow([cells.cell(key), "nan" if math.isnan(value) else repr(value)])
    net = result.statistics["net_profit"]
    print("%s: %d trades, net profit %.2f" % (args.output, int(result.statistics["trades"]), net))
    _core.shutdown()
    return 0


def _span_end(text: str) -> datetime.datetime:
    """A replay's end: a bare date ends at the next midnight, so that the
    day's last bar, which closes then, is in it."""
    if len(text) == 10:
        return _date(text) + datetime.timedelta(days=1)
    return _date(text)


def _grid_axis(text: str) -> Any:
    name, sep, values = text.partition("=")
    if not sep or not name.strip() or not values.strip():
        raise argparse.ArgumentTypeError("bad grid %r: NAME=V1,V2,..." % text)
    parsed: List[Any] = []
    for v in values.split(","):
        v = v.strip()
        for kind in (int, float):
            try:
                parsed.append(kind(v))
                break
            except ValueError:
                pass
        else:
            parsed.append(v)
    return name.strip(), parsed


def _sweep(args: argparse.Namespace) -> int:
    import importlib

    grid = dict(args.grid)
    strategy = sweeps.load_strategy(args.strategy, args.function)
    client: Any = None
    if args.scheduler:
        try:
            distributed: Any = importlib.import_module("distributed")
        except ImportError:
            raise CommandError(
                '--scheduler needs Dask distributed: pip install "zelkor5[sweep]"'
            ) from None
        client = distributed.Client(args.scheduler)
    try:
        frame = sweeps.sweep(
            strategy,
            grid,
            history=args.history,
            span=(args.start, args.end),
            executor=client,
            workers=args.workers,
            timeout=args.timeout,
        )
    except sweeps.SweepError as e:
        raise CommandError(str(e)) from None
    finally:
        if client is not None:
            client.close()
    if args.output.lower().endswith(".parquet"):
        frame.to_parquet(args.output, index=False)
    else:
        # Text a spreadsheet would run as a formula is escaped.
        cells.frame(frame).to_csv(args.output, index=False, na_rep="nan")
    failed = int(frame["error"].notna().sum())
    print("%s: %d run%s, %d failed" % (args.output, len(frame), "s"[: len(frame) != 1], failed))
    for error in frame["error"].dropna().unique()[:3]:
        print("  %s" % error, file=sys.stderr)
    return 1 if failed else 0


def _run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    path = getattr(args, "path", None)
    if path is not None:
        path = os.path.abspath(path)
    try:
        if args.command == "demo":
            return demo.main(path)
        if args.command == "terminal":
            return _terminal(args, path, parser)
        if args.command == "report":
            return _report(args, path)
        if args.command == "sweep":
            return _sweep(args)
        return _export(args, path)
    except (CommandError, terminal.TerminalError, FileNotFoundError, OSError) as e:
        print("zelkor5: error: %s" % e, file=sys.stderr)
        return 1


class _Stdout:
    """Standard output that ends quietly when its reader has gone (| head):
    the rest of the output goes to nowhere and the command goes on to its
    own exit status."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def _gone(self) -> None:
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass

    def write(self, text: str) -> int:
        try:
            return int(self._stream.write(text))
        except BrokenPipeError:
            self._gone()
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            self._gone()
            self._stream.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    stdout = sys.stdout
    sys.stdout = _Stdout(stdout)
    try:
        args = parser.parse_args(argv)
        code = _run(args, parser)
        sys.stdout.flush()
        return code
    except SystemExit:
        sys.stdout.flush()  # --help and usage errors: their text, whoever reads it
        raise
    except KeyboardInterrupt:
        print("zelkor5: interrupted", file=sys.stderr)
        return 130
    finally:
        sys.stdout = stdout
