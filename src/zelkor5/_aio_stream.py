"""The streams of zelkor5.stream for ``async for``: each round of requests
runs on the worker thread, the wait between rounds is the event loop's."""

import asyncio
from collections import deque
from typing import Any, AsyncIterator, Deque, Generic, Optional, Sequence, TypeVar, Union

from . import stream as _sync
from ._worker import WORKER
from .stream import Bar, StreamTick, TradeEvent

__all__ = ["ticks", "bars", "trades", "AsyncStream"]

T = TypeVar("T")


class AsyncStream(Generic[T]):
    """A zelkor5.stream stream for ``async for``: the same items, rounds
    and interval (moving a stepped replay's clock alike); stop() (or cancelling the task) ends it. Use it as
    ``async with`` to stop it on leaving the block."""

    def __init__(self, stream: "_sync.Stream[T]") -> None:
        self.stream = stream
        self._pending: Deque[T] = deque()

    async def poll(self) -> "list[T]":
        """One round of requests, without waiting (see Stream.poll)."""
        items, _ = await WORKER.run(self.stream.poll)
        return list(items)

    def stop(self) -> None:
        """Ends the iteration at the next item asked for."""
        self.stream.stop()

    def __aiter__(self) -> AsyncIterator[T]:
        return self

    async def __anext__(self) -> T:
        while not self._pending:
            if self.stream.stopped:
                raise StopAsyncIteration
            # A round as the stream's own iteration makes it: in a stepped
            # replay it moves the clock, and None is the replay's end.
            items, _ = await WORKER.run(self.stream._round)
            if items is None:
                raise StopAsyncIteration
            self._pending.extend(items)
            if not self._pending and not self.stream.stepped:
                await asyncio.sleep(self.stream.interval)
        if self.stream.stopped:
            raise StopAsyncIteration
        return self._pending.popleft()

    async def __aenter__(self) -> "AsyncStream[T]":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self.stop()


def ticks(
    symbols: Union[str, Sequence[str]],
    interval: float = 0.02,
    *,
    flags: int = -1,
    page: int = 10000,
    since_msc: Optional[int] = None,
) -> AsyncStream[StreamTick]:
    """zelkor5.stream.ticks for ``async for`` (same arguments)."""
    return AsyncStream(_sync.ticks(symbols, interval, flags=flags, page=page, since_msc=since_msc))


def bars(symbol: str, timeframe: int, interval: float = 0.1) -> AsyncStream[Bar]:
    """zelkor5.stream.bars for ``async for`` (same arguments)."""
    return AsyncStream(_sync.bars(symbol, timeframe, interval))


def trades(interval: float = 0.05) -> AsyncStream[TradeEvent]:
    """zelkor5.stream.trades for ``async for`` (same arguments)."""
    return AsyncStream(_sync.trades(interval))
