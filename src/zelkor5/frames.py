"""pandas DataFrames from the module's results (pandas is optional: it is
imported when frame() is first called; install it with the ``pandas``
extra)."""

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np

from . import _core
from ._fields import FIELDS, MILLISECONDS, SECONDS, TICK_DTYPE, UNITS

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]


# pandas dtypes of the record fields' Python types (a nested TradeRequest
# stays an object), the ones a frame of such records gets.
_DTYPES = {"int": "int64", "float": "float64", "bool": "bool", "str": "object"}


def frame(result: Any, kind: Optional[type] = None) -> "pandas.DataFrame":
    """Return a pandas DataFrame of a module result.

    - a bar or tick array (``copy_rates_*``, ``copy_ticks_*``): one column per
      field and a UTC DatetimeIndex named ``time``, from ``time_msc`` for
      ticks and from ``time`` for bars (the integer ``time`` column becomes
      the index; ticks keep ``time_msc``);
    - a tuple of records (positions_get, history_deals_get, symbols_get,
      market_book_get, ...): one row per record, columns named by the
      record's fields; an empty tuple gives an empty DataFrame, with the
      columns and dtypes of ``kind`` when it is given;
    - a single record (account_info, symbol_info, ...): one row.

    In frames of records the time fields (``time``, ``time_msc``,
    ``time_setup``, ``time_done``, ``time_update``, ``time_expiration``,
    ``start_time``, ``expiration_time``, ...: the fields in seconds or
    milliseconds since 1970 UTC) are UTC datetimes, and 0 (no time: a
    working order's ``time_done``, an order without expiration) is NaT.
    Symbols (``symbols_get``, ``symbol_info``) are indexed by ``name``. A
    single ``Tick`` (``symbol_info_tick``) gives the frame of a tick array
    of one tick, with its dtypes.

    Args:
        result: what a module function returned.
        kind: the record type the result holds (``zelkor5.TradePosition``,
            ``zelkor5.TradeDeal``, ...), so that an empty result still has
            its columns and their dtypes: without positions,
            ``frame(positions_get(), kind=TradePosition)["profit"].sum()``
            is 0.0. Records of another type raise TypeError. A bar or tick
            array has its fields already and needs none.

    Returns:
        A ``pandas.DataFrame``.

    Raises:
        ValueError: for a failed call's ``None`` (with last_error()).
        TypeError: for anything that is not a result, or records other
            than ``kind``.
    """
    import pandas as pd

    if result is None:
        raise ValueError("no result to convert: last_error() is %r" % (_core.last_error(),))
    if isinstance(result, np.ndarray) and result.dtype.names:
        df = pd.DataFrame(result)
        if "time_msc" in result.dtype.names:
            index = pd.to_datetime(result["time_msc"], unit="ms", utc=True)
        elif "time" in result.dtype.names:
            index = pd.to_datetime(result["time"], unit="s", utc=True)
        else:
            return df
        df = df.drop(columns="time")
        df.index = pd.DatetimeIndex(index, name="time")
        return df
    if type(result).__name__ == "Tick" and hasattr(type(result), "_fields"):
        return frame(np.array([tuple(result)], dtype=list(TICK_DTYPE)))
    if hasattr(type(result), "_fields"):
        result = (result,)
    if isinstance(result, tuple) and all(hasattr(type(r), "_fields") for r in result):
        if kind is not None:
            fields = _fields_of(kind)
            other = next((r for r in result if type(r) is not kind), None)
            if other is not None:
                raise TypeError(
                    "frame() was given kind=%s but a %s record"
                    % (kind.__name__, type(other).__name__)
                )
            if not result:
                times = UNITS.get(kind.__name__, {})
                return _indexed(
                    kind.__name__,
                    pd.DataFrame(
                        {
                            name: pd.Series(
                                dtype="datetime64[ns, UTC]"
                                if times.get(name) in (SECONDS, MILLISECONDS)
                                else _DTYPES.get(t, "object")
                            )
                            for name, t in fields
                        }
                    ),
                )
        if not result:
            return pd.DataFrame()
        record = type(result[0])
        df = pd.DataFrame(list(result), columns=list(record._fields))
        for name, unit in UNITS.get(record.__name__, {}).items():
            if unit in (SECONDS, MILLISECONDS) and name in df.columns:
                values = df[name].astype("int64")
                df[name] = pd.to_datetime(
                    values.where(values != 0), unit="s" if unit == SECONDS else "ms", utc=True
                )
        return _indexed(record.__name__, df)
    raise TypeError(
        "frame() takes a bar or tick array, a record or a tuple of records, not "
        + type(result).__name__
    )


def _indexed(record: str, df: "pandas.DataFrame") -> "pandas.DataFrame":
    """Symbols by their name."""
    return df.set_index("name") if record == "SymbolInfo" else df


def _fields_of(kind: type) -> Tuple[Tuple[str, str], ...]:
    """The fields of record type `kind`, with their value types."""
    name = getattr(kind, "__name__", None)
    if name not in FIELDS or getattr(_core, name, None) is not kind:
        raise TypeError(
            "kind must be one of the module's record types (%s), not %r" % (", ".join(FIELDS), kind)
        )
    return FIELDS[name]
