"""orders_total, orders_get, positions_total, positions_get."""

import pytest
from conftest import after_handshake
from peer import array, fail, reply, request_bytes, u32, u64, wstr
from trade_records import ORDER, POSITION

import zelkor5

SUCCESS = (1, "Success")
NO_CONNECTION = (-10004, "No IPC connection")

# name -> (get function, total function, layout, total, all, by symbol, by ticket)
FAMILIES = {
    "positions": ("positions_get", "positions_total", POSITION, 120, 121, 122, 123),
    "orders": ("orders_get", "orders_total", ORDER, 130, 131, 132, 133),
}


class Family(object):
    def __init__(self, name):
        (
            self.get_name,
            self.total_name,
            self.layout,
            self.total,
            self.all,
            self.by_symbol,
            self.by_ticket,
        ) = FAMILIES[name]
        self.type_name = self.layout.name

    def get(self, *args, **kwargs):
        return getattr(zelkor5, self.get_name)(*args, **kwargs)

    def total_fn(self):
        return getattr(zelkor5, self.total_name)()

    def record(self, ticket, symbol, **fields):
        return self.layout.pack(ticket=ticket, symbol=symbol, **fields)

    def list_reply(self, cmd, records):
        return reply(cmd, 1, array(records, self.layout.size))


@pytest.fixture(params=sorted(FAMILIES))
def fam(request):
    return Family(request.param)


def tickets(result):
    return [r.ticket for r in result]


# --- which command -------------------------------------------------------------


@pytest.mark.filterwarnings(
    "ignore:.*ignores unknown:UserWarning"
)  # some cases pass unknown keywords
@pytest.mark.parametrize(
    "kwargs, which, args",
    [
        ({}, "all", b""),
        ({"symbol": "EURUSD"}, "by_symbol", wstr("EURUSD")),
        ({"symbol": "AB\0CD"}, "by_symbol", wstr("AB")),
        ({"ticket": 2**64 - 1}, "by_ticket", u64(2**64 - 1)),
        ({"ticket": True}, "by_ticket", u64(1)),
        ({"group": "*"}, "all", b""),
        ({"symbol": "EURUSD", "ticket": 7}, "by_ticket", u64(7)),
        ({"ticket": 7, "group": 5}, "by_ticket", u64(7)),
        ({"group": "*", "symbol": "X", "ticket": 7}, "by_ticket", u64(7)),
        ({"symbol": "X", "group": 5}, "by_symbol", wstr("X")),
        ({"symbols": 5, "Ticket": "x"}, "all", b""),
        ({"symbol": "y" * 29}, "by_symbol", wstr("y" * 29)),
        ({"group": "*" * 1997}, "all", b""),
    ],
)
def test_command_for_each_filter(connect, fam, kwargs, which, args):
    cmd = getattr(fam, which)
    record = fam.record(7, "X")
    answer = reply(cmd, 1, record) if which == "by_ticket" else fam.list_reply(cmd, [record])
    p = connect([answer])
    result = fam.get(**kwargs)
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(cmd, args)]
    assert tickets(result) == [7]
    assert type(result[0]).__name__ == fam.type_name


def test_records_come_in_the_terminal_order(connect, fam):
    records = [fam.record(t, s) for t, s in [(3, "B"), (1, "A"), (2, "C")]]
    connect([fam.list_reply(fam.all, records), fam.list_reply(fam.by_symbol, [])])
    result = fam.get()
    assert isinstance(result, tuple) and tickets(result) == [3, 1, 2]
    assert [r.symbol for r in result] == ["B", "A", "C"]
    assert fam.get(symbol="Q") == ()
    assert zelkor5.last_error() == SUCCESS


def test_position_record_fields(connect):
    values = dict(
        ticket=2**64 - 1,
        time=-1,
        time_msc=1700000000123,
        time_update=5,
        time_update_msc=6,
        type=0xFFFFFFFF,
        magic=2**63,
        identifier=9,
        reason=3,
        volume=0.5,
        price_open=1.1,
        sl=1.0,
        tp=1.2,
        price_current=1.15,
        swap=-0.25,
        profit=12.5,
        symbol="EURUSD\u00e9",
        comment="c" * 31,
        external_id="\U0001f600",
    )
    # Bytes of the reserved field must not surface anywhere.
    record = bytearray(POSITION.pack(**values))
    record[104:112] = b"\x11" * 8
    connect([reply(121, 1, array([bytes(record)]))])
    (pos,) = zelkor5.positions_get()
    assert pos._asdict() == values
    assert len(pos) == 19


def test_order_record_fields(connect):
    values = dict(
        ticket=1,
        time_setup=-2,
        time_setup_msc=3,
        time_done=4,
        time_done_msc=5,
        time_expiration=6,
        type=7,
        type_time=8,
        type_filling=9,
        state=10,
        magic=11,
        position_id=12,
        position_by_id=2**64 - 1,
        reason=14,
        volume_initial=1.5,
        volume_current=2.5,
        price_open=3.5,
        sl=4.5,
        tp=5.5,
        price_current=6.5,
        price_stoplimit=7.5,
        symbol="GBPUSD",
        comment="hello",
        external_id="ext-1",
    )
    connect([reply(133, 1, ORDER.pack(**values))])
    (order,) = zelkor5.orders_get(ticket=1)
    assert order._asdict() == values
    assert list(order._asdict()) == ORDER.names


