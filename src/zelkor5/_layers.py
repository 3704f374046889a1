"""The one table of the module's functions and the layers the opt-in
facades put around them: reconnection, logging, and raising.

A facade (``strict``, ``aio``) builds each of its functions with
``layered``, which looks the function's kind up in FUNCTIONS; nothing
here is written per function. The order, outermost first:

    raising (strict only) -> logging -> reconnection -> the _core function

so the log shows each attempt's outcome and the raised exception is the
final outcome. The plain functions of the package are the _core functions
themselves (the bar and tick ones with a warning when a result stops at the
terminal's limit, zelkor5._capped), untouched by these layers.
"""

import functools
import logging
import threading
import time
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

from . import _core
from ._request import unknown_key
from .errors import (
    TRADE_SUCCESS_RETCODES,
    InvalidArguments,
    TradeOutcomeUnknown,
    TradeRejected,
    Zelkor5Error,
    error_for,
)

logger = logging.getLogger("zelkor5")

# What a call does, which decides what the layers may do with it:
# READ asks and changes nothing (repeated after a reconnection);
# TRADE changes the account (never repeated); SESSION opens or closes the
# connection (recorded for reconnecting, never repeated); LOCAL needs no
# terminal (last_error).
READ, TRADE, SESSION, LOCAL = "read", "trade", "session", "local"

FUNCTIONS: Dict[str, str] = {
    "initialize": SESSION,
    "shutdown": SESSION,
    "login": SESSION,
    "version": READ,
    "terminal_info": READ,
    "account_info": READ,
    "copy_ticks_from": READ,
    "copy_ticks_range": READ,
    "copy_rates_from": READ,
    "copy_rates_from_pos": READ,
    "copy_rates_range": READ,
    "positions_total": READ,
    "positions_get": READ,
    "orders_total": READ,
    "orders_get": READ,
    "history_orders_total": READ,
    "history_orders_get": READ,
    "history_deals_total": READ,
    "history_deals_get": READ,
    "order_check": READ,
    "order_send": TRADE,
    "order_calc_margin": READ,
    "order_calc_profit": READ,
    "symbol_info": READ,
    "symbol_info_tick": READ,
    "symbol_select": READ,
    "symbols_total": READ,
    "symbols_get": READ,
    "market_book_add": READ,
    "market_book_release": READ,
    "market_book_get": READ,
    "last_error": LOCAL,
}

# Codes after which the connection is gone. -10004 counts only after a
# connection this layer made was lost, not before initialize or after
# shutdown.
_LOST = (-10001, -10002, -10004)
# The functions that take a trade request.
_REQUEST_FUNCTIONS = ("order_check", "order_send")
# Positional arguments that are passwords (login(login, password, ...)).
_SECRET_POSITIONS = {"login": 1}
_MASK = "***"


class _Reconnection:
    """The reconnection setting and what it needs: the arguments of the
    last initialize and login that succeeded through a facade."""

    def __init__(self) -> None:
        self.enabled = False
        self.attempts = 5
        self.first_delay = 0.2
        self.max_delay = 5.0
        self.init_args: Optional[Tuple[Tuple[Any, ...], Dict[str, Any]]] = None
        self.login_args: Optional[Tuple[Tuple[Any, ...], Dict[str, Any]]] = None
        self.lock = threading.Lock()

    def reconnect(
        self, function: str, why: str = "connection lost", attempts: Optional[int] = None
    ) -> Tuple[bool, Tuple[int, str]]:
        """Connects again with the recorded arguments: up to `attempts`
        tries (the setting's by default), waiting first_delay, then twice
        as long each time, at most max_delay. Returns whether it succeeded
        and the last outcome."""
        assert self.init_args is not None
        args, kwargs = self.init_args
        tries = self.attempts if attempts is None else attempts
        delay = self.first_delay
        outcome = (1, "Success")
        with self.lock:
            for attempt in range(1, tries + 1):
                logger.warning(
                    "%s: %s, reconnecting (attempt %d of %d)",
                    function,
                    why,
                    attempt,
                    tries,
                )
                _core.shutdown()
                if _core.initialize(*args, **kwargs):
                    if self.login_args is None or _core.login(
                        *self.login_args[0], **self.login_args[1]
                    ):
                        logger.info("reconnected to the terminal")
                        return True, _core.last_error()
                outcome = _core.last_error()
                logger.warning("reconnecting failed: %s (%d)", outcome[1], outcome[0])
                if attempt < tries:
                    time.sleep(delay)
                    delay = min(delay * 2, self.max_delay)
        return False, outcome


