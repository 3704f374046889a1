"""order_check, order_send, order_calc_margin, order_calc_profit."""

import pytest
from conftest import after_handshake
from peer import echo, f64, fail, reply, request_bytes, u32, wstr
from trade_records import CHECK_RESULT, REQUEST, REQUEST_KEYS, SEND_RESULT

import zelkor5

ORDER_CHECK, ORDER_SEND, CALC_MARGIN, CALC_PROFIT = 160, 161, 162, 163
SUCCESS = (1, "Success")
NO_CONNECTION = (-10004, "No IPC connection")
BAD_ARGS = (-2, "Invalid arguments")

FULL = {
    "action": 1,
    "magic": 2**64 - 1,
    "order": 123456789012,
    "symbol": "EURUSD\u00e9",
    "volume": 0.25,
    "price": 1.0875,
    "stoplimit": 1.5,
    "sl": 1.05,
    "tp": 1.2,
    "deviation": 20,
    "type": 4294967295,
    "type_filling": 2,
    "type_time": 3,
    "expiration": -5,
    "comment": "from python \U0001f600",
    "position": 77,
    "position_by": 2**63,
}
ZERO_REQUEST = dict(
    zip(REQUEST_KEYS, [0, 0, 0, "", 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0, 0, 0, "", 0, 0])
)

CHECK_REPLY = CHECK_RESULT.pack(
    retcode=0,
    balance=1000.0,
    equity=1001.5,
    profit=1.5,
    margin=10.0,
    margin_free=990.0,
    margin_level=10015.0,
    comment="Done",
)
SEND_REPLY = SEND_RESULT.pack(
    retcode=10009,
    deal=5,
    order=6,
    volume=0.25,
    price=1.0876,
    bid=1.0875,
    ask=1.0877,
    comment="Request executed",
    request_id=9,
    retcode_external=0,
)


def check_ok():
    return reply(ORDER_CHECK, 1, CHECK_REPLY)


def send_ok():
    return reply(ORDER_SEND, 1, SEND_REPLY)


def sent_record(p, index=0):
    """The TradeRequest record of the index-th request after the handshake."""
    frame = after_handshake(p)[index]
    assert len(frame) == 8 + 232
    return frame[8:]


# --- the request record ----------------------------------------------------


@pytest.mark.parametrize(
    "func, cmd, answer",
    [
        ("order_check", ORDER_CHECK, check_ok),
        ("order_send", ORDER_SEND, send_ok),
    ],
)
def test_full_request_record_bytes(connect, func, cmd, answer):
    p = connect([answer()])
    result = getattr(zelkor5, func)(FULL)
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(cmd, REQUEST.pack(**FULL))]
    assert result.request._asdict() == FULL
    assert type(result.request).__name__ == "TradeRequest"


def test_empty_request_sends_232_zero_bytes(connect):
    p = connect([check_ok()])
    result = zelkor5.order_check({})
    assert after_handshake(p) == [request_bytes(ORDER_CHECK, b"\0" * 232)]
    assert result.request._asdict() == ZERO_REQUEST
    assert list(result.request) == list(ZERO_REQUEST.values())


def test_unknown_keys_are_ignored(connect):
    p = connect([check_ok()])
    with pytest.warns(UserWarning) as caught:
        assert zelkor5.order_check({"action": 1, "request": 5, "volume_real": 1}) is not None
    assert sent_record(p) == REQUEST.pack(action=1)
    assert [str(w.message) for w in caught] == [
        "order_check() ignores unknown request key 'request'",
        "order_check() ignores unknown request key 'volume_real'",
    ]


def test_check_result_fields(connect):
    connect([check_ok()])
    result = zelkor5.order_check({"symbol": "X"})
    assert type(result).__name__ == "OrderCheckResult"
    d = result._asdict()
    assert list(d) == CHECK_RESULT.names + ["request"]
    assert {k: d[k] for k in CHECK_RESULT.names} == CHECK_RESULT.unpack(CHECK_REPLY)
    # _asdict does not recurse into the request.
    assert type(d["request"]).__name__ == "TradeRequest"
    assert d["request"].symbol == "X"


def test_send_result_fields(connect):
    connect([send_ok()])
    result = zelkor5.order_send({"action": 1})
    assert type(result).__name__ == "OrderSendResult"
    d = result._asdict()
    assert list(d) == SEND_RESULT.names + ["request"]
    assert {k: d[k] for k in SEND_RESULT.names} == SEND_RESULT.unpack(SEND_REPLY)
    assert d["request"].action == 1


