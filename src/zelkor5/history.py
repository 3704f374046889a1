"""Bars and ticks of a period of any length.

A terminal answers one request with at most so many bars (its ``MaxBars``
setting, reported as ``terminal_info().maxbars``) or ticks, the first ones
of the period, and calls that success. These helpers page through the
period until it is complete and return one array, in the layout of the
module's own results:

    from datetime import datetime, timezone
    from zelkor5 import TIMEFRAME_M1, history

    bars = history.rates_range("EURUSD", TIMEFRAME_M1,
                               datetime(2019, 1, 1, tzinfo=timezone.utc),
                               datetime(2025, 1, 1, tzinfo=timezone.utc), progress=True)

Dates are what the module takes: a ``datetime`` (a naive one is local time)
or seconds since 1970 in UTC. Like the module's functions, the helpers
return None when a request fails, with the reason in ``last_error()``.
``progress=True`` shows a progress bar (needs ``tqdm``): a widget in a
notebook, text on standard error elsewhere, as ``tqdm.auto`` decides.
``rates_pages`` and ``ticks_pages`` give the same data page by page as it
arrives, for work in bounded memory (the ``zelkor5 export`` command writes
each page as it comes).
"""

import datetime
from typing import Any, Iterator, List, Optional, Union

import numpy as np

from . import _core
from .constants import CopyTicks

__all__ = [
    "rates_range",
    "ticks_range",
    "rates_pages",
    "ticks_pages",
    "TICK_LIMIT",
    "TICKS_CHUNK_SECONDS",
]

TICKS_CHUNK_SECONDS = 86400
"""Seconds of ticks ``ticks_range`` asks for per request (a day), so that
each request stays well under the terminal's limit."""

TICK_LIMIT = 50_000_000
"""The most ticks a terminal answers one request with (the first ones of
the period). Bars have their own limit, ``terminal_info().maxbars``."""


_Date = Union[datetime.datetime, int, float]
_Array = Any  # a NumPy structured array, as the module returns


def _seconds(value: _Date, name: str) -> int:
    """A date argument as whole seconds, by the module's own rule."""
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return int(value)  # truncated toward zero
    if isinstance(value, datetime.datetime):
        return int(value.timestamp())
    raise TypeError(
        "%s must be a datetime or seconds since 1970, not %s" % (name, type(value).__name__)
    )


def _progress_bar(**kwargs: Any) -> Any:
    """A tqdm bar: one widget in a notebook, text elsewhere (tqdm.auto
    decides). A notebook without ipywidgets gets the text bar."""
    from tqdm.auto import tqdm  # type: ignore[import-untyped]

    try:
        return tqdm(**kwargs)
    except ImportError:  # the notebook bar without its widgets
        from tqdm.std import tqdm as text_tqdm  # type: ignore[import-untyped]

        return text_tqdm(**kwargs)


