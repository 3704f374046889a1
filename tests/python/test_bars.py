"""copy_rates_from, copy_rates_from_pos, copy_rates_range, copy_ticks_from,
copy_ticks_range: requests, the record arrays, failures and memory."""

import datetime
import gc
import glob
import os
import re
import struct
import warnings

import numpy as np
import pytest
from conftest import after_handshake
from layouts import TICK, Layout, same_value
from peer import (
    array,
    echo,
    fail,
    hangup_after,
    i32,
    i64,
    raw,
    reply,
    reply_bytes,
    request_bytes,
    wstr,
)

import zelkor5

RATES = Layout(
    "Rates",
    60,
    [
        ("time", 0, "i64"),
        ("open", 8, "f64"),
        ("high", 16, "f64"),
        ("low", 24, "f64"),
        ("close", 32, "f64"),
        ("tick_volume", 40, "u64"),
        ("spread", 48, "i32"),
        ("real_volume", 52, "u64"),
    ],
)
NUMPY_FORMATS = {"i32": "<i4", "u32": "<u4", "i64": "<i8", "u64": "<u8", "f64": "<f8"}
STRUCT_FORMATS = {"i32": "<i", "u32": "<I", "i64": "<q", "u64": "<Q", "f64": "<d"}
NEEDS_PYAPI = 0x10

SUCCESS = (1, "Success")
INVALID = (-2, "Invalid arguments")
SYMBOL = "EURUSD"

# name: (command, layout, valid arguments)
FUNCTIONS = {
    "copy_ticks_from": (104, TICK, (SYMBOL, 1000, 10, 6)),
    "copy_ticks_range": (105, TICK, (SYMBOL, 1000, 2000, 6)),
    "copy_rates_from": (106, RATES, (SYMBOL, 16385, 1000, 10)),
    "copy_rates_range": (107, RATES, (SYMBOL, 16385, 1000, 2000)),
    "copy_rates_from_pos": (108, RATES, (SYMBOL, 16385, 0, 10)),
}
NAMES = list(FUNCTIONS)
TICK_FUNCTIONS = ["copy_ticks_from", "copy_ticks_range"]
RATES_FUNCTIONS = ["copy_rates_from", "copy_rates_range", "copy_rates_from_pos"]


def call(name, *args):
    return getattr(zelkor5, name)(*args)


def records_reply(cmd, records):
    return reply(cmd, 0, array(records, 60))


def empty_reply(name):
    return records_reply(FUNCTIONS[name][0], [])


def utc(seconds):
    return datetime.datetime.fromtimestamp(seconds, tz=datetime.timezone.utc)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- requests ----------------------------------------------------------------

SECOND_DATES = [1000, 1000.9, utc(1000.9)]


@pytest.mark.parametrize("date", SECOND_DATES, ids=["int", "float", "datetime"])
@pytest.mark.parametrize(
    "name, args, sent",
    [
        (
            "copy_ticks_from",
            lambda d: (SYMBOL, d, 10, 6),
            wstr(SYMBOL) + i64(1000000) + i32(10) + i32(6),
        ),
        (
            "copy_ticks_range",
            lambda d: (SYMBOL, d, d, 6),
            wstr(SYMBOL) + i64(1000000) + i64(1000000) + i32(6),
        ),
        (
            "copy_rates_from",
            lambda d: (SYMBOL, 16385, d, 10),
            wstr(SYMBOL) + i32(16385) + i64(1000) + i32(10),
        ),
        (
            "copy_rates_range",
            lambda d: (SYMBOL, 16385, d, d),
            wstr(SYMBOL) + i32(16385) + i64(1000) + i64(1000),
        ),
    ],
)
def test_dates_of_every_type_give_the_same_request(connect, name, args, sent, date):
    cmd = FUNCTIONS[name][0]
    p = connect([empty_reply(name)])
    assert len(call(name, *args(date))) == 0
    assert zelkor5.last_error() == SUCCESS
    assert after_handshake(p) == [request_bytes(cmd, sent)]


