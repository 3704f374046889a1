"""Tests of the stand-in terminal itself, driven by a plain socket client."""

import hashlib
import os
import shutil
import socket
import stat
import struct
import subprocess
import tempfile
import time

import peer
import pytest
from peer import (
    ArgReader,
    Peer,
    array,
    close,
    delay,
    echo,
    f64,
    fail,
    handshake,
    hangup_after,
    hello,
    i32,
    i64,
    make_terminal_exe,
    parse_args,
    parse_reply,
    parse_request,
    pipe_name_for,
    pipe_path_for,
    raw,
    ready,
    reply,
    reply_bytes,
    request_args,
    request_bytes,
    u8,
    u32,
    u64,
    wchar,
    wstr,
)

import zelkor5

HELLO_REQUEST = request_bytes(4, u32(3) + wstr("Python"))
STATE_REQUEST = request_bytes(109)


def independent_name(text):
    digest = hashlib.sha256(text.lower().encode("utf-16-le")).hexdigest().upper()
    return "\\\\.\\pipe\\ZK5.Terminal." + digest


@pytest.fixture
def rundir(monkeypatch):
    # Short on purpose: AF_UNIX paths are limited to 107 bytes.
    path = tempfile.mkdtemp(prefix="zk5t", dir="/tmp")
    monkeypatch.setenv("XDG_RUNTIME_DIR", path)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def connect(path, timeout=10.0):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(path)
    return s


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_all(s):
    data = b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            return data
        data += chunk


# --- naming ----------------------------------------------------------------


def test_pipe_name_of_missing_path_matches_independent_digest():
    path = "/Opt/Zelkor 5/Terminal64.EXE"
    name = pipe_name_for(path)
    assert name == independent_name(path)
    # Fixed vector, so that both computations cannot drift together.
    assert name.endswith("B64D4CD5469EE6AD91D21ACA53F91390A2F85E9CE0C2BA67CB19BF59EED34706")


def test_pipe_name_shape():
    name = pipe_name_for("/x/terminal64.exe")
    assert len(name) == 86
    assert name.startswith("\\\\.\\pipe\\ZK5.Terminal.")
    hexpart = name[22:]
    assert len(hexpart) == 64 and hexpart == hexpart.upper()
    int(hexpart, 16)


def test_letter_case_does_not_change_name():
    assert pipe_name_for("/A/B/TERMINAL64.EXE") == pipe_name_for("/a/b/terminal64.exe")
    assert pipe_name_for("/a/b/terminal64.exe") != pipe_name_for("/a/c/terminal64.exe")


def test_existing_file_hashed_by_resolved_path(tmp_path):
    real_dir = tmp_path / "Real"
    real_dir.mkdir()
    target = real_dir / "terminal64.exe"
    target.write_text("")
    link = tmp_path / "link.exe"
    link.symlink_to(target)
    expected = independent_name(os.path.realpath(str(target)))
    assert pipe_name_for(str(link)) == expected
    assert pipe_name_for(str(real_dir / ".." / "Real" / "terminal64.exe")) == expected


def test_missing_long_path_cut_to_260_units():
    path = "/" + "Q" * 299
    assert pipe_name_for(path) == independent_name(path[:260])
    assert pipe_name_for(path) == pipe_name_for(path[:260] + "zzz")


def test_non_ascii_lower_casing_per_unit():
    path = "/Daten/\u00c4rger/\u0130/Terminal64.exe"
    expected = "/daten/\u00e4rger/i/terminal64.exe".encode("utf-16-le")
    assert peer.path_digest(path) == hashlib.sha256(expected).digest()


def test_pipe_path_respects_xdg_runtime_dir(monkeypatch):
    hexpart = pipe_name_for("/x/terminal64.exe")[22:]
    monkeypatch.setenv("XDG_RUNTIME_DIR", "/run/user/4242")
    assert pipe_path_for("/x/terminal64.exe") == "/run/user/4242/ZK5.Terminal." + hexpart
    monkeypatch.delenv("XDG_RUNTIME_DIR")
    assert pipe_path_for("/x/terminal64.exe") == (
        "/tmp/zk5-%d/ZK5.Terminal.%s" % (os.geteuid(), hexpart)
    )


def test_peer_creates_missing_runtime_dir_private(rundir, monkeypatch):
    sub = os.path.join(rundir, "new")
    monkeypatch.setenv("XDG_RUNTIME_DIR", sub)
    with Peer("/x/terminal64.exe", [hello()]) as p:
        st = os.stat(sub)
        assert stat.S_ISDIR(st.st_mode)
        assert stat.S_IMODE(st.st_mode) == 0o700
        assert os.path.dirname(p.socket_path) == sub


