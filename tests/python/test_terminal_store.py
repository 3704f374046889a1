"""The bundled terminal's account store, through the module against the
program: one owner per data folder, nothing confirmed lost and nothing half
applied whenever the terminal is killed, private files without passwords,
the account files of earlier versions taken over, and requests or
connections that try to hold the terminal up."""

import json
import os
import random
import select
import shutil
import signal
import socket
import sqlite3
import stat
import struct
import subprocess
import sys
import tempfile
import time

import peer
import pytest
import trade_records
from test_terminal_helpers import (  # noqa: F401  fixtures
    filling_for,
    import_done,
    install,
    ok,
    roaming,
)

import zelkor5
from zelkor5.constants import TRADE_RETCODE_DONE

SYMBOL = "BTCUSD"  # trades at weekends too
FAR = int(time.time()) + 86400 * 365  # a date after every deal


def market(type_, volume=0.01, position=0):
    return {
        "action": 1,
        "symbol": SYMBOL,
        "volume": volume,
        "type": type_,
        "type_filling": filling_for(SYMBOL),
        "position": position,
        "magic": 7,
    }


def history():
    """Every deal, order and open position of the connection's account."""
    return (
        ok(zelkor5.history_deals_get(0, FAR)),
        ok(zelkor5.history_orders_get(0, FAR)),
        ok(zelkor5.positions_get()),
    )


def check_consistent(deals, orders, positions, balance):
    """The account holds whole changes only: unique tickets, one order per
    deal and one deal per order, open volumes equal to what the deals left,
    and a balance equal to the sum of the deals."""
    tickets = [d.ticket for d in deals] + [o.ticket for o in orders]
    assert len(tickets) == len(set(tickets))
    trade_deals = [d for d in deals if d.type in (0, 1)]
    assert sorted(d.order for d in trade_deals) == sorted(o.ticket for o in orders)
    left = {}
    for d in trade_deals:
        left[d.position_id] = left.get(d.position_id, 0) + (d.volume if d.entry == 0 else -d.volume)
    still_open = {k: round(v, 8) for k, v in left.items() if round(v, 8) > 0}
    assert still_open == {p.ticket: p.volume for p in positions}
    total = sum(d.profit + d.swap + d.commission + d.fee for d in deals)
    assert balance == pytest.approx(total, abs=1e-6)


def exited(proc, timeout=10):
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, err


CLIENT = r"""
import json, sys, zelkor5
path, count = sys.argv[1], int(sys.argv[2])
assert zelkor5.initialize(path, portable=True), zelkor5.last_error()
sys.stdout.write("ready\n"); sys.stdout.flush()
sys.stdin.readline()
for i in range(count):
    r = zelkor5.order_send({"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": i % 2})
    print(json.dumps([r.retcode, r.deal, r.order] if r is not None else [zelkor5.last_error()[0], 0, 0]))
"""


def test_one_terminal_owns_a_data_folder_and_keeps_every_confirmed_deal(install):
    inst = install()
    assert inst.initialize(), zelkor5.last_error()
    (owner,) = inst.pids()
    # The same installation started with another socket folder: it finds
    # the data folder taken and leaves at once, naming it and the owner.
    other = tempfile.mkdtemp(prefix="zk5o", dir="/tmp")  # socket paths are short
    env = dict(os.environ, XDG_RUNTIME_DIR=other)
    started = time.monotonic()
    second = subprocess.Popen([inst.exe, "/portable"], env=env, stderr=subprocess.PIPE, text=True)
    code, err = exited(second)
    shutil.rmtree(other, ignore_errors=True)
    assert code == 1 and time.monotonic() - started < 5, err
    assert inst.data_dir() in err and "pid %d" % owner in err

    start = ok(zelkor5.account_info())
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", CLIENT, inst.exe, "200"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        for _ in range(2)
    ]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    results = [
        json.loads(line) for p in procs for line in p.communicate(timeout=120)[0].splitlines()
    ]
    assert len(results) == 400 and all(r[0] == TRADE_RETCODE_DONE for r in results)

    inst.signal(signal.SIGKILL)
    assert inst.wait_gone()
    assert inst.initialize(), zelkor5.last_error()
    deals, orders, positions = history()
    confirmed = [r[1] for r in results]
    found = [d.ticket for d in deals]
    assert all(found.count(t) == 1 for t in confirmed)
    assert len(deals) == 401  # and the deposit
    acc = ok(zelkor5.account_info())
    # Only opening deals: the balance moved by their commissions alone.
    assert acc.balance == pytest.approx(start.balance + sum(d.commission for d in deals), abs=1e-6)
    check_consistent(deals, orders, positions, acc.balance)


