"""The module's functions as coroutines, for asyncio:

    import asyncio
    from zelkor5 import aio

    async def main():
        await aio.initialize(path)
        info = await aio.account_info()          # None on failure, as the plain one
        if info is None:
            print(await aio.last_error())
        async for tick in aio.stream.ticks("EURUSD"):
            ...

Each of the 32 functions takes the arguments of the plain one and returns
its value; the calls run one after the other on one worker thread, and the
module releases the interpreter lock while a call waits for the terminal,
so the event loop goes on meanwhile. ``await aio.last_error()`` gives the
outcome of the current task's last call (each task its own).

Cancelling a task (or a timeout, ``asyncio.wait_for``) interrupts the
call it waits in the way Ctrl-C interrupts a call of the main thread:
within about 50 ms the wait ends, the call fails the step it was in, and
the connection is closed (it was left out of step); a call that is
answered before that is not disturbed. The task gets ``CancelledError``.
The other tasks keep the connection: before the next call the layer
connects again, once, with the arguments of the last ``initialize`` (and
``login``) made through ``aio`` or ``zelkor5.strict``, whether
reconnection is enabled or not. The cancelled call is never made again: a
cancelled ``order_send`` may or may not have been carried out, so look
for it among the deals and orders before sending it again. A connection
opened by the plain ``zelkor5.initialize`` stays closed (the layer does
not know its arguments).

No event loop is created or run here: the coroutines work in any running
loop, Jupyter's included. Calls go through the same layers as
``zelkor5.strict`` (logging, and reconnection when enabled), without
raising for a failure; ``order_send`` raises
``zelkor5.errors.TradeOutcomeUnknown`` when reconnection is enabled and
the connection was lost under it. ``aio.stream`` has the streams of
``zelkor5.stream`` for ``async for``, raising ``zelkor5.errors``
exceptions.
"""

from . import _aio_stream as stream
from . import _layers
from ._aio_calls import *  # noqa: F401,F403  the 32 functions
from ._aio_stream import AsyncStream

__all__ = list(_layers.FUNCTIONS) + ["stream", "AsyncStream"]