RECONNECTION = _Reconnection()


def reopen_after_cancel() -> None:
    """Connects again after a cancelled call of the asyncio worker: the
    module closes the connection under a call interrupted half-way (its
    stream is out of step), which would leave every other task without
    one. One try, with the arguments of the last initialize (and login)
    made through a facade, whether reconnection is enabled or not. Nothing
    when the connection is still open (the call was interrupted before it
    used it), or when no facade opened it (its arguments are unknown)."""
    rec = RECONNECTION
    if rec.init_args is None:
        return
    if _core.terminal_info() is not None or _core.last_error()[0] != -10004:
        return
    rec.reconnect("aio", "a cancelled call closed the connection", attempts=1)


def _masked(function: str, args: Tuple[Any, ...], kwargs: Mapping[str, Any]) -> str:
    """The arguments as the log shows them, passwords masked."""
    secret = _SECRET_POSITIONS.get(function)
    parts = [_MASK if i == secret else repr(a) for i, a in enumerate(args)]
    for key, value in kwargs.items():
        parts.append("%s=%s" % (key, _MASK if key == "password" else repr(value)))
    return ", ".join(parts)


def _request_of(args: Tuple[Any, ...], kwargs: Mapping[str, Any]) -> Dict[str, Any]:
    """The request dictionary of order_send/order_check, however passed."""
    if args and isinstance(args[0], Mapping):
        return dict(args[0])
    return dict(kwargs)


def _failed(value: Any) -> bool:
    return value is None or value is False


def _unknown_outcome(
    function: str, code: int, message: str, request: Dict[str, Any], reconnected: bool
) -> TradeOutcomeUnknown:
    where = []
    if "magic" in request:
        where.append("magic=%r" % (request["magic"],))
    if "comment" in request:
        where.append("comment=%r" % (request["comment"],))
    key = (
        " and ".join(where)
        if where
        else "its symbol, type and volume (give requests a magic " "number or comment to find them)"
    )
    text = (
        "%s: the connection was lost while the request was sent (%s); its outcome is "
        "unknown and it was not sent again. %s Before sending it again, look for it among "
        "the deals and orders of the last seconds by %s: history_deals_get(from, to), "
        "history_orders_get(from, to), orders_get() and positions_get()."
        % (
            function,
            message,
            "The connection is restored." if reconnected else "Reconnecting failed too.",
            key,
        )
    )
    return TradeOutcomeUnknown(code, text, request)


def _call(
    function: str, kind: str, raw: Callable[..., Any], args: Tuple[Any, ...], kwargs: Dict[str, Any]
) -> Tuple[Any, Optional[Tuple[int, str]]]:
    """One call through the reconnection layer. Returns the value and, when
    it failed, the outcome (code, message); raises TradeOutcomeUnknown for
    a trade request lost with the connection."""
    value = raw(*args, **kwargs)
    if not _failed(value):
        if kind == SESSION:
            _record_session(function, args, kwargs)
        return value, None
    outcome = _core.last_error()
    rec = RECONNECTION
    if not (
        rec.enabled and outcome[0] in _LOST and rec.init_args is not None and kind in (READ, TRADE)
    ):
        return value, outcome
    reconnected, after = rec.reconnect(function)
    if kind == TRADE:
        if outcome[0] == -10004:
            # Nothing was sent: no connection was open.
            return value, (
                outcome[0],
                "%s (the request was not sent%s)"
                % (outcome[1], "; the connection is restored" if reconnected else ""),
            )
        raise _unknown_outcome(
            function, outcome[0], outcome[1], _request_of(args, kwargs), reconnected
        )
    if not reconnected:
        return value, (after[0], "%s; reconnecting failed: %s" % (outcome[1], after[1]))
    value = raw(*args, **kwargs)
    return value, (_core.last_error() if _failed(value) else None)


