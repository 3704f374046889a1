"""The package's copy_rates_* and copy_ticks_* functions: the module's own,
called exactly as given and returning exactly what they return, with a
UserWarning when a result stops at the terminal's limit.

A terminal answers a bar request with at most ``terminal_info().maxbars``
bars and a tick request with at most ``history.TICK_LIMIT`` ticks, the
first ones, and calls that success; nothing in the result says it was cut.
The warning goes through Python's warning filter, attributed to the
caller's line: shown once per calling line by default, silenced like any
warning (``warnings.filterwarnings("ignore", "copy_rates_range")``).

The terminal does not send its bar limit with the bars: a result that may
have been cut (at least BAR_CHECK_FROM bars, and fewer than asked for where
a count was given) is checked with one ``terminal_info()`` exchange. A
result that may have been cut is a large one, so that exchange costs
little beside it; a smaller result costs nothing more than the module's
own call. Should that exchange fail (the connection lost just then), there
is no warning and ``last_error()`` tells of the failure; the result is the
module's all the same. The tick limit is the terminal's fixed one,
``history.TICK_LIMIT``: nothing is asked.
"""

import functools
import warnings
from typing import Any, Callable, Optional, TypeVar

from . import (
    _core,
    history,  # its TICK_LIMIT read at each call: a script may change it
)

__all__ = [
    "copy_rates_from",
    "copy_rates_from_pos",
    "copy_rates_range",
    "copy_ticks_from",
    "copy_ticks_range",
]

# Bar results smaller than this are not checked against the terminal's
# limit (a terminal's MaxBars is at least this in practice).
BAR_CHECK_FROM = 1000

_F = TypeVar("_F", bound=Callable[..., Any])


def _same_as(core_function: Callable[..., Any]) -> Callable[[_F], _F]:
    """Gives the wrapper the module function's name and docstring, and
    leads inspect.signature() and help() to its signature."""

    def decorate(wrapper: _F) -> _F:
        functools.update_wrapper(wrapper, core_function)
        wrapper.__module__ = __name__.rpartition(".")[0]
        return wrapper

    return decorate


def _maxbars() -> Optional[int]:
    info = _core.terminal_info()
    return None if info is None else int(info.maxbars)


def _message(function: str, limit: int, what: str, helper: str) -> str:
    return (
        "%s() stopped at the terminal's limit of %d %s: the result may go on past it "
        "(zelkor5.history.%s() pages through a range of any length)"
        % (function, limit, what, helper)
    )


def _bars_cut(
    function: str, result: Any, asked: Optional[int], start_pos: int = 0
) -> Optional[str]:
    """The warning when `result` ends at the terminal's bar limit: `asked`
    bars were asked for (None: a range) from position `start_pos`."""
    if result is None:
        return None
    n = len(result)
    if start_pos + n < BAR_CHECK_FROM or (asked is not None and n >= asked):
        return None
    limit = _maxbars()
    if limit is None or start_pos + n != limit:
        return None
    return _message(function, limit, "bars (terminal_info().maxbars)", "rates_range")


def _ticks_cut(function: str, result: Any, asked: Optional[int]) -> Optional[str]:
    if result is None:
        return None
    if len(result) != history.TICK_LIMIT or (asked is not None and asked <= history.TICK_LIMIT):
        return None
    return _message(
        function, history.TICK_LIMIT, "ticks (zelkor5.history.TICK_LIMIT)", "ticks_range"
    )


def _warn(message: Optional[str]) -> None:
    if message is not None:
        # The line that called the package's function.
        warnings.warn(message, UserWarning, stacklevel=3)


def _int_arg(args: Any, i: int) -> Optional[int]:
    """Positional argument `i` when it is a number the module took."""
    try:
        value = args[i]
    except IndexError:
        return None
    return value if isinstance(value, int) else None


@_same_as(_core.copy_rates_from)
def copy_rates_from(*args: Any, **kwargs: Any) -> Any:
    result = _core.copy_rates_from(*args, **kwargs)
    count = _int_arg(args, 3)
    if count is not None:
        _warn(_bars_cut("copy_rates_from", result, count))
    return result


@_same_as(_core.copy_rates_from_pos)
def copy_rates_from_pos(*args: Any, **kwargs: Any) -> Any:
    result = _core.copy_rates_from_pos(*args, **kwargs)
    start, count = _int_arg(args, 2), _int_arg(args, 3)
    if start is not None and count is not None:
        _warn(_bars_cut("copy_rates_from_pos", result, count, start))
    return result


@_same_as(_core.copy_rates_range)
def copy_rates_range(*args: Any, **kwargs: Any) -> Any:
    result = _core.copy_rates_range(*args, **kwargs)
    _warn(_bars_cut("copy_rates_range", result, None))
    return result


@_same_as(_core.copy_ticks_from)
def copy_ticks_from(*args: Any, **kwargs: Any) -> Any:
    result = _core.copy_ticks_from(*args, **kwargs)
    count = _int_arg(args, 2)
    if count is not None:
        _warn(_ticks_cut("copy_ticks_from", result, count))
    return result


@_same_as(_core.copy_ticks_range)
def copy_ticks_range(*args: Any, **kwargs: Any) -> Any:
    result = _core.copy_ticks_range(*args, **kwargs)
    _warn(_ticks_cut("copy_ticks_range", result, None))
    return result