@pytest.mark.parametrize(
    "name, args, sent",
    [
        # 0 stays 0, also in milliseconds; 0.5 truncates to 0.
        ("copy_ticks_from", (SYMBOL, 0, 0, 0), wstr(SYMBOL) + i64(0) + i32(0) + i32(0)),
        ("copy_ticks_range", (SYMBOL, 0.5, 0, 0), wstr(SYMBOL) + i64(0) + i64(0) + i32(0)),
        ("copy_rates_range", (SYMBOL, 1, 0, 0.5), wstr(SYMBOL) + i32(1) + i64(0) + i64(0)),
        # Negative dates keep their sign when widened; -1.5 truncates to -1.
        (
            "copy_ticks_range",
            (SYMBOL, -1.5, -(2**31), -1),
            wstr(SYMBOL) + i64(-1000) + i64(-(2**31) * 1000) + i32(-1),
        ),
        (
            "copy_rates_from",
            (SYMBOL, 1, -(2**31), 1),
            wstr(SYMBOL) + i32(1) + i64(-(2**31)) + i32(1),
        ),
        # The largest date: its milliseconds need all 64 bits' worth of widening.
        (
            "copy_ticks_from",
            (SYMBOL, 2**31 - 1, 1, 1),
            wstr(SYMBOL) + i64((2**31 - 1) * 1000) + i32(1) + i32(1),
        ),
        # Positions, counts, timeframes and flags go out as given, negative too.
        ("copy_rates_from_pos", (SYMBOL, 1, -5, -3), wstr(SYMBOL) + i32(1) + i32(-5) + i32(-3)),
        (
            "copy_rates_from_pos",
            (SYMBOL, -(2**31), 2**31 - 1, 0),
            wstr(SYMBOL) + i32(-(2**31)) + i32(2**31 - 1) + i32(0),
        ),
        ("copy_ticks_from", (SYMBOL, 1, -7, -1), wstr(SYMBOL) + i64(1000) + i32(-7) + i32(-1)),
        (
            "copy_rates_from",
            (SYMBOL, -16385, 1, -(2**31)),
            wstr(SYMBOL) + i32(-16385) + i64(1) + i32(-(2**31)),
        ),
        # bool is an int; a str subclass is a symbol; 29 units is the longest.
        (
            "copy_rates_from_pos",
            (SYMBOL, True, False, True),
            wstr(SYMBOL) + i32(1) + i32(0) + i32(1),
        ),
        (
            "copy_rates_from_pos",
            (type("Sym", (str,), {})("GBPUSD"), 1, 0, 1),
            wstr("GBPUSD") + i32(1) + i32(0) + i32(1),
        ),
        (
            "copy_ticks_from",
            ("\U0001f600" + "s" * 27, 1, 1, 1),
            wstr("\U0001f600" + "s" * 27) + i64(1000) + i32(1) + i32(1),
        ),
    ],
)
def test_request_bytes(connect, name, args, sent):
    p = connect([empty_reply(name)])
    result = call(name, *args)
    assert result is not None and len(result) == 0
    assert after_handshake(p) == [request_bytes(FUNCTIONS[name][0], sent)]


# --- result arrays -----------------------------------------------------------


def sample_records(layout, n):
    return [layout.pack(layout.sample(seed)) for seed in range(1, n + 1)]


def extreme_records(layout):
    """Boundary values of every wire type, and floats that only compare
    equal bit for bit."""
    by_type = [
        {"i64": -(2**63), "u64": 2**64 - 1, "i32": -(2**31), "u32": 2**32 - 1, "f64": float("nan")},
        {"i64": 2**63 - 1, "u64": 0, "i32": 2**31 - 1, "u32": 0, "f64": -0.0},
        {"i64": -1, "u64": 2**63, "i32": -1, "u32": 2**31, "f64": float("-inf")},
    ]
    return [
        layout.pack({name: values[kind] for name, _, kind in layout.fields}) for values in by_type
    ]


def expected_dtype(layout):
    return np.dtype(
        {
            "names": [f[0] for f in layout.fields],
            "formats": [NUMPY_FORMATS[f[2]] for f in layout.fields],
            "offsets": [f[1] for f in layout.fields],
            "itemsize": layout.size,
        }
    )


@pytest.mark.parametrize("name", NAMES)
def test_record_type(connect, name):
    cmd, layout, args = FUNCTIONS[name]
    connect([records_reply(cmd, sample_records(layout, 1))])
    dt = call(name, *args).dtype
    assert dt.names == layout.names
    assert [dt.fields[n][0].str for n in dt.names] == [NUMPY_FORMATS[f[2]] for f in layout.fields]
    assert [dt.fields[n][1] for n in dt.names] == [0, 8, 16, 24, 32, 40, 48, 52]
    assert dt.itemsize == 60
    assert dt.alignment == 1
    assert not dt.isalignedstruct
    assert not dt.hasobject
    assert dt.flags == NEEDS_PYAPI
    assert dt == expected_dtype(layout)