def test_retcode_external_is_signed_and_the_others_unsigned(connect):
    record = SEND_RESULT.pack(
        retcode=0xFFFFFFFF, request_id=0xFFFFFFFF, retcode_external=-1, deal=2**64 - 1
    )
    connect([reply(ORDER_SEND, 0, record)])
    result = zelkor5.order_send({})
    assert result.retcode == 4294967295
    assert result.request_id == 4294967295
    assert result.retcode_external == -1
    assert result.deal == 2**64 - 1


def test_rejected_trade_is_still_a_result(connect):
    # The status decides success, not the retcode inside the record.
    record = SEND_RESULT.pack(retcode=10006, comment="Request rejected")
    connect([reply(ORDER_SEND, 0, record)])
    result = zelkor5.order_send({"action": 1})
    assert result.retcode == 10006 and result.comment == "Request rejected"
    assert zelkor5.last_error() == SUCCESS


# --- key conversions ---------------------------------------------------------

FLOAT_KEYS = ["volume", "price", "stoplimit", "sl", "tp"]
U32_KEYS = ["action", "type", "type_filling", "type_time"]
U64_KEYS = ["magic", "order", "deviation", "position", "position_by"]
TEXT_KEYS = ["symbol", "comment"]

REFUSED = (
    [(k, v) for k in FLOAT_KEYS for v in (1, True, "1.0", None)]
    + [(k, v) for k in U32_KEYS for v in (-1, 2**32, 1.0, "1")]
    + [(k, v) for k in U64_KEYS for v in (-1, 2**64, 1.0, "1")]
    + [("expiration", v) for v in (2**63, -(2**63) - 1, 1.0, "1")]
    + [(k, v) for k in TEXT_KEYS for v in ("x" * 30, "\U0001f600" + "x" * 28, b"EURUSD", 1)]
)


@pytest.mark.parametrize("key, value", REFUSED)
def test_each_key_refuses_bad_values_and_sends_nothing(connect, key, value):
    p = connect()
    for func in (zelkor5.order_check, zelkor5.order_send):
        assert func({key: value}) is None
        assert zelkor5.last_error() == (-2, 'Invalid "%s" argument' % key)
    assert after_handshake(p) == []


ACCEPTED = (
    [(k, v) for k in U32_KEYS for v in (0, 2**32 - 1, True)]
    + [(k, v) for k in U64_KEYS for v in (0, 2**64 - 1)]
    + [("expiration", v) for v in (-(2**63), 2**63 - 1, -1)]
    + [(k, v) for k in FLOAT_KEYS for v in (-0.5, 1e300)]
    + [(k, v) for k in TEXT_KEYS for v in ("x" * 29, "\U0001f600" + "x" * 27, "", "A\0B")]
)


def test_accepted_limits_are_stored_exactly(connect):
    p = connect(default=echo(1, CHECK_REPLY))
    for key, value in ACCEPTED:
        result = zelkor5.order_check({key: value})
        assert zelkor5.last_error() == SUCCESS, (key, value)
        expected = value.split("\0")[0] if isinstance(value, str) else value
        assert getattr(result.request, key) == expected
    records = [f[8:] for f in after_handshake(p)]
    assert len(records) == len(ACCEPTED)
    for (key, value), record in zip(ACCEPTED, records):
        if isinstance(value, str):
            # The text field carries the text and its NUL, zeros after it.
            units = value.encode("utf-16-le", "surrogatepass")
            assert record == REQUEST.pack(**{key: units}), key
        else:
            assert record == REQUEST.pack(**{key: value}), (key, value)


def test_a_float_subclass_and_an_int_subclass_are_accepted(connect):
    class F(float):
        pass

    class Int(int):
        pass

    p = connect([check_ok()])
    zelkor5.order_check({"volume": F(2.5), "magic": Int(3)})
    assert sent_record(p) == REQUEST.pack(volume=2.5, magic=3)


def test_expiration_refuses_a_datetime(connect):
    import datetime

    connect()
    assert zelkor5.order_check({"expiration": datetime.datetime(2020, 1, 1)}) is None
    assert zelkor5.last_error() == (-2, 'Invalid "expiration" argument')


