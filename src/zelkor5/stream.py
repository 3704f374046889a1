"""Streams of new ticks, closed bars and trade events, in place of
hand-written polling loops:

    from zelkor5 import stream

    for tick in stream.ticks(["EURUSD", "BTCUSD"]):
        print(tick.symbol, tick.time_msc, tick.bid, tick.ask)

    for bar in stream.bars("EURUSD", zelkor5.TIMEFRAME_M1):
        print(bar.time, bar.close)             # once the bar has closed

    with stream.trades() as events:            # stop() on leaving the block
        for event in events:
            print(event.kind, event.ticket)    # "deal", "order", "position", ...

Each stream is an iterator: it asks the terminal for what is new every
`interval` seconds while it has nothing to give, yields every item once, in
order, and ends cleanly after ``stop()`` (from any thread, or from the
loop's body). ``poll()`` makes one round without waiting and returns what
it found, for scripts that drive the terminal's clock themselves.

The streams follow the terminal's clock, never the computer's: what is new
and when a bar has closed is decided from the times the terminal reports,
so they run the same in a replay (``zelkor5.terminal.replay``), at any
speed, and with a clock the script moves. The wall clock only paces the
polling.

**One loop, live and in a replay.** When the iteration starts, the
stream asks the terminal how its clock runs (``zelkor5.replay.state``).
Live, or in a replay whose clock runs by itself, it waits for what is new
as above. In a stepped replay (``zelkor5.terminal.replay(start,
stepped=True)``, every backtest and every run of a sweep) nothing comes
unless the clock moves, so asking for the next item moves it there: the
bars stream moves it past the close of the next bar, to the first price
after it (``zelkor5.replay.next_bar``), the ticks stream to the close of the next
minute with prices, the trades stream one minute on; no other call is
needed. There the iteration ends at the replay's end (when ``next_bar``
finds no next bar). ``poll()`` never moves the clock.

    for bar in stream.bars("EURUSD", zelkor5.TIMEFRAME_M1):   # the same code
        ...                                  # live, in a replay, a backtest

They call the terminal through ``zelkor5.strict``: a failure raises its
``zelkor5.errors`` exception from the iteration (after reconnecting, when
``zelkor5.reconnect`` is enabled); moving a replay's clock raises
``zelkor5.replay.ReplayError`` when it fails. The connection is the
module's one: initialize it first.
"""

import heapq
import os
import threading
from collections import deque
from typing import (
    Any,
    Deque,
    Dict,
    Generic,
    Iterable,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    TypeVar,
    Union,
)

from . import _core
from . import replay as _replay
from . import strict as _zk
from ._core import Tick, TradeDeal, TradeOrder, TradePosition
from .constants import TIMEFRAME_M1

__all__ = [
    "ticks",
    "bars",
    "trades",
    "Stream",
    "TickStream",
    "BarStream",
    "TradeStream",
    "StreamTick",
    "Bar",
    "TradeEvent",
]

T = TypeVar("T")

# The end of every history request: far after any clock, replays included.
_FAR_FUTURE = 4102444800  # 2100-01-01
_COPY_TICKS_ALL = -1
_TIME_MSC = 5  # the index of time_msc in a tick record
# Market seconds the trades stream moves a stepped replay's clock when it
# found nothing new.
_TRADES_STEP = 60


def _terminal() -> Optional[str]:
    """The terminal64.exe of the terminal the module is connected to: the
    clock the streams move is the one of the terminal they read."""
    info = _core.terminal_info()
    if info is None or not info.path:
        return None
    return os.path.join(info.path, "terminal64.exe")


def _is_stepped(exe: Optional[str]) -> bool:
    """Whether the terminal's clock is a stepped replay's, which only the
    script moves."""
    try:
        return _replay.state(exe).mode == "stepped"
    except (_replay.ReplayError, OSError, AttributeError):
        # No replay clock to ask (nor Unix-domain sockets, on Windows): a
        # terminal that runs live.
        return False


