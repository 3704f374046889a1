"""The keys of a trade request, for type checkers and for help().

order_check() and order_send() take a dictionary with any of these keys;
a key left out is zero (or empty text). An unknown key is ignored with a
UserWarning, so a misspelt "sl" would leave a position unprotected:
annotate a request as ``TradeRequestDict`` and a type checker names the
misspelling before it is sent; ``zelkor5.strict`` refuses it
(unknown_key). scripts/gen_core_stub.py checks that the
keys and their types are those of the request record.
"""

import difflib
from typing import Any, Callable, Dict, Mapping, Optional, Tuple, TypedDict, TypeVar, cast

__all__ = ["TradeRequestDict"]


class TradeRequestDict(TypedDict, total=False):
    """A trade request of order_check() and order_send(); every key optional."""

    action: int
    magic: int
    order: int
    symbol: str
    volume: float
    price: float
    stoplimit: float
    sl: float
    tp: float
    deviation: int
    type: int
    type_filling: int
    type_time: int
    expiration: int
    comment: str
    position: int
    position_by: int


# What each key means, in the record's order.
KEYS: Dict[str, str] = {
    "action": "TRADE_ACTION_*: a market deal, a pending order, new stops, a change, a removal, a close-by",
    "magic": "a number of your choice, kept with the orders and deals the request makes",
    "order": "the ticket of the pending order to change or remove",
    "symbol": "the symbol's name",
    "volume": "lots, a float: a whole number of the symbol's volume_step",
    "price": "a pending order's price (a market deal fills at the market)",
    "stoplimit": "the limit price a stop-limit order places when its price is reached",
    "sl": "the stop-loss price, 0 for none",
    "tp": "the take-profit price, 0 for none",
    "deviation": "the largest acceptable deviation from the price, in points",
    "type": "ORDER_TYPE_*",
    "type_filling": "ORDER_FILLING_*: one the symbol's filling_mode allows (limit orders may also return)",
    "type_time": "ORDER_TIME_*: how long a pending order works",
    "expiration": "when an ORDER_TIME_SPECIFIED(_DAY) order expires, seconds since 1970 (an int)",
    "comment": "text kept with the order",
    "position": "the ticket of the position to close or whose stops to change",
    "position_by": "the ticket of the opposite position of a close-by",
}


# The words the short keys stand for, so that a spelt-out key ("stoploss",
# "take_profit") is matched to its key rather than to a longer look-alike
# ("stoplimit").
_SPELT_OUT = {"sl": "stoploss", "tp": "takeprofit"}


def _folded(name: str) -> str:
    return "".join(c for c in name.lower() if c not in "_- ")


_BY_FOLDED: Dict[str, str] = {_folded(key): key for key in KEYS}
_BY_FOLDED.update({words: key for key, words in _SPELT_OUT.items()})


def closest_key(name: str) -> str:
    """The known request key most like `name` (compared without case,
    underscores or hyphens, the short keys also by the words they stand for)."""
    # With no cutoff every candidate qualifies: there is always a closest.
    best = difflib.get_close_matches(_folded(name), list(_BY_FOLDED), n=1, cutoff=0.0)
    return _BY_FOLDED[best[0]]


def request_of(args: Tuple[Any, ...], kwargs: Mapping[str, Any]) -> Optional[Mapping[Any, Any]]:
    """The request of an order_check/order_send call as the module takes
    it: the keywords when there are any, else the one positional
    dictionary; None when the call has neither."""
    if kwargs:
        return kwargs
    if len(args) == 1 and isinstance(args[0], dict):
        return cast(Mapping[Any, Any], args[0])
    return None


def unknown_key(function: str, args: Tuple[Any, ...], kwargs: Mapping[str, Any]) -> Optional[str]:
    """The refusal of the first key of the call's request that is not a
    request key, naming the closest one; None when every key is known."""
    request = request_of(args, kwargs)
    for key in request or ():
        if not (isinstance(key, str) and key in KEYS):
            return (
                "%s(): unknown request key %r (the closest known key is %r); nothing was sent"
                % (function, key, closest_key(str(key)))
            )
    return None


def _key_lines() -> str:
    width = max(map(len, KEYS))
    types = TradeRequestDict.__annotations__
    return "\n".join(
        "    %-*s  %-5s  %s" % (width, key, types[key].__name__, text) for key, text in KEYS.items()
    )


_F = TypeVar("_F", bound=Callable[..., Any])


def with_request_keys(function: _F) -> _F:
    """`function` (order_check or order_send) with the request keys after
    its own docstring in help(). Called through a class whose __call__ is
    the module function itself, so a call costs no Python frame and a
    warning about an unknown key still names the caller's line."""
    doc = "%s\n\nThe request's keys (every one optional; TradeRequestDict types them):\n%s\n" % (
        function.__doc__,
        _key_lines(),
    )
    kind = type(
        function.__name__,
        (),
        {
            "__call__": staticmethod(function),
            "__get__": lambda self, instance, owner=None: self,  # a routine to help() and inspect
            "__repr__": lambda self: repr(function),
            "__reduce__": lambda self: function.__name__,
        },
    )
    documented = kind()
    documented.__doc__ = doc
    documented.__name__ = documented.__qualname__ = function.__name__
    documented.__module__ = "zelkor5"
    documented.__wrapped__ = function
    return cast(_F, documented)