@pytest.mark.parametrize("first", range(len(REQUEST_KEYS) - 1))
def test_the_first_bad_key_in_record_order_is_reported(first):
    bad = {
        "action": -1,
        "magic": -1,
        "order": -1,
        "symbol": 1,
        "volume": 1,
        "price": 1,
        "stoplimit": 1,
        "sl": 1,
        "tp": 1,
        "deviation": -1,
        "type": -1,
        "type_filling": -1,
        "type_time": -1,
        "expiration": 1.0,
        "comment": 1,
        "position": -1,
        "position_by": -1,
    }
    # Inserted last-first, so that the dictionary's own order would pick the
    # other key.
    keys = REQUEST_KEYS[first:]
    request = {k: bad[k] for k in reversed(keys)}
    assert zelkor5.order_send(request) is None
    assert zelkor5.last_error() == (-2, 'Invalid "%s" argument' % REQUEST_KEYS[first])


def test_bad_magic_and_symbol_report_magic():
    assert zelkor5.order_check({"symbol": 5, "magic": -1}) is None
    assert zelkor5.last_error() == (-2, 'Invalid "magic" argument')


# --- how the request is passed ----------------------------------------------


def test_keywords_are_the_request(connect):
    p = connect([send_ok(), send_ok()])
    zelkor5.order_send(action=1, symbol="EURUSD", volume=0.1)
    zelkor5.order_send({"action": 1, "symbol": "EURUSD", "volume": 0.1})
    a, b = after_handshake(p)
    assert a == b == request_bytes(ORDER_SEND, REQUEST.pack(action=1, symbol="EURUSD", volume=0.1))


@pytest.mark.filterwarnings(
    "ignore:.*ignores unknown:UserWarning"
)  # some cases pass unknown keywords
def test_a_keyword_named_request_is_just_another_key(connect):
    p = connect([send_ok()])
    assert zelkor5.order_send(request={"action": 1}) is not None
    assert sent_record(p) == b"\0" * 232


@pytest.mark.parametrize("func", [zelkor5.order_check, zelkor5.order_send])
@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (({"action": 1},), {"comment": "x"}, (-2, "Unnamed arguments not allowed")),
        ((), {}, (-2, "Invalid number of arguments")),
        (({}, {}), {}, (-2, "Invalid number of arguments")),
        (([("action", 1)],), {}, BAD_ARGS),
        (("action",), {}, BAD_ARGS),
        ((None,), {}, BAD_ARGS),
    ],
)
def test_malformed_calls(connect, func, args, kwargs, expected):
    p = connect()
    assert func(*args, **kwargs) is None
    assert zelkor5.last_error() == expected
    assert after_handshake(p) == []


def test_a_dict_subclass_is_accepted(connect):
    class D(dict):
        pass

    p = connect([check_ok()])
    assert zelkor5.order_check(D(action=2)) is not None
    assert sent_record(p) == REQUEST.pack(action=2)


def test_trade_request_is_refused_and_its_asdict_accepted(connect):
    p = connect([send_ok(), send_ok()])
    first = zelkor5.order_send(FULL)
    request = first.request
    assert zelkor5.order_send(request) is None
    assert zelkor5.last_error() == BAD_ARGS
    second = zelkor5.order_send(request._asdict())
    assert zelkor5.last_error() == SUCCESS
    assert second.request == request
    records = [f[8:] for f in after_handshake(p)]
    assert records == [REQUEST.pack(**FULL)] * 2


# --- statuses ------------------------------------------------------------------


def test_order_send_minus_8_has_its_own_message(connect):
    connect([fail(ORDER_SEND, -8)])
    assert zelkor5.order_send({"action": 1}) is None
    assert zelkor5.last_error() == (-8, "Auto-Trading using Python API disabled in Terminal")


def test_order_check_minus_8_is_a_plain_failure(connect):
    connect([fail(ORDER_CHECK, -8)])
    assert zelkor5.order_check({"action": 1}) is None
    assert zelkor5.last_error() == (-8, "Terminal: Call failed")


@pytest.mark.parametrize(
    "func, cmd, size", [("order_check", ORDER_CHECK, 252), ("order_send", ORDER_SEND, 260)]
)
@pytest.mark.parametrize(
    "answer, expected",
    [
        (lambda cmd, size: fail(cmd, -2), (-2, "Terminal: Invalid params")),
        (lambda cmd, size: fail(cmd, -4), (-4, "Terminal: Not found")),
        (lambda cmd, size: reply(cmd + 2, 1, b"\0" * size), (-10000, "IPC call failed")),
        (lambda cmd, size: reply(cmd, 1, b"\0" * (size - 1)), (-10002, "IPC recv failed")),
    ],
)
def test_failures_return_none(connect, func, cmd, size, answer, expected):
    connect([answer(cmd, size)])
    assert getattr(zelkor5, func)({}) is None
    assert zelkor5.last_error() == expected


