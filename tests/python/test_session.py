"""initialize, login, version, shutdown against scripted test terminals."""

import os
import time
import warnings

import peer
import pytest
from conftest import after_handshake
from peer import (
    close,
    fail,
    handshake,
    hello,
    make_terminal_exe,
    ready,
    reply,
    request_bytes,
    u32,
    u64,
    wstr,
)

import zelkor5

HELLO = request_bytes(4, u32(3) + wstr("Python"))
STATE = request_bytes(109)
NO_CONNECTION = (-10004, "No IPC connection")
OTP = (-7, "Unsupported authorization mode, OTP or certificate password needed")


def login_request(login, password, server):
    return request_bytes(5, u32(0) + u64(login) + wstr(password) + wstr(server))


def test_initialize_connects_to_a_serving_terminal(connect):
    p = connect()
    assert p.requests() == [HELLO, STATE]
    assert zelkor5.last_error() == (1, "Success")


def test_initialize_waits_until_ready(exe_path):
    with peer.Peer(exe_path, [hello(), ready(0), ready(1), ready(2)]) as p:
        assert zelkor5.initialize(path=exe_path)
        assert p.commands() == [4, 109, 109, 109]


@pytest.mark.parametrize("state, expected", [(3, (-6, "Terminal: Authorization failed"))])
def test_authorization_failure_while_waiting_closes_the_pipe(exe_path, state, expected):
    with peer.Peer(exe_path, [hello(), ready(state)]):
        assert zelkor5.initialize(exe_path) is False
        assert zelkor5.last_error() == expected
        assert zelkor5.version() == (0, 0, "")
        assert zelkor5.last_error() == NO_CONNECTION


def test_timeout_of_one_millisecond_polls_once(exe_path):
    with peer.Peer(exe_path, [hello(), ready(0)], default=ready(0)) as p:
        start = time.monotonic()
        assert zelkor5.initialize(exe_path, timeout=1) is False
        assert zelkor5.last_error() == (-10005, "IPC timeout")
        assert p.commands() == [4, 109]
        assert time.monotonic() - start < 5


def test_initialize_with_login_sends_password_before_server(exe_path):
    with peer.Peer(exe_path, [hello(), reply(5, 1), ready()]) as p:
        assert zelkor5.initialize(
            exe_path, login=123456789012, password="pw\u00e9", server="Demo-Server"
        )
        assert p.requests()[1] == login_request(123456789012, "pw\u00e9", "Demo-Server")


@pytest.mark.parametrize(
    "status, expected",
    [
        (-7, OTP),
        (-6, (-6, "Terminal: Authorization failed")),
        (-8, (-8, "Terminal: Call failed")),
    ],
)
def test_login_refused_by_initialize_closes_the_pipe(exe_path, status, expected):
    with peer.Peer(exe_path, [hello(), fail(5, status)]):
        assert zelkor5.initialize(exe_path, login=5, password="x") is False
        assert zelkor5.last_error() == expected
        zelkor5.version()
        assert zelkor5.last_error() == NO_CONNECTION


def test_failed_hello_leaves_the_pipe_open(exe_path):
    with peer.Peer(exe_path, [fail(4, -5), reply(1, 1, u32(7) + u32(8) + wstr("v"))]):
        assert zelkor5.initialize(exe_path) is False
        assert zelkor5.last_error()[0] == -5
        assert zelkor5.version() == (7, 8, "v")


def test_login_function(connect):
    p = connect([reply(5, 1), ready(0), ready(2)])
    assert zelkor5.login(77, "secret", "Srv")
    assert after_handshake(p) == [login_request(77, "secret", "Srv"), STATE, STATE]


@pytest.mark.parametrize(
    "args, kwargs, password, server",
    [
        ((77, "pw"), {}, "pw", ""),
        ((77,), {"password": "kw", "server": "S"}, "kw", "S"),
        ((77, "pos", "posserver"), {"password": "kw"}, "kw", "posserver"),
        ((), {"login": 77, "unknown": object()}, "", ""),
    ],
)
def test_login_argument_forms(connect, args, kwargs, password, server):
    p = connect([reply(5, 1), ready()])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert zelkor5.login(*args, **kwargs), zelkor5.last_error()
    assert [str(w.message) for w in caught] == (
        ["login() ignores unknown keyword argument 'unknown'"] if "unknown" in kwargs else []
    )
    assert after_handshake(p)[0] == login_request(77, password, server)


