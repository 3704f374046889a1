"""symbols_total, symbols_get, symbol_info, symbol_info_tick, symbol_select."""

import os
import subprocess
import sys

import pytest
from conftest import after_handshake
from layouts import SYMBOL_INFO, TICK
from peer import array, fail, reply, request_bytes, u8, u32, wstr

import zelkor5

NO_CONNECTION = (-10004, "No IPC connection")
SUCCESS = (1, "Success")
INCOMPATIBLE = (
    -5,
    "Terminal: Incompatible versions, please install the latest version of "
    "Terminal and Python module",
)
INVALID = (-2, "Invalid arguments")


def symbol_record(name, seed=1):
    values = SYMBOL_INFO.sample(seed)
    values["name"] = name
    return SYMBOL_INFO.pack(values)


def symbols_reply(cmd, names):
    return reply(cmd, 1, array([symbol_record(n, i) for i, n in enumerate(names)], 2993))


# --- symbols_total ---------------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 2**31, 2**32 - 1])
def test_symbols_total_returns_the_unsigned_count(connect, count):
    p = connect([reply(173, 1, u32(count))])
    assert zelkor5.symbols_total() == count
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(173)]


def test_symbols_total_terminal_failure(connect):
    connect([fail(173, -1)])
    assert zelkor5.symbols_total() is None
    assert zelkor5.last_error() == (-1, "Terminal: Call failed")


# --- symbols_get -----------------------------------------------------------


@pytest.mark.filterwarnings(
    "ignore:.*ignores unknown:UserWarning"
)  # some cases pass unknown keywords
@pytest.mark.parametrize(
    "args, kwargs, sent",
    [
        ((), {}, request_bytes(174)),
        (("",), {}, request_bytes(174)),
        ((), {"group": ""}, request_bytes(174)),
        ((), {"other": 5}, request_bytes(174)),
        (("EUR*",), {}, request_bytes(175, wstr("EUR*"))),
        ((), {"group": "*,!EUR*"}, request_bytes(175, wstr("*,!EUR*"))),
        (("A*",), {"group": "B*"}, request_bytes(175, wstr("B*"))),
        (("A*",), {"group": ""}, request_bytes(174)),
        (("",), {"group": "B*"}, request_bytes(175, wstr("B*"))),
        (("\u00e9\U0001f600*",), {}, request_bytes(175, wstr("\u00e9\U0001f600*"))),
        (("m" * 1997,), {}, request_bytes(175, wstr("m" * 1997))),
    ],
    ids=[
        "none",
        "empty",
        "empty-kw",
        "other-kw",
        "positional",
        "keyword",
        "keyword-wins",
        "empty-keyword-wins",
        "keyword-over-empty",
        "non-bmp",
        "longest",
    ],
)
def test_symbols_get_forms(connect, args, kwargs, sent):
    cmd = 174 if sent == request_bytes(174) else 175
    p = connect([symbols_reply(cmd, ["EURUSD", "GBPUSD"])])
    result = zelkor5.symbols_get(*args, **kwargs)
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [sent]
    assert type(result) is tuple
    assert [s.name for s in result] == ["EURUSD", "GBPUSD"]
    assert all(type(s) is zelkor5.SymbolInfo for s in result)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("A*", "B*"), {}, "Invalid number of arguments"),
        (("A*", "B*"), {"group": "C*"}, "Invalid number of arguments"),
        ((1,), {}, "Invalid 1st unnamed argument"),
        ((b"A*",), {}, "Invalid 1st unnamed argument"),
        (("m" * 1998,), {}, "Invalid 1st unnamed argument"),
        ((), {"group": 1}, 'Invalid "group" argument'),
        ((), {"group": None}, 'Invalid "group" argument'),
        ((), {"group": "m" * 1998}, 'Invalid "group" argument'),
        (("A*",), {"group": 1}, 'Invalid "group" argument'),
    ],
)
def test_symbols_get_argument_errors_return_false(connect, args, kwargs, message):
    p = connect()
    assert zelkor5.symbols_get(*args, **kwargs) is False
    assert zelkor5.last_error() == (-2, message)
    assert after_handshake(p) == []


def test_symbols_get_empty_list(connect):
    connect([reply(174, 1, u32(0))])
    assert zelkor5.symbols_get() == ()
    assert zelkor5.last_error() == SUCCESS


def test_symbols_get_keeps_the_terminal_order(connect):
    names = ["Z%03d" % i for i in range(300, 0, -1)]
    connect([symbols_reply(174, names)])
    result = zelkor5.symbols_get()
    assert [s.name for s in result] == names
    assert result[7].bid == SYMBOL_INFO.sample(7)["bid"]


