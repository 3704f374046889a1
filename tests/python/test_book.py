"""market_book_add, market_book_release, market_book_get."""

import pytest
from conftest import after_handshake
from layouts import BOOK_INFO
from peer import array, fail, hangup_after, reply, request_bytes, u32, wstr

import zelkor5

SUCCESS = (1, "Success")
INVALID = (-2, "Invalid arguments")
NO_CONNECTION = (-10004, "No IPC connection")

FUNCTIONS = ["market_book_add", "market_book_release", "market_book_get"]
COMMANDS = {"market_book_add": 191, "market_book_release": 192, "market_book_get": 193}


def entry(kind, price, volume, volume_dbl):
    return BOOK_INFO.pack(
        {"type": kind, "price": price, "volume": volume, "volume_dbl": volume_dbl}
    )


def test_book_keeps_the_terminal_order(connect):
    entries = [
        (1, 1.1010, 5, 5.0),
        (1, 1.1005, 3, 3.5),
        (2, 1.1000, 7, 7.25),
        (2, 1.0995, 1, 1.0),
        (4, 1.1020, 2, 2.0),
    ]
    p = connect([reply(193, 1, array([entry(*e) for e in entries], 28))])
    book = zelkor5.market_book_get("EURUSD")
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(193, wstr("EURUSD"))]
    assert type(book) is tuple
    assert [tuple(b) for b in book] == entries
    assert all(type(b) is zelkor5.BookInfo for b in book)
    assert book[2]._asdict() == {"type": 2, "price": 1.1, "volume": 7, "volume_dbl": 7.25}


def test_empty_book_is_an_empty_tuple(connect):
    connect([reply(193, 1, u32(0))])
    assert zelkor5.market_book_get("EURUSD") == ()
    assert zelkor5.last_error() == SUCCESS


@pytest.mark.parametrize("volume", [2**63, 2**64 - 1, 2**63 + 12345])
def test_volume_is_unsigned(connect, volume):
    connect([reply(193, 1, array([entry(0xFFFFFFFF, -0.5, volume, 1e300)], 28))])
    (b,) = zelkor5.market_book_get("X")
    assert b.volume == volume
    assert b.type == 4294967295
    assert b.price == -0.5 and b.volume_dbl == 1e300


def test_many_entries_cross_the_stream_buffer(connect):
    entries = [(i % 2 + 1, 1.0 + i / 1e4, i, i / 2) for i in range(2000)]
    connect([reply(193, 1, array([entry(*e) for e in entries], 28))])
    assert [tuple(b) for b in zelkor5.market_book_get("X")] == entries


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize(
    "args",
    [(), ("A", "B"), (1,), (b"EURUSD",), (None,), ("s" * 30,), ("\U0001f600" + "x" * 28,)],
    ids=repr,
)
def test_argument_errors_return_none(connect, function, args):
    p = connect()
    assert getattr(zelkor5, function)(*args) is None
    assert zelkor5.last_error() == INVALID
    assert after_handshake(p) == []


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("symbol", ["s" * 29, "\U0001f600" + "x" * 27])
def test_longest_symbol_is_accepted(connect, function, symbol):
    cmd = COMMANDS[function]
    p = connect([reply(cmd, 1, u32(0) if cmd == 193 else b"")])
    assert getattr(zelkor5, function)(symbol) in (True, ())
    assert after_handshake(p) == [request_bytes(cmd, wstr(symbol))]


@pytest.mark.parametrize("function", ["market_book_add", "market_book_release"])
@pytest.mark.parametrize("status", [0, 1, 7])
def test_subscription_success(connect, function, status):
    cmd = COMMANDS[function]
    p = connect([reply(cmd, status)])
    assert getattr(zelkor5, function)("EURUSD") is True
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(cmd, wstr("EURUSD"))]


# A failed add or release answers False and says why in last_error(), as
# every other function does.
@pytest.mark.parametrize("function", ["market_book_add", "market_book_release"])
@pytest.mark.parametrize(
    "action, error",
    [
        ("fail-1", (-1, "Terminal: Call failed")),
        ("fail-4", (-4, "Terminal: Not found")),
        ("fail-99", (-99, "Terminal: Call failed")),
        ("echo", (-10000, "IPC call failed")),
        ("payload", (-10002, "IPC recv failed")),
        ("hangup", (-10002, "IPC recv failed")),
    ],
)
def test_subscription_failure_is_reported(connect, function, action, error):
    cmd = COMMANDS[function]
    script = {
        "fail-1": fail(cmd, -1),
        "fail-4": fail(cmd, -4),
        "fail-99": fail(cmd, -99),
        "echo": reply(cmd + 1, 1),
        "payload": reply(cmd, 1, u32(0)),
        "hangup": hangup_after(0, reply(cmd, 1)),
    }[action]
    connect([script])
    assert getattr(zelkor5, function)("EURUSD") is False
    assert zelkor5.last_error() == error


@pytest.mark.parametrize(
    "action, error",
    [
        (fail(193, -4), (-4, "Terminal: Not found")),
        (reply(192, 1, u32(0)), (-10000, "IPC call failed")),
        (reply(193, 1, u32(2) + entry(1, 1.0, 1, 1.0)), (-10002, "IPC recv failed")),
    ],
    ids=["status", "echo", "short"],
)
def test_book_get_failures_return_none(connect, action, error):
    connect([action])
    assert zelkor5.market_book_get("EURUSD") is None
    assert zelkor5.last_error() == error


@pytest.mark.parametrize(
    "function, failure",
    [
        ("market_book_add", False),
        ("market_book_release", False),
        ("market_book_get", None),
    ],
)
def test_without_connection(function, failure):
    zelkor5.shutdown()
    assert getattr(zelkor5, function)("EURUSD") is failure
    assert zelkor5.last_error() == NO_CONNECTION
