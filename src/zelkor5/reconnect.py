"""Reconnection after a lost connection, for calls through the opt-in
facades (``zelkor5.strict``, ``zelkor5.aio``) and the streams.

Off by default. Once enabled, a call that fails because the connection is
gone (-10001 send failed, -10002 receive failed, or -10004 no connection
after the connection the facade's ``initialize`` made was lost) connects
again with the arguments of the last ``initialize`` (and ``login``) made
through a facade, waiting `first_delay` seconds before the second try and
twice as long before each next one (at most `max_delay`), for at most
`attempts` tries. A call that only reads is then made again and returns
its value.

A trade request (``order_send``) is never sent again: when the connection
broke while it was on its way, its outcome is unknown, and the call raises
``TradeOutcomeUnknown`` (in every facade), saying how
to find out (the deals and orders of the last seconds, by the request's
``magic`` and ``comment``). When no connection was open at all, nothing
was sent: the call fails with -10004 as without reconnection, after
reconnecting.
"""

from . import _layers

__all__ = ["enable", "disable", "enabled"]


def enable(attempts: int = 5, first_delay: float = 0.2, max_delay: float = 5.0) -> None:
    """Turns reconnection on, for every thread.

    :param attempts: tries of ``initialize`` per lost connection (at
        least 1); the call fails with the last outcome when all failed.
    :param first_delay: seconds between the first and second try; it
        doubles after each failed try.
    :param max_delay: the longest wait between two tries, in seconds.
    :raises ValueError: for attempts below 1 or delays out of order.
    """
    _layers.enable_reconnect(attempts, first_delay, max_delay)


def disable() -> None:
    """Turns reconnection off: failures are reported as they happen."""
    _layers.disable_reconnect()


def enabled() -> bool:
    """Whether reconnection is on."""
    return _layers.RECONNECTION.enabled