@pytest.mark.parametrize("names", [TICK_FUNCTIONS, RATES_FUNCTIONS])
def test_one_record_type_serves_every_call(connect, names):
    connect([empty_reply(n) for n in names] * 2)
    types = [call(n, *FUNCTIONS[n][2]).dtype for n in names * 2]
    assert all(t is types[0] for t in types)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("records", ["sample", "extreme"])
def test_values_of_every_field(connect, name, records):
    cmd, layout, args = FUNCTIONS[name]
    data = sample_records(layout, 4) if records == "sample" else extreme_records(layout)
    connect([records_reply(cmd, data)])
    a = call(name, *args)
    assert zelkor5.last_error() == SUCCESS
    assert a.shape == (len(data),)
    assert a.tobytes() == b"".join(data)
    for i, record in enumerate(data):
        for field, offset, kind in layout.fields:
            (want,) = struct.unpack_from(STRUCT_FORMATS[kind], record, offset)
            assert same_value(a[field][i].item(), want), (i, field)


@pytest.mark.parametrize("name", NAMES)
def test_array_owns_its_read_only_block(connect, name):
    cmd, layout, args = FUNCTIONS[name]
    connect([records_reply(cmd, sample_records(layout, 3))])
    a = call(name, *args)
    assert type(a) is np.ndarray
    assert a.ndim == 1 and a.strides == (60,) and a.nbytes == 180
    assert a.flags.owndata and a.base is None
    assert a.flags.c_contiguous and a.flags.aligned
    assert not a.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        a["time"][0] = 5
    with pytest.raises(ValueError, match="read-only"):
        a[1] = a[0]


@pytest.mark.parametrize("name", NAMES)
def test_empty_reply_gives_an_empty_array_of_the_type(connect, name):
    cmd, layout, args = FUNCTIONS[name]
    connect([records_reply(cmd, [])])
    a = call(name, *args)
    assert zelkor5.last_error() == SUCCESS
    assert isinstance(a, np.ndarray) and a.shape == (0,)
    assert a.dtype == expected_dtype(layout) and a.dtype.flags == NEEDS_PYAPI
    assert a.flags.owndata and not a.flags.writeable


def test_records_cross_the_stream_buffer(connect):
    # More than one stream buffer of records: the bulk is read straight into
    # the array after the part already buffered.
    data = sample_records(TICK, 700)
    connect([records_reply(105, data)])
    assert zelkor5.copy_ticks_range(SYMBOL, 0, 1, 0).tobytes() == b"".join(data)


# --- argument errors ---------------------------------------------------------

ARGUMENT_ERRORS = (
    [
        ("copy_rates_from", (SYMBOL, 1.0, 0, 10)),  # float timeframe
        ("copy_rates_range", (SYMBOL, 1.0, 0, 10)),
        ("copy_rates_from_pos", (SYMBOL, 1.0, 0, 10)),
        ("copy_rates_from", (SYMBOL, 1, 0, 10.0)),  # float count
        ("copy_rates_from_pos", (SYMBOL, 1, 0, 10.0)),
        ("copy_rates_from_pos", (SYMBOL, 1, 0.0, 10)),  # float start
        ("copy_ticks_from", (SYMBOL, 0, 10.0, 1)),
        ("copy_ticks_from", (SYMBOL, 0, 10, 1.0)),  # float flags
        ("copy_ticks_range", (SYMBOL, 0, 10, 1.0)),
        ("copy_rates_from", (SYMBOL, 2**31, 0, 10)),  # beyond 32 bits
        ("copy_ticks_range", (SYMBOL, 0, 10, -(2**31) - 1)),
        ("copy_ticks_from", (SYMBOL, 0, 1, "1")),
        ("copy_rates_from", (SYMBOL, 1, datetime.date(2020, 1, 1), 10)),  # a date, not a datetime
        ("copy_rates_range", (SYMBOL, 1, 0, datetime.date(2020, 1, 1))),
        ("copy_ticks_from", (SYMBOL, datetime.date(2020, 1, 1), 10, 1)),
        ("copy_ticks_range", (SYMBOL, datetime.date(2020, 1, 1), 0, 1)),
        ("copy_ticks_range", (SYMBOL, 0, "1000", 1)),
        ("copy_ticks_range", (SYMBOL, None, 0, 1)),
        ("copy_ticks_from", (SYMBOL, float("nan"), 1, 1)),
        ("copy_ticks_from", (b"EURUSD", 0, 10, 1)),  # symbol
        ("copy_rates_from_pos", (None, 1, 0, 10)),
        ("copy_rates_from", (42, 1, 0, 10)),
        ("copy_rates_range", ("s" * 30, 1, 0, 10)),
        ("copy_ticks_range", ("\U0001f600" + "s" * 28, 0, 10, 1)),
    ]
    + [(n, FUNCTIONS[n][2] + (1,)) for n in NAMES]
    + [(n, FUNCTIONS[n][2][:3]) for n in NAMES]
    + [(n, ()) for n in NAMES]
)