class StreamTick(NamedTuple):
    """A tick of `symbol`: the fields of the module's tick records (time in
    seconds, time_msc in milliseconds since 1970, the terminal's time)."""

    symbol: str
    time: int
    bid: float
    ask: float
    last: float
    volume: int
    time_msc: int
    flags: int
    volume_real: float


class Bar(NamedTuple):
    """A closed bar of `symbol` and `timeframe`: the fields of the module's
    bar records (time: the bar's opening, seconds since 1970)."""

    symbol: str
    timeframe: int
    time: int
    open: float
    high: float
    low: float
    close: float
    tick_volume: int
    spread: int
    real_volume: int

    def __getitem__(self, key: Any) -> Any:
        """Fields by position, or by name as in a row of copy_rates
        (``bar["close"]``)."""
        if isinstance(key, str):
            try:
                key = self._fields.index(key)
            except ValueError:
                raise KeyError(key) from None
        return tuple.__getitem__(self, key)


class TradeEvent(NamedTuple):
    """A change of the account: `kind` is "deal" (a new deal), "order" (an
    open order placed or changed), "order_gone" (an open order filled,
    cancelled or expired: its history has the rest), "position" (a position
    opened or changed: volume, stops) or "position_gone" (closed). `record`
    is the deal, order or position (for the "_gone" kinds, as last seen)."""

    kind: str
    ticket: int
    record: Union[TradeDeal, TradeOrder, TradePosition]


class Stream(Generic[T]):
    """The iteration shared by the streams: poll, deliver, wait `interval`
    seconds when nothing was new, until stop()."""

    def __init__(self, interval: float) -> None:
        if not interval >= 0:
            raise ValueError("interval must be a number of seconds, 0 or more")
        self.interval = float(interval)
        self._stopped = threading.Event()
        self._pending: Deque[T] = deque()
        self._started = False
        # Whether the iteration moves a stepped replay's clock, and whose:
        # asked of the terminal when it starts.
        self._stepped: Optional[bool] = None
        self._exe: Optional[str] = None
        self._ended = False

    def _start(self) -> None:
        """Reads the starting state: what exists now is not new."""

    def _poll(self) -> List[T]:
        raise NotImplementedError

    def _move(self) -> bool:
        """Moves a stepped replay's clock on to where something may be new;
        False at the replay's end."""
        raise NotImplementedError

    def _step(self) -> Optional[List[T]]:
        """A round in a stepped replay: what is new, else what is new after
        moving the clock; None at the replay's end."""
        items = self.poll()
        if items:
            return items
        if not self._move():
            return None
        return self.poll()

    def _round(self) -> Optional[List[T]]:
        """One round of the iteration: live a poll(), in a stepped replay a
        step; None once the replay has ended."""
        if self._ended:
            return None
        if self._stepped is None:
            self._exe = _terminal()
            self._stepped = _is_stepped(self._exe)
        if not self._stepped:
            return self.poll()
        items = self._step()
        if items is None:
            self._ended = True
        return items

    @property
    def stepped(self) -> bool:
        """Whether the iteration moves a stepped replay's clock (known once
        it has started)."""
        return bool(self._stepped)

    def poll(self) -> List[T]:
        """One round of requests, without waiting: the items that are new
        since the last round (the first round notes what exists, and gives
        what is new after it). Raises the
        zelkor5.errors exception of a failed request."""
        if not self._started:
            self._start()
            self._started = True
        return self._poll()

    def stop(self) -> None:
        """Ends the iteration: the next item requested (or the wait in
        progress, from another thread) ends it at once."""
        self._stopped.set()

    @property
    def stopped(self) -> bool:
        """Whether stop() was called."""
        return self._stopped.is_set()

    def __iter__(self) -> Iterator[T]:
        return self

    def __next__(self) -> T:
        while not self._pending:
            if self._stopped.is_set():
                raise StopIteration
            items = self._round()
            if items is None:
                raise StopIteration  # the replay's end
            self._pending.extend(items)
            if not self._pending and not self._stepped:
                self._stopped.wait(self.interval)
        if self._stopped.is_set():
            raise StopIteration
        return self._pending.popleft()

    def __enter__(self) -> "Stream[T]":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()


