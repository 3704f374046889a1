"""The module's functions, raising instead of returning None or False.

``from zelkor5 import strict as zk`` gives the same 32 functions with the
same arguments; each returns what the plain function returns on success,
and raises the exception of its failure's family (``zelkor5.errors``)
where the plain function returns ``None`` or ``False``:

    from zelkor5 import strict as zk
    from zelkor5.errors import TradeRejected

    zk.initialize(path)
    tick = zk.symbol_info_tick("EURUSD")        # never None
    try:
        result = zk.order_send(request)         # retcode done, placed, ...
    except TradeRejected as e:
        print(e.result.retcode, e.result.comment)

``order_send`` also raises ``TradeRejected`` when the
terminal answers with a retcode other than done, placed, done partially or
no changes; ``order_check`` returns its result whatever the retcode (it
only asks). Both refuse a request with a key they do not know
(``InvalidArguments``, naming the closest known key) before sending
anything, where the plain functions warn and send the rest. ``last_error()`` is the plain one. Calls through this module
are logged by the ``zelkor5`` logger and reconnect when that is enabled
(``zelkor5.reconnect``); the plain functions are untouched.
"""

from typing import Any

from . import _layers

__all__ = list(_layers.FUNCTIONS)


def _build() -> None:
    space = globals()
    for name in _layers.FUNCTIONS:
        fn: Any = _layers.layered(name, raising=True)
        if _layers.FUNCTIONS[name] != _layers.LOCAL:
            fn.__module__ = __name__
            fn.__doc__ = (
                "As zelkor5.%s, but raises a zelkor5.errors.Zelkor5Error subclass "
                "where it would return None or False." % name
            )
        space[name] = fn


_build()
