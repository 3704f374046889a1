"""Argument conversions, seen in the bytes that reach the terminal."""

import datetime
import math
import time

import pytest
from conftest import after_handshake
from peer import i64, parse_request, reply, u32, wstr

import zelkor5

INVALID = (-2, "Invalid arguments")


class Str(str):
    pass


class Stamp(datetime.datetime):
    """A datetime whose timestamp is fixed, whatever the local time zone."""

    def __new__(cls, value):
        obj = super().__new__(cls, 2000, 1, 1)
        obj.value = value
        return obj

    def timestamp(self):
        return self.value


def sent_dates(p):
    _, args = parse_request(after_handshake(p)[-1])
    return args


@pytest.mark.parametrize(
    "date, seconds",
    [
        (1000, 1000),
        (1000.9, 1000),
        (Stamp(1000.9), 1000),
        (-1.5, -1),
        (True, 1),
        (0, 0),
        (0.5, 0),
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
        (datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), 1577836800),
        # Beyond the 32-bit range: the earliest or latest second it holds.
        (2**31, 2**31 - 1),
        (2**100, 2**31 - 1),
        (-(2**31) - 1, -(2**31)),
        (-(2**100), -(2**31)),
        (2.0**31, 2**31 - 1),
        (-1e300, -(2**31)),
        (float("inf"), 2**31 - 1),
        (float("-inf"), -(2**31)),
        (Stamp(2.0**40), 2**31 - 1),
        (datetime.datetime(2100, 1, 1), 2**31 - 1),
        (datetime.datetime(1900, 1, 1, tzinfo=datetime.timezone.utc), -(2**31)),
    ],
)
def test_dates_become_signed_seconds(connect, date, seconds):
    p = connect([reply(150, 1, u32(0))])
    assert zelkor5.history_deals_total(date, 0) == 0
    assert sent_dates(p) == i64(seconds) + i64(0)


@pytest.mark.parametrize(
    "date",
    [
        datetime.date(2020, 1, 1),
        "1000",
        None,
        b"1",
        float("nan"),
        Stamp(math.nan),
    ],
)
@pytest.mark.filterwarnings("ignore:history_deals_total")  # the hint for a date
def test_dates_refused(connect, date):
    p = connect()
    assert zelkor5.history_deals_total(date, 0) is None
    assert zelkor5.last_error() == INVALID
    assert after_handshake(p) == []


@pytest.mark.parametrize(
    "symbol, accepted",
    [
        ("S" * 29, True),
        ("S" * 30, False),
        ("\U0001f600" + "S" * 27, True),
        ("\U0001f600" + "S" * 28, False),
        (Str("EURUSD"), True),
        (b"EURUSD", False),
        ("", True),
        (None, False),
    ],
)
def test_symbol_limits(connect, symbol, accepted):
    p = connect([reply(172, 1, bytes(60))])
    result = zelkor5.symbol_info_tick(symbol)
    assert (result is not None) is accepted, zelkor5.last_error()
    if accepted:
        assert [parse_request(f) for f in after_handshake(p)] == [(172, wstr(str(symbol)))]
    else:
        assert zelkor5.last_error() == INVALID
        assert after_handshake(p) == []


@pytest.mark.parametrize(
    "symbol, sent",
    [
        ("EUR\0USD", "EUR"),  # only the text before a NUL travels
        ("A\ud800B", "A\ud800B"),  # a lone surrogate passes as it is
    ],
)
def test_symbol_text_as_sent(connect, symbol, sent):
    p = connect([reply(172, 1, bytes(60))])
    assert zelkor5.symbol_info_tick(symbol) is not None
    _, args = parse_request(after_handshake(p)[0])
    assert args == u32(len(sent.encode("utf-16-le", "surrogatepass")) // 2) + sent.encode(
        "utf-16-le", "surrogatepass"
    )


@pytest.mark.parametrize("units, accepted", [(1997, True), (1998, False)])
def test_mask_limit(connect, units, accepted):
    p = connect([reply(175, 1, u32(0))])
    result = zelkor5.symbols_get(group="G" * units)
    if accepted:
        assert result == ()
        assert parse_request(after_handshake(p)[0]) == (175, wstr("G" * units))
    else:
        assert result is False  # argument errors of symbols_get
        assert zelkor5.last_error() == (-2, 'Invalid "group" argument')


# A keyword a function does not take, or a request key it does not know, is
# ignored as before, with a UserWarning naming the function and the key.
ORDER = {"action": 1, "symbol": "XAUUSD", "volume": 0.1, "type": 0, "price": 2000.0}