KILLED_CLIENT = r"""
import json, sys, time, zelkor5
path, count = sys.argv[1], int(sys.argv[2])
def connect():
    while not zelkor5.initialize(path, portable=True):
        time.sleep(0.01)
connect()
opened = []
for i in range(count):
    if opened and i % 3 == 2:
        req = {"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": 1, "position": opened.pop()}
    else:
        req = {"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": 0}
    r = zelkor5.order_send(req)
    if r is None:
        print(json.dumps(["lost", req.get("position", 0)]), flush=True)
        connect()
        continue
    if r.retcode == 10009 and not req.get("position"):
        opened.append(r.order)
    print(json.dumps(["done", r.retcode, r.deal, r.order, r.request_id, req.get("position", 0)]), flush=True)
print(json.dumps(["end"]), flush=True)
"""


def test_killed_at_random_moments_nothing_confirmed_is_lost_nothing_half_applied(install):
    import threading

    inst = install(settings="IdleExit=120\n")
    assert inst.initialize(), zelkor5.last_error()
    zelkor5.shutdown()
    rng = random.Random(13)
    kill_after = set(rng.sample(range(20, 580), 22))
    # Three clients at once, so that their requests share flushes (group
    # commit); the kills follow the first one's replies.
    clients = [
        subprocess.Popen(
            [sys.executable, "-c", KILLED_CLIENT, inst.exe, "600"],
            stdout=subprocess.PIPE,
            text=True,
        )
        for _ in range(3)
    ]
    others = [[], []]
    readers = [
        threading.Thread(target=lambda c=c, out=out: out.extend(json.loads(x) for x in c.stdout))
        for c, out in zip(clients[1:], others)
    ]
    for r in readers:
        r.start()
    lines, kills = [], 0
    for line in clients[0].stdout:
        lines.append(json.loads(line))
        if len(lines) in kill_after:
            time.sleep(rng.uniform(0, 0.004))  # somewhere in the next request
            inst.signal(signal.SIGKILL)
            kills += 1
    for c in clients:
        assert c.wait(timeout=120) == 0
    for r in readers:
        r.join()
    assert all(out[-1] == ["end"] for out in [lines] + others)
    assert kills >= 20 and any(r[0] == "lost" for r in lines)

    assert inst.initialize(), zelkor5.last_error()
    deals, orders, positions = history()
    by_ticket = {d.ticket: d for d in deals}
    done = []
    for out in [lines] + others:
        mine = [r for r in out if r[0] == "done"]
        assert all(r[1] == TRADE_RETCODE_DONE for r in mine)
        for r in mine:
            assert by_ticket[r[2]].order == r[3]
        # Request ids only increase, across every restart.
        ids = [r[4] for r in mine]
        assert ids == sorted(ids)
        done += mine
    assert len(lines) - 1 - kills <= len([r for r in lines if r[0] == "done"])
    ids = [r[4] for r in done]
    assert len(set(ids)) == len(ids)
    # A request whose reply was lost happened wholly or not at all.
    assert len(deals) - 1 >= len(done)
    check_consistent(deals, orders, positions, ok(zelkor5.account_info()).balance)


def legacy_account_file(login, deposit_time_msc, deals, orders):
    """An account file as earlier versions wrote it (magic, header, records,
    FNV-1a checksum)."""
    body = b"ZK5ACCT1" + struct.pack(
        "<QddQIIII", login, 9000.0, 0.0, 1000006, 40, 0, len(orders), len(deals)
    )
    body += b"".join(trade_records.ORDER.pack(**o) for o in orders)
    body += b"".join(trade_records.DEAL.pack(**d) for d in deals)
    h = 0xCBF29CE484222325
    for b in body:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return body + struct.pack("<Q", h)