@pytest.mark.parametrize("func", [zelkor5.order_check, zelkor5.order_send])
def test_no_connection(func):
    assert func({}) is None
    assert zelkor5.last_error() == NO_CONNECTION
    # Argument errors come first.
    assert func({"volume": 1}) is None
    assert zelkor5.last_error() == (-2, 'Invalid "volume" argument')


# --- margin and profit --------------------------------------------------------


def test_calc_margin_request_and_result(connect):
    p = connect([reply(CALC_MARGIN, 1, f64(12.5))])
    assert zelkor5.order_calc_margin(0, "EURUSD", 1, 1.1) == 12.5
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [
        request_bytes(CALC_MARGIN, u32(0) + wstr("EURUSD") + f64(1.0) + f64(1.1))
    ]


def test_calc_profit_request_and_result(connect):
    p = connect([reply(CALC_PROFIT, 0, f64(-3.25))])
    result = zelkor5.order_calc_profit(1, "GBPUSD", 0.5, 1.25, 1.2)
    assert result == -3.25 and type(result) is float
    assert after_handshake(p) == [
        request_bytes(CALC_PROFIT, u32(1) + wstr("GBPUSD") + f64(0.5) + f64(1.25) + f64(1.2))
    ]


@pytest.mark.parametrize("action, wire", [(-1, 4294967295), (2**32 + 3, 3), (True, 1)])
def test_calc_action_is_taken_modulo_2_32(connect, action, wire):
    p = connect([reply(CALC_MARGIN, 1, f64(1.0))])
    zelkor5.order_calc_margin(action, "X", 1.0, 2.0)
    assert after_handshake(p)[0][8:12] == u32(wire)


def test_calc_symbol_is_sent_up_to_its_nul(connect):
    p = connect([reply(CALC_MARGIN, 1, f64(1.0))])
    zelkor5.order_calc_margin(0, "AB\0CD", 1.0, 2.0)
    assert after_handshake(p)[0][12:] == wstr("AB") + f64(1.0) + f64(2.0)


MARGIN_OK = (0, "EURUSD", 1.0, 1.1)
PROFIT_OK = (0, "EURUSD", 1.0, 1.1, 1.2)


@pytest.mark.parametrize(
    "func, args",
    [
        ("order_calc_margin", MARGIN_OK[:3]),
        ("order_calc_margin", MARGIN_OK + (1.0,)),
        ("order_calc_margin", (1.0,) + MARGIN_OK[1:]),
        ("order_calc_margin", ("0",) + MARGIN_OK[1:]),
        ("order_calc_margin", (0, "x" * 30, 1.0, 1.1)),
        ("order_calc_margin", (0, b"EURUSD", 1.0, 1.1)),
        ("order_calc_margin", (0, "EURUSD", "1.0", 1.1)),
        ("order_calc_profit", PROFIT_OK[:4]),
        ("order_calc_profit", (0, 5, 1.0, 1.1, 1.2)),
        ("order_calc_profit", (0, "EURUSD", 1.0, 1.1, None)),
    ],
)
def test_calc_argument_errors_come_before_the_connection(func, args):
    assert getattr(zelkor5, func)(*args) is None
    assert zelkor5.last_error() == BAD_ARGS


def test_calc_accepts_29_units_and_refuses_keywords(connect):
    p = connect([reply(CALC_PROFIT, 1, f64(0.0))])
    assert zelkor5.order_calc_profit(0, "y" * 29, 1, 2, 3) == 0.0
    assert after_handshake(p)[0][12 : 12 + 4 + 58] == wstr("y" * 29)
    with pytest.raises(TypeError):
        zelkor5.order_calc_profit(0, "X", 1, 2, price_close=3)


@pytest.mark.parametrize(
    "func, args", [("order_calc_margin", MARGIN_OK), ("order_calc_profit", PROFIT_OK)]
)
def test_calc_no_connection_and_failure_status(connect, func, args):
    assert getattr(zelkor5, func)(*args) is None
    assert zelkor5.last_error() == NO_CONNECTION
    cmd = CALC_MARGIN if func == "order_calc_margin" else CALC_PROFIT
    connect([fail(cmd, -1)])
    assert getattr(zelkor5, func)(*args) is None
    assert zelkor5.last_error() == (-1, "Terminal: Call failed")
