"""The opt-in layers against the scriptable test terminal: zelkor5.strict
raises the family of each failure and returns the plain values otherwise,
the zelkor5 logger records calls with passwords masked, and the tick
stream's requests skip what it gave, ticks of one millisecond included;
strict refuses a request with an unknown key before sending it."""

import logging

import pytest
from conftest import after_handshake
from layouts import ORDER_SEND_RESULT, TICK
from peer import (
    CMD,
    Peer,
    close,
    echo,
    fail,
    hello,
    i32,
    i64,
    ready,
    reply,
    request_bytes,
    u32,
    wstr,
)

import zelkor5
from zelkor5 import _layers, errors, stream, strict

ORDER_SEND = CMD["ORDER_SEND"]
TICKS_FROM = CMD["TICKS_FROM"]


def test_the_wrapper_table_has_every_module_function():
    from test_function_table import FUNCTIONS

    assert list(_layers.FUNCTIONS) == FUNCTIONS
    assert strict.__all__ == FUNCTIONS
    assert all(callable(getattr(strict, name)) for name in FUNCTIONS)


@pytest.mark.parametrize(
    "status, family",
    [
        (-1, errors.Zelkor5Error),
        (-2, errors.InvalidArguments),
        (-4, errors.NotFound),
        (-5, errors.Unsupported),
        (-6, errors.AuthorizationFailed),
        (-9, errors.TerminalBusy),
    ],
)
def test_each_status_raises_its_family(connect, status, family):
    connect(default=echo(status))
    plain = zelkor5.positions_total()
    assert plain is None
    expected = zelkor5.last_error()
    with pytest.raises(family) as caught:
        strict.positions_total()
    assert type(caught.value) is family
    assert (caught.value.code, caught.value.message) == (
        expected[0],
        "positions_total: " + expected[1],
    )
    assert str(caught.value) == "positions_total: %s (%d)" % (expected[1], expected[0])


def test_connection_families_and_values(connect, exe_path):
    tick = TICK.pack({"time": 5, "bid": 1.5, "ask": 1.75, "time_msc": 5001})
    connect([echo(1, tick), echo(1, tick), close()])
    # The same value as the plain function, not None.
    assert strict.symbol_info_tick("EURUSD") == zelkor5.symbol_info_tick("EURUSD")
    with pytest.raises(errors.ConnectionLost) as lost:
        strict.account_info()
    assert lost.value.code in (-10001, -10002)
    with pytest.raises(errors.ConnectionLost) as closed:
        strict.account_info()
    assert closed.value.code == -10004
    # Argument errors, before any connection.
    with pytest.raises(errors.InvalidArguments) as bad:
        strict.copy_rates_from("EURUSD", 1.5, 0, 10)
    assert (bad.value.code, bad.value.message) == (-2, "copy_rates_from: Invalid arguments")
    with pytest.raises(errors.ConnectFailed) as failed:
        strict.initialize(exe_path + ".missing")
    assert failed.value.code == -10003
    assert isinstance(failed.value, errors.TerminalConnectionError)
    assert (
        strict.last_error()
        == zelkor5.last_error()
        == (failed.value.code, failed.value.message[12:])
    )


def test_a_terminal_not_ready_in_time_is_busy(exe_path):
    with Peer(exe_path, [hello()], default=reply(CMD["TERMINAL_STATE"], 1, u32(1))):
        with pytest.raises(errors.TerminalBusy) as caught:
            strict.initialize(exe_path, timeout=1)
    assert caught.value.code == -10005


@pytest.mark.parametrize(
    "retcode, rejected",
    [(10009, False), (10008, False), (10010, False), (10025, False), (10019, True), (10013, True)],
)
def test_order_send_raises_trade_rejected_for_a_refusal(connect, retcode, rejected):
    record = ORDER_SEND_RESULT.pack({"retcode": retcode, "order": 77, "comment": "why"})
    connect(default=reply(ORDER_SEND, 1, record))
    request = {"action": 1, "symbol": "EURUSD", "volume": 0.1, "magic": 5}
    if not rejected:
        assert strict.order_send(request) == zelkor5.order_send(request)
        return
    with pytest.raises(errors.TradeRejected) as caught:
        strict.order_send(request)
    e = caught.value
    assert e.result == zelkor5.order_send(request)
    assert (e.code, e.result.order, e.result.request.magic) == (retcode, 77, 5)
    assert "why" in str(e) and str(retcode) in str(e)


def test_trading_disabled(connect):
    connect([fail(ORDER_SEND, -8)])
    with pytest.raises(errors.TradingDisabled) as caught:
        strict.order_send({"action": 1})
    assert caught.value.code == -8