def test_private_files_hashed_passwords_and_old_account_files_taken_over(install):
    inst = install(portable=False)
    data = inst.data_dir()
    login, secret = 20000001, "Opal-Sesame-42"
    t0 = 1700000000000
    deals = [
        dict(
            ticket=1000001,
            time=t0 // 1000,
            time_msc=t0,
            type=2,
            profit=10000.0,
            comment="Initial deposit",
        ),
        dict(
            ticket=1000003,
            order=1000002,
            time=t0 // 1000 + 60,
            time_msc=t0 + 60000,
            type=0,
            entry=0,
            position_id=1000002,
            volume=0.1,
            price=100.5,
            symbol=SYMBOL,
        ),
        dict(
            ticket=1000005,
            order=1000004,
            time=t0 // 1000 + 120,
            time_msc=t0 + 120000,
            type=1,
            entry=1,
            position_id=1000002,
            volume=0.1,
            price=90.5,
            profit=-1000.0,
            symbol=SYMBOL,
            comment="out",
        ),
    ]
    orders = [
        dict(
            ticket=1000002,
            time_setup=t0 // 1000 + 60,
            time_setup_msc=t0 + 60000,
            time_done=t0 // 1000 + 60,
            time_done_msc=t0 + 60000,
            type=0,
            state=4,
            position_id=1000002,
            volume_initial=0.1,
            price_open=100.5,
            symbol=SYMBOL,
        ),
        dict(
            ticket=1000004,
            time_setup=t0 // 1000 + 120,
            time_setup_msc=t0 + 120000,
            time_done=t0 // 1000 + 120,
            time_done_msc=t0 + 120000,
            type=1,
            state=4,
            position_id=1000002,
            volume_initial=0.1,
            price_open=90.5,
            symbol=SYMBOL,
        ),
    ]
    os.makedirs(os.path.join(data, "bases"), exist_ok=True)
    os.makedirs(os.path.join(data, "config"), exist_ok=True)
    with open(os.path.join(data, "bases", "%d.dat" % login), "wb") as f:
        f.write(legacy_account_file(login, t0, deals, orders))
    # Left behind by a killed terminal of an earlier version.
    with open(os.path.join(data, "bases", "%d.dat.tmp4242" % login), "wb") as f:
        f.write(b"partial")
    with open(os.path.join(data, "config", "accounts.dat"), "w") as f:
        f.write(
            "[Terminal]\nLastLogin=%d\n[Account %d]\nPassword=%s\nServer=Old-Server\n"
            "Name=Old Trader\n" % (login, login, secret)
        )

    assert inst.initialize(login=login, password=secret, server="Old-Server"), zelkor5.last_error()
    got, got_orders, positions = history()
    assert [(d.ticket, d.order, d.type, d.volume, d.price, d.profit, d.comment) for d in got] == [
        (
            d["ticket"],
            d.get("order", 0),
            d["type"],
            d.get("volume", 0),
            d.get("price", 0),
            d.get("profit", 0),
            d.get("comment", ""),
        )
        for d in deals
    ]
    assert [o.ticket for o in got_orders] == [1000002, 1000004] and positions == ()
    assert ok(zelkor5.account_info()).balance == 9000.0
    # Tickets go on after the old ones.
    sent = ok(zelkor5.order_send(market(0)))
    assert sent.retcode == TRADE_RETCODE_DONE and sent.order > 1000005 and sent.request_id >= 40

    names = set()
    for folder, _dirs, files in os.walk(data):
        assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700, folder
        for name in files:
            path = os.path.join(folder, name)
            names.add(os.path.relpath(path, data))
            assert stat.S_IMODE(os.stat(path).st_mode) == 0o600, path
            with open(path, "rb") as f:
                content = f.read()
            for form in (secret.encode(), secret.encode("utf-16-le"), b"Password=demo"):
                assert form not in content, path
    assert "bases/%d.dat.migrated" % login in names and "bases/accounts.sqlite" in names
    assert "bases/%d.dat" % login not in names and "bases/%d.dat.tmp4242" % login not in names
    with open(os.path.join(data, "config", "accounts.dat")) as f:
        assert "PasswordHash=pbkdf2-sha256$" in f.read()

    # After a restart the hash still admits the password, and only it.
    inst.stop()
    for password, server in (
        (secret + "x", "Old-Server"),
        (secret, "Elsewhere"),
        ("", "Elsewhere"),
    ):
        assert not inst.initialize(login=login, password=password, server=server)
        assert zelkor5.last_error()[0] == -6
    assert inst.initialize(login=login, password=secret, server="Old-Server"), zelkor5.last_error()
    assert ok(zelkor5.history_deals_get(ticket=sent.deal))[0].order == sent.order


