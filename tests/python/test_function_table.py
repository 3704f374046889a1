"""The module's complete contents: its 32 functions in table order, then the
eleven record types."""

import ast
import inspect
import os
import pydoc
import re
import types

import zelkor5
from zelkor5 import _core, aio, strict

FUNCTIONS = [
    "initialize",
    "shutdown",
    "login",
    "version",
    "terminal_info",
    "account_info",
    "copy_ticks_from",
    "copy_ticks_range",
    "copy_rates_from",
    "copy_rates_from_pos",
    "copy_rates_range",
    "positions_total",
    "positions_get",
    "orders_total",
    "orders_get",
    "history_orders_total",
    "history_orders_get",
    "history_deals_total",
    "history_deals_get",
    "order_check",
    "order_send",
    "order_calc_margin",
    "order_calc_profit",
    "symbol_info",
    "symbol_info_tick",
    "symbol_select",
    "symbols_total",
    "symbols_get",
    "market_book_add",
    "market_book_release",
    "market_book_get",
    "last_error",
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
    functions = [n for n, v in vars(_core).items() if isinstance(v, types.BuiltinFunctionType)]
    assert functions == FUNCTIONS


def test_exactly_the_eleven_record_types_after_the_functions():
    names = list(vars(_core))
    type_names = [n for n, v in vars(_core).items() if isinstance(v, type)]
    assert sorted(type_names) == sorted(RECORD_TYPES)
    assert type_names == list(RECORD_TYPES)
    last_function = max(
        i for i, n in enumerate(names) if isinstance(getattr(_core, n), types.BuiltinFunctionType)
    )
    assert all(names.index(n) > last_function for n in type_names)


def test_each_record_type_has_its_docstring_fields_and_asdict():
    for name, (doc, count) in RECORD_TYPES.items():
        cls = getattr(_core, name)
        assert cls.__name__ == name
        assert cls.__doc__ == doc
        assert cls.n_fields == cls.n_sequence_fields == count
        assert callable(cls._asdict)


def _stub():
    with open(os.path.join(os.path.dirname(zelkor5.__file__), "_core.pyi")) as f:
        return {n.name: n for n in ast.parse(f.read()).body if isinstance(n, ast.FunctionDef)}


def _stub_parameters(node):
    a = node.args
    kinds = inspect.Parameter
    params = [(x.arg, kinds.POSITIONAL_ONLY) for x in a.posonlyargs]
    params += [(x.arg, kinds.POSITIONAL_OR_KEYWORD) for x in a.args]
    params += [(x.arg, kinds.KEYWORD_ONLY) for x in a.kwonlyargs]
    if a.kwarg:
        params.append((a.kwarg.arg, kinds.VAR_KEYWORD))
    return params


def test_every_function_has_the_stubs_signature_and_keeps_its_docstring():
    stub = _stub()
    assert list(stub) == FUNCTIONS
    for name in FUNCTIONS:
        function = getattr(zelkor5, name)
        signature = inspect.signature(function)
        assert [(p.name, p.kind) for p in signature.parameters.values()] == _stub_parameters(
            stub[name]
        ), name
        # The docstring is the signature line and the description, nothing
        # else (the text signature stays out of it).
        line, description = getattr(_core, name).__doc__.split("\n\n")
        assert line.startswith(name + "(") and description and "\n" not in description
        # help() shows the parameters and the docstring.
        text = pydoc.render_doc(function, renderer=pydoc.plaintext)
        assert name + str(signature) in text and line in text and description in text
        # So do the facades' functions.
        for facade in (strict, aio):
            assert inspect.signature(getattr(facade, name)) == signature or name == "last_error"


def test_order_send_documents_every_request_key():
    doc = ast.get_docstring(_stub()["order_send"])
    keys = re.findall(r"^\s*\| `(\w+)` \|", doc, re.M)
    assert keys == list(_core.TradeRequest._fields)