class TickStream(Stream[StreamTick]):
    """See ticks()."""

    def __init__(
        self,
        symbols: Union[str, Sequence[str]],
        interval: float = 0.02,
        flags: int = _COPY_TICKS_ALL,
        page: int = 10000,
        since_msc: Optional[int] = None,
    ) -> None:
        super().__init__(interval)
        self.symbols = [symbols] if isinstance(symbols, str) else list(symbols)
        if not self.symbols:
            raise ValueError("no symbols")
        if page < 1:
            raise ValueError("page must be at least 1")
        self.flags = flags
        self.page = page
        # Per symbol: the time of the last tick delivered, and how many
        # ticks of that millisecond were delivered (ticks of one
        # millisecond come back in the same order every time).
        self._last: Dict[str, Tuple[int, int]] = {}
        if since_msc is not None:
            self._last = {s: (int(since_msc), 0) for s in self.symbols}
        # Ticks read but not given yet (see _poll), and the newest tick read.
        self._held: Dict[str, List[Tuple[Any, ...]]] = {s: [] for s in self.symbols}
        self._latest: Dict[str, Tick] = {}
        self._newest = 0

    def _start(self) -> None:
        if self._last:
            return
        for symbol in self.symbols:
            last = _zk.symbol_info_tick(symbol).time_msc
            ticks = _zk.copy_ticks_from(symbol, last // 1000, self.page, self.flags)
            at = ticks["time_msc"]
            self._last[symbol] = (last, int((at == last).sum()))

    def _move(self) -> bool:
        # To the close of the next minute with prices of the first symbol
        # that has one: the ticks of every symbol until then come next.
        for symbol in self.symbols:
            if _replay.next_bar(symbol, TIMEFRAME_M1, self._exe) is not None:
                return True
        return False

    def _new(self, symbol: str) -> List[Tuple[Any, ...]]:
        # The symbol's last tick is cheaper to ask than its ticks: while it
        # stays the same, nothing is new. (A new tick equal to the last in
        # every field, millisecond included, waits for the next change.)
        latest = _zk.symbol_info_tick(symbol)
        if latest == self._latest.get(symbol):
            return []
        self._latest[symbol] = latest
        last, delivered = self._last[symbol]
        page = self.page
        out: List[Tuple[Any, ...]] = []
        while True:
            second = last // 1000
            ticks = _zk.copy_ticks_from(symbol, second, page, self.flags)
            times = ticks["time_msc"]
            first = int(times.searchsorted(last, "left"))
            same = int(times.searchsorted(last, "right")) - first
            new = ticks[first + min(delivered, same) :]
            if len(new):
                newest = int(new[-1]["time_msc"])
                count = int((new["time_msc"] == newest).sum())
                delivered = delivered + count if newest == last else count
                last = newest
                out.extend(new.tolist())
            if len(ticks) < page:
                break
            if last // 1000 == second:
                # The next page starts at the same second: it must reach
                # further than this one.
                page *= 2
        self._last[symbol] = (last, delivered)
        return out

    def _poll(self) -> List[StreamTick]:
        if len(self.symbols) == 1:
            symbol = self.symbols[0]
            return [StreamTick(symbol, *t) for t in self._new(symbol)]
        # A reply holds a symbol's ticks up to the terminal's clock when it
        # was answered, which is at least the newest tick seen until then:
        # that is how far the symbol is known complete. Symbols known less
        # far than the newest tick seen are asked again (twice at most),
        # and ticks newer than the least of those bounds wait for the next
        # round, so that ticks of different symbols come in time order.
        newest = self._newest
        known: Dict[str, int] = {}
        for round_ in range(3):
            for symbol in self.symbols:
                if round_ and known[symbol] >= newest:
                    continue
                new = self._new(symbol)
                if new:
                    self._held[symbol].extend(new)
                    newest = max(newest, new[-1][_TIME_MSC])
                known[symbol] = newest
            if min(known.values()) >= newest:
                break
        self._newest = newest
        cut = min(known.values())
        rounds = []
        for symbol in self.symbols:
            held = self._held[symbol]
            ready = len(held)
            while ready and held[ready - 1][_TIME_MSC] > cut:
                ready -= 1
            rounds.append([StreamTick(symbol, *t) for t in held[:ready]])
            del held[:ready]
        return list(heapq.merge(*rounds, key=lambda t: t.time_msc))


class BarStream(Stream[Bar]):
    """See bars()."""

    def __init__(self, symbol: str, timeframe: int, interval: float = 0.1) -> None:
        super().__init__(interval)
        self.symbol = symbol
        self.timeframe = timeframe
        self._open: Optional[int] = None  # the opening time of the bar still forming

    def _start(self) -> None:
        rates = _zk.copy_rates_from_pos(self.symbol, self.timeframe, 0, 1)
        if len(rates):
            self._open = int(rates[-1]["time"])

    def _poll(self) -> List[Bar]:
        rates = _zk.copy_rates_from_pos(self.symbol, self.timeframe, 0, 3)
        if not len(rates):
            return []
        newest = int(rates[-1]["time"])
        if self._open is None:
            self._open = newest
            return []
        if newest <= self._open:
            return []
        if int(rates[0]["time"]) > self._open:
            # More bars closed since the last round than were asked for.
            rates = _zk.copy_rates_range(self.symbol, self.timeframe, self._open, newest)
        closed = rates[(rates["time"] >= self._open) & (rates["time"] < newest)]
        self._open = newest
        return [Bar(self.symbol, self.timeframe, *r) for r in closed.tolist()]

    def _step(self) -> Optional[List[Bar]]:
        # The terminal moves the clock to the bar's close and the bar is
        # the one it names: one request for the move, one for the bar.
        row = _replay.next_bar(self.symbol, self.timeframe, self._exe)
        if row is None:
            return None
        bar = Bar(self.symbol, self.timeframe, *row.tolist())
        if self._open is not None and bar.time < self._open:
            return []  # given by a poll() already
        self._open = bar.time + 1
        return [bar]


def _key(record: Any, volatile: Iterable[int]) -> Tuple[Any, ...]:
    skip = set(volatile)
    return tuple(v for i, v in enumerate(record) if i not in skip)


class TradeStream(Stream[TradeEvent]):
    """See trades()."""

    # Fields that change with every quote, not with the order or position.
    _ORDER_VOLATILE = (TradeOrder._fields.index("price_current"),)
    _POSITION_VOLATILE = tuple(TradePosition._fields.index(f) for f in ("price_current", "profit"))

    def __init__(self, interval: float = 0.05) -> None:
        super().__init__(interval)
        self._deals: Dict[int, int] = {}  # ticket -> time of the deals at or after _since
        self._since = 0
        self._orders: Dict[int, Tuple[Tuple[Any, ...], TradeOrder]] = {}
        self._positions: Dict[int, Tuple[Tuple[Any, ...], TradePosition]] = {}

    def _start(self) -> None:
        deals = _zk.history_deals_get(0, _FAR_FUTURE)
        self._remember(deals)
        self._orders = {o.ticket: (_key(o, self._ORDER_VOLATILE), o) for o in _zk.orders_get()}
        self._positions = {
            p.ticket: (_key(p, self._POSITION_VOLATILE), p) for p in _zk.positions_get()
        }

    def _move(self) -> bool:
        before = _replay.now(self._exe)
        after = _replay.advance(_TRADES_STEP, self._exe)
        return after > before  # it stands still at the replay's end

    def _remember(self, deals: Sequence[TradeDeal]) -> None:
        for d in deals:
            self._deals[d.ticket] = d.time
        if self._deals:
            self._since = max(self._deals.values())
            self._deals = {t: s for t, s in self._deals.items() if s >= self._since}

    def _poll(self) -> List[TradeEvent]:
        deals = [
            d
            for d in _zk.history_deals_get(self._since, _FAR_FUTURE)
            if d.ticket not in self._deals
        ]
        deals.sort(key=lambda d: (d.time_msc, d.ticket))
        self._remember(deals)
        events = [TradeEvent("deal", d.ticket, d) for d in deals]
        events += self._changes("order", _zk.orders_get(), self._orders, self._ORDER_VOLATILE)
        events += self._changes(
            "position", _zk.positions_get(), self._positions, self._POSITION_VOLATILE
        )
        return events

    @staticmethod
    def _changes(
        kind: str, records: Sequence[Any], known: Dict[int, Any], volatile: Sequence[int]
    ) -> List[TradeEvent]:
        events = []
        now = {}
        for r in records:
            key = _key(r, volatile)
            now[r.ticket] = (key, r)
            before = known.get(r.ticket)
            if before is None or before[0] != key:
                events.append(TradeEvent(kind, r.ticket, r))
        for ticket, (_, r) in known.items():
            if ticket not in now:
                events.append(TradeEvent(kind + "_gone", ticket, r))
        known.clear()
        known.update(now)
        return events


def ticks(
    symbols: Union[str, Sequence[str]],
    interval: float = 0.02,
    *,
    flags: int = _COPY_TICKS_ALL,
    page: int = 10000,
    since_msc: Optional[int] = None,
) -> TickStream:
    """Every new tick of `symbols` (a name or a list of names), each once,
    as ``StreamTick`` (the symbol and the tick's fields).

    Ticks come in the terminal's order, those of several symbols merged by
    ``time_msc``: a tick of one symbol waits until the others are known up
    to its time (a round asks a symbol again when another's ticks are
    newer than its reply could hold, twice at most). A round asks
    ``copy_ticks_from`` from the second of the last delivered tick, in
    pages of `page` ticks, and skips what was delivered, ticks of one
    millisecond included.

    In a stepped replay a round that found nothing new moves the clock to
    the close of the next minute with prices (of the first of `symbols`
    that has one), and the iteration ends at the replay's end.

    :param interval: seconds between rounds that found nothing new.
    :param flags: which ticks (``COPY_TICKS_ALL``, ``COPY_TICKS_INFO``,
        ``COPY_TICKS_TRADE``).
    :param page: ticks per request; a round asks again while a page comes
        back full.
    :param since_msc: deliver the ticks from this time on (milliseconds
        since 1970, terminal time), instead of those after the last tick
        when the iteration starts.
    :raises ValueError: for an empty list, a page below 1 or a negative
        interval.
    """
    return TickStream(symbols, interval, flags, page, since_msc)


def bars(symbol: str, timeframe: int, interval: float = 0.1) -> BarStream:
    """Each bar of `symbol` and `timeframe` (a ``TIMEFRAME_*`` constant)
    once it has closed, as a ``Bar`` with its final values.

    A bar has closed when the terminal shows the next one, that is when
    its clock has passed the bar's end and a tick came: the bars stream
    follows the terminal's time, not the computer's. Bars that closed
    before the iteration started are not given; after a long pause, every
    bar closed meanwhile is, in order.

    In a stepped replay (a backtest, a run of a sweep) each bar asked for
    moves the clock past its close, to the first price after it
    (``zelkor5.replay.next_bar``), passing over times without prices, and the iteration ends at the replay's end.

    :param interval: seconds between rounds that found nothing new.
    """
    return BarStream(symbol, timeframe, interval)


def trades(interval: float = 0.05) -> TradeStream:
    """The changes of the account: new deals, open orders placed, changed
    or gone, positions opened, changed or closed, as ``TradeEvent``
    items, each once. A round gives the deals first (by time), then the
    orders, then the positions. Changes of price_current (and a position's
    profit) alone are not events. In a stepped replay a round that found
    nothing new moves the clock one minute on.

    :param interval: seconds between rounds that found nothing new.
    """
    return TradeStream(interval)