@pytest.mark.parametrize(
    "action, error",
    [
        (fail(175, -4), (-4, "Terminal: Not found")),
        (reply(174, 1, u32(2) + symbol_record("A")), (-10002, "IPC recv failed")),
        (reply(176, 1, u32(0)), (-10000, "IPC call failed")),
    ],
    ids=["status", "short", "echo"],
)
def test_symbols_get_failures_after_the_arguments_return_none(connect, action, error):
    connect([action])
    assert zelkor5.symbols_get("A*" if error[0] == -4 else "") is None
    assert zelkor5.last_error() == error


# --- the build gate --------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda: zelkor5.symbols_total(),
        lambda: zelkor5.symbols_get(),
        lambda: zelkor5.symbols_get("EUR*"),
        lambda: zelkor5.symbols_get(group=""),
    ],
    ids=["total", "get", "get-mask", "get-empty"],
)
def test_build_2363_refuses_the_symbol_lists_without_sending(connect, call):
    p = connect([reply(171, 1)], build=2363)
    assert call() is None
    assert zelkor5.last_error() == INCOMPATIBLE
    assert after_handshake(p) == []
    # The refusal leaves the connection usable.
    assert zelkor5.symbol_select("EURUSD") is True
    assert after_handshake(p) == [request_bytes(171, wstr("EURUSD") + u8(1))]


@pytest.mark.parametrize(
    "call, cmd, payload",
    [
        (lambda: zelkor5.symbols_total(), 173, u32(5)),
        (lambda: zelkor5.symbols_get(), 174, u32(0)),
    ],
    ids=["total", "get"],
)
def test_build_2364_sends_the_symbol_lists(connect, call, cmd, payload):
    p = connect([reply(cmd, 1, payload)], build=2364)
    assert call() is not None
    assert zelkor5.last_error() == SUCCESS
    assert p.commands()[2:] == [cmd]


def test_build_gate_stays_after_disconnect(connect):
    connect(build=2363)
    zelkor5.shutdown()
    assert zelkor5.symbols_total() is None
    assert zelkor5.last_error() == INCOMPATIBLE


def test_build_gate_comes_before_the_connection_check_in_a_fresh_process():
    code = (
        "import zelkor5\n"
        "print(zelkor5.symbols_total(), zelkor5.last_error()[0])\n"
        "print(zelkor5.symbols_get(), zelkor5.last_error()[0])\n"
        "print(zelkor5.symbols_get(1), zelkor5.last_error()[0])\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ),
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == ["None -5", "None -5", "False -2"]


# --- symbol_info -----------------------------------------------------------


def test_symbol_info_with_the_full_record(connect):
    values = SYMBOL_INFO.sample(3)
    values["name"] = "FromTerminal"
    p = connect([reply(170, 1, SYMBOL_INFO.pack(values))], build=2364)
    info = zelkor5.symbol_info("EURUSD")
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(170, wstr("EURUSD"))]
    assert info.name == "FromTerminal"
    assert info._asdict() == SYMBOL_INFO.expected(values)


@pytest.mark.parametrize(
    "symbol", ["EURUSD", "s" * 29, "\U0001f600" + "x" * 27, "", "\u00e9\u4e2d"]
)
def test_symbol_info_with_the_short_record_fills_in_the_name(connect, symbol):
    values = SYMBOL_INFO.sample(4)
    values["name"] = "ignored"
    short = SYMBOL_INFO.pack(values)[:2929]
    p = connect([reply(170, 1, short)], build=2363)
    info = zelkor5.symbol_info(symbol)
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(170, wstr(symbol))]
    assert info.name == symbol
    expected = SYMBOL_INFO.expected(values)
    expected["name"] = symbol
    assert info._asdict() == expected


@pytest.mark.parametrize("build, record", [(2363, 2993), (2364, 2929)])
def test_symbol_info_record_of_the_wrong_size_fails(connect, build, record):
    connect([reply(170, 1, symbol_record("A")[:record] + b"\0" * (record - 2929))], build=build)
    assert zelkor5.symbol_info("A") is None
    assert zelkor5.last_error() == (-10002, "IPC recv failed")


@pytest.mark.parametrize(
    "args", [(), ("A", "B"), (1,), (b"EURUSD",), (None,), ("s" * 30,), ("\U0001f600" + "x" * 28,)]
)
@pytest.mark.parametrize("function", ["symbol_info", "symbol_info_tick"])
def test_symbol_info_argument_errors(connect, function, args):
    p = connect()
    assert getattr(zelkor5, function)(*args) is None
    assert zelkor5.last_error() == INVALID
    assert after_handshake(p) == []


