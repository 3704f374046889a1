"""Whatever a terminal answers, the module returns its failure value or a
result, never raises and never crashes, and the pipe stays usable as long as
the frames themselves are intact."""

import random

import numpy as np
import pytest
from peer import raw, reply_bytes, u32

import zelkor5

# (call, command it sends, element or record size of its payload, or None)
CALLS = [
    (lambda: zelkor5.positions_get(), 121, 320),
    (lambda: zelkor5.positions_get(group="EUR*"), 121, 320),
    (lambda: zelkor5.orders_get(ticket=1), 133, 340),
    (lambda: zelkor5.history_deals_get(0, 10), 151, 300),
    (lambda: zelkor5.history_orders_get(position=3), 142, 340),
    (lambda: zelkor5.symbols_get(), 174, 2993),
    (lambda: zelkor5.symbol_info("EURUSD"), 170, 2993),
    (lambda: zelkor5.symbol_info_tick("EURUSD"), 172, 60),
    (lambda: zelkor5.copy_ticks_from("EURUSD", 0, 10, 0), 104, 60),
    (lambda: zelkor5.copy_rates_range("EURUSD", 1, 0, 10), 107, 60),
    (lambda: zelkor5.account_info(), 190, 851),
    (lambda: zelkor5.terminal_info(), 180, 3162),
    (lambda: zelkor5.order_send({"symbol": "EURUSD"}), 161, 260),
    (lambda: zelkor5.order_check({}), 160, 252),
    (lambda: zelkor5.order_calc_margin(0, "EURUSD", 1.0, 1.0), 162, 8),
    (lambda: zelkor5.version(), 1, None),
    (lambda: zelkor5.market_book_get("EURUSD"), 193, 28),
    (lambda: zelkor5.positions_total(), 120, 4),
    (lambda: zelkor5.symbol_select("EURUSD"), 171, 0),
    (lambda: zelkor5.market_book_add("EURUSD"), 191, 0),
]


def random_payload(rnd, size):
    """A payload of the right shape, of a wrong one, or plain noise."""
    kind = rnd.random()
    if kind < 0.3 or size is None:
        return bytes(rnd.getrandbits(8) for _ in range(rnd.randrange(0, 64)))
    if kind < 0.6:
        record = bytes(rnd.getrandbits(8) for _ in range(size))
        return record if rnd.random() < 0.5 else u32(1) + record
    count = rnd.choice([0, 1, 2, 3, 0xFFFFFFFF, 1 << 20])
    body = bytes(
        rnd.getrandbits(8) for _ in range(min(count, 3) * size + rnd.choice([0, 0, 1, -1]))
    )
    return u32(count) + body


def test_random_replies_never_break_the_module(connect):
    rnd = random.Random(20261207)
    script, calls = [], []
    for _ in range(600):
        call, cmd, size = rnd.choice(CALLS)
        echo = cmd if rnd.random() < 0.85 else rnd.choice([cmd + 1, 0, 0xFFFFFFFF])
        status = rnd.choice([1, 1, 0, 2, -1, -4, -8, -100, 0x7FFFFFFF, -0x80000000])
        script.append(raw(reply_bytes(echo, status, random_payload(rnd, size))))
        calls.append(call)
    connect(script)
    for call in calls:
        result = call()
        code, message = zelkor5.last_error()
        assert isinstance(code, int) and isinstance(message, str)
        if code < 0:
            assert result in (None, False, (0, 0, "")), (code, result)
        elif isinstance(result, np.ndarray):
            assert not result.flags.writeable
    # Every frame was whole, so the connection is still in step.
    assert zelkor5.positions_total() is None
    assert zelkor5.last_error()[0] in (-10002, -10004)


@pytest.mark.parametrize("cut", [1, 3, 4, 7, 11, 12, 20, 71])
def test_reply_cut_short_by_a_hang_up(connect, cut):
    from peer import hangup_after

    record = bytes(range(60))
    connect([hangup_after(cut, raw(reply_bytes(172, 1, record)))])
    assert zelkor5.symbol_info_tick("EURUSD") is None
    assert zelkor5.last_error()[0] == -10002
    assert zelkor5.symbol_info_tick("EURUSD") is None
    assert zelkor5.last_error() == (-10004, "No IPC connection")