def test_text_filling_its_whole_field_is_read_to_the_field_end(connect):
    record = POSITION.pack(symbol="S" * 32, comment="c")
    connect([reply(121, 1, array([record]))])
    (pos,) = zelkor5.positions_get()
    # Cut at the field's end; the next field does not leak in.
    assert pos.symbol in ("S" * 32, "S" * 31)
    assert pos.comment == "c"


# --- ticket look-ups -------------------------------------------------------------


@pytest.mark.parametrize(
    "answer",
    [
        lambda fam: fail(fam.by_ticket, -4),
        lambda fam: reply(fam.by_ticket, -4, fam.record(5, "X")),
        lambda fam: reply(fam.by_ticket, 0, fam.record(5, "X")),
    ],
    ids=["not-found", "not-found-with-record", "status-0"],
)
def test_ticket_not_found_is_an_empty_tuple(connect, fam, answer):
    connect([answer(fam)])
    assert fam.get(ticket=5) == ()
    assert zelkor5.last_error() == SUCCESS


@pytest.mark.parametrize(
    "answer, expected",
    [
        (lambda fam: fail(fam.by_ticket, -1), (-1, "Terminal: Call failed")),
        (lambda fam: fail(fam.by_ticket, -2), (-2, "Terminal: Invalid params")),
        (lambda fam: reply(fam.by_ticket, 1, b"\0" * 10), (-10002, "IPC recv failed")),
        (lambda fam: reply(fam.all, -4, fam.record(5, "X")), (-10000, "IPC call failed")),
    ],
)
def test_ticket_look_up_failures(connect, fam, answer, expected):
    connect([answer(fam)])
    assert fam.get(ticket=5) is None
    assert zelkor5.last_error() == expected


@pytest.mark.parametrize(
    "which, kwargs",
    [
        ("all", {}),
        ("by_symbol", {"symbol": "X"}),
        ("all", {"group": "*"}),
    ],
)
@pytest.mark.parametrize(
    "status, expected",
    [
        (-1, (-1, "Terminal: Call failed")),
        (-4, (-4, "Terminal: Not found")),
        (-7, (-7, "Terminal: Unsupported function")),
    ],
)
def test_list_failures(connect, fam, which, kwargs, status, expected):
    connect([fail(getattr(fam, which), status)])
    assert fam.get(**kwargs) is None
    assert zelkor5.last_error() == expected


# --- totals ------------------------------------------------------------------------


@pytest.mark.parametrize("count", [0, 3, 2**32 - 1])
def test_totals(connect, fam, count):
    p = connect([reply(fam.total, 1, u32(count))])
    assert fam.total_fn() == count
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(fam.total)]


def test_total_failure(connect, fam):
    connect([fail(fam.total, -3)])
    assert fam.total_fn() is None
    assert zelkor5.last_error() == (-3, "Terminal: Out of memory")


# --- argument errors -----------------------------------------------------------------

BAD_CALLS = [
    (("EURUSD",), {}, "Unnamed arguments not allowed"),
    ((1,), {"symbol": "EURUSD"}, "Unnamed arguments not allowed"),
    ((), {"symbol": 1}, 'Invalid "symbol" argument'),
    ((), {"symbol": b"EURUSD"}, 'Invalid "symbol" argument'),
    ((), {"symbol": "x" * 30}, 'Invalid "symbol" argument'),
    ((), {"ticket": "5"}, 'Invalid "ticket" argument'),
    ((), {"ticket": -1}, 'Invalid "ticket" argument'),
    ((), {"ticket": 2**64}, 'Invalid "ticket" argument'),
    ((), {"ticket": 5.0}, 'Invalid "ticket" argument'),
    ((), {"ticket": None, "symbol": "X"}, 'Invalid "ticket" argument'),
    ((), {"group": 1}, 'Invalid "group" argument'),
    ((), {"group": "*" * 1998}, 'Invalid "group" argument'),
    ((), {"symbol": 1, "group": "*"}, 'Invalid "symbol" argument'),
]


@pytest.mark.parametrize("args, kwargs, message", BAD_CALLS)
def test_argument_errors_send_nothing(connect, fam, args, kwargs, message):
    p = connect()
    assert fam.get(*args, **kwargs) is None
    assert zelkor5.last_error() == (-2, message)
    assert after_handshake(p) == []


@pytest.mark.parametrize("args, kwargs, message", BAD_CALLS)
def test_argument_errors_come_before_the_connection_check(fam, args, kwargs, message):
    assert fam.get(*args, **kwargs) is None
    assert zelkor5.last_error() == (-2, message)


@pytest.mark.parametrize("kwargs", [{}, {"symbol": "X"}, {"ticket": 1}, {"group": "*"}])
def test_no_connection(fam, kwargs):
    assert fam.get(**kwargs) is None
    assert zelkor5.last_error() == NO_CONNECTION
    assert fam.total_fn() is None
    assert zelkor5.last_error() == NO_CONNECTION
