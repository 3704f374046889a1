"""Byte images of the trading records, written out independently of the
module's own layout tables so that the tests can catch a wrong offset.

Each layout lists (field name, kind) in byte order; kinds are struct codes
(little-endian, packed) or ("w", units) for a UTF-16 text field of that many
units. A field named None is reserved: packed as zeros, never exposed.
"""

import struct

__all__ = [
    "Layout",
    "POSITION",
    "ORDER",
    "DEAL",
    "REQUEST",
    "CHECK_RESULT",
    "SEND_RESULT",
    "REQUEST_KEYS",
]


class Layout(object):
    def __init__(self, name, size, fields):
        self.name = name
        self.size = size
        self.fields = fields
        fmt = "<"
        for _, kind in fields:
            fmt += "%ds" % (2 * kind[1]) if isinstance(kind, tuple) else kind
        self._struct = struct.Struct(fmt)
        if self._struct.size != size:
            raise AssertionError(
                "%s: layout of %d bytes, expected %d" % (name, self._struct.size, size)
            )

    @property
    def names(self):
        """Exposed field names in tuple order."""
        return [n for n, _ in self.fields if n is not None]

    def pack(self, **values):
        """The record with the given fields; the others are 0, 0.0 or ''.
        A text value may also be raw bytes for the field."""
        unknown = set(values) - set(self.names)
        if unknown:
            raise KeyError("%s has no field %s" % (self.name, sorted(unknown)))
        items = []
        for name, kind in self.fields:
            v = values.get(name)
            if isinstance(kind, tuple):
                raw = v if isinstance(v, bytes) else (v or "").encode("utf-16-le", "surrogatepass")
                if len(raw) > 2 * kind[1]:
                    raise ValueError("%s: text too long" % name)
                items.append(raw.ljust(2 * kind[1], b"\0"))
            elif kind == "8s":
                items.append(b"\0" * 8)
            elif kind == "d":
                items.append(0.0 if v is None else v)
            else:
                items.append(0 if v is None else v)
        return self._struct.pack(*items)

    def unpack(self, data):
        """{name: value} of the exposed fields; texts cut at their first NUL."""
        out = {}
        for (name, kind), v in zip(self.fields, self._struct.unpack(bytes(data))):
            if name is None:
                continue
            if isinstance(kind, tuple):
                text = v.decode("utf-16-le", "surrogatepass")
                v = text.split("\0", 1)[0]
            out[name] = v
        return out


def _w(units):
    return ("w", units)


POSITION = Layout(
    "TradePosition",
    320,
    [
        ("ticket", "Q"),
        ("time", "q"),
        ("time_msc", "q"),
        ("time_update", "q"),
        ("time_update_msc", "q"),
        ("type", "I"),
        ("magic", "Q"),
        ("identifier", "Q"),
        ("reason", "I"),
        ("volume", "d"),
        ("price_open", "d"),
        ("sl", "d"),
        ("tp", "d"),
        ("price_current", "d"),
        (None, "8s"),
        ("swap", "d"),
        ("profit", "d"),
        ("symbol", _w(32)),
        ("comment", _w(32)),
        ("external_id", _w(32)),
    ],
)

ORDER = Layout(
    "TradeOrder",
    340,
    [
        ("ticket", "Q"),
        ("time_setup", "q"),
        ("time_setup_msc", "q"),
        ("time_done", "q"),
        ("time_done_msc", "q"),
        ("time_expiration", "q"),
        ("type", "I"),
        ("type_time", "I"),
        ("type_filling", "I"),
        ("state", "I"),
        ("magic", "Q"),
        ("position_id", "Q"),
        ("position_by_id", "Q"),
        ("reason", "I"),
        ("volume_initial", "d"),
        ("volume_current", "d"),
        ("price_open", "d"),
        ("sl", "d"),
        ("tp", "d"),
        ("price_current", "d"),
        ("price_stoplimit", "d"),
        ("symbol", _w(32)),
        ("comment", _w(32)),
        ("external_id", _w(32)),
    ],
)

DEAL = Layout(
    "TradeDeal",
    300,
    [
        ("ticket", "Q"),
        ("order", "Q"),
        ("time", "q"),
        ("time_msc", "q"),
        ("type", "I"),
        ("entry", "I"),
        ("magic", "Q"),
        ("position_id", "Q"),
        ("reason", "I"),
        ("volume", "d"),
        ("price", "d"),
        ("commission", "d"),
        ("swap", "d"),
        ("profit", "d"),
        ("fee", "d"),
        ("symbol", _w(32)),
        ("comment", _w(32)),
        ("external_id", _w(32)),
    ],
)

REQUEST = Layout(
    "TradeRequest",
    232,
    [
        ("action", "I"),
        ("magic", "Q"),
        ("order", "Q"),
        ("symbol", _w(32)),
        ("volume", "d"),
        ("price", "d"),
        ("stoplimit", "d"),
        ("sl", "d"),
        ("tp", "d"),
        ("deviation", "Q"),
        ("type", "I"),
        ("type_filling", "I"),
        ("type_time", "I"),
        ("expiration", "q"),
        ("comment", _w(32)),
        ("position", "Q"),
        ("position_by", "Q"),
    ],
)

CHECK_RESULT = Layout(
    "OrderCheckResult",
    252,
    [
        ("retcode", "I"),
        ("balance", "d"),
        ("equity", "d"),
        ("profit", "d"),
        ("margin", "d"),
        ("margin_free", "d"),
        ("margin_level", "d"),
        ("comment", _w(100)),
    ],
)

SEND_RESULT = Layout(
    "OrderSendResult",
    260,
    [
        ("retcode", "I"),
        ("deal", "Q"),
        ("order", "Q"),
        ("volume", "d"),
        ("price", "d"),
        ("bid", "d"),
        ("ask", "d"),
        ("comment", _w(100)),
        ("request_id", "I"),
        ("retcode_external", "i"),
    ],
)

# The request keys in the order the module reads them.
REQUEST_KEYS = REQUEST.names
