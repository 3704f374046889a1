"""pandas DataFrames from the module's results (pandas is optional: it is
imported when frame() is first called; install it with the ``pandas``
extra)."""
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]


def frame(result: Any) -> "pandas.DataFrame":
    """Return a pandas DataFrame of a module result.

    - a bar or tick array (copy_rates_*, copy_ticks_*): one column per
      field and a UTC DatetimeIndex named ``time``, from ``time_msc`` for
      ticks and from ``time`` for bars (the integer ``time`` column becomes
      the index; ticks keep ``time_msc``);
    - a tuple of records (positions_get, history_deals_get, symbols_get,
      market_book_get, ...): one row per record, columns named by the
      record's fields; an empty tuple gives an empty DataFrame;
    - a single record (account_info, symbol_info, ...): one row.

    A failed call's ``None`` raises ValueError with last_error().
    """
    import pandas as pd

    if result is None:
        from . import _core
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
        if not result:
            return pd.DataFrame()
        return pd.DataFrame(list(result), columns=list(type(result[0])._fields))
    raise TypeError("frame() takes a bar or tick array, a record or a tuple of records, not "
                    + type(result).__name__)
