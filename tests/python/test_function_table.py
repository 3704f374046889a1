"""The module's complete contents: its 32 functions in table order, then the
eleven record types."""

import types

from zelkor5 import _core

FUNCTIONS = [
    "initialize", "shutdown", "login", "version", "terminal_info", "account_info",
    "copy_ticks_from", "copy_ticks_range", "copy_rates_from", "copy_rates_from_pos",
    "copy_rates_range", "positions_total", "positions_get", "orders_total", "orders_get",
    "history_orders_total", "history_orders_get", "history_deals_total",
    "history_deals_get", "order_check", "order_send", "order_calc_margin",
    "order_calc_profit", "symbol_info", "symbol_info_tick", "symbol_select",
    "symbols_total", "symbols_get", "market_book_add", "market_book_release",
    "market_book_get", "last_error",
]

# name -> (docstring, field count)
RECORD_TYPES = {
    "TradePosition": ("Trade position structure", 19),
    "TradeOrder": ("Trade order structure", 24),
    "TradeDeal": ("Trade deal structure", 18),
    "TradeRequest": ("Trade request structure", 17),
    "OrderSendResult": ("order_send result structure", 11),
    "OrderCheckResult": ("order_check result structure", 9),
    "Tick": ("This is a structure for storing latest symbol prices", 8),
    "TerminalInfo": ("This is a structure for storing terminal information", 22),
    "SymbolInfo": ("This is a structure for storing symbol information", 96),
    "AccountInfo": ("This is a structure for storing account information", 28),
    "BookInfo": ("This is a structure for storing Depth of Market information", 4),
}


def test_exactly_the_32_functions_in_table_order():
    functions = [n for n, v in vars(_core).items()
                 if isinstance(v, types.BuiltinFunctionType)]
    assert functions == FUNCTIONS


def test_exactly_the_eleven_record_types_after_the_functions():
    names = list(vars(_core))
    type_names = [n for n, v in vars(_core).items() if isinstance(v, type)]
    assert sorted(type_names) == sorted(RECORD_TYPES)
    assert type_names == list(RECORD_TYPES)
    last_function = max(i for i, n in enumerate(names)
                        if isinstance(getattr(_core, n), types.BuiltinFunctionType))
    assert all(names.index(n) > last_function for n in type_names)


def test_each_record_type_has_its_docstring_fields_and_asdict():
    for name, (doc, count) in RECORD_TYPES.items():
        cls = getattr(_core, name)
        assert cls.__name__ == name
        assert cls.__doc__ == doc
        assert cls.n_fields == cls.n_sequence_fields == count
        assert callable(cls._asdict)
