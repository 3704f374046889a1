"""pandas DataFrames from the module's results (pandas is optional: it is
imported when frame() is first called; install it with the ``pandas``
extra)."""

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np

from . import _core
from ._fields import FIELDS

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
                return pd.DataFrame(
                    {name: pd.Series(dtype=_DTYPES.get(t, "object")) for name, t in fields}
                )
        if not result:
            return pd.DataFrame()
        return pd.DataFrame(list(result), columns=list(type(result[0])._fields))
    raise TypeError(
        "frame() takes a bar or tick array, a record or a tuple of records, not "
        + type(result).__name__
    )


def _fields_of(kind: type) -> Tuple[Tuple[str, str], ...]:
    """The fields of record type `kind`, with their value types."""
    name = getattr(kind, "__name__", None)
    if name not in FIELDS or getattr(_core, name, None) is not kind:
        raise TypeError(
            "kind must be one of the module's record types (%s), not %r" % (", ".join(FIELDS), kind)
        )
    return FIELDS[name]
