"""Price history from a pandas DataFrame or a Parquet file, written as the
CSV layout the terminal imports: bars as
``time,open,high,low,close,tick_volume,spread,real_volume`` (time in UTC
seconds), ticks as ``time_msc,bid,ask,last,volume,flags`` (UTC
milliseconds). The data is converted and written a chunk at a time, so a
large frame or file is never held twice."""

from typing import IO, Any, Dict, Iterator, List, Optional, Sequence, Tuple

# Rows converted and written at a time.
CHUNK_ROWS = 200_000

# Column names as users have them, by the field they give (names compared
# in lower case, blanks and underscores alike).
_TIME_NAMES = ("time_msc", "time", "datetime", "timestamp", "date", "gmt time", "utc time")
_FIELD_NAMES: Dict[str, Tuple[str, ...]] = {
    "open": ("open",),
    "high": ("high",),
    "low": ("low",),
    "close": ("close",),
    "tick_volume": ("tick_volume", "tickvol", "volume", "vol"),
    "spread": ("spread",),
    "real_volume": ("real_volume",),
    "bid": ("bid",),
    "ask": ("ask",),
    "last": ("last",),
    "volume": ("volume_real", "volume", "vol"),
    "flags": ("flags",),
}
_BAR_PRICES = ("open", "high", "low", "close")
_BAR_COUNTS = ("tick_volume", "spread", "real_volume")
_TICK_PRICES = ("bid", "ask")


class SourceError(ValueError):
    """The data cannot be imported; the message is one line saying why."""


def _key(name: Any) -> str:
    return " ".join(str(name).strip().lower().replace("_", " ").split())


def _find(columns: Sequence[Any], names: Sequence[str]) -> Optional[Any]:
    by_key: Dict[str, Any] = {}
    for c in columns:
        by_key.setdefault(_key(c), c)
    for n in names:
        if _key(n) in by_key:
            return by_key[_key(n)]
    return None


class Layout:
    """Which columns of the source give which field: `kind` "M1" or "ticks";
    `time` the time column (None: the frame's DatetimeIndex)."""

    def __init__(self, columns: Sequence[Any], has_time_index: bool) -> None:
        cols = list(columns)
        if all(_find(cols, (f,)) is not None for f in _BAR_PRICES):
            self.kind = "M1"
            wanted: Tuple[str, ...] = _BAR_PRICES + _BAR_COUNTS
        elif all(_find(cols, (f,)) is not None for f in _TICK_PRICES):
            self.kind = "ticks"
            wanted = _TICK_PRICES + ("last", "volume", "flags")
        else:
            raise SourceError(
                "the data has neither open, high, low and close columns (bars) nor bid and ask "
                "(ticks); its columns: %s" % ", ".join(map(str, cols))
            )
        self.fields: Dict[str, Any] = {}
        for field in wanted:
            found = _find(cols, _FIELD_NAMES[field])
            if found is not None:
                self.fields[field] = found
        self.time: Optional[Any] = _find(cols, _TIME_NAMES)
        if self.time is None and not has_time_index:
            raise SourceError(
                "the data has no time: give it a DatetimeIndex or a column named one of %s"
                % ", ".join(_TIME_NAMES)
            )
        self.unit = "ms" if self.time is not None and _key(self.time) == "time msc" else None

    def columns(self) -> Tuple[str, ...]:
        """The columns written: a tick's last, volume and flags only when
        the source has them (without flags the terminal tells them from
        what changed)."""
        if self.kind == "M1":
            return _BAR_PRICES + _BAR_COUNTS
        if "flags" in self.fields:
            return _TICK_PRICES + ("last", "volume", "flags")
        if "last" in self.fields or "volume" in self.fields:
            return _TICK_PRICES + ("last", "volume")
        return _TICK_PRICES

    def header(self) -> str:
        first = "time" if self.kind == "M1" else "time_msc"
        return ",".join((first,) + self.columns()) + "\n"


