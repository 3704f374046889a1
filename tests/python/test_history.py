"""history_orders_total, history_orders_get, history_deals_total,
history_deals_get."""

import datetime

import pytest
from conftest import after_handshake
from peer import array, fail, i64, reply, request_bytes, u32, u64
from trade_records import DEAL, ORDER

import zelkor5

SUCCESS = (1, "Success")
NO_CONNECTION = (-10004, "No IPC connection")
BAD_ARGS = (-2, "Invalid arguments")
UNNAMED = (-2, "Unnamed arguments not allowed")

# name -> (get, total, layout, total cmd, range cmd, by position cmd, by ticket cmd)
FAMILIES = {
    "orders": ("history_orders_get", "history_orders_total", ORDER, 140, 141, 142, 143),
    "deals": ("history_deals_get", "history_deals_total", DEAL, 150, 151, 152, 153),
}


class Family(object):
    def __init__(self, name):
        (
            self.get_name,
            self.total_name,
            self.layout,
            self.total,
            self.range,
            self.by_position,
            self.by_ticket,
        ) = FAMILIES[name]

    def get(self, *args, **kwargs):
        return getattr(zelkor5, self.get_name)(*args, **kwargs)

    def total_fn(self, *args):
        return getattr(zelkor5, self.total_name)(*args)

    def record(self, ticket, symbol="X"):
        return self.layout.pack(ticket=ticket, symbol=symbol)

    def list_reply(self, cmd, records):
        return reply(cmd, 1, array(records, self.layout.size))


@pytest.fixture(params=sorted(FAMILIES))
def fam(request):
    return Family(request.param)


def dates(a, b):
    return i64(a) + i64(b)


# --- which command -------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, which, wire",
    [
        ((10, 20), {}, "range", dates(10, 20)),
        ((10, 20), {"ticket": 5}, "range", dates(10, 20)),
        ((10, 20), {"position": 5, "ticket": "x"}, "range", dates(10, 20)),
        ((10, 20), {"group": "*"}, "range", dates(10, 20)),
        ((), {"ticket": 5}, "by_ticket", u64(5)),
        ((), {"ticket": 2**64 - 1, "position": 6}, "by_ticket", u64(2**64 - 1)),
        ((), {"position": 6}, "by_position", u64(6)),
        ((), {"position": 6, "group": 1}, "by_position", u64(6)),
        ((), {"position": 0}, "by_position", u64(0)),
    ],
)
def test_command_for_each_form(connect, fam, args, kwargs, which, wire):
    cmd = getattr(fam, which)
    record = fam.record(8)
    answer = reply(cmd, 1, record) if which == "by_ticket" else fam.list_reply(cmd, [record])
    p = connect([answer])
    result = fam.get(*args, **kwargs)
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(cmd, wire)]
    assert [r.ticket for r in result] == [8]
    assert type(result[0]).__name__ == fam.layout.name


class Stamp(datetime.datetime):
    """A datetime whose timestamp is fixed, whatever the local time zone."""

    def timestamp(self):
        return 1000.9


@pytest.mark.parametrize(
    "date, wire",
    [
        (0, 0),
        (0.5, 0),
        (-1, -1),
        (-86400, -86400),
        (10.9, 10),
        (-1.5, -1),
        (True, 1),
        (2**31 - 1, 2**31 - 1),
        (Stamp(2020, 1, 1), 1000),
    ],
)
def test_dates_are_sent_as_signed_64_bit_seconds(connect, fam, date, wire):
    p = connect([reply(fam.total, 1, u32(0)), fam.list_reply(fam.range, [])])
    assert fam.total_fn(date, 7) == 0
    assert fam.get(7, date) == ()
    assert after_handshake(p) == [
        request_bytes(fam.total, dates(wire, 7)),
        request_bytes(fam.range, dates(7, wire)),
    ]


def test_negative_date_is_sign_extended(connect, fam):
    p = connect([reply(fam.total, 1, u32(0))])
    fam.total_fn(-2, 0)
    assert after_handshake(p)[0][8:16] == b"\xfe" + b"\xff" * 7


@pytest.mark.parametrize("count", [0, 12, 2**32 - 1])
def test_totals(connect, fam, count):
    connect([reply(fam.total, 1, u32(count))])
    assert fam.total_fn(1, 2) == count
    assert zelkor5.last_error() == SUCCESS


def test_records_keep_the_terminal_order(connect, fam):
    records = [fam.record(t) for t in (9, 3, 5)]
    connect([fam.list_reply(fam.range, records), fam.list_reply(fam.by_position, records[:2])])
    assert [r.ticket for r in fam.get(0, 100)] == [9, 3, 5]
    assert [r.ticket for r in fam.get(position=1)] == [9, 3]