# --- encoding helpers --------------------------------------------------------


def test_encoders():
    assert u8(1) == b"\x01"
    assert u32(0x01020304) == b"\x04\x03\x02\x01"
    assert i32(-2) == b"\xfe\xff\xff\xff"
    assert u64(1 << 40) == b"\0\0\0\0\0\x01\0\0"
    assert i64(-1) == b"\xff" * 8
    assert f64(1.5) == struct.pack("<d", 1.5)
    assert wstr("") == b"\0\0\0\0"
    assert wstr("Ab") == b"\x02\0\0\0A\0b\0"
    assert wchar("Ab", 4) == b"A\0b\0\0\0\0\0"
    with pytest.raises(ValueError):
        wchar("abcde", 4)
    assert array([b"ab", b"cd"], 2) == b"\x02\0\0\0abcd"
    assert array([]) == b"\0\0\0\0"
    with pytest.raises(ValueError):
        array([b"abc"], 2)
    assert request_bytes(109) == b"\x04\0\0\0\x6d\0\0\0"
    assert reply_bytes(109, -3) == b"\x08\0\0\0\x6d\0\0\0\xfd\xff\xff\xff"


def test_parse_request_and_arg_reader():
    frame = request_bytes(5, i32(0) + u64(123456789) + wstr("pw") + wstr("Srv"))
    cmd, args = parse_request(frame)
    assert cmd == 5
    r = ArgReader(args)
    assert (r.i32(), r.u64(), r.string(), r.string()) == (0, 123456789, "pw", "Srv")
    r.done()
    r = ArgReader(args)
    r.i32()
    with pytest.raises(ValueError):
        r.done()
    with pytest.raises(ValueError):
        ArgReader(b"\x01").u32()
    with pytest.raises(ValueError):
        parse_request(frame[:-1])
    with pytest.raises(ValueError):
        parse_request(b"\x04\0\0")
    assert parse_reply(reply_bytes(4, 1, u32(7))) == (4, 1, u32(7))


def test_requests_follow_the_command_table(connect):
    # The module encodes by the C++ table; the stand-in decodes by the copy
    # generated from it: each request parses to exactly its arguments.
    p = connect(default=echo(-1))
    zelkor5.symbol_select("EURUSD", True)
    zelkor5.order_calc_profit(1, "EURUSD", 0.5, 1.1, 1.2)
    zelkor5.history_deals_get(position=7)
    zelkor5.order_check({})
    assert p.calls() == [
        ("HELLO", [3, "Python"]),
        ("TERMINAL_STATE", []),
        ("SYMBOL_SELECT", ["EURUSD", 1]),
        ("ORDER_CALC_PROFIT", [1, "EURUSD", 0.5, 1.1, 1.2]),
        ("HISTORY_DEALS_BY_POSITION", [7]),
        ("ORDER_CHECK", [b"\0" * 232]),
    ]
    margin = request_args("ORDER_CALC_MARGIN", 2, "X", 1.0, 2.0)
    assert margin == u32(2) + wstr("X") + f64(1.0) + f64(2.0)
    assert parse_args(162, margin) == [2, "X", 1.0, 2.0]
    for bad in (margin[:-1], margin + b"\0"):
        with pytest.raises(ValueError):
            parse_args("ORDER_CALC_MARGIN", bad)


def test_presets():
    assert bytes.fromhex(hello(2363)["data"]) == reply_bytes(4, 1, u32(2363))
    assert bytes.fromhex(ready()["data"]) == reply_bytes(109, 1, u32(2))
    assert handshake(5) == [hello(5), ready()]
    with pytest.raises(ValueError):
        hangup_after(3, close())
    with pytest.raises(ValueError):
        Peer("/x", [{"op": "nonsense"}])


# --- serving -------------------------------------------------------------------


def test_start_returns_listening_and_stop_cleans_up(rundir):
    p = Peer("/nowhere/terminal64.exe", [hello()])
    p.start()
    try:
        assert stat.S_ISSOCK(os.lstat(p.socket_path).st_mode)
        assert p.socket_path == pipe_path_for("/nowhere/terminal64.exe")
        # No retry: the socket must accept as soon as start() returned.
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(peer.DEFAULT_BUILD))
        s.close()
        assert p.alive()
    finally:
        p.stop()
    assert not os.path.lexists(p.socket_path)
    assert not p.alive()
    with pytest.raises(OSError):
        connect(p.socket_path)