def raw_call(sock, cmd, args=b""):
    """(status, payload, seconds) of one request on a raw connection."""
    started = time.monotonic()
    sock.sendall(peer.request_bytes(cmd, args))
    head = b""
    while len(head) < 4:
        head += sock.recv(4 - len(head))
    (length,) = struct.unpack("<I", head)
    body = b""
    while len(body) < length:
        body += sock.recv(length - len(body))
    return struct.unpack_from("<i", body, 4)[0], body[8:], time.monotonic() - started


def symbol(name):
    return peer.wstr(name)


I64_MAX, I64_MIN = 2**63 - 1, -(2**63)
MN1, H1, M1 = 0xC001, 0x4001, 1


# Requests with extreme values: (command, arguments, status, count at the
# start of the payload or None).
HOSTILE = [
    # A range from the end of time: refused, not walked an hour at a time.
    (107, symbol("EURUSD") + peer.i32(H1) + peer.i64(I64_MAX) + peer.i64(2**62), -2, None),
    (107, symbol("EURUSD") + peer.i32(M1) + peer.i64(I64_MIN) + peer.i64(I64_MIN + 1), -2, None),
    # No bar opens at or before the beginning of time.
    (106, symbol("EURUSD") + peer.i32(MN1) + peer.i64(I64_MIN) + peer.i32(10), 1, 0),
    (106, symbol("EURUSD") + peer.i32(MN1) + peer.i64(I64_MAX) + peer.i32(3), 1, 3),
    (108, symbol("EURUSD") + peer.i32(M1) + peer.i32(2**31 - 1) + peer.i32(2**31 - 1), 1, 0),
    (105, symbol("BTCUSD") + peer.i64(I64_MAX) + peer.i64(I64_MIN) + peer.i32(-1), -2, None),
    (104, symbol("BTCUSD") + peer.i64(I64_MIN) + peer.i32(5) + peer.i32(-1), 1, 5),
    (104, symbol("BTCUSD") + peer.i64(I64_MAX) + peer.i32(5) + peer.i32(-1), 1, 0),
    (151, peer.i64(I64_MIN) + peer.i64(I64_MAX), 1, 1),
    (150, peer.i64(I64_MAX) + peer.i64(I64_MIN), 1, 0),
]


def test_hostile_requests_are_answered_within_a_second(install):
    inst = install()
    assert inst.initialize(), zelkor5.last_error()
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(peer.pipe_path_for(inst.exe))
        for cmd, args, status, count in HOSTILE:
            got, payload, seconds = raw_call(s, cmd, args)
            assert seconds < 1.0 and got == status, (cmd, args)
            if count is not None:
                assert struct.unpack_from("<I", payload)[0] == count, (cmd, args)


def test_silent_connections_and_oversized_requests_do_not_lock_others_out(install):
    inst = install(settings="IdleExit=120\nConnectionIdle=5\nRequestTimeout=2\n")
    assert inst.initialize(), zelkor5.last_error()
    path = peer.pipe_path_for(inst.exe)
    zelkor5.shutdown()
    # A length field past the limit is refused as soon as it arrives.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(path)
        s.sendall(struct.pack("<II", 0xFFFFFFF0, 172))
        assert struct.unpack("<IIi", s.recv(12)) == (8, 172, -2)
        assert s.recv(1) == b""
    # A request started and never finished ends its connection.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(path)
        s.sendall(struct.pack("<II", 100, 172) + b"\x01")
        assert s.recv(1) == b""
    # A client that asks for a long reply and takes nothing after its start
    # is let go once it has taken nothing for the request time; others are
    # served meanwhile.
    now_ms = int(time.time()) * 1000
    ticks = peer.request_bytes(
        peer.CMD["TICKS_RANGE"],
        peer.wstr(SYMBOL) + peer.i64(now_ms - 3 * 86400000) + peer.i64(now_ms) + peer.i32(-1),
    )
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(path)
        s.sendall(ticks)
        length, _, status = struct.unpack("<IIi", s.recv(12, socket.MSG_WAITALL))
        assert status >= 0 and length > 4 << 20
        assert inst.initialize(), zelkor5.last_error()
        assert ok(zelkor5.symbol_info_tick("EURUSD")).bid > 0
        zelkor5.shutdown()
        # Only the hang-up is waited for (asking for input too would end the
        # wait at once): both directions end when the terminal closes it.
        hangup = select.poll()
        hangup.register(s, select.POLLHUP)
        assert hangup.poll(20000), "the terminal still holds a client that takes nothing"
        drained = 0
        while True:
            got = s.recv(1 << 20)
            if not got:
                break
            drained += len(got)
        assert 8 + drained < length
    silent = []
    try:
        for _ in range(300):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            silent.append(s)
        # Told at once that the terminal is busy.
        started = time.monotonic()
        assert not inst.initialize()
        assert zelkor5.last_error() == (-9, "Terminal: Busy, too many connections")
        assert time.monotonic() - started < 2
        # Once the silent ones have timed out, everybody is served.
        deadline = time.monotonic() + 20
        while not inst.initialize():
            assert zelkor5.last_error()[0] == -9 and time.monotonic() < deadline
            time.sleep(0.2)
        assert ok(zelkor5.symbol_info_tick("EURUSD")).bid > 0
    finally:
        for s in silent:
            s.close()