@pytest.mark.parametrize(
    "call, plain, reply_to",
    [
        (
            lambda: zelkor5.positions_get(sym="XAUUSD"),
            lambda: zelkor5.positions_get(),
            reply(121, 1, u32(0)),
        ),
        (lambda: zelkor5.orders_get(tiket=5), lambda: zelkor5.orders_get(), reply(131, 1, u32(0))),
        (
            lambda: zelkor5.history_deals_get(0, 10, grop="EUR*"),
            lambda: zelkor5.history_deals_get(0, 10),
            reply(151, 1, u32(0)),
        ),
        (
            lambda: zelkor5.history_orders_get(positon=1, ticket=3),
            lambda: zelkor5.history_orders_get(ticket=3),
            reply(143, 1, bytes(340)),
        ),
        (
            lambda: zelkor5.symbols_get(groups="EUR*"),
            lambda: zelkor5.symbols_get(),
            reply(174, 1, u32(0)),
        ),
        (
            lambda: zelkor5.order_send(dict(ORDER, stop_loss=1.0)),
            lambda: zelkor5.order_send(ORDER),
            reply(161, 1, bytes(260)),
        ),
        (
            lambda: zelkor5.order_check(stop_loss=1.0, **ORDER),
            lambda: zelkor5.order_check(ORDER),
            reply(160, 1, bytes(252)),
        ),
    ],
)
def test_unknown_keywords_warn_and_change_nothing(connect, call, plain, reply_to):
    p = connect([reply_to, reply_to])
    expected = plain()
    with pytest.warns(UserWarning) as caught:
        result = call()
    assert result == expected and zelkor5.last_error() == (1, "Success")
    first, second = after_handshake(p)
    assert first == second
    (warning,) = caught
    name = call.__code__.co_names[1]  # the function the lambda calls
    key = {
        "positions_get": "sym",
        "orders_get": "tiket",
        "history_deals_get": "grop",
        "history_orders_get": "positon",
        "symbols_get": "groups",
    }.get(name, "stop_loss")
    kind = "request key" if name.startswith("order_") else "keyword argument"
    assert str(warning.message) == "%s() ignores unknown %s '%s'" % (name, kind, key)
    assert warning.filename == __file__  # points at the caller's line


def test_unknown_keyword_warns_once_per_call_site_and_obeys_the_filter(connect, exe_path):
    import warnings

    connect([reply(121, 1, u32(0))] * 3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        for _ in range(3):
            assert zelkor5.positions_get(symbl="X") == ()
    assert len(caught) == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="ignores unknown keyword argument 'symbl'"):
            zelkor5.positions_get(symbl="X")
    with pytest.warns(
        UserWarning, match=r"initialize\(\) ignores unknown keyword argument 'timout'"
    ):
        assert zelkor5.initialize(exe_path + "-missing", timout=5) is False
    assert zelkor5.last_error()[0] == -10003


# A value refused for its type that would do as the type asked for: the call
# fails exactly as before, and a UserWarning says what to pass instead.
@pytest.mark.parametrize(
    "call, error, hint",
    [
        (
            lambda np: zelkor5.copy_rates_from("EURUSD", 1, np.int64(1000), 2),
            INVALID,
            "copy_rates_from(): date_from of type numpy.int64 is not accepted; pass int(value)",
        ),
        (
            lambda np: zelkor5.history_deals_total(0, np.float32(10.0)),
            INVALID,
            "history_deals_total(): date_to of type numpy.float32 is not accepted; pass float(value)",
        ),
        (
            lambda np: zelkor5.copy_ticks_range("EURUSD", datetime.date(2020, 1, 1), 0, 1),
            INVALID,
            "copy_ticks_range(): date_from of type datetime.date is not accepted; pass a "
            "datetime.datetime, or an int of seconds since 1970",
        ),
        (
            lambda np: zelkor5.history_orders_total(np.datetime64("2020-01-01"), 0),
            INVALID,
            "history_orders_total(): date_from of type numpy.datetime64 is not accepted; pass a "
            "datetime.datetime, or an int of seconds since 1970",
        ),
        (
            lambda np: zelkor5.positions_get(ticket=np.uint64(7)),
            (-2, 'Invalid "ticket" argument'),
            "positions_get(): ticket of type numpy.uint64 is not accepted; pass int(value)",
        ),
        (
            lambda np: zelkor5.history_deals_get(position=np.int64(7)),
            (-2, 'Invalid "position" argument'),
            "history_deals_get(): position of type numpy.int64 is not accepted; pass int(value)",
        ),
        (
            lambda np: zelkor5.order_check(dict(ORDER, action=1, volume=1)),
            (-2, 'Invalid "volume" argument'),
            "order_check(): volume of type int is not accepted; pass 1.0",
        ),
        (
            lambda np: zelkor5.order_send(dict(ORDER, type=np.int32(0))),
            (-2, 'Invalid "type" argument'),
            "order_send(): type of type numpy.int32 is not accepted; pass int(value)",
        ),
    ],
    ids=[
        "numpy int date",
        "numpy float date",
        "date",
        "datetime64",
        "numpy ticket",
        "numpy position",
        "int volume",
        "numpy type",
    ],
)
def test_type_refusals_hint_at_what_to_pass(connect, call, error, hint):
    np = pytest.importorskip("numpy")
    p = connect()
    with pytest.warns(UserWarning) as caught:
        assert call(np) is None
    assert zelkor5.last_error() == error
    assert [str(w.message) for w in caught] == [hint]
    assert caught[0].filename == __file__
    assert after_handshake(p) == []
    # Values of the right type, and refusals no other type would cure, say nothing.
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert zelkor5.history_deals_total("1000", 0) is None
        assert zelkor5.last_error() == INVALID


def test_a_naive_pandas_timestamp_is_utc_and_a_naive_datetime_local(connect, monkeypatch):
    pd = pytest.importorskip("pandas")
    monkeypatch.setenv("TZ", "Europe/Berlin")  # UTC+1 in January
    time.tzset()
    try:
        p = connect([reply(150, 1, u32(0))] * 2)
        assert zelkor5.history_deals_total(pd.Timestamp("2020-01-01 00:00"), 0) == 0
        assert sent_dates(p) == i64(1577836800) + i64(0)
        assert zelkor5.history_deals_total(datetime.datetime(2020, 1, 1), 0) == 0
        assert sent_dates(p) == i64(1577836800 - 3600) + i64(0)
    finally:
        monkeypatch.undo()
        time.tzset()