def test_replies_are_byte_exact_and_requests_recorded(rundir):
    script = [
        hello(2364),
        raw(b"\x01\x02\x03"),
        fail(109, -3),
        echo(7, b"xyz"),
        reply(120, 1, u32(5)),
    ]
    sent = [
        HELLO_REQUEST,
        STATE_REQUEST,
        STATE_REQUEST,
        request_bytes(173),
        request_bytes(120),
        request_bytes(190),  # beyond the script: the default closes
    ]
    expected = [
        reply_bytes(4, 1, u32(2364)),
        b"\x01\x02\x03",
        b"\x08\0\0\0\x6d\0\0\0\xfd\xff\xff\xff",
        reply_bytes(173, 7, b"xyz"),
        reply_bytes(120, 1, u32(5)),
    ]
    with Peer("/x/terminal64.exe", script) as p:
        s = connect(p.socket_path)
        for i, want in enumerate(expected):
            s.sendall(sent[i])
            assert recv_exact(s, len(want)) == want
            # Logged before the reply went out, so visible without waiting.
            assert p.requests() == sent[: i + 1]
        s.sendall(sent[-1])
        # Nothing beyond the scripted bytes, then the connection ends.
        assert recv_all(s) == b""
        s.close()
        assert p.requests() == sent
        assert p.commands() == [4, 109, 109, 173, 120, 190]
        assert p.connections() == 1
        assert p.wait_event("close")
        assert p.remaining() == 0


def test_hangup_after_and_second_connection(rundir):
    script = [hangup_after(6, reply(4, 1, u32(99))), hello(5), hangup_after(None, ready())]
    with Peer("/x/terminal64.exe", script) as p:
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_all(s) == reply_bytes(4, 1, u32(99))[:6]
        s.close()
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(5))
        s.sendall(STATE_REQUEST)
        assert recv_all(s) == reply_bytes(109, 1, u32(2))
        s.close()
        assert p.connections() == 2
        assert p.commands() == [4, 4, 109]
        assert p.count("close") == 2


def test_hangup_after_echo(rundir):
    with Peer("/x/terminal64.exe", [hangup_after(9, echo(-1, b"abcd"))]) as p:
        s = connect(p.socket_path)
        s.sendall(request_bytes(171, wstr("EURUSD") + u8(1)))
        assert recv_all(s) == reply_bytes(171, -1, b"abcd")[:9]
        s.close()


def test_close_action_then_next_connection(rundir):
    with Peer("/x/terminal64.exe", [close(), hello(3)]) as p:
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_all(s) == b""
        s.close()
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(3))
        s.close()


def test_client_hangup_mid_request_is_recorded_as_partial(rundir):
    with Peer("/x/terminal64.exe", [hello(11)]) as p:
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST[:6])
        s.close()
        assert p.wait_event("eof")
        assert p.requests() == []
        assert p.received() == HELLO_REQUEST[:6]
        assert [k for k, _ in p.events()] == ["connect", "partial", "eof"]
        # The cut request consumed nothing from the script.
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(11))
        s.close()


def test_client_hangup_between_requests(rundir):
    with Peer("/x/terminal64.exe", [hello(1), hello(2)]) as p:
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        recv_exact(s, 16)
        s.close()
        assert p.wait_event("eof")
        assert [k for k, _ in p.events()] == ["connect", "request", "eof"]


def test_delay(rundir):
    with Peer("/x/terminal64.exe", [delay(0.6, ready(7))]) as p:
        s = connect(p.socket_path)
        t0 = time.monotonic()
        s.sendall(STATE_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(109, 1, u32(7))
        assert time.monotonic() - t0 >= 0.55
        s.close()


def test_default_action_is_configurable(rundir):
    with Peer("/x/terminal64.exe", [hello(1)], default=echo(-2)) as p:
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(1))
        for cmd in (120, 190, 173):
            s.sendall(request_bytes(cmd))
            assert recv_exact(s, 12) == reply_bytes(cmd, -2)
        s.close()


def test_large_request_and_reply(rundir):
    big_args = bytes(range(256)) * 80  # request over 16384 bytes
    payload = array([bytes([i % 256]) * 60 for i in range(1000)], 60)
    with Peer("/x/terminal64.exe", [reply(106, 1, payload)]) as p:
        s = connect(p.socket_path)
        frame = request_bytes(106, big_args)
        s.sendall(frame)
        want = reply_bytes(106, 1, payload)
        assert recv_exact(s, len(want)) == want
        assert p.requests() == [frame]
        s.close()


