"""Byte layouts of the wire records, written out independently of the C++
tables so that the tests check those tables rather than repeat them.

Fields stand in tuple order as (name, offset, type); type is one of bool8,
u32, i32, u64, i64, f64, ("wchar", units), or "request" (not on the wire).
"""

import math
import struct

__all__ = [
    "Layout",
    "SYMBOL_INFO",
    "TICK",
    "BOOK_INFO",
    "ACCOUNT_INFO",
    "TERMINAL_INFO",
    "TRADE_ORDER",
    "TRADE_POSITION",
    "TRADE_DEAL",
    "TRADE_REQUEST",
    "ORDER_CHECK_RESULT",
    "ORDER_SEND_RESULT",
    "ALL_LAYOUTS",
    "same_value",
]

_FORMATS = {"bool8": "<B", "u32": "<I", "i32": "<i", "u64": "<Q", "i64": "<q", "f64": "<d"}


class Layout(object):
    def __init__(self, name, size, fields):
        self.name = name
        self.size = size
        self.fields = list(fields)

    @property
    def names(self):
        return tuple(f[0] for f in self.fields)

    def wire_fields(self):
        return [f for f in self.fields if f[2] != "request"]

    def pack(self, values):
        """Record bytes with the given fields set (others zero). Texts are
        str (UTF-16LE, lone surrogates kept) or raw bytes; a text may fill
        its whole field. A bool8 takes a bool or any byte value."""
        buf = bytearray(self.size)
        types = {f[0]: (f[1], f[2]) for f in self.wire_fields()}
        for name, value in values.items():
            offset, kind = types[name]
            if isinstance(kind, tuple):
                data = (
                    value
                    if isinstance(value, bytes)
                    else value.encode("utf-16-le", "surrogatepass")
                )
                if len(data) > 2 * kind[1]:
                    raise ValueError("%s: %d bytes do not fit" % (name, len(data)))
                buf[offset : offset + len(data)] = data
            else:
                struct.pack_into(_FORMATS[kind], buf, offset, value)
        return bytes(buf)

    def sample(self, seed=1):
        """Distinct, non-trivial values for every wire field."""
        values = {}
        for i, (name, _, kind) in enumerate(self.wire_fields()):
            n = seed * 1000 + i + 1
            if kind == "bool8":
                values[name] = n % 2 == 0
            elif kind in ("u32", "i32"):
                values[name] = n * 7 + 300 if kind == "u32" else -(n * 7 + 300)
            elif kind in ("u64", "i64"):
                values[name] = (n << 33) + 5 if kind == "u64" else -((n << 33) + 5)
            elif kind == "f64":
                values[name] = n + 0.25
            elif isinstance(kind, tuple):
                text = "%s-%d" % (name, n)
                values[name] = text[: kind[1] - 1]
        return values

    def expected(self, values):
        """What the named tuple should hold for a record packed from values."""
        out = {}
        for name, _, kind in self.wire_fields():
            v = values.get(name)
            if kind == "bool8":
                out[name] = bool(v)
            elif isinstance(kind, tuple):
                if v is None:
                    v = ""
                if isinstance(v, bytes):
                    v = v.decode("utf-16-le", "surrogatepass")
                out[name] = v.split("\0", 1)[0]
            elif kind == "f64":
                out[name] = 0.0 if v is None else v
            else:
                out[name] = 0 if v is None else v
        return out