def test_a_socket_folder_open_to_others_is_refused_with_the_way_out(install):
    inst = install()
    shared = tempfile.mkdtemp(prefix="zk5s", dir="/tmp")
    os.chmod(shared, 0o777)  # as another user could have made /tmp/zk5-<uid>
    try:
        env = dict(os.environ, XDG_RUNTIME_DIR=shared)
        code, err = exited(
            subprocess.Popen([inst.exe, "/portable"], env=env, stderr=subprocess.PIPE, text=True)
        )
    finally:
        shutil.rmtree(shared, ignore_errors=True)
    assert code == 2
    assert shared in err and "not private" in err and "XDG_RUNTIME_DIR" in err


def socket_of(folder):
    (name,) = [
        n for n in os.listdir(folder) if n.startswith("ZK5.Terminal.") and not n.endswith(".lock")
    ]
    return os.path.join(folder, name)


def wait_for(check, timeout=10.0):
    end = time.monotonic() + timeout
    while not check():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


def test_a_removed_socket_is_made_again_and_a_removed_folder_ends_the_terminal(
    install, monkeypatch
):
    inst = install(settings="IdleExit=60\n")
    folder = tempfile.mkdtemp(prefix="zk5r", dir="/tmp")
    monkeypatch.setenv("XDG_RUNTIME_DIR", folder)
    assert inst.initialize(), zelkor5.last_error()
    (pid,) = inst.pids()
    path = socket_of(folder)
    os.unlink(path)
    # Made again within a second or two, by the same terminal.
    assert wait_for(lambda: os.path.exists(path))
    zelkor5.shutdown()
    assert inst.initialize(), zelkor5.last_error()
    assert inst.pids() == [pid] and ok(zelkor5.account_info()).login
    zelkor5.shutdown()
    # Its folder gone (a logout): the terminal cannot be reached there, so
    # it leaves at once, and the data folder is free for the next one.
    shutil.rmtree(folder)
    assert inst.wait_gone(timeout=10)
    os.mkdir(folder, 0o700)
    try:
        assert inst.initialize(), zelkor5.last_error()
    finally:
        inst.stop()
        shutil.rmtree(folder, ignore_errors=True)