def _utc_ms(values: Any, unit: Optional[str], name: str, first_row: int) -> Any:
    """Times of one chunk as int64 UTC milliseconds: datetimes (naive ones
    taken as UTC), numbers (seconds, or milliseconds when `unit` is "ms" or
    they are too large for seconds) or texts."""
    import numpy as np
    import pandas as pd  # type: ignore[import-untyped]

    series = pd.Series(values)
    kind = series.dtype.kind
    if kind in "iuf":
        if kind == "f" and series.isna().any():
            bad = int(np.flatnonzero(series.isna().to_numpy())[0])
            raise SourceError("row %d: %s is missing" % (first_row + bad, name))
        numbers = series.to_numpy()
        ms = unit == "ms" or (len(numbers) and np.abs(numbers).max() >= 100_000_000_000)
        return (numbers if ms else numbers * 1000).astype("int64")
    if kind != "M":
        try:
            series = pd.to_datetime(series, utc=True)
        except (ValueError, TypeError, OverflowError) as e:
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise SourceError("%s cannot be read as times: %s" % (name, first)) from None
    if series.isna().any():
        bad = int(np.flatnonzero(series.isna().to_numpy())[0])
        raise SourceError("row %d: %s is missing" % (first_row + bad, name))
    if getattr(series.dt, "tz", None) is not None:
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
    ns = series.to_numpy().astype("datetime64[ns]").astype("int64")
    return ns // 1_000_000


def _numbers(frame: Any, column: Any, field: str, first_row: int, prices: bool) -> Any:
    import numpy as np
    import pandas as pd

    try:
        values = pd.to_numeric(frame[column]).to_numpy(dtype="float64")
    except (ValueError, TypeError):
        raise SourceError("%s (column %s) is not numeric" % (field, column)) from None
    missing = np.isnan(values)
    if missing.any():
        bad = int(np.flatnonzero(missing)[0])
        if prices:
            raise SourceError("row %d: %s is NaN" % (first_row + bad, field))
        values = np.where(missing, 0.0, values)
    return values


def write_chunk(out: IO[str], frame: Any, layout: Layout, first_row: int) -> None:
    """Writes the rows of one chunk (a DataFrame) in the import layout;
    `first_row` numbers its first row in the whole source (from 0)."""
    import numpy as np
    import pandas as pd

    if not len(frame):
        return
    name = "the index" if layout.time is None else "column %s" % layout.time
    times = _utc_ms(
        frame.index if layout.time is None else frame[layout.time], layout.unit, name, first_row
    )
    columns: Dict[str, Any] = {}
    if layout.kind == "M1":
        if (times % 1000 != 0).any():
            bad = int(np.flatnonzero(times % 1000 != 0)[0])
            raise SourceError("row %d: a bar's time is not a whole second" % (first_row + bad))
        columns["time"] = times // 1000
        prices: Tuple[str, ...] = _BAR_PRICES
    else:
        columns["time_msc"] = times
        prices = _TICK_PRICES
    for field in layout.columns():
        column = layout.fields.get(field)
        if column is None:
            values = np.zeros(len(frame))
        else:
            values = _numbers(frame, column, field, first_row, field in prices)
        if field in ("tick_volume", "spread", "real_volume", "flags"):
            if (values < 0).any() or (values != np.floor(values)).any():
                bad = int(np.flatnonzero((values < 0) | (values != np.floor(values)))[0])
                raise SourceError(
                    "row %d: %s is not a whole number >= 0" % (first_row + bad, field)
                )
            values = values.astype("int64")
        columns[field] = values
    pd.DataFrame(columns).to_csv(out, header=False, index=False, float_format="%.8f")


def frame_chunks(frame: Any) -> Iterator[Tuple[Any, int]]:
    for at in range(0, len(frame), CHUNK_ROWS):
        yield frame.iloc[at : at + CHUNK_ROWS], at


def frame_layout(frame: Any) -> Layout:
    import pandas as pd

    return Layout(list(frame.columns), isinstance(frame.index, pd.DatetimeIndex))


def open_parquet(path: str) -> Tuple[Layout, Iterator[Tuple[Any, int]]]:
    """The layout of a Parquet file and its chunks (DataFrames)."""
    try:
        import pandas  # noqa: F401  # type: ignore[import-untyped]
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
    except ImportError:
        raise SourceError(
            "reading .parquet needs pandas and pyarrow: pip install pandas pyarrow"
        ) from None
    try:
        source = pq.ParquetFile(path)
    except (OSError, ValueError) as e:
        raise SourceError("%s is not a readable Parquet file: %s" % (path, e)) from None
    names: List[str] = list(source.schema_arrow.names)
    # A pandas index written into the file is a column like any other (an
    # unnamed one under pandas' own name).
    layout = Layout(names, "__index_level_0__" in names)
    if layout.time is None:
        layout.time = "__index_level_0__"

    def chunks() -> Iterator[Tuple[Any, int]]:
        at = 0
        for batch in source.iter_batches(batch_size=CHUNK_ROWS):
            frame = batch.to_pandas(ignore_metadata=True)
            yield frame, at
            at += len(frame)

    return layout, chunks()