def same_value(a, b):
    """Equality that also holds for NaN and tells 0.0 from -0.0."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return type(a) is type(b) and a == b


SYMBOL_INFO = Layout(
    "SymbolInfo",
    2993,
    [
        ("custom", 0, "bool8"),
        ("chart_mode", 1, "u32"),
        ("select", 5, "bool8"),
        ("visible", 6, "bool8"),
        ("session_deals", 7, "u64"),
        ("session_buy_orders", 15, "u64"),
        ("session_sell_orders", 23, "u64"),
        ("volume", 31, "u64"),
        ("volumehigh", 39, "u64"),
        ("volumelow", 47, "u64"),
        ("time", 55, "i64"),
        ("digits", 63, "u32"),
        ("spread", 67, "i32"),
        ("spread_float", 71, "bool8"),
        ("ticks_bookdepth", 72, "u32"),
        ("trade_calc_mode", 76, "u32"),
        ("trade_mode", 80, "u32"),
        ("start_time", 84, "i64"),
        ("expiration_time", 92, "i64"),
        ("trade_stops_level", 100, "i32"),
        ("trade_freeze_level", 104, "i32"),
        ("trade_exemode", 108, "u32"),
        ("swap_mode", 112, "u32"),
        ("swap_rollover3days", 116, "u32"),
        ("margin_hedged_use_leg", 120, "bool8"),
        ("expiration_mode", 121, "i32"),
        ("filling_mode", 125, "i32"),
        ("order_mode", 129, "i32"),
        ("order_gtc_mode", 133, "u32"),
        ("option_mode", 137, "u32"),
        ("option_right", 141, "u32"),
        ("bid", 145, "f64"),
        ("bidhigh", 153, "f64"),
        ("bidlow", 161, "f64"),
        ("ask", 169, "f64"),
        ("askhigh", 177, "f64"),
        ("asklow", 185, "f64"),
        ("last", 193, "f64"),
        ("lasthigh", 201, "f64"),
        ("lastlow", 209, "f64"),
        ("volume_real", 217, "f64"),
        ("volumehigh_real", 225, "f64"),
        ("volumelow_real", 233, "f64"),
        ("option_strike", 241, "f64"),
        ("point", 249, "f64"),
        ("trade_tick_value", 257, "f64"),
        ("trade_tick_value_profit", 265, "f64"),
        ("trade_tick_value_loss", 273, "f64"),
        ("trade_tick_size", 281, "f64"),
        ("trade_contract_size", 289, "f64"),
        ("trade_accrued_interest", 297, "f64"),
        ("trade_face_value", 305, "f64"),
        ("trade_liquidity_rate", 313, "f64"),
        ("volume_min", 321, "f64"),
        ("volume_max", 329, "f64"),
        ("volume_step", 337, "f64"),
        ("volume_limit", 345, "f64"),
        ("swap_long", 353, "f64"),
        ("swap_short", 361, "f64"),
        ("margin_initial", 369, "f64"),
        ("margin_maintenance", 377, "f64"),
        ("session_volume", 385, "f64"),
        ("session_turnover", 393, "f64"),
        ("session_interest", 401, "f64"),
        ("session_buy_orders_volume", 409, "f64"),
        ("session_sell_orders_volume", 417, "f64"),
        ("session_open", 425, "f64"),
        ("session_close", 433, "f64"),
        ("session_aw", 441, "f64"),
        ("session_price_settlement", 449, "f64"),
        ("session_price_limit_min", 457, "f64"),
        ("session_price_limit_max", 465, "f64"),
        ("margin_hedged", 473, "f64"),
        ("price_change", 481, "f64"),
        ("price_volatility", 489, "f64"),
        ("price_theoretical", 497, "f64"),
        ("price_greeks_delta", 505, "f64"),
        ("price_greeks_theta", 513, "f64"),
        ("price_greeks_gamma", 521, "f64"),
        ("price_greeks_vega", 529, "f64"),
        ("price_greeks_rho", 537, "f64"),
        ("price_greeks_omega", 545, "f64"),
        ("price_sensitivity", 553, "f64"),
        ("basis", 561, ("wchar", 32)),
        ("category", 625, ("wchar", 64)),
        ("currency_base", 753, ("wchar", 16)),
        ("currency_profit", 785, ("wchar", 16)),
        ("currency_margin", 817, ("wchar", 16)),
        ("bank", 849, ("wchar", 256)),
        ("description", 1361, ("wchar", 64)),
        ("exchange", 1489, ("wchar", 64)),
        ("formula", 1617, ("wchar", 256)),
        ("isin", 2129, ("wchar", 16)),
        ("name", 2929, ("wchar", 32)),
        ("page", 2161, ("wchar", 256)),
        ("path", 2673, ("wchar", 128)),
    ],
)

TICK = Layout(
    "Tick",
    60,
    [
        ("time", 0, "i64"),
        ("bid", 8, "f64"),
        ("ask", 16, "f64"),
        ("last", 24, "f64"),
        ("volume", 32, "u64"),
        ("time_msc", 40, "i64"),
        ("flags", 48, "u32"),
        ("volume_real", 52, "f64"),
    ],
)

BOOK_INFO = Layout(
    "BookInfo",
    28,
    [
        ("type", 0, "u32"),
        ("price", 4, "f64"),
        ("volume", 12, "u64"),
        ("volume_dbl", 20, "f64"),
    ],
)

ACCOUNT_INFO = Layout(
    "AccountInfo",
    851,
    [
        ("login", 0, "u64"),
        ("trade_mode", 8, "u32"),
        ("leverage", 12, "u32"),
        ("limit_orders", 16, "u32"),
        ("margin_so_mode", 20, "u32"),
        ("trade_allowed", 24, "bool8"),
        ("trade_expert", 25, "bool8"),
        ("margin_mode", 26, "u32"),
        ("currency_digits", 30, "u32"),
        ("fifo_close", 34, "bool8"),
        ("balance", 35, "f64"),
        ("credit", 43, "f64"),
        ("profit", 51, "f64"),
        ("equity", 59, "f64"),
        ("margin", 67, "f64"),
        ("margin_free", 75, "f64"),
        ("margin_level", 83, "f64"),
        ("margin_so_call", 91, "f64"),
        ("margin_so_so", 99, "f64"),
        ("margin_initial", 107, "f64"),
        ("margin_maintenance", 115, "f64"),
        ("assets", 123, "f64"),
        ("liabilities", 131, "f64"),
        ("commission_blocked", 139, "f64"),
        ("name", 147, ("wchar", 128)),
        ("server", 403, ("wchar", 64)),
        ("currency", 531, ("wchar", 32)),
        ("company", 595, ("wchar", 128)),
    ],
)

TERMINAL_INFO = Layout(
    "TerminalInfo",
    3162,
    [
        ("community_account", 4, "bool8"),
        ("community_connection", 5, "bool8"),
        ("connected", 6, "bool8"),
        ("dlls_allowed", 7, "bool8"),
        ("trade_allowed", 8, "bool8"),
        ("tradeapi_disabled", 3161, "bool8"),
        ("email_enabled", 9, "bool8"),
        ("ftp_enabled", 10, "bool8"),
        ("notifications_enabled", 11, "bool8"),
        ("bdid", 16, "bool8"),
        ("build", 0, "u32"),
        ("maxbars", 12, "u32"),
        ("codepage", 17, "i32"),
        ("ping_last", 21, "i32"),
        ("community_balance", 25, "f64"),
        ("retransmission", 33, "f64"),
        ("company", 41, ("wchar", 260)),
        ("name", 561, ("wchar", 260)),
        ("language", 1081, ("wchar", 260)),
        ("path", 1601, ("wchar", 260)),
        ("data_path", 2121, ("wchar", 260)),
        ("commondata_path", 2641, ("wchar", 260)),
    ],
)

TRADE_ORDER = Layout(
    "TradeOrder",
    340,
    [
        ("ticket", 0, "u64"),
        ("time_setup", 8, "i64"),
        ("time_setup_msc", 16, "i64"),
        ("time_done", 24, "i64"),
        ("time_done_msc", 32, "i64"),
        ("time_expiration", 40, "i64"),
        ("type", 48, "u32"),
        ("type_time", 52, "u32"),
        ("type_filling", 56, "u32"),
        ("state", 60, "u32"),
        ("magic", 64, "u64"),
        ("position_id", 72, "u64"),
        ("position_by_id", 80, "u64"),
        ("reason", 88, "u32"),
        ("volume_initial", 92, "f64"),
        ("volume_current", 100, "f64"),
        ("price_open", 108, "f64"),
        ("sl", 116, "f64"),
        ("tp", 124, "f64"),
        ("price_current", 132, "f64"),
        ("price_stoplimit", 140, "f64"),
        ("symbol", 148, ("wchar", 32)),
        ("comment", 212, ("wchar", 32)),
        ("external_id", 276, ("wchar", 32)),
    ],
)

TRADE_POSITION = Layout(
    "TradePosition",
    320,
    [
        ("ticket", 0, "u64"),
        ("time", 8, "i64"),
        ("time_msc", 16, "i64"),
        ("time_update", 24, "i64"),
        ("time_update_msc", 32, "i64"),
        ("type", 40, "u32"),
        ("magic", 44, "u64"),
        ("identifier", 52, "u64"),
        ("reason", 60, "u32"),
        ("volume", 64, "f64"),
        ("price_open", 72, "f64"),
        ("sl", 80, "f64"),
        ("tp", 88, "f64"),
        ("price_current", 96, "f64"),
        ("swap", 112, "f64"),
        ("profit", 120, "f64"),
        ("symbol", 128, ("wchar", 32)),
        ("comment", 192, ("wchar", 32)),
        ("external_id", 256, ("wchar", 32)),
    ],
)

TRADE_DEAL = Layout(
    "TradeDeal",
    300,
    [
        ("ticket", 0, "u64"),
        ("order", 8, "u64"),
        ("time", 16, "i64"),
        ("time_msc", 24, "i64"),
        ("type", 32, "u32"),
        ("entry", 36, "u32"),
        ("magic", 40, "u64"),
        ("position_id", 48, "u64"),
        ("reason", 56, "u32"),
        ("volume", 60, "f64"),
        ("price", 68, "f64"),
        ("commission", 76, "f64"),
        ("swap", 84, "f64"),
        ("profit", 92, "f64"),
        ("fee", 100, "f64"),
        ("symbol", 108, ("wchar", 32)),
        ("comment", 172, ("wchar", 32)),
        ("external_id", 236, ("wchar", 32)),
    ],
)

TRADE_REQUEST = Layout(
    "TradeRequest",
    232,
    [
        ("action", 0, "u32"),
        ("magic", 4, "u64"),
        ("order", 12, "u64"),
        ("symbol", 20, ("wchar", 32)),
        ("volume", 84, "f64"),
        ("price", 92, "f64"),
        ("stoplimit", 100, "f64"),
        ("sl", 108, "f64"),
        ("tp", 116, "f64"),
        ("deviation", 124, "u64"),
        ("type", 132, "u32"),
        ("type_filling", 136, "u32"),
        ("type_time", 140, "u32"),
        ("expiration", 144, "i64"),
        ("comment", 152, ("wchar", 32)),
        ("position", 216, "u64"),
        ("position_by", 224, "u64"),
    ],
)

ORDER_CHECK_RESULT = Layout(
    "OrderCheckResult",
    252,
    [
        ("retcode", 0, "u32"),
        ("balance", 4, "f64"),
        ("equity", 12, "f64"),
        ("profit", 20, "f64"),
        ("margin", 28, "f64"),
        ("margin_free", 36, "f64"),
        ("margin_level", 44, "f64"),
        ("comment", 52, ("wchar", 100)),
        ("request", None, "request"),
    ],
)

ORDER_SEND_RESULT = Layout(
    "OrderSendResult",
    260,
    [
        ("retcode", 0, "u32"),
        ("deal", 4, "u64"),
        ("order", 12, "u64"),
        ("volume", 20, "f64"),
        ("price", 28, "f64"),
        ("bid", 36, "f64"),
        ("ask", 44, "f64"),
        ("comment", 52, ("wchar", 100)),
        ("request_id", 252, "u32"),
        ("retcode_external", 256, "i32"),
        ("request", None, "request"),
    ],
)

ALL_LAYOUTS = [
    TRADE_POSITION,
    TRADE_ORDER,
    TRADE_DEAL,
    TRADE_REQUEST,
    ORDER_SEND_RESULT,
    ORDER_CHECK_RESULT,
    TICK,
    TERMINAL_INFO,
    SYMBOL_INFO,
    ACCOUNT_INFO,
    BOOK_INFO,
]
