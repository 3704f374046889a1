"""Waiting for the terminal: other threads run meanwhile, Ctrl-C ends the
wait, concurrent callers each get their own reply, and a stream that lost its
step is closed rather than read out of step."""

import contextlib
import os
import signal
import sys
import threading
import time

import pytest
from peer import (
    Peer,
    close,
    delay,
    handshake,
    hello,
    i32,
    make_terminal_exe,
    raw,
    reply,
    reply_bytes,
    slowly,
    tail,
    u32,
    wstr,
)

import zelkor5

NO_CONNECTION = (-10004, "No IPC connection")
# The bound; the wait is asked every 50 ms.
INTERRUPT_BOUND = 0.5


@contextlib.contextmanager
def interrupt_after(seconds, aside=False):
    """Sends SIGINT to this process after `seconds`. Yields a dict whose
    "latency" is, once the block has ended by the KeyboardInterrupt, the time
    from the signal to the exception. With `aside`, the signal is delivered
    to another thread, so that no wait of the main thread is cut short by
    it: the main thread learns of it only by asking, as when the signal
    lands while it is busy reading."""
    timing = {}

    def fire():
        timing["sent"] = time.monotonic()
        if aside:
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)
        else:
            os.kill(os.getpid(), signal.SIGINT)

    # A process started in the background by a shell inherits SIGINT
    # ignored, and Python then installs no handler of its own.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(seconds, fire)
    timer.start()
    try:
        yield timing
    except KeyboardInterrupt:
        timing["latency"] = time.monotonic() - timing["sent"]
        raise
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)


def test_interrupt_while_the_terminal_never_answers(connect):
    connect([delay(60, close())])
    with pytest.raises(KeyboardInterrupt):
        with interrupt_after(0.3) as timing:
            zelkor5.positions_total()
    assert timing["latency"] < INTERRUPT_BOUND
    assert zelkor5.last_error() == (-10002, "IPC recv failed")
    # The pipe is closed (the terminal, asleep in its delay, cannot tell yet).
    assert zelkor5.positions_total() is None
    assert zelkor5.last_error() == NO_CONNECTION


def version_reply(units):
    """A VERSION reply whose text has `units` UTF-16 units."""
    return reply(1, 1, u32(5) + u32(4000) + wstr("v" * units))


def test_interrupt_while_a_large_reply_keeps_arriving(connect, exe_path):
    # 8 MiB in 64 KiB pieces every 20 ms: the wait for the next piece never
    # lasts long enough to time out, yet the interrupt is seen at once.
    p = connect([slowly(version_reply(4 << 20), 64 << 10, 0.02)] + handshake())
    with pytest.raises(KeyboardInterrupt):
        with interrupt_after(0.4, aside=True) as timing:
            zelkor5.version()
    assert timing["latency"] < INTERRUPT_BOUND
    assert zelkor5.last_error() == (-10002, "IPC recv failed")
    assert zelkor5.positions_total() is None
    assert zelkor5.last_error() == NO_CONNECTION
    assert p.wait_event("eof")
    assert zelkor5.initialize(exe_path), zelkor5.last_error()


def test_a_silent_terminal_ends_a_call_in_any_thread(connect):
    # initialize's timeout bounds a reply's silence, not its length: a reply
    # that takes twice the timeout but keeps arriving is served whole.
    connect([slowly(version_reply(2 << 20), 256 << 10, 0.12), delay(60, close())], timeout=500)
    # (A text this long is dropped; the numbers show the reply was read.)
    assert zelkor5.version() == (5, 4000, "")
    assert zelkor5.last_error() == (1, "Success")
    outcome = {}

    def worker():
        start = time.monotonic()
        outcome["result"] = zelkor5.positions_total()
        outcome["error"] = zelkor5.last_error()
        outcome["seconds"] = time.monotonic() - start

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join(10)
    assert not thread.is_alive()
    assert outcome["result"] is None and outcome["error"] == (-10005, "IPC timeout")
    assert 0.4 < outcome["seconds"] < 5
    assert zelkor5.positions_total() is None
    assert zelkor5.last_error() == NO_CONNECTION


def test_each_thread_sees_its_own_last_error(connect):
    connect(default=reply(120, 1, u32(3)))
    seen = {"a": set(), "b": set()}
    fresh = []
    done = threading.Event()

    def failing():
        # Refused before any traffic, so it never waits: it keeps running
        # while the other thread's calls wait for their replies.
        while not done.is_set():
            zelkor5.copy_rates_from("EURUSD", 1, 0, "not a count")
            seen["a"].add(zelkor5.last_error())

    def succeeding():
        try:
            for _ in range(1000):
                assert zelkor5.positions_total() == 3
                seen["b"].add(zelkor5.last_error())
        finally:
            done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0002)
    try:
        threads = [
            threading.Thread(target=failing),
            threading.Thread(target=succeeding),
            threading.Thread(target=lambda: fresh.append(zelkor5.last_error())),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert seen == {"a": {(-2, "Invalid arguments")}, "b": {(1, "Success")}}
    # A thread that has made no call sees success.
    assert fresh == [(1, "Success")]


def test_interrupt_during_the_launch_poll(tmp_path):
    exe = make_terminal_exe(tmp_path / "inst", serve=False, timeout=30)
    try:
        with pytest.raises(KeyboardInterrupt):
            with interrupt_after(1.0) as timing:
                zelkor5.initialize(exe.path)
        assert timing["latency"] < INTERRUPT_BOUND
        assert exe.started()
        assert zelkor5.last_error() == (-10003, "IPC initialize failed, Interrupted")
        assert zelkor5.version() == (0, 0, "")
        assert zelkor5.last_error() == NO_CONNECTION
    finally:
        exe.kill()


def test_interrupt_during_the_readiness_wait(exe_path):
    # The terminal keeps answering "connecting".
    with Peer(exe_path, [hello()], default=reply(109, 1, u32(1))) as p:
        with pytest.raises(KeyboardInterrupt):
            with interrupt_after(0.5) as timing:
                zelkor5.initialize(exe_path)
        assert timing["latency"] < INTERRUPT_BOUND
        assert zelkor5.last_error() == (-10005, "IPC timeout")
        assert p.wait_event("eof")
        assert zelkor5.positions_total() is None
        assert zelkor5.last_error() == NO_CONNECTION


def test_other_threads_run_while_a_call_waits(connect):
    connect([delay(2, reply(120, 1, u32(3)))])
    stamps, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.01)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.monotonic()
        assert zelkor5.positions_total() == 3
        end = time.monotonic()
    finally:
        stop.set()
        thread.join()
    assert end - start >= 1.9
    during = [s for s in stamps if start <= s <= end]
    # The ticker kept going through the whole wait, never held up for long.
    assert len(during) > 50
    assert max(b - a for a, b in zip([start] + during, during + [end])) < 0.5


