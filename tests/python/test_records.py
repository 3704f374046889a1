"""The eleven record types: registration, field lists, _asdict, and the
byte-level conversion of wire records into them."""

import copy
import math
import pickle
import subprocess
import sys
import types

import pytest
from layouts import (
    ACCOUNT_INFO,
    ALL_LAYOUTS,
    BOOK_INFO,
    SYMBOL_INFO,
    TERMINAL_INFO,
    TICK,
    same_value,
)
from peer import array, reply

import zelkor5
from zelkor5 import _core

DOCS = {
    "TradePosition": "Trade position structure",
    "TradeOrder": "Trade order structure",
    "TradeDeal": "Trade deal structure",
    "TradeRequest": "Trade request structure",
    "OrderSendResult": "order_send result structure",
    "OrderCheckResult": "order_check result structure",
    "Tick": "This is a structure for storing latest symbol prices",
    "TerminalInfo": "This is a structure for storing terminal information",
    "SymbolInfo": "This is a structure for storing symbol information",
    "AccountInfo": "This is a structure for storing account information",
    "BookInfo": "This is a structure for storing Depth of Market information",
}
FIELD_COUNTS = {
    "TradePosition": 19,
    "TradeOrder": 24,
    "TradeDeal": 18,
    "TradeRequest": 17,
    "OrderSendResult": 11,
    "OrderCheckResult": 9,
    "Tick": 8,
    "TerminalInfo": 22,
    "SymbolInfo": 96,
    "AccountInfo": 28,
    "BookInfo": 4,
}
TYPE_NAMES = list(DOCS)
LAYOUTS = {layout.name: layout for layout in ALL_LAYOUTS}


def field_names(tp):
    """Attribute names of a struct-sequence type, in tuple order."""
    return [k for k, v in vars(tp).items() if isinstance(v, types.MemberDescriptorType)]


def instance(tp, values=None):
    n = FIELD_COUNTS[tp.__name__]
    return tp(tuple(values) if values is not None else tuple(range(n)))


# --- the types -------------------------------------------------------------


def test_types_are_registered_in_order_after_the_functions():
    names = list(vars(_core))
    present = [n for n in names if n in DOCS]
    assert present == TYPE_NAMES
    functions = [
        i for i, n in enumerate(names) if isinstance(getattr(_core, n), types.BuiltinFunctionType)
    ]
    assert max(functions) < names.index(TYPE_NAMES[0])
    for name in TYPE_NAMES:
        assert getattr(zelkor5, name) is getattr(_core, name)


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_type_docstring_name_and_sizes(name):
    tp = getattr(_core, name)
    assert tp.__name__ == name
    assert tp.__doc__ == DOCS[name]
    assert tp.n_fields == tp.n_sequence_fields == FIELD_COUNTS[name]
    assert tp.n_unnamed_fields == 0
    assert issubclass(tp, tuple)


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_field_names_in_order(name):
    assert tuple(field_names(getattr(_core, name))) == LAYOUTS[name].names


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_record_len_index_iteration_and_attributes(name):
    tp = getattr(_core, name)
    n = FIELD_COUNTS[name]
    rec = instance(tp)
    assert len(rec) == n
    assert list(rec) == list(range(n))
    assert rec[n - 1] == n - 1
    for i, field in enumerate(field_names(tp)):
        assert getattr(rec, field) == i


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_asdict_keys_in_field_order_and_values_identical(name):
    tp = getattr(_core, name)
    n = FIELD_COUNTS[name]
    values = [object() for _ in range(n)]
    rec = instance(tp, values)
    d = rec._asdict()
    assert type(d) is dict
    assert list(d) == list(LAYOUTS[name].names)
    assert len(d) == n
    for key, value in zip(d, values):
        assert d[key] is value


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_asdict_is_a_method_with_its_docstring(name):
    tp = getattr(_core, name)
    assert "_asdict" in vars(tp)
    assert tp._asdict.__doc__ == "Convert named tuple object to dictionary"
    with pytest.raises(TypeError):
        instance(tp)._asdict(1)


def test_asdict_leaves_the_error_state_as_it_was():
    rec = instance(_core.BookInfo)
    assert _core.symbol_info(1) is None
    before = zelkor5.last_error()
    assert before == (-2, "Invalid arguments")
    assert rec._asdict() == {"type": 0, "price": 1, "volume": 2, "volume_dbl": 3}
    assert zelkor5.last_error() == before


def test_asdict_refuses_a_record_of_another_type():
    with pytest.raises(TypeError):
        _core.Tick._asdict(instance(_core.BookInfo))


