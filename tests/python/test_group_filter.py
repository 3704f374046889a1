"""The group mask filter, seen through the four functions that take `group`."""

import fnmatch
import random

import pytest
from conftest import after_handshake
from peer import array, echo, reply, request_bytes
from trade_records import DEAL, ORDER, POSITION

import zelkor5

SYMBOLS = [
    "EURUSD",
    "EURGBP",
    "GBPUSD",
    "USDJPY",
    "EUR",
    "X",
    "EUR USD",
    "AAA",
    "AAAB",
    "USDUSD",
    "ABCBC",
    "",
    "eurusd",
    "S" * 31,
]

# name -> (call with a group, layout, command of the unfiltered list)
FUNCTIONS = {
    "positions_get": (lambda g: zelkor5.positions_get(group=g), POSITION, 121),
    "orders_get": (lambda g: zelkor5.orders_get(group=g), ORDER, 131),
    "history_orders_get": (lambda g: zelkor5.history_orders_get(0, 9, group=g), ORDER, 141),
    "history_deals_get": (lambda g: zelkor5.history_deals_get(0, 9, group=g), DEAL, 151),
}


def records_for(layout, symbols):
    # Tickets count up, so the kept tickets show the order as well.
    return [layout.pack(ticket=i + 1, symbol=s, comment="c%d" % i) for i, s in enumerate(symbols)]


def selected(result):
    return [r.symbol for r in result]


def reference(mask, symbol):
    """The selection rule: some positive pattern matches and no negative one
    does; `*` is the only wildcard; spaces around a pattern do not count."""
    keep = False
    for pattern in mask.split(","):
        pattern = pattern.strip(" ")
        if not pattern:
            continue
        core = pattern.lstrip("!")
        # A pattern that is empty after its `!`s matches every symbol.
        hit = core == "" or fnmatch.fnmatchcase(symbol, core)
        if pattern.startswith("!"):
            if hit:
                return False
        elif hit:
            keep = True
    return keep


CASES = [
    ("*", SYMBOLS),
    ("**", SYMBOLS),
    ("*,!X", [s for s in SYMBOLS if s != "X"]),
    ("EUR*,!EURUSD", ["EURGBP", "EUR", "EUR USD"]),
    ("!EURUSD,EUR*", ["EURGBP", "EUR", "EUR USD"]),
    ("!EUR*", []),
    ("", []),
    (" , ,,", []),
    ("  EUR* ,  GBP*  ", ["EURUSD", "EURGBP", "GBPUSD", "EUR", "EUR USD"]),
    ("EUR USD", ["EUR USD"]),
    ("eurusd", ["eurusd"]),
    ("*AA", ["AAA"]),
    ("*AAB", ["AAAB"]),
    ("*USD", ["EURUSD", "GBPUSD", "EUR USD", "USDUSD"]),
    ("EUR", ["EUR"]),
    ("A*C", ["ABCBC"]),
    ("!!EUR*,*", [s for s in SYMBOLS if not s.startswith("EUR")]),
    ("!EUR*,*", [s for s in SYMBOLS if not s.startswith("EUR")]),
    ("A*", ["AAA", "AAAB", "ABCBC"]),
    ("*A", ["AAA"]),
    ("S" * 31, ["S" * 31]),
    ("*,!", []),
    ("Z*", []),
]


def test_cases_agree_with_the_reference():
    # Guards the table itself: every listed outcome is what the rule says.
    for mask, expected in CASES:
        assert [s for s in SYMBOLS if reference(mask, s)] == expected, mask


@pytest.mark.parametrize("mask, expected", CASES)
def test_masks_through_positions_get(connect, mask, expected):
    p = connect([reply(121, 1, array(records_for(POSITION, SYMBOLS)))])
    result = zelkor5.positions_get(group=mask)
    assert zelkor5.last_error() == (1, "Success")
    assert selected(result) == expected
    tickets = [r.ticket for r in result]
    assert tickets == sorted(tickets)
    # The mask never reaches the terminal.
    assert after_handshake(p) == [request_bytes(121)]


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_each_function_filters_on_its_own_symbol_field(connect, name):
    call, layout, cmd = FUNCTIONS[name]
    symbols = ["GBPUSD", "EURUSD", "USDJPY", "EURGBP", "EURCHF"]
    records = records_for(layout, symbols)
    connect([reply(cmd, 1, array(records))])
    result = call("EUR*,!EURGBP")
    assert selected(result) == ["EURUSD", "EURCHF"]
    assert [r.ticket for r in result] == [2, 5]
    # Whole records are kept, not just their symbols.
    assert [r.comment for r in result] == ["c1", "c4"]
    assert zelkor5.last_error() == (1, "Success")


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_an_empty_list_stays_empty(connect, name):
    call, _, cmd = FUNCTIONS[name]
    connect([reply(cmd, 1, array([]))])
    assert call("*") == ()
    assert zelkor5.last_error() == (1, "Success")


def test_a_star_mask_gives_the_unfiltered_list(connect):
    records = records_for(ORDER, SYMBOLS)
    connect([reply(131, 1, array(records))] * 2)
    assert zelkor5.orders_get(group="*") == zelkor5.orders_get()


def random_pattern(rng):
    core = "".join(rng.choice("AB**") for _ in range(rng.randint(0, 5)))
    if rng.random() < 0.3:
        core = "!" * rng.randint(1, 2) + core
    return " " * rng.randint(0, 2) + core + " " * rng.randint(0, 2)


def test_random_masks_agree_with_the_reference(connect):
    rng = random.Random(20240607)
    symbols = sorted(
        {"".join(rng.choice("AB") for _ in range(rng.randint(0, 7))) for _ in range(60)}
    )
    payload = array(records_for(POSITION, symbols))
    connect(default=echo(1, payload))
    for _ in range(400):
        mask = ",".join(random_pattern(rng) for _ in range(rng.randint(1, 4)))
        expected = [s for s in symbols if reference(mask, s)]
        assert selected(zelkor5.positions_get(group=mask)) == expected, repr(mask)


def test_random_single_patterns_on_longer_symbols(connect):
    rng = random.Random(7)
    symbols = sorted(
        {"".join(rng.choice("ABC") for _ in range(rng.randint(1, 12))) for _ in range(80)}
    )
    payload = array(records_for(DEAL, symbols))
    connect(default=echo(1, payload))
    for _ in range(300):
        pattern = "".join(rng.choice("ABC*") for _ in range(rng.randint(1, 8)))
        expected = [s for s in symbols if fnmatch.fnmatchcase(s, pattern)]
        got = selected(zelkor5.history_deals_get(0, 1, group=pattern))
        assert got == expected, pattern