def test_symbol_info_terminal_failure(connect):
    connect([fail(170, -4)])
    assert zelkor5.symbol_info("NOPE") is None
    assert zelkor5.last_error() == (-4, "Terminal: Not found")


# --- symbol_info_tick ------------------------------------------------------


def test_symbol_info_tick(connect):
    values = TICK.sample(5)
    values["volume"] = 2**64 - 1
    p = connect([reply(172, 1, TICK.pack(values))])
    tick = zelkor5.symbol_info_tick("GBPUSD")
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(172, wstr("GBPUSD"))]
    assert type(tick) is zelkor5.Tick
    assert tick._asdict() == TICK.expected(values)
    assert tick.volume == 18446744073709551615


@pytest.mark.parametrize(
    "action, error",
    [
        (fail(172, -1), (-1, "Terminal: Call failed")),
        (reply(171, 1, TICK.pack({})), (-10000, "IPC call failed")),
        (reply(172, 1, TICK.pack({}) + b"\0"), (-10002, "IPC recv failed")),
    ],
    ids=["status", "echo", "long"],
)
def test_symbol_info_tick_failures(connect, action, error):
    connect([action])
    assert zelkor5.symbol_info_tick("A") is None
    assert zelkor5.last_error() == error


# --- symbol_select ---------------------------------------------------------


class Truthy(object):
    def __bool__(self):
        return True


@pytest.mark.parametrize(
    "extra, byte",
    [
        ((), 1),
        ((True,), 1),
        ((False,), 0),
        ((0,), 0),
        ((2,), 1),
        ((-1,), 1),
        (("",), 0),
        (("no",), 1),
        ((None,), 0),
        (([],), 0),
        ((0.0,), 0),
        ((Truthy(),), 1),
    ],
    ids=lambda v: repr(v),
)
def test_symbol_select_enable_byte(connect, extra, byte):
    p = connect([reply(171, 1)])
    assert zelkor5.symbol_select("EURUSD", *extra) is True
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(171, wstr("EURUSD") + u8(byte))]


class Untestable(object):
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize(
    "args",
    [
        (),
        ("A", True, 1),
        (1,),
        (1, True),
        (None, False),
        ("s" * 30,),
        ("s" * 30, True),
        ("A", Untestable()),
    ],
    ids=repr,
)
def test_symbol_select_argument_errors_return_false(connect, args):
    p = connect()
    assert zelkor5.symbol_select(*args) is False
    assert zelkor5.last_error() == INVALID
    assert after_handshake(p) == []


def test_symbol_select_terminal_failure_returns_false(connect):
    connect([fail(171, -4)])
    assert zelkor5.symbol_select("NOPE", True) is False
    assert zelkor5.last_error() == (-4, "Terminal: Not found")


# --- without a connection --------------------------------------------------


@pytest.mark.parametrize(
    "call, failure",
    [
        (lambda: zelkor5.symbols_total(), None),
        (lambda: zelkor5.symbols_get(), None),
        (lambda: zelkor5.symbols_get("EUR*"), None),
        (lambda: zelkor5.symbol_info("EURUSD"), None),
        (lambda: zelkor5.symbol_info_tick("EURUSD"), None),
        (lambda: zelkor5.symbol_select("EURUSD"), False),
        (lambda: zelkor5.symbol_select("EURUSD", False), False),
    ],
    ids=["total", "get", "get-mask", "info", "tick", "select", "select-off"],
)
def test_without_connection(connect, call, failure):
    # A terminal of a recent build was seen, so only the connection is missing.
    connect()
    zelkor5.shutdown()
    assert call() is failure
    assert zelkor5.last_error() == NO_CONNECTION


# --- memory ----------------------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_many_large_symbol_lists_do_not_grow_the_process(connect):
    records = [symbol_record("SYM%04d" % i, i) for i in range(100)]
    payload = array(records, 2993)
    connect(default=reply(174, 1, payload))
    for _ in range(200):
        assert len(zelkor5.symbols_get()) == 100
    before = resident_bytes()
    for _ in range(3000):
        result = zelkor5.symbols_get()
    after = resident_bytes()
    assert len(result) == 100 and result[99].name == "SYM0099"
    print("growth", after - before)
    # One leaked block per call would be 900 MB; one leaked float per record,
    # 7 MB.
    assert after - before < 4 * 1024 * 1024, (before, after)