@pytest.mark.parametrize("name", ["OrderSendResult", "OrderCheckResult"])
def test_asdict_does_not_convert_the_nested_request(name):
    tp = getattr(_core, name)
    request = instance(_core.TradeRequest)
    rec = instance(tp, list(range(FIELD_COUNTS[name] - 1)) + [request])
    d = rec._asdict()
    assert d["request"] is request
    assert type(d["request"]) is _core.TradeRequest


@pytest.mark.parametrize("name", TYPE_NAMES)
def test_records_have_fields_and_pickle_and_copy(name):
    tp = getattr(_core, name)
    assert tp._fields == LAYOUTS[name].names
    values = [float(i) + 0.5 if i % 3 else "text %d" % i for i in range(FIELD_COUNTS[name])]
    if name in ("OrderSendResult", "OrderCheckResult"):
        values[-1] = instance(_core.TradeRequest)
    rec = instance(tp, values)
    copies = [copy.copy(rec), copy.deepcopy(rec)]
    copies += [
        pickle.loads(pickle.dumps(rec, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
    ]
    for other in copies:
        assert type(other) is tp and other == rec and repr(other) == repr(rec)
        assert other._asdict() == rec._asdict()
    # Nothing else about the type changed.
    assert tp.__name__ == name and repr(tp) == "<class '%s'>" % name
    try:
        import pandas
    except ImportError:  # only the main test environment has it
        return
    assert list(pandas.DataFrame([rec, rec]).columns) == list(tp._fields)


def test_records_unpickle_in_another_interpreter():
    """As multiprocessing and joblib hand them over."""
    records = [instance(getattr(_core, name)) for name in TYPE_NAMES]
    out = subprocess.run(
        [
            sys.executable,
            "-c",
            "import pickle, sys\n"
            "for r in pickle.load(sys.stdin.buffer): print(type(r).__name__, repr(r))",
        ],
        input=pickle.dumps(records),
        capture_output=True,
        check=True,
        text=False,
    )
    assert out.stdout.decode().splitlines() == ["%s %r" % (type(r).__name__, r) for r in records]


def test_record_types_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (_core.SymbolInfo,), {})


# --- conversion of records sent by the terminal ----------------------------


def fetch_symbol(connect, record):
    p = connect([reply(174, 1, array([record], 2993))])
    result = zelkor5.symbols_get()
    assert zelkor5.last_error() == (1, "Success")
    assert p.commands()[2:] == [174]
    (info,) = result
    return info


def fetch_one(connect, layout, record):
    """Sends `record` as the answer of the function that returns `layout`."""
    if layout is SYMBOL_INFO:
        connect([reply(170, 1, record)])
        return zelkor5.symbol_info("S")
    if layout is TICK:
        connect([reply(172, 1, record)])
        return zelkor5.symbol_info_tick("S")
    if layout is BOOK_INFO:
        connect([reply(193, 1, array([record], 28))])
        (entry,) = zelkor5.market_book_get("S")
        return entry
    if layout is ACCOUNT_INFO:
        connect([reply(190, 1, record)])
        return zelkor5.account_info()
    if layout is TERMINAL_INFO:
        connect([reply(180, 1, record)])
        return zelkor5.terminal_info()
    raise AssertionError(layout.name)


def assert_record(rec, layout, values):
    assert type(rec).__name__ == layout.name
    expected = layout.expected(values)
    got = rec._asdict()
    assert list(got) == list(layout.names)
    for name in expected:
        assert same_value(got[name], expected[name]), (name, got[name], expected[name])


@pytest.mark.parametrize(
    "layout",
    [SYMBOL_INFO, TICK, BOOK_INFO, ACCOUNT_INFO, TERMINAL_INFO],
    ids=lambda layout: layout.name,
)
@pytest.mark.parametrize("seed", [1, 2])
def test_every_field_comes_from_its_own_bytes(connect, layout, seed):
    values = layout.sample(seed)
    rec = fetch_one(connect, layout, layout.pack(values))
    assert_record(rec, layout, values)
    assert zelkor5.last_error() == (1, "Success")


EXTREMES = {
    "custom": 2,  # bool byte 2
    "select": 255,
    "visible": 0,
    "chart_mode": 0xFFFFFFFF,  # u32 all ones
    "digits": 0x80000000,
    "spread": -0x80000000,  # i32 0x80000000
    "trade_stops_level": 0x7FFFFFFF,
    "session_deals": 2**64 - 1,  # u64 all ones
    "volume": 2**63,
    "time": -(2**63),  # i64 0x8000000000000000
    "start_time": 2**63 - 1,
    "expiration_time": -1,
    "bid": math.nan,
    "ask": math.inf,
    "last": -math.inf,
    "point": -0.0,
    "option_strike": 5e-324,
    "price_change": 1.7976931348623157e308,
}


def test_extreme_values_of_every_wire_type(connect):
    values = dict(EXTREMES)
    rec = fetch_symbol(connect, SYMBOL_INFO.pack(values))
    assert rec.custom is True and rec.select is True and rec.visible is False
    assert rec.chart_mode == 4294967295
    assert rec.digits == 2147483648
    assert rec.spread == -2147483648
    assert rec.session_deals == 18446744073709551615
    assert rec.volume == 9223372036854775808
    assert rec.time == -9223372036854775808
    assert rec.expiration_time == -1
    assert math.isnan(rec.bid)
    assert rec.ask == math.inf and rec.last == -math.inf
    assert math.copysign(1, rec.point) == -1
    assert_record(rec, SYMBOL_INFO, values)


TEXTS = {
    "basis": "A" * 32,  # full width, no NUL: cut at the end
    "category": "\U0001f600 smile \U00010348",  # outside the BMP
    "currency_base": "ab\ud800cd",  # lone high surrogate
    "currency_profit": "x\udc00",  # lone low surrogate
    "currency_margin": "\u00e9t\u00e9",  # Latin-1, not ASCII
    "bank": "\u0416\u0443\u043a" + "\u4e2d",  # BMP beyond Latin-1
    "description": "before\0after",  # stops at the first NUL
    "exchange": "\u00ff" * 64,  # full-width Latin-1
    "formula": "z" * 255 + "\ud83d",  # full width ending in a lone half
    "isin": "\U0001f600" * 8,  # full width of surrogate pairs
    "page": "",
    "path": "p" * 127,
    "name": "EURUSD",
}


def test_text_fields(connect):
    rec = fetch_symbol(connect, SYMBOL_INFO.pack(TEXTS))
    assert rec.basis == "A" * 32
    assert rec.category == "\U0001f600 smile \U00010348"
    assert rec.currency_base == "ab\ud800cd"
    assert rec.currency_profit == "x\udc00"
    assert rec.currency_margin == "\u00e9t\u00e9"
    assert rec.description == "before"
    assert rec.exchange == "\u00ff" * 64
    assert rec.isin == "\U0001f600" * 8
    assert rec.page == ""
    assert rec.name == "EURUSD"
    # The full-width text stops at its field: the next field's bytes are not
    # read into it.
    assert rec.category.startswith("\U0001f600")
    assert_record(rec, SYMBOL_INFO, TEXTS)


@pytest.mark.parametrize(
    "text",
    [
        "a",
        "\u00e9",
        "\u0100",
        "\u7fff",
        "\uffff",
        "\ud7ff",
        "\ue000",
        "\U0010ffff",
        "a\u0080b",
        "\x7f\x80",
    ],
)
def test_single_text_values(connect, text):
    rec = fetch_symbol(connect, SYMBOL_INFO.pack({"description": text}))
    assert rec.description == text
    assert type(rec.description) is str


def test_neighbouring_records_that_differ_slightly(connect):
    # Each record differs from the one before it in one detail that a
    # conversion reusing equal neighbouring values must not miss.
    base = {
        "name": "A",
        "description": "abc",
        "bid": 0.0,
        "spread": 5,
        "volume": 7,
        "basis": "B" * 31,
        "chart_mode": 1,
        "custom": 1,
    }
    variants = [
        {},
        {"description": "ab"},  # shorter: the terminator differs
        {"description": "ab\0zz"},  # same text, other bytes after the NUL
        {"description": "abd"},
        {"bid": -0.0},  # equal as numbers, not as bits
        {"bid": math.nan},
        {"bid": 0.0},
        {"basis": "B" * 32},  # full width after a terminated one
        {"basis": "B" * 31},
        {"spread": -5, "volume": 2**64 - 1},
        {"custom": 2},
        {"custom": 0},
        {},
    ]
    values = []
    for change in variants:
        v = dict(base)
        v.update(change)
        values.append(v)
    connect([reply(174, 1, array([SYMBOL_INFO.pack(v) for v in values], 2993))])
    result = zelkor5.symbols_get()
    assert len(result) == len(values)
    for rec, v in zip(result, values):
        assert_record(rec, SYMBOL_INFO, v)
    assert math.copysign(1, result[4].bid) == -1
    assert math.copysign(1, result[6].bid) == 1