def test_a_stopped_store_is_one_file_and_a_damaged_one_stops_the_start(install):
    inst = install(settings="IdleExit=1\n")
    assert inst.initialize(), zelkor5.last_error()
    for i in range(40):
        ok(zelkor5.order_send(market(i % 2)))
    before = history()
    balance = ok(zelkor5.account_info()).balance
    inst.stop()
    # A clean stop leaves the store as one file: a copy of it alone, in
    # another installation, holds every account. (That one never flushes
    # its store, as a sweep's: it trades alike and stops alike.)
    store = os.path.join(inst.data_dir(), "bases", "accounts.sqlite")
    assert not os.path.exists(store + "-wal")
    other = install(settings="IdleExit=1\n[Store]\nDurable=0\n", name="b")
    copy = os.path.join(other.data_dir(), "bases", "accounts.sqlite")
    os.makedirs(os.path.dirname(copy))
    shutil.copy(store, copy)
    assert other.initialize(), zelkor5.last_error()
    deals, orders, positions = history()
    assert (deals, orders) == before[:2] and len(deals) > 40
    assert [(p.ticket, p.volume) for p in positions] == [(p.ticket, p.volume) for p in before[2]]
    assert ok(zelkor5.account_info()).balance == balance
    ok(zelkor5.order_send(market(0)))
    other.stop()
    assert not os.path.exists(copy + "-wal")
    db = sqlite3.connect(copy)
    assert db.execute("SELECT COUNT(*) FROM deals").fetchone()[0] == len(deals) + 1
    db.close()

    def start():
        proc = subprocess.Popen([inst.exe, "/portable"], stderr=subprocess.PIPE, text=True)
        code, err = exited(proc)
        return code, err.splitlines()[0] if err else ""

    # Cut short, emptied, or only the first page left (where a log removed
    # with the data in it leaves a file without tables): damaged, never new.
    whole = open(store, "rb").read()
    for size in (len(whole) // 2, 4096, 0):
        with open(store, "wb") as f:
            f.write(whole[:size])
        code, first = start()
        assert code == 2 and store in first and "damaged" in first, (size, first)
        assert "move it aside" in first
        assert os.path.getsize(store) == size
    with open(store, "wb") as f:
        f.write(whole)
    bare = sqlite3.connect(store + ".bare")
    bare.execute("CREATE TABLE t(x)")
    bare.commit()
    bare.close()
    os.replace(store + ".bare", store)
    code, first = start()
    assert code == 2 and "damaged (the file holds no account tables)" in first, first
    # A missing store is a new one: the terminal serves, and says so.
    os.unlink(store)
    code, err = exited(subprocess.Popen([inst.exe, "/portable"], stderr=subprocess.PIPE, text=True))
    assert code == 0 and "the account store %s is new" % store in err, err


def fill(folder):
    """Fills the file system of `folder`; returns the filler's path."""
    filler = os.path.join(folder, "filler")
    with open(filler, "wb", buffering=0) as f:
        for size in (1 << 16, 4096, 1):
            try:
                while True:
                    f.write(b"\0" * size)
            except OSError:
                pass
    return filler


@pytest.fixture
def small_disk(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if (
        subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", str(disk)],
            stderr=subprocess.DEVNULL,
        ).returncode
        != 0
    ):
        pytest.skip("cannot mount a small file system here (needs root)")
    yield str(disk)
    subprocess.run(["umount", "-l", str(disk)])


def test_a_full_disk_repeats_no_request_id_fails_the_login_and_postpones_the_import(
    install, small_disk, monkeypatch
):
    from test_terminal_helpers import Installation

    inst = Installation(
        os.path.join(small_disk, "x"), small_disk, portable=True, settings="IdleExit=60\n"
    )
    assert inst.initialize(), zelkor5.last_error()
    ids = [ok(zelkor5.order_send(market(0))).request_id for _ in range(3)]
    filler = fill(small_disk)
    refused = [ok(zelkor5.order_send(market(0))) for _ in range(5)]
    assert all(r.retcode == 10011 for r in refused)
    ids += [r.request_id for r in refused if r.request_id]
    # The last login cannot be saved: the login fails.
    assert not zelkor5.login(10000003, password="demo", server="Brundel-Demo")
    inst.signal(signal.SIGKILL)
    assert inst.wait_gone()
    os.unlink(filler)
    assert inst.initialize(), zelkor5.last_error()
    assert ok(zelkor5.account_info()).login == 10000001
    ids += [ok(zelkor5.order_send(market(0))).request_id for _ in range(3)]
    assert ids == sorted(ids) and len(set(ids)) == len(ids) and 0 not in ids
    inst.stop()

    # Leftover temporary files of a killed terminal go at the next start,
    # in every folder it writes; a good file met by a full disk waits in
    # import/ for the next start.
    data = inst.data_dir()
    leftovers = [
        os.path.join(data, "history", "00000009.hst.tmp4242"),
        os.path.join(data, "import", "A.M1.csv.tmp4242"),
        os.path.join(data, "config", "accounts.dat.tmp4242"),
    ]
    for path in leftovers:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"x" * 100)
    good = os.path.join(data, "import", "BIGX.M1.csv")
    with open(good, "w") as f:
        f.write("time,open,high,low,close,tick_volume\n")
        for k in range(40000):
            f.write("%d,1,1,1,1,1\n" % (1709600000 - 1709600000 % 60 + 60 * k))
    filler = fill(small_disk)
    assert inst.initialize(), zelkor5.last_error()
    assert import_done(inst).postponed == 1
    assert not any(os.path.exists(p) for p in leftovers)
    assert os.path.exists(good) and not os.path.exists(
        os.path.join(data, "import", "failed", "BIGX.M1.csv")
    )
    inst.stop()
    os.unlink(filler)
    assert inst.initialize(), zelkor5.last_error()
    assert import_done(inst).imported == 1
    assert os.path.exists(os.path.join(data, "import", "done", "BIGX.M1.csv"))
    assert ok(zelkor5.symbol_info("BIGX")).custom
