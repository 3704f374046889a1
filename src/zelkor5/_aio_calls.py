"""The module's functions as coroutines on the worker thread (their types
are in _aio_calls.pyi, generated from _core.pyi)."""

import contextvars
import functools
from typing import Any, Callable, Coroutine, Tuple

from . import _layers
from ._worker import WORKER

__all__ = list(_layers.FUNCTIONS)

# The outcome of the current task's last call (each task has its own).
_LAST: "contextvars.ContextVar[Tuple[int, str]]" = contextvars.ContextVar(
    "zelkor5_aio_last_error", default=(1, "Success")
)
_SUCCESS = (1, "Success")


def _coroutine(name: str) -> Callable[..., Coroutine[Any, Any, Any]]:
    if name == "last_error":

        async def last_error() -> Tuple[int, str]:
            return _LAST.get()

        last_error.__doc__ = (
            "The outcome (code, message) of the current task's last call "
            "through zelkor5.aio: (1, 'Success') or its failure."
        )
        return last_error
    fn = _layers.layered(name, raising=False)
    opens = name in ("initialize", "shutdown")

    async def call(*args: Any, **kwargs: Any) -> Any:
        value, outcome = await WORKER.call(fn, args, kwargs, opens)
        _LAST.set(outcome if outcome is not None else _SUCCESS)
        return value

    call.__name__ = call.__qualname__ = name
    # inspect.signature() and help() show the module function's parameters.
    functools.update_wrapper(call, fn, assigned=(), updated=())
    call.__doc__ = (
        "zelkor5.%s as a coroutine, run on the worker thread; its outcome is "
        "zelkor5.aio.last_error()." % name
    )
    return call


def _build() -> None:
    space = globals()
    for name in _layers.FUNCTIONS:
        fn = _coroutine(name)
        fn.__module__ = "zelkor5.aio"
        space[name] = fn


_build()