@pytest.mark.parametrize(
    "function, args, kwargs, key, closest",
    [
        (
            "order_send",
            ({"action": 1, "symbol": "EURUSD", "stoploss": 1.05},),
            {},
            "stoploss",
            "sl",
        ),
        ("order_send", ({"action": 1, "magik": 5},), {}, "magik", "magic"),
        ("order_check", (), {"action": 1, "Take_Profit": 1.2}, "Take_Profit", "tp"),
        ("order_check", ({"action": 1, 7: 0},), {}, 7, "volume"),
    ],
)
def test_strict_refuses_an_unknown_request_key_and_sends_nothing(
    connect, function, args, kwargs, key, closest
):
    p = connect(default=echo(-1))
    with pytest.raises(errors.InvalidArguments) as caught:
        getattr(strict, function)(*args, **kwargs)
    assert (caught.value.code, caught.value.message) == (
        -2,
        "%s(): unknown request key %r (the closest known key is %r); nothing was sent"
        % (function, key, closest),
    )
    assert after_handshake(p) == []
    # The plain module warns and sends the rest.
    with pytest.warns(UserWarning, match="ignores unknown request key"):
        getattr(zelkor5, function)(*args, **kwargs)
    assert p.commands()[2:] == [CMD[function.upper()]]


@pytest.fixture
def log_records():
    logger = logging.getLogger("zelkor5")
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record)

    handler = Keep()
    logger.addHandler(handler)
    old = logger.level
    logger.setLevel(logging.DEBUG)
    yield records
    logger.removeHandler(handler)
    logger.setLevel(old)


def test_calls_are_logged_with_passwords_masked(exe_path, log_records):
    record = ORDER_SEND_RESULT.pack({"retcode": 10009, "deal": 9, "order": 8, "comment": "ok"})
    script = [
        hello(),
        reply(CMD["LOGIN"], 1),
        ready(),
        reply(CMD["LOGIN"], 1),
        ready(),
        reply(ORDER_SEND, 1, record),
    ]
    with Peer(exe_path, script, default=echo(-4)):
        strict.initialize(exe_path, login=5, password="hunter2", server="S")
        strict.login(5, "hunter2", "S")
        strict.order_send({"action": 1, "symbol": "EURUSD", "magic": 3})
        with pytest.raises(errors.NotFound):
            strict.symbol_info("NOPE")
    text = "\n".join(r.getMessage() for r in log_records)
    assert "hunter2" not in text
    debug = [r.getMessage() for r in log_records if r.levelno == logging.DEBUG]
    assert debug[0].startswith(
        "initialize('%s', login=5, password=***, server='S') -> True in " % exe_path
    ) and debug[0].endswith(" ms, code 1")
    assert debug[1].startswith("login(5, ***, 'S') -> True")
    assert debug[-1].startswith("symbol_info('NOPE') -> None in ")
    assert debug[-1].endswith("code -4 'Terminal: Not found'")
    info = [r.getMessage() for r in log_records if r.levelno == logging.INFO]
    assert info == [
        "order_send request: {'action': 1, 'symbol': 'EURUSD', 'magic': 3}",
        "order_send result: retcode 10009, deal 9, order 8, volume 0.0, " "price 0.0, comment 'ok'",
    ]


def test_nothing_is_logged_below_the_level(connect, log_records):
    logging.getLogger("zelkor5").setLevel(logging.WARNING)
    connect(default=echo(1, u32(3)))
    assert strict.positions_total() == 3
    assert log_records == []


def test_tick_stream_gives_ticks_of_one_millisecond_once_across_pages(connect):
    def tick(msc, bid):
        return TICK.pack({"time": msc // 1000, "bid": bid, "ask": bid + 1, "time_msc": msc})

    def ticks(*records):
        return reply(TICKS_FROM, 1, u32(len(records)) + b"".join(records))

    a, b, c, d, e, f = (
        tick(1000, 1.0),
        tick(1000, 2.0),
        tick(1000, 3.0),
        tick(1500, 4.0),
        tick(2000, 5.0),
        tick(2000, 6.0),
    )
    info = CMD["SYMBOL_INFO_TICK"]
    p = connect(
        [
            # Round 1: three ticks of one millisecond, in pages of 2.
            reply(info, 1, e),
            ticks(a, b),
            ticks(a, b, c, d),
            ticks(a, b, c, d, e),
            # Round 2: the last tick has not changed: nothing is asked.
            reply(info, 1, e),
            # Round 3: a new tick of the last tick's millisecond.
            reply(info, 1, f),
            ticks(e, f),
            ticks(e, f),
        ]
    )
    s = stream.ticks("EURUSD", since_msc=1000, page=2, flags=1)
    got = s.poll() + s.poll() + s.poll()
    assert [(t.time_msc, t.bid) for t in got] == [
        (1000, 1.0),
        (1000, 2.0),
        (1000, 3.0),
        (1500, 4.0),
        (2000, 5.0),
        (2000, 6.0),
    ]
    assert all(t.symbol == "EURUSD" for t in got)

    def asked(second, count):
        return request_bytes(TICKS_FROM, wstr("EURUSD") + i64(second * 1000) + i32(count) + i32(1))

    sent = [r for r in after_handshake(p) if r[4:8] == u32(TICKS_FROM)]
    assert sent == [asked(1, 2), asked(1, 4), asked(1, 8), asked(2, 2), asked(2, 4)]