def _record_session(function: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> None:
    rec = RECONNECTION
    if function == "initialize":
        rec.init_args = (args, dict(kwargs))
        rec.login_args = None
    elif function == "login":
        rec.login_args = (args, dict(kwargs))
    elif function == "shutdown":
        rec.init_args = rec.login_args = None


def _logged_call(
    function: str, kind: str, raw: Callable[..., Any], args: Tuple[Any, ...], kwargs: Dict[str, Any]
) -> Tuple[Any, Optional[Tuple[int, str]]]:
    """_call with its DEBUG record (arguments, duration, outcome) and, for
    order_send, the INFO records of the request and its result."""
    trade = kind == TRADE and logger.isEnabledFor(logging.INFO)
    if trade:
        logger.info("%s request: %s", function, _masked(function, args, kwargs))
    start = time.perf_counter()
    try:
        value, outcome = _call(function, kind, raw, args, kwargs)
    except Zelkor5Error as e:
        logger.debug(
            "%s(%s) -> raised %s in %.3f ms",
            function,
            _masked(function, args, kwargs),
            type(e).__name__,
            (time.perf_counter() - start) * 1e3,
        )
        if trade:
            logger.info("%s result: %s", function, e)
        raise
    elapsed = (time.perf_counter() - start) * 1e3
    code = outcome[0] if outcome is not None else 1
    if logger.isEnabledFor(logging.DEBUG):
        logger.debug(
            "%s(%s) -> %s in %.3f ms, code %d%s",
            function,
            _masked(function, args, kwargs),
            _short(value),
            elapsed,
            code,
            "" if outcome is None else " " + repr(outcome[1]),
        )
    if trade:
        if value is None:
            logger.info("%s result: failed, %s (%d)", function, outcome[1] if outcome else "", code)
        else:
            logger.info(
                "%s result: retcode %d, deal %d, order %d, volume %r, price %r, " "comment %r",
                function,
                value.retcode,
                value.deal,
                value.order,
                value.volume,
                value.price,
                value.comment,
            )
    return value, outcome


def _short(value: Any) -> str:
    """A result as the log shows it: arrays and tuples of records by their
    length, anything else by its repr, cut to 200 characters."""
    shape = getattr(value, "shape", None)
    if shape is not None:
        return "array of %d" % (shape[0] if shape else 0)
    if type(value) is tuple and value and hasattr(value[0], "_fields"):
        return "%d records" % len(value)
    text = repr(value)
    return text if len(text) <= 200 else text[:197] + "..."


def layered(function: str, raising: bool) -> Callable[..., Any]:
    """The facade function for the module function named `function`:
    through reconnection (when enabled) and logging (when the ``zelkor5``
    logger's level lets it), returning the module's value or, when
    `raising`, raising the error family of its failure (and TradeRejected
    for an order_send the terminal rejected). Without `raising` the
    outcome of a failure is left in last_error(), unless a layer changed
    it (see outcome_of). A raising order_send or order_check refuses a
    request with an unknown key (InvalidArguments) before anything is
    sent, where the module only warns and sends the rest."""
    kind = FUNCTIONS[function]
    raw: Callable[..., Any] = getattr(_core, function)
    if kind == LOCAL:
        return raw
    checks_keys = raising and function in _REQUEST_FUNCTIONS

    def call(*args: Any, **kwargs: Any) -> Any:
        if checks_keys:
            refusal = unknown_key(function, args, kwargs)
            if refusal is not None:
                raise InvalidArguments(-2, refusal)
        if logger.isEnabledFor(logging.INFO):
            value, outcome = _logged_call(function, kind, raw, args, kwargs)
        else:
            value, outcome = _call(function, kind, raw, args, kwargs)
        if raising:
            if outcome is not None:
                raise error_for(outcome[0], outcome[1], function)
            if kind == TRADE and value.retcode not in TRADE_SUCCESS_RETCODES:
                raise TradeRejected(value)
        else:
            _OUTCOME.value = outcome
        return value

    call.__name__ = call.__qualname__ = function
    # inspect.signature() and help() show the module function's parameters.
    functools.update_wrapper(call, raw, assigned=(), updated=())
    return call


class _Outcome(threading.local):
    value: Optional[Tuple[int, str]] = None


# The outcome of this thread's last call through a values facade (None:
# success), for the last_error of a facade: its layers may have made
# further calls, or changed the message.
_OUTCOME = _Outcome()


def enable_reconnect(attempts: int = 5, first_delay: float = 0.2, max_delay: float = 5.0) -> None:
    """See zelkor5.reconnect.enable."""
    if attempts < 1 or first_delay < 0 or max_delay < first_delay:
        raise ValueError("attempts must be at least 1 and 0 <= first_delay <= max_delay")
    RECONNECTION.attempts = attempts
    RECONNECTION.first_delay = first_delay
    RECONNECTION.max_delay = max_delay
    RECONNECTION.enabled = True


def disable_reconnect() -> None:
    """See zelkor5.reconnect.disable."""
    RECONNECTION.enabled = False
