"""Text cells that are safe to open in a spreadsheet.

A spreadsheet program takes a cell of a CSV file that begins with ``=``,
``+``, ``-`` or ``@`` (or a tab or carriage return before them) for a
formula and runs it. Text written to CSV files that such a program may
open (a sweep's results, a report's tables) goes through ``cell``, which
puts a ``'`` before such text: the program shows the text as it was.
Numbers are left alone (a negative number is no text).
"""

from typing import Any

__all__ = ["cell", "frame"]

_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def cell(value: Any) -> Any:
    """`value`, with a ``'`` before it when it is text a spreadsheet would
    take for a formula."""
    if isinstance(value, str) and value.startswith(_FORMULA_START):
        return "'" + value
    return value


def frame(table: Any) -> Any:
    """A copy of the pandas DataFrame `table` whose text cells and column
    names went through cell()."""
    out = table.copy()
    for name in out.columns:
        if out[name].dtype == object:
            out[name] = out[name].map(cell)
    out.columns = [cell(c) for c in out.columns]
    return out
