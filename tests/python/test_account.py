"""account_info and terminal_info."""

import pytest
from conftest import after_handshake
from layouts import ACCOUNT_INFO, TERMINAL_INFO
from peer import fail, hangup_after, reply, request_bytes

import zelkor5

SUCCESS = (1, "Success")

CASES = [("account_info", 190, ACCOUNT_INFO), ("terminal_info", 180, TERMINAL_INFO)]


@pytest.mark.parametrize("function, cmd, layout", CASES, ids=["account", "terminal"])
def test_record_fields(connect, function, cmd, layout):
    values = layout.sample(9)
    p = connect([reply(cmd, 1, layout.pack(values))])
    info = getattr(zelkor5, function)()
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(cmd)]
    assert type(info).__name__ == layout.name
    assert len(info) == len(layout.fields)
    assert info._asdict() == layout.expected(values)


@pytest.mark.parametrize("last_byte, trade_allowed", [(1, 1), (1, 0), (0, 1), (0, 0), (2, 0)])
def test_tradeapi_disabled_is_the_last_byte(connect, last_byte, trade_allowed):
    record = bytearray(TERMINAL_INFO.pack({"trade_allowed": trade_allowed, "build": 4000}))
    record[3161] = last_byte
    connect([reply(180, 1, bytes(record))])
    info = zelkor5.terminal_info()
    assert info.tradeapi_disabled is bool(last_byte)
    assert info.trade_allowed is bool(trade_allowed)
    assert info[5] is bool(last_byte)
    assert info[4] is bool(trade_allowed)
    assert info[10] == info.build == 4000


def test_terminal_info_numbers_keep_their_signedness(connect):
    record = TERMINAL_INFO.pack(
        {
            "build": 0x80000000,
            "codepage": -0x80000000,
            "maxbars": 0xFFFFFFFF,
            "ping_last": -1,
            "bdid": 3,
        }
    )
    connect([reply(180, 1, record)])
    info = zelkor5.terminal_info()
    assert info.build == 2147483648
    assert info.codepage == -2147483648
    assert info.maxbars == 4294967295
    assert info.ping_last == -1
    assert info.bdid is True


def test_terminal_info_paths(connect):
    texts = {
        "company": "Brundel \u00e9",
        "name": "Zelkor 5",
        "language": "\u4e2d\u6587",
        "path": "C:\\" + "p" * 257,
        "data_path": "d" * 260,
        "commondata_path": "\U0001f600" * 130,
    }
    connect([reply(180, 1, TERMINAL_INFO.pack(texts))])
    info = zelkor5.terminal_info()
    for name, text in texts.items():
        assert getattr(info, name) == text


def test_account_login_is_unsigned(connect):
    record = b"\xff" * 8 + ACCOUNT_INFO.pack({"trade_allowed": 2, "currency": "USD"})[8:]
    connect([reply(190, 1, record)])
    info = zelkor5.account_info()
    assert info.login == 18446744073709551615
    assert info.trade_allowed is True
    assert info.currency == "USD"


@pytest.mark.parametrize("function, cmd, layout", CASES, ids=["account", "terminal"])
@pytest.mark.parametrize(
    "case, error",
    [
        ("status", (-6, "Terminal: Authorization failed")),
        ("echo", (-10000, "IPC call failed")),
        ("short", (-10002, "IPC recv failed")),
        ("long", (-10002, "IPC recv failed")),
        ("hangup", (-10002, "IPC recv failed")),
    ],
)
def test_failures_return_none(connect, function, cmd, layout, case, error):
    record = layout.pack(layout.sample())
    action = {
        "status": fail(cmd, -6),
        "echo": reply(cmd + 1, 1, record),
        "short": reply(cmd, 1, record[:-1]),
        "long": reply(cmd, 1, record + b"\0"),
        "hangup": hangup_after(100, reply(cmd, 1, record)),
    }[case]
    connect([action])
    assert getattr(zelkor5, function)() is None
    assert zelkor5.last_error() == error


def test_after_a_hangup_the_next_call_has_no_connection(connect):
    connect([hangup_after(12, reply(190, 1, ACCOUNT_INFO.pack({})))])
    assert zelkor5.account_info() is None
    assert zelkor5.terminal_info() is None
    assert zelkor5.last_error() == (-10004, "No IPC connection")


@pytest.mark.parametrize("function", ["account_info", "terminal_info"])
def test_without_connection(function):
    zelkor5.shutdown()
    assert getattr(zelkor5, function)() is None
    assert zelkor5.last_error() == (-10004, "No IPC connection")