@pytest.mark.parametrize("name, args", ARGUMENT_ERRORS)
def test_argument_errors_send_nothing(connect, name, args):
    p = connect([empty_reply(name)])
    assert call(name, *args) is None
    assert zelkor5.last_error() == INVALID
    assert after_handshake(p) == []
    # The connection is still usable.
    assert call(name, *FUNCTIONS[name][2]) is not None


@pytest.mark.parametrize("name", NAMES)
def test_argument_errors_come_before_the_connection_check(name):
    args = FUNCTIONS[name][2]
    assert call(name, b"EURUSD", *args[1:]) is None
    assert zelkor5.last_error() == INVALID
    assert call(name, *args) is None
    assert zelkor5.last_error() == (-10004, "No IPC connection")


# --- failures of the exchange ------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "status, message",
    [
        (-1, "Terminal: Call failed"),
        (-2, "Terminal: Invalid params"),
        (-4, "Terminal: Not found"),
        (-7, "Terminal: Unsupported function"),
        (-8, "Terminal: Call failed"),
    ],
)
def test_negative_status_gives_none_and_the_status(connect, name, status, message):
    cmd, _, args = FUNCTIONS[name]
    connect([fail(cmd, status)])
    assert call(name, *args) is None
    assert zelkor5.last_error() == (status, message)


@pytest.mark.parametrize("name", NAMES)
def test_negative_status_with_records_still_fails(connect, name):
    cmd, layout, args = FUNCTIONS[name]
    connect([reply(cmd, -3, array(sample_records(layout, 2), 60))])
    assert call(name, *args) is None
    assert zelkor5.last_error() == (-3, "Terminal: Out of memory")


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "action, error, in_step",
    [
        # The reply answers another command: the received array is dropped, and
        # the stream's position is lost.
        (lambda cmd, data: reply(cmd + 1, 0, array(data, 60)), (-10000, "IPC call failed"), False),
        # Fewer records than the count announces: nothing is allocated.
        (
            lambda cmd, data: reply(cmd, 0, struct.pack("<I", len(data) + 1) + b"".join(data)),
            (-10002, "IPC recv failed"),
            True,
        ),
        # Bytes after the records: the filled array is dropped.
        (
            lambda cmd, data: reply(cmd, 0, array(data, 60) + b"\0"),
            (-10002, "IPC recv failed"),
            True,
        ),
        # No count at all.
        (lambda cmd, data: reply(cmd, 0), (-10002, "IPC recv failed"), True),
    ],
    ids=["echo", "short", "long", "no-count"],
)
def test_bad_replies_give_none(connect, name, action, error, in_step):
    cmd, layout, args = FUNCTIONS[name]
    data = sample_records(layout, 3)
    connect([action(cmd, data), records_reply(cmd, data)])
    assert call(name, *args) is None
    assert zelkor5.last_error() == error
    if in_step:
        # A whole frame of the wrong shape is skipped: the next call is served.
        assert len(call(name, *args)) == 3
        assert zelkor5.last_error() == (1, "Success")
    else:
        # The stream's position is lost: the next call finds no connection.
        assert call(name, *args) is None
        assert zelkor5.last_error() == (-10004, "No IPC connection")


