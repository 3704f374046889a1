"""Argument conversions, seen in the bytes that reach the terminal."""

import datetime
import math

import pytest

import zelkor5
from conftest import after_handshake
from peer import i64, parse_request, reply, u32, wstr

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


@pytest.mark.parametrize("date, seconds", [
    (1000, 1000), (1000.9, 1000), (Stamp(1000.9), 1000), (-1.5, -1), (True, 1), (0, 0),
    (0.5, 0), (2 ** 31 - 1, 2 ** 31 - 1), (-(2 ** 31), -(2 ** 31)),
    (datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), 1577836800),
])
def test_dates_become_signed_seconds(connect, date, seconds):
    p = connect([reply(150, 1, u32(0))])
    assert zelkor5.history_deals_total(date, 0) == 0
    assert sent_dates(p) == i64(seconds) + i64(0)


@pytest.mark.parametrize("date", [
    datetime.date(2020, 1, 1), "1000", None, b"1", 2 ** 31, -(2 ** 31) - 1, 2.0 ** 31,
    float("nan"), float("inf"), Stamp(2.0 ** 40), Stamp(math.nan),
])
def test_dates_refused(connect, date):
    p = connect()
    assert zelkor5.history_deals_total(date, 0) is None
    assert zelkor5.last_error() == INVALID
    assert after_handshake(p) == []


@pytest.mark.parametrize("symbol, accepted", [
    ("S" * 29, True), ("S" * 30, False), ("\U0001F600" + "S" * 27, True),
    ("\U0001F600" + "S" * 28, False), (Str("EURUSD"), True), (b"EURUSD", False),
    ("", True), (None, False),
])
def test_symbol_limits(connect, symbol, accepted):
    p = connect([reply(172, 1, bytes(60))])
    result = zelkor5.symbol_info_tick(symbol)
    assert (result is not None) is accepted, zelkor5.last_error()
    if accepted:
        assert [parse_request(f) for f in after_handshake(p)] == [(172, wstr(str(symbol)))]
    else:
        assert zelkor5.last_error() == INVALID
        assert after_handshake(p) == []


@pytest.mark.parametrize("symbol, sent", [
    ("EUR\0USD", "EUR"),             # only the text before a NUL travels
    ("A\ud800B", "A\ud800B"),        # a lone surrogate passes as it is
])
def test_symbol_text_as_sent(connect, symbol, sent):
    p = connect([reply(172, 1, bytes(60))])
    assert zelkor5.symbol_info_tick(symbol) is not None
    _, args = parse_request(after_handshake(p)[0])
    assert args == u32(len(sent.encode("utf-16-le", "surrogatepass")) // 2) + \
        sent.encode("utf-16-le", "surrogatepass")


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