class _Progress:
    """A tqdm bar over the period's days, or nothing."""

    def __init__(self, enabled: bool, start: int, end: int, what: str) -> None:
        self._bar: Any = None
        self._start = start
        self._done = 0
        if enabled:
            days = max(-(-(end - start) // 86400), 1)
            self._bar = _progress_bar(total=days, desc=what, unit="day", leave=False)

    def reached(self, seconds: int) -> None:
        """The period is complete up to `seconds`."""
        if self._bar is not None:
            done = min(max((seconds - self._start) // 86400, self._done), self._bar.total)
            self._bar.update(done - self._done)
            self._done = done

    def __enter__(self) -> "_Progress":
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()


def rates_pages(
    symbol: str, timeframe: int, start: _Date, end: _Date, *, progress: bool = False
) -> Iterator[Optional[_Array]]:
    """The pages of rates_range as they arrive (at most MaxBars bars each);
    None, as the last item, when a request fails (the reason in
    last_error()). An empty period yields one empty page."""
    lo, hi = _seconds(start, "start"), _seconds(end, "end")
    sent = False
    with _Progress(progress, lo, hi, symbol) as bar:
        while True:
            page = _core.copy_rates_range(symbol, timeframe, lo, hi)
            if page is None:
                yield None
                return
            if len(page) == 0:
                if not sent:
                    yield page  # keeps the dtype of an empty result
                break
            yield page
            sent = True
            # Each page is the first bars of what is asked: go on after its
            # last one until a page comes back empty.
            last = int(page["time"][-1])
            bar.reached(last)
            if last >= hi:
                break
            lo = last + 1
        bar.reached(hi + 86400)


def ticks_pages(
    symbol: str,
    start: _Date,
    end: _Date,
    flags: int = CopyTicks.ALL,
    *,
    chunk: int = TICKS_CHUNK_SECONDS,
    progress: bool = False,
) -> Iterator[Optional[_Array]]:
    """The pages of ticks_range as they arrive (`chunk` seconds of ticks at
    most, fewer when the terminal caps a reply); None, as the last item,
    when a request fails. An empty period yields one empty page."""
    lo, hi = _seconds(start, "start"), _seconds(end, "end")
    if chunk < 1:
        raise ValueError("chunk must be at least one second")
    sent = False
    # The last tick received: its time_msc and how many ticks before it
    # had the same one. A request starting in its second sends them again.
    seen_msc, seen_count = None, 0
    with _Progress(progress, lo, hi, symbol) as bar:
        window_start = lo
        while True:
            window_end = min(hi, window_start + chunk)
            ask_from = window_start
            while True:
                page = _core.copy_ticks_range(symbol, ask_from, window_end, flags)
                if page is None:
                    yield None
                    return
                if seen_msc is not None and len(page):
                    msc = page["time_msc"]
                    skip = int(np.searchsorted(msc, seen_msc, side="left"))
                    same = int(np.searchsorted(msc, seen_msc, side="right")) - skip
                    page = page[skip + min(same, seen_count) :]
                if len(page) == 0:
                    if not sent and window_end >= hi:
                        yield page  # keeps the dtype of an empty result
                        sent = True
                    break
                yield page
                sent = True
                last = int(page["time_msc"][-1])
                run = len(page) - int(np.searchsorted(page["time_msc"], last, side="left"))
                seen_count = run + (seen_count if last == seen_msc else 0)
                seen_msc = last
                bar.reached(last // 1000)
                ask_from = last // 1000
            bar.reached(window_end if window_end < hi else hi + 86400)
            if window_end >= hi:
                break
            window_start = window_end


def _joined(pages: Iterator[Optional[_Array]]) -> Optional[_Array]:
    kept: List[_Array] = []
    for page in pages:
        if page is None:
            return None
        if len(page) or not kept:
            kept.append(page)
    kept = [p for p in kept if len(p)] or kept[:1]
    return kept[0] if len(kept) == 1 else np.concatenate(kept)


def rates_range(
    symbol: str, timeframe: int, start: _Date, end: _Date, *, progress: bool = False
) -> Optional[_Array]:
    """Bars of `symbol` whose open time is from `start` to `end`, both
    included, as one array: ``copy_rates_range`` without its cap.

    Args:
        symbol: the symbol's name.
        timeframe: a ``Timeframe`` (``TIMEFRAME_M1``, ...).
        start: a ``datetime`` (a naive one is local time) or seconds since
            1970 UTC.
        end: likewise.
        progress: show a progress bar over the period's days (needs tqdm).

    Returns:
        One bar array, as ``copy_rates_range`` returns (empty when the
        period has no bars), or None when a request failed (the reason in
        ``last_error()``).
    """
    return _joined(rates_pages(symbol, timeframe, start, end, progress=progress))


def ticks_range(
    symbol: str,
    start: _Date,
    end: _Date,
    flags: int = CopyTicks.ALL,
    *,
    chunk: int = TICKS_CHUNK_SECONDS,
    progress: bool = False,
) -> Optional[_Array]:
    """Ticks of `symbol` from `start` to `end`, as one array:
    ``copy_ticks_range`` without its cap.

    Args:
        symbol: the symbol's name.
        start: a ``datetime`` or seconds since 1970 UTC, in whole seconds
            (the ticks from ``start * 1000`` milliseconds on).
        end: likewise (up to ``end * 1000`` milliseconds, included).
        flags: ``COPY_TICKS_ALL``, ``COPY_TICKS_INFO`` or ``COPY_TICKS_TRADE``.
        chunk: seconds of ticks asked for per request.
        progress: show a progress bar over the period's days (needs tqdm).

    Returns:
        One tick array, as ``copy_ticks_range`` returns, each tick once, or
        None when a request failed (the reason in ``last_error()``).

    Raises:
        ValueError: ``chunk`` is less than one second.
    """
    return _joined(ticks_pages(symbol, start, end, flags, chunk=chunk, progress=progress))