@pytest.mark.parametrize("name", NAMES)
def test_terminal_gone_mid_reply(connect, name):
    cmd, layout, args = FUNCTIONS[name]
    frame = reply_bytes(cmd, 0, array(sample_records(layout, 50), 60))
    connect([hangup_after(len(frame) // 2, raw(frame))])
    assert call(name, *args) is None
    assert zelkor5.last_error() == (-10002, "IPC recv failed")
    assert call(name, *args) is None
    assert zelkor5.last_error() == (-10004, "No IPC connection")


# --- memory ------------------------------------------------------------------

MB = 1 << 20


def ticks_payload(nbytes):
    n = nbytes // 60
    return struct.pack("<I", n) + TICK.pack(TICK.sample(3)) * n


def test_many_calls_with_large_replies_keep_the_process_size_flat(connect):
    payload = ticks_payload(MB)
    connect(default=echo(0, payload))
    for _ in range(100):
        a = zelkor5.copy_ticks_range(SYMBOL, 0, 1, 0)
    gc.collect()
    before = resident_bytes()
    for _ in range(2000):
        a = zelkor5.copy_ticks_range(SYMBOL, 0, 1, 0)
        assert a.nbytes == len(payload) - 4
    del a
    gc.collect()
    # A leaked block per call would be 2 GB.
    assert resident_bytes() - before < 16 * MB


def test_array_memory_is_released_when_the_array_dies(connect):
    # Large enough for the huge-page advice, and for a mapping of its own.
    payload = ticks_payload(48 * MB)
    connect(default=echo(0, payload))
    zelkor5.copy_ticks_range(SYMBOL, 0, 1, 0)
    gc.collect()
    base = resident_bytes()
    for _ in range(3):
        a = zelkor5.copy_ticks_range(SYMBOL, 0, 1, 0)
        assert resident_bytes() - base > 46 * MB
        # A view keeps the block alive through its base.
        view = a[::7]
        del a
        assert resident_bytes() - base > 46 * MB
        assert view.base is not None and view["bid"][0] == TICK.sample(3)["bid"]
        del view
        assert resident_bytes() - base < 4 * MB


# --- the package's word when a result stops at the terminal's limit ----------


def test_tick_results_at_the_limit_warn_and_nothing_more_is_asked(connect, monkeypatch):
    # The tick limit lowered to 3; the terminal answers with 3 ticks or 2.
    monkeypatch.setattr(zelkor5.history, "TICK_LIMIT", 3)
    three, two = sample_records(TICK, 3), sample_records(TICK, 2)
    cases = [  # (function, args, answer, warns)
        ("copy_ticks_range", (SYMBOL, 1000, 2000, 6), three, True),
        ("copy_ticks_range", (SYMBOL, 1000, 2000, 6), two, False),
        ("copy_ticks_from", (SYMBOL, 1000, 5, 6), three, True),
        ("copy_ticks_from", (SYMBOL, 1000, 3, 6), three, False),  # as many as asked for
        ("copy_rates_range", (SYMBOL, 16385, 1000, 2000), sample_records(RATES, 3), False),
    ]
    p = connect([records_reply(FUNCTIONS[name][0], answer) for name, _, answer, _ in cases])
    for name, args, answer, warns in cases:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = call(name, *args)
        assert result.tobytes() == b"".join(answer)
        assert zelkor5.last_error() == SUCCESS
        assert [str(w.message) for w in caught] == (
            [
                "%s() stopped at the terminal's limit of 3 ticks (zelkor5.history.TICK_LIMIT): the "
                "result may go on past it (zelkor5.history.ticks_range() pages through a range of "
                "any length)" % name
            ]
            if warns
            else []
        ), name
    # One request per call: the limit's check asks the terminal nothing.
    assert [r[4:8] for r in after_handshake(p)] == [
        struct.pack("<I", FUNCTIONS[name][0]) for name, _, _, _ in cases
    ]


def test_the_tick_limit_is_the_terminals():
    # The bundled terminal's sources, before and after they moved under src/.
    root = os.path.join(os.path.dirname(__file__), "..", "..")
    found = glob.glob(os.path.join(root, "terminal", "ticks.h")) + glob.glob(
        os.path.join(root, "src", "terminal", "**", "ticks.h"), recursive=True
    )
    assert len(found) == 1
    with open(found[0]) as f:
        limit = re.search(r"kMaxTicksPerReply = (\d+);", f.read())
    assert int(limit.group(1)) == zelkor5.history.TICK_LIMIT
