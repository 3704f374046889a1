"""The one thread that runs the asyncio facade's calls, and the
cancellation of a call it is waiting in, after which the next job
reconnects what the cancellation closed.

The module releases the interpreter lock while a call waits for the
terminal, so the event loop runs meanwhile. A cancelled call is
interrupted the way Ctrl-C interrupts the main thread: the module's wait
checks, at least every 50 ms, for an exception another thread sent this
one (PyThreadState_SetAsyncExc); it then ends the wait, closes the pipe
(its stream is out of step) and lets the exception out of the call. A call
that is answered before the check is not disturbed: the exception sent is
withdrawn once the call has returned. The connection is shared by every
task, so before its next job the worker connects again, with the arguments
of the last initialize (and login), what a cancellation closed
(_layers.reopen_after_cancel); the cancelled call is never made again.
"""

import asyncio
import concurrent.futures
import ctypes
import queue
import threading
from typing import Any, Callable, Optional, Tuple

from . import _layers

_set_async_exc = ctypes.pythonapi.PyThreadState_SetAsyncExc
_set_async_exc.argtypes = [ctypes.c_ulong, ctypes.py_object]
_set_async_exc.restype = ctypes.c_int
_clear_async_exc = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p)(
    ("PyThreadState_SetAsyncExc", ctypes.pythonapi)
)


class CallCancelled(BaseException):
    """Sent to the worker to interrupt the call of a cancelled task."""


_QUEUED, _RUNNING, _DONE = 0, 1, 2


class _Job:
    __slots__ = ("fn", "args", "kwargs", "opens", "future", "state", "sent")

    def __init__(
        self, fn: Callable[..., Any], args: Tuple[Any, ...], kwargs: Any, opens: bool
    ) -> None:
        self.fn = fn
        self.args = args
        self.kwargs = kwargs
        # initialize or shutdown: opens or closes the connection itself.
        self.opens = opens
        self.future: "concurrent.futures.Future[Tuple[Any, Optional[Tuple[int, str]]]]" = (
            concurrent.futures.Future()
        )
        self.state = _QUEUED
        self.sent = False


class Worker:
    """Runs jobs one after the other on its own thread (started at the
    first job; a daemon, so that it never holds the process up)."""

    def __init__(self) -> None:
        self._queue: "queue.SimpleQueue[_Job]" = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None
        # A cancelled call closed the connection: the next job opens it
        # again first (only the worker's thread touches this).
        self._reopen = False

    def _ensure(self) -> None:
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="zelkor5-aio", daemon=True)
                self._thread.start()

    def _run(self) -> None:
        ident = threading.get_ident()
        while True:
            job = self._queue.get()
            try:
                with self._lock:
                    if not job.future.set_running_or_notify_cancel():
                        continue
                    job.state = _RUNNING
                try:
                    if self._reopen:
                        self._reopen = False
                        if not job.opens:
                            _layers.reopen_after_cancel()
                    _layers._OUTCOME.value = None
                    value = job.fn(*job.args, **job.kwargs)
                    outcome = _layers._OUTCOME.value
                finally:
                    with self._lock:
                        job.state = _DONE
                        if job.sent:
                            _clear_async_exc(ident, None)  # one not taken yet
                job.future.set_result((value, outcome))
            except CallCancelled:
                # Interrupted half-way, the module closed the connection the
                # other tasks share. The next job opens it again (unless it
                # opens or closes it itself); nothing is sent again.
                self._reopen = not job.opens
                job.future.set_exception(asyncio.CancelledError())
            except BaseException as e:  # noqa: B902  handed to the awaiting task
                if not job.future.done():
                    job.future.set_exception(e)

    def submit(
        self, fn: Callable[..., Any], args: Tuple[Any, ...], kwargs: Any, opens: bool = False
    ) -> _Job:
        self._ensure()
        job = _Job(fn, args, kwargs, opens)
        self._queue.put(job)
        return job

    def cancel(self, job: _Job) -> None:
        """Interrupts `job` if the worker is in it; a queued job is dropped."""
        with self._lock:
            if job.state == _QUEUED:
                job.future.cancel()
            elif job.state == _RUNNING and not job.sent and self._thread is not None:
                job.sent = True
                ident = self._thread.ident
                assert ident is not None
                _set_async_exc(ident, CallCancelled)

    async def run(
        self, fn: Callable[..., Any], *args: Any, **kwargs: Any
    ) -> Tuple[Any, Optional[Tuple[int, str]]]:
        """Runs fn(*args, **kwargs) on the worker and returns its value
        with the outcome a values facade left (None: success)."""
        return await self.call(fn, args, kwargs)

    async def call(
        self, fn: Callable[..., Any], args: Tuple[Any, ...], kwargs: Any, opens: bool = False
    ) -> Tuple[Any, Optional[Tuple[int, str]]]:
        """run(), for a job that `opens` (or closes) the connection itself:
        it needs no reopening after a cancelled call."""
        job = self.submit(fn, args, kwargs, opens)
        try:
            return await asyncio.wrap_future(job.future)
        except asyncio.CancelledError:
            self.cancel(job)
            raise


WORKER = Worker()