def test_stale_socket_file_is_replaced(rundir):
    path = pipe_path_for("/x/terminal64.exe")
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(path)
    stale.close()
    assert os.path.lexists(path)
    with Peer("/x/terminal64.exe", [hello(9)]) as p:
        s = connect(p.socket_path)
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(9))
        s.close()
    assert not os.path.lexists(path)


def test_idle_timeout_ends_server(rundir):
    p = Peer("/x/terminal64.exe", [], idle_timeout=0.5)
    p.start()
    try:
        assert p.wait_for(lambda q: not q.alive(), 10)
        assert not os.path.lexists(p.socket_path)
    finally:
        p.stop()


def test_socket_path_too_long_is_refused(monkeypatch):
    monkeypatch.setenv("XDG_RUNTIME_DIR", "/tmp/" + "d" * 40)
    with pytest.raises(ValueError):
        Peer("/x/terminal64.exe", []).start()
    assert not os.path.exists("/tmp/" + "d" * 40)


# --- launchable terminal ---------------------------------------------------------


def launch(path, *args):
    # Like the module: own session, standard streams on the null device.
    return subprocess.Popen(
        [path] + list(args),
        start_new_session=True,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )


def test_terminal_exe_serves_and_exits_when_done(rundir, tmp_path):
    t = make_terminal_exe(tmp_path / "inst", handshake(2400))
    assert os.path.basename(t.path) == "terminal64.exe"
    assert os.access(t.path, os.X_OK)
    proc = launch(t.path, "/portable")
    try:
        assert t.wait_listening(30), t.error()
        assert t.argv() == [t.path, "/portable"]
        assert t.pid() == proc.pid
        s = connect(pipe_path_for(t.path))
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(2400))
        s.sendall(STATE_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(109, 1, u32(2))
        s.close()
        # Script used up and client gone: it ends by itself.
        assert proc.wait(30) == 0
        assert t.exited() and not t.running()
        assert t.requests() == [HELLO_REQUEST, STATE_REQUEST]
        assert not os.path.lexists(pipe_path_for(t.path))
        assert t.error() is None
    finally:
        t.kill()
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_terminal_exe_serves_several_connections(rundir, tmp_path):
    t = make_terminal_exe(tmp_path, [hello(1), hello(2)])
    proc = launch(t.path)
    try:
        assert t.wait_listening(30), t.error()
        for build in (1, 2):
            s = connect(pipe_path_for(t.path))
            s.sendall(HELLO_REQUEST)
            assert recv_exact(s, 16) == reply_bytes(4, 1, u32(build))
            s.close()
        assert proc.wait(30) == 0
        assert t.connections() == 2
        assert t.argv() == [t.path]
    finally:
        t.kill()


def test_terminal_exe_delay_before_listening(rundir, tmp_path):
    t = make_terminal_exe(tmp_path, [hello(1)], delay=2.0)
    proc = launch(t.path)
    try:
        assert t.wait_started(30), t.error()
        assert not os.path.lexists(pipe_path_for(t.path))
        assert t.wait_listening(30), t.error()
        s = connect(pipe_path_for(t.path))
        s.sendall(HELLO_REQUEST)
        assert recv_exact(s, 16) == reply_bytes(4, 1, u32(1))
        s.close()
        assert proc.wait(30) == 0
    finally:
        t.kill()


def test_terminal_exe_without_serving(rundir, tmp_path):
    t = make_terminal_exe(tmp_path, [hello(1)], serve=False)
    proc = launch(t.path, "/portable")
    try:
        assert t.wait_started(30), t.error()
        assert t.argv() == [t.path, "/portable"]
        time.sleep(1.0)
        assert t.running()
        assert not t.listening()
        assert not os.path.lexists(pipe_path_for(t.path))
        t.kill()
        assert proc.wait(10) is not None
        assert not t.running()
    finally:
        t.kill()
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_terminal_exe_idle_timeout(rundir, tmp_path):
    t = make_terminal_exe(tmp_path, [hello(1)], timeout=1.0)
    proc = launch(t.path)
    try:
        assert t.wait_listening(30), t.error()
        assert proc.wait(30) == 0
        assert t.connections() == 0
        assert not os.path.lexists(pipe_path_for(t.path))
    finally:
        t.kill()