@pytest.mark.parametrize(
    "status, expected", [(-7, OTP), (-6, (-6, "Terminal: Authorization failed"))]
)
def test_login_refused_keeps_the_connection(connect, status, expected):
    connect([fail(5, status), reply(1, 1, u32(1) + u32(2) + wstr(""))])
    assert zelkor5.login(9, "pw") is False
    assert zelkor5.last_error() == expected
    assert zelkor5.version() == (1, 2, "")


def test_login_state_three_reports_authorization_failed(connect):
    connect([reply(5, 1), ready(3), reply(1, 1, u32(1) + u32(2) + wstr(""))])
    assert zelkor5.login(9) is False
    assert zelkor5.last_error() == (-6, "Terminal: Authorization failed")
    assert zelkor5.version() == (1, 2, "")


LONG = "x" * 254
BAD_LOGIN = (-2, 'Invalid "login" argument')


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, BAD_LOGIN),
        ((0,), {}, BAD_LOGIN),
        ((1, "a", "b", "c"), {}, (-2, "Invalid number of arguments")),
        (("1",), {}, (-2, "Invalid 1st unnamed argument")),
        ((-1,), {}, (-2, "Invalid 1st unnamed argument")),
        ((1, b"pw"), {}, (-2, "Invalid 2nd unnamed argument")),
        ((1, LONG), {}, (-2, "Invalid 2nd unnamed argument")),
        ((1, "pw", 3), {}, (-2, "Invalid 3rd unnamed argument")),
        ((1,), {"login": 1.0}, BAD_LOGIN),
        ((1,), {"server": LONG}, (-2, 'Invalid "server" argument')),
        ((1,), {"password": None}, (-2, 'Invalid "password" argument')),
        ((1,), {"timeout": -1}, (-2, 'Invalid "timeout" argument')),
        ((1,), {"timeout": 2**32}, (-2, 'Invalid "timeout" argument')),
    ],
)
def test_login_argument_errors_send_nothing(connect, args, kwargs, expected):
    p = connect()
    assert zelkor5.login(*args, **kwargs) is False
    assert zelkor5.last_error() == expected
    assert after_handshake(p) == []


def test_login_without_connection():
    assert zelkor5.login(5) is False
    assert zelkor5.last_error() == NO_CONNECTION


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("a", "b"), {}, (-2, "Invalid number of arguments")),
        ((5,), {}, (-2, "Invalid 1st unnamed argument")),
        (("p" * 258,), {}, (-2, "Invalid 1st unnamed argument")),
        ((), {"login": -5}, BAD_LOGIN),
        ((), {"server": "s" * 254}, (-2, 'Invalid "server" argument')),
        ((), {"password": "p" * 254}, (-2, 'Invalid "password" argument')),
        ((), {"timeout": "1"}, (-2, 'Invalid "timeout" argument')),
        ((), {"path": "p" * 258}, (-2, 'Invalid "path" argument')),
        ((), {"login": 1, "path": 3}, (-2, 'Invalid "path" argument')),
    ],
)
def test_initialize_argument_errors_close_the_previous_connection(connect, args, kwargs, expected):
    p = connect()
    assert zelkor5.initialize(*args, **kwargs) is False
    assert zelkor5.last_error() == expected
    assert after_handshake(p) == []
    zelkor5.version()
    assert zelkor5.last_error() == NO_CONNECTION


@pytest.mark.parametrize("units, accepted", [(253, True), (254, False)])
def test_credential_limits(exe_path, units, accepted):
    # A character outside the BMP counts two units.
    server = "\U0001f600" + "s" * (units - 2)
    with peer.Peer(exe_path, [hello(), reply(5, 1), ready()]):
        assert zelkor5.initialize(exe_path, login=1, server=server) is accepted


@pytest.mark.parametrize(
    "units, error", [(257, "Process create failed"), (258, 'Invalid "path" argument')]
)
def test_path_limit(units, error):
    path = "/" + "p" * (units - 1)
    assert zelkor5.initialize(path=path) is False
    assert error in zelkor5.last_error()[1]


def test_nonexistent_path_reports_process_create_failed(tmp_path):
    path = str(tmp_path / "missing" / "terminal64.exe")
    assert zelkor5.initialize(path) is False
    assert zelkor5.last_error() == (
        -10003,
        "IPC initialize failed, Process create failed '%s'" % path,
    )


def test_initialize_while_connected_starts_from_scratch(connect, exe_path):
    p = connect()
    with peer.Peer(exe_path + "2", handshake()) as q:
        open(exe_path + "2", "w").close()
        assert zelkor5.initialize(exe_path + "2")
        assert q.commands() == [4, 109]
    assert p.wait_event("eof") or p.count("close")


