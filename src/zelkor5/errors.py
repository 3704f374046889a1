"""Exceptions raised by the opt-in layers (``zelkor5.strict``, ``zelkor5.aio``
and the streams) in place of the module's ``None``/``False`` and
``last_error()``.

Every exception is a ``Zelkor5Error`` with the ``code`` and ``message``
that ``last_error()`` reported; its class tells the family, so that a bot
handles each the way it needs:

    from zelkor5 import strict as zk
    from zelkor5.errors import ConnectionLost, TradeRejected

    try:
        zk.order_send(request)
    except TradeRejected as e:      # the terminal answered, and said no
        print(e.result.retcode, e.result.comment)
    except ConnectionLost:          # the terminal is gone
        ...

The plain functions of ``zelkor5`` never raise these.
"""

from typing import Any, Dict, Mapping, Optional, Type

from ._core import OrderSendResult

__all__ = [
    "Zelkor5Error",
    "TerminalConnectionError",
    "ConnectFailed",
    "ConnectionLost",
    "TradeOutcomeUnknown",
    "InvalidArguments",
    "NotFound",
    "AuthorizationFailed",
    "TerminalBusy",
    "Unsupported",
    "TradingDisabled",
    "TradeRejected",
    "TRADE_SUCCESS_RETCODES",
    "error_for",
]

# The retcodes of an order_send result that mean the request was carried out
# (done, placed, done partially) or needed nothing (no changes).
TRADE_SUCCESS_RETCODES = frozenset((10008, 10009, 10010, 10025))


class Zelkor5Error(Exception):
    """A call failed. ``code`` and ``message`` are what ``last_error()``
    reported for it (for ``TradeRejected``, the result's retcode and
    comment). The base of every exception of this module; raised as such
    for codes of no family below (-1 call failed, -3 out of memory, and
    codes the terminal adds)."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return "%s (%d)" % (self.message, self.code)


class TerminalConnectionError(Zelkor5Error):
    """The connection to the terminal could not be made or was lost: the
    codes -10000 to -10004."""


class ConnectFailed(TerminalConnectionError):
    """``initialize`` could not reach the terminal (-10003, "IPC initialize
    failed, ..."): no terminal found, it did not start, or its pipe refused
    the connection. The message tells which."""


class ConnectionLost(TerminalConnectionError):
    """The connection broke or is closed: the request could not be sent
    (-10001), its reply not read (-10002) or belonged to another request
    (-10000), or no connection is open (-10004; after ``shutdown``, after
    an earlier loss, or before ``initialize``). With reconnection enabled
    (``zelkor5.reconnect.enable``) it is raised only once reconnecting
    failed, or for a trade request that was not sent."""


class TradeOutcomeUnknown(ConnectionLost):
    """The connection broke while ``order_send`` waited for its reply, so
    the request may or may not have been carried out. It is never sent
    again automatically. ``request`` is the request; look for its deal or
    order among the deals and orders of the last seconds (the message
    says how, by ``magic`` and ``comment``) before sending it again."""

    def __init__(self, code: int, message: str, request: Mapping[str, Any]) -> None:
        super().__init__(code, message)
        self.request: Dict[str, Any] = dict(request)


class InvalidArguments(Zelkor5Error):
    """An argument was refused (-2): of the wrong type, out of range, or a
    request the terminal calls invalid. The message names the argument
    where the module checked it (such as 'Invalid "login" argument')."""


class NotFound(Zelkor5Error):
    """What was asked for does not exist (-4): an unknown symbol, ticket
    or account."""


class AuthorizationFailed(Zelkor5Error):
    """Logging in failed (-6), or the account needs an authorization mode
    the module does not support (-7 from ``initialize`` or ``login``)."""


class TerminalBusy(Zelkor5Error):
    """The terminal is busy or timed out: it refused the connection for
    having too many (-9), or did not become ready within ``initialize``'s
    or ``login``'s ``timeout`` (-10005, "IPC timeout"). Trying again later
    may succeed."""


class Unsupported(Zelkor5Error):
    """The terminal does not support the function (-7), or is too old for
    it (-5, incompatible versions)."""


class TradingDisabled(Zelkor5Error):
    """``order_send`` was refused because trading through this interface
    is disabled in the terminal (-8)."""


class TradeRejected(Zelkor5Error):
    """The terminal answered ``order_send`` with a retcode other than done
    (10009), placed (10008), done partially (10010) or no changes (10025):
    the request was not carried out. ``result`` is the whole
    ``OrderSendResult``; ``code`` is its retcode and ``message`` its
    comment."""

    def __init__(self, result: OrderSendResult) -> None:
        super().__init__(
            int(result.retcode),
            "order_send rejected: %s (retcode %d)"
            % (result.comment or "no comment", result.retcode),
        )
        self.result = result

    def __str__(self) -> str:
        return self.message


_FAMILIES: Dict[int, Type[Zelkor5Error]] = {
    -2: InvalidArguments,
    -4: NotFound,
    -5: Unsupported,
    -6: AuthorizationFailed,
    -7: Unsupported,
    -8: TradingDisabled,
    -9: TerminalBusy,
    -10000: ConnectionLost,
    -10001: ConnectionLost,
    -10002: ConnectionLost,
    -10003: ConnectFailed,
    -10004: ConnectionLost,
    -10005: TerminalBusy,
}


def error_for(code: int, message: str, function: Optional[str] = None) -> Zelkor5Error:
    """The exception for the outcome (`code`, `message`) of a failed call
    (as ``last_error()`` gives it); `function` names the call in the
    message."""
    cls = _FAMILIES.get(code, Zelkor5Error)
    if code == -7 and message.startswith("Unsupported authorization"):
        cls = AuthorizationFailed
    if function is not None:
        message = "%s: %s" % (function, message)
    return cls(code, message)