def test_deal_record_fields(connect):
    values = dict(
        ticket=2**64 - 1,
        order=2,
        time=-3,
        time_msc=4,
        type=0xFFFFFFFF,
        entry=1,
        magic=7,
        position_id=8,
        reason=9,
        volume=0.1,
        price=1.5,
        commission=-0.7,
        swap=0.25,
        profit=-12.0,
        fee=0.01,
        symbol="XAUUSD",
        comment="deal \u00e9",
        external_id="E" * 31,
    )
    connect([reply(153, 1, DEAL.pack(**values))])
    (deal,) = zelkor5.history_deals_get(ticket=1)
    assert deal._asdict() == values
    assert list(deal._asdict()) == DEAL.names


# --- ticket look-ups and failures -----------------------------------------------------


@pytest.mark.parametrize(
    "answer",
    [
        lambda fam: fail(fam.by_ticket, -4),
        lambda fam: reply(fam.by_ticket, -4, fam.record(5)),
        lambda fam: reply(fam.by_ticket, 0, fam.record(5)),
    ],
    ids=["not-found", "not-found-with-record", "status-0"],
)
def test_ticket_not_found_is_an_empty_tuple(connect, fam, answer):
    connect([answer(fam)])
    assert fam.get(ticket=5) == ()
    assert zelkor5.last_error() == SUCCESS


@pytest.mark.parametrize(
    "which, args, kwargs",
    [
        ("range", (1, 2), {}),
        ("range", (1, 2), {"group": "*"}),
        ("by_position", (), {"position": 1}),
        ("by_ticket", (), {"ticket": 1}),
        ("total", (1, 2), None),
    ],
)
def test_failure_status(connect, fam, which, args, kwargs):
    connect([fail(getattr(fam, which), -2)])
    result = fam.total_fn(*args) if kwargs is None else fam.get(*args, **kwargs)
    assert result is None
    assert zelkor5.last_error() == (-2, "Terminal: Invalid params")


# --- argument errors ---------------------------------------------------------------------

BAD_GETS = [
    ((), {}, BAD_ARGS),
    ((1,), {}, BAD_ARGS),
    ((1, 2, "*"), {}, BAD_ARGS),
    ((), {"group": "*"}, BAD_ARGS),
    ((), {"tickets": 1}, BAD_ARGS),
    ((1,), {"ticket": 5}, UNNAMED),
    ((1, 2, 3), {"position": 5}, UNNAMED),
    ((), {"ticket": -1}, (-2, 'Invalid "ticket" argument')),
    ((), {"ticket": "5", "position": 5}, (-2, 'Invalid "ticket" argument')),
    ((), {"position": 1.0}, (-2, 'Invalid "position" argument')),
    ((), {"position": 2**64}, (-2, 'Invalid "position" argument')),
    ((1, 2), {"group": 5}, (-2, 'Invalid "group" argument')),
    ((1, 2), {"group": "*" * 1998}, (-2, 'Invalid "group" argument')),
    (("1", 2), {"group": 5}, BAD_ARGS),
    ((1, None), {}, BAD_ARGS),
    ((1, datetime.date(2020, 1, 1)), {}, BAD_ARGS),
    ((float("nan"), 1), {}, BAD_ARGS),
]


@pytest.mark.filterwarnings(
    "ignore:.*ignores unknown:UserWarning"
)  # some cases pass unknown keywords
@pytest.mark.parametrize("args, kwargs, expected", BAD_GETS)
def test_get_argument_errors_send_nothing(connect, fam, args, kwargs, expected):
    p = connect()
    assert fam.get(*args, **kwargs) is None
    assert zelkor5.last_error() == expected
    assert after_handshake(p) == []


@pytest.mark.filterwarnings(
    "ignore:.*ignores unknown:UserWarning"
)  # some cases pass unknown keywords
@pytest.mark.parametrize("args, kwargs, expected", BAD_GETS)
def test_get_argument_errors_come_before_the_connection_check(fam, args, kwargs, expected):
    assert fam.get(*args, **kwargs) is None
    assert zelkor5.last_error() == expected


@pytest.mark.parametrize("args", [(), (1,), (1, 2, 3), ("1", 2), (1, "2"), (1, None)])
def test_total_argument_errors(fam, args):
    assert fam.total_fn(*args) is None
    assert zelkor5.last_error() == BAD_ARGS


def test_group_of_1997_units_is_accepted(connect, fam):
    connect([fam.list_reply(fam.range, [fam.record(1, "A")])])
    assert [r.ticket for r in fam.get(1, 2, group="*" * 1997)] == [1]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1, 2), {}),
        ((1, 2), {"group": "*"}),
        ((), {"ticket": 1}),
        ((), {"position": 1}),
    ],
)
def test_no_connection(fam, args, kwargs):
    assert fam.get(*args, **kwargs) is None
    assert zelkor5.last_error() == NO_CONNECTION
    assert fam.total_fn(1, 2) is None
    assert zelkor5.last_error() == NO_CONNECTION