def test_two_threads_each_get_their_own_replies(connect):
    # Each reply carries the request's last 8 bytes: the price argument.
    connect(default=tail(8))
    results = {}

    def worker(k, call):
        results[k] = [call(k * 100000.0 + i) == k * 100000.0 + i for i in range(1000)]

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0002)  # hand the interpreter over quickly
    try:
        threads = [
            threading.Thread(
                target=worker,
                args=(1, lambda price: zelkor5.order_calc_margin(0, "EURUSD", 1.0, price)),
            ),
            threading.Thread(
                target=worker,
                args=(2, lambda price: zelkor5.order_calc_profit(0, "EURUSD", 1.0, 1.0, price)),
            ),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert results[1] == [True] * 1000 and results[2] == [True] * 1000


TOTAL = reply_bytes(120, 1, u32(3))


@pytest.mark.parametrize(
    "frames, outcomes",
    [
        # One frame too many: the call after it finds bytes nobody asked for and
        # fails without writing.
        ([raw(TOTAL + reply_bytes(120, 1, u32(4)))], [3, (-10000, "IPC call failed")]),
        # A reply to another command.
        ([reply(121, 1, u32(3))], [(-10000, "IPC call failed")]),
        # A length field shorter than what follows it: the frame it gives ends
        # after the status, and the rest is a frame nobody asked for.
        (
            [raw(u32(8) + u32(120) + i32(1) + u32(3))],
            [(-10002, "IPC recv failed"), (-10000, "IPC call failed")],
        ),
        # A length field too short for the echo and the status.
        ([raw(u32(2) + b"\x78\x00")], [(-10002, "IPC recv failed")]),
    ],
    ids=["extra frame", "wrong echo", "short length field", "no header"],
)
def test_a_stream_out_of_step_is_closed(connect, frames, outcomes):
    p = connect(frames, default=reply(120, 1, u32(9)))
    for expected in outcomes:
        result = zelkor5.positions_total()
        if isinstance(expected, int):
            assert result == expected
        else:
            assert result is None and zelkor5.last_error() == expected
    assert zelkor5.positions_total() is None
    assert zelkor5.last_error() == NO_CONNECTION
    assert p.wait_event("eof")
    # Nothing was written after the fault was seen.
    assert p.commands()[2:] == [120] * min(len(outcomes), len(frames))


@pytest.mark.parametrize(
    "call, frame, then",
    [
        # Five bytes more than the count.
        (zelkor5.positions_total, reply(120, 1, u32(3) + b"12345"), zelkor5.positions_total),
        # A payload shorter than its record.
        (zelkor5.account_info, reply(190, 1, b"\x01" * 100), zelkor5.positions_total),
        # A count whose records the frame cannot hold.
        (
            zelkor5.positions_get,
            reply(121, 1, u32(1000000) + b"\x00" * 64),
            zelkor5.positions_total,
        ),
    ],
    ids=["extra bytes", "short record", "impossible count"],
)
def test_an_intact_frame_of_the_wrong_shape_keeps_the_stream_in_step(connect, call, frame, then):
    p = connect([frame], default=reply(120, 1, u32(9)))
    assert call() is None
    assert zelkor5.last_error() == (-10002, "IPC recv failed")
    assert then() == 9
    assert zelkor5.last_error() == (1, "Success")
    assert p.count("eof") == 0


@pytest.mark.parametrize(
    "spoil, errno_value",
    [
        (lambda d: os.chmod(d, 0o755), 1),  # group and other may enter
        (
            lambda d: os.environ.__setitem__("XDG_RUNTIME_DIR", d + "-link")
            or os.symlink(d, d + "-link"),
            1,
        ),  # a symlink, not the folder
        (
            lambda d: os.environ.__setitem__("XDG_RUNTIME_DIR", os.path.join(d, "x" * 40))
            or os.mkdir(os.path.join(d, "x" * 40), 0o700),
            36,
        ),  # the socket path does not fit
    ],
    ids=["group bits", "symlink", "too long"],
)
def test_socket_folder_refused_at_once_without_starting(
    tmp_path, rundir, monkeypatch, spoil, errno_value
):
    monkeypatch.setenv("XDG_RUNTIME_DIR", rundir)
    exe = make_terminal_exe(tmp_path / "inst", handshake())
    spoil(rundir)
    try:
        start = time.monotonic()
        assert zelkor5.initialize(exe.path) is False
        assert time.monotonic() - start < 5  # no start, no 60-second poll
        assert zelkor5.last_error() == (
            -10003,
            "IPC initialize failed, CreateFile failed [%d]" % errno_value,
        )
        assert not exe.wait_started(timeout=1.0)
    finally:
        exe.kill()