def test_initialize_starts_the_terminal_and_waits_for_its_pipe(tmp_path):
    exe = make_terminal_exe(tmp_path / "inst", handshake(), delay=1.5)
    try:
        start = time.monotonic()
        assert zelkor5.initialize(exe.path), zelkor5.last_error()
        assert time.monotonic() - start >= 1.0
        assert exe.argv() == [exe.path]
    finally:
        zelkor5.shutdown()
        exe.kill()


def test_a_folder_name_that_is_not_utf8_starts_and_canonicalises(tmp_path):
    name = os.fsdecode(b"inst\xff")  # shows as 'inst\udcff'
    exe = make_terminal_exe(tmp_path / name, handshake())
    roundabout = os.path.join(str(tmp_path), name, "..", name, "terminal64.exe")
    try:
        assert zelkor5.initialize(roundabout), zelkor5.last_error()
        assert exe.argv() == [roundabout]
    finally:
        zelkor5.shutdown()
        exe.kill()


def test_portable_terminal_is_started_with_portable_flag(tmp_path):
    exe = make_terminal_exe(tmp_path / "inst", handshake())
    try:
        assert zelkor5.initialize(exe.path, portable=True), zelkor5.last_error()
        assert exe.argv() == [exe.path, "/portable"]
    finally:
        zelkor5.shutdown()
        exe.kill()


@pytest.mark.slow
def test_terminal_that_never_serves_gives_up_after_sixty_seconds(tmp_path):
    exe = make_terminal_exe(tmp_path / "inst", serve=False, timeout=90)
    try:
        start = time.monotonic()
        assert zelkor5.initialize(exe.path) is False
        elapsed = time.monotonic() - start
        assert zelkor5.last_error() == (
            -10003,
            "IPC initialize failed, Pipe server didn't answer in 60 sec",
        )
        assert 59 <= elapsed < 90
    finally:
        exe.kill()


def test_search_without_any_data_folder(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "roaming"))
    assert zelkor5.initialize() is False
    assert zelkor5.last_error() == (-10003, "IPC initialize failed, Zelkor 5 x64 not found")


def test_empty_path_keyword_searches(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "roaming"))
    assert zelkor5.initialize(path="") is False
    assert zelkor5.last_error() == (-10003, "IPC initialize failed, Zelkor 5 x64 not found")


def test_search_finds_and_starts_the_registered_terminal(monkeypatch, tmp_path):
    roaming = tmp_path / "roaming"
    monkeypatch.setenv("XDG_DATA_HOME", str(roaming))
    exe = make_terminal_exe(tmp_path / "inst", handshake())
    data = roaming / "Brundel" / "Terminal" / "ABCDEF"
    (data / "ZSL5").mkdir(parents=True)
    (data / "origin.txt").write_bytes(b"\xff\xfe" + str(tmp_path / "inst").encode("utf-16-le"))
    try:
        assert zelkor5.initialize(), zelkor5.last_error()
        assert exe.argv() == [exe.path]
    finally:
        zelkor5.shutdown()
        exe.kill()


@pytest.mark.parametrize(
    "status, expected",
    [
        (1, (3, 4000, "1.2 \u00e9\U0001f600")),
        (0, (0, 0, "")),
    ],
)
def test_version(connect, status, expected):
    p = connect([reply(1, status, u32(3) + u32(4000) + wstr("1.2 \u00e9\U0001f600"))])
    assert zelkor5.version() == expected
    assert zelkor5.last_error() == (1, "Success")
    assert after_handshake(p) == [request_bytes(1, u32(0))]


def test_version_text_too_long_for_its_buffer_is_dropped(connect):
    connect([reply(1, 1, u32(1) + u32(2) + wstr("\u00e9" * 64))])
    assert zelkor5.version() == (1, 2, "")


def test_version_failure(connect):
    connect([fail(1, -1)])
    assert zelkor5.version() == (0, 0, "")
    assert zelkor5.last_error() == (-1, "Terminal: Call failed")


def test_version_without_connection():
    assert zelkor5.version() == (0, 0, "")
    assert zelkor5.last_error() == NO_CONNECTION


def test_shutdown_twice(connect):
    connect()
    assert zelkor5.shutdown() is True
    assert zelkor5.shutdown() is True
    assert zelkor5.last_error() == (1, "Success")


def test_terminal_gone_mid_session(connect):
    connect([close()])
    assert zelkor5.version() == (0, 0, "")
    assert zelkor5.last_error()[0] in (-10001, -10002)
    zelkor5.version()
    assert zelkor5.last_error() == NO_CONNECTION
