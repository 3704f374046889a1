"""The connection to the bundled terminal over a process's life: it lasts
while idle, survives the interpreter's exit with calls in flight, is never
shared with a forked child, and a terminal that cannot start says why at
once, and each environment's commands act on its own terminal."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import peer
import pytest
from test_terminal_helpers import install, ok, roaming  # noqa: F401  fixtures

import zelkor5
from zelkor5 import terminal as zterminal

NO_CONNECTION = (-10004, "No IPC connection")


def test_a_greeted_connection_outlives_the_idle_setting(install):
    inst = install(settings="IdleExit=120\nConnectionIdle=1\n")
    assert inst.initialize(), zelkor5.last_error()
    start = time.monotonic()
    # A client that never greets is still let go after ConnectionIdle.
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(20)
        s.connect(peer.pipe_path_for(inst.exe))
        assert s.recv(1) == b""
    # Meanwhile the module's connection, greeted, has been idle as long.
    time.sleep(max(0.0, 1.5 - (time.monotonic() - start)))
    assert ok(zelkor5.symbol_info_tick("EURUSD")).bid > 0
    assert zelkor5.last_error() == (1, "Success")


EXIT_WITH_CALLS_IN_FLIGHT = r"""
import sys, threading, time
import zelkor5
assert zelkor5.initialize(sys.argv[1], portable=True), zelkor5.last_error()
calls = [lambda: zelkor5.symbol_info_tick("EURUSD"),
         lambda: zelkor5.copy_rates_from_pos("EURUSD", zelkor5.TIMEFRAME_M1, 0, 20000),
         lambda: zelkor5.copy_ticks_from("EURUSD", int(time.time()) - 3600, 20000,
                                         zelkor5.COPY_TICKS_ALL)]

def loop(call):
    while True:
        call()

for call in calls:
    threading.Thread(target=loop, args=(call,), daemon=True).start()
time.sleep(0.2)
"""


def test_the_interpreter_exits_cleanly_with_daemon_threads_in_calls(install):
    inst = install(settings="IdleExit=120\n")
    assert inst.initialize(), zelkor5.last_error()
    abnormal = []
    for run in range(20):
        done = subprocess.run(
            [sys.executable, "-c", EXIT_WITH_CALLS_IN_FLIGHT, inst.exe],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            timeout=60,
        )
        if done.returncode != 0 or done.stderr:
            abnormal.append((run, done.returncode, done.stderr.decode(errors="replace")[-500:]))
    assert abnormal == []
    # The terminal served them all and serves on.
    assert ok(zelkor5.symbol_info_tick("EURUSD"))


def test_a_forked_child_never_uses_the_parents_connection(install):
    inst = install(settings="IdleExit=120\n")
    assert inst.initialize(), zelkor5.last_error()
    stop, failures = threading.Event(), []

    def poll():
        # The parent keeps calling from a thread, so forks come while it
        # holds the module's lock.
        while not stop.is_set():
            if zelkor5.symbol_info_tick("EURUSD") is None:
                failures.append(zelkor5.last_error())

    thread = threading.Thread(target=poll)
    thread.start()
    try:
        for _ in range(10):
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    if (
                        zelkor5.symbol_info_tick("EURUSD") is None
                        and zelkor5.last_error() == NO_CONNECTION
                    ):
                        code = 2
                        if inst.initialize() and zelkor5.symbol_info_tick("EURUSD") is not None:
                            code = 0
                finally:
                    os._exit(code)
            _, status = os.waitpid(pid, 0)
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    finally:
        stop.set()
        thread.join()
    assert failures == []
    assert ok(zelkor5.symbol_info_tick("EURUSD"))


def test_a_started_terminal_that_exits_at_once_is_reported_at_once(install, tmp_path):
    # A stand-in that tells why on its standard error and leaves.
    quitter = tmp_path / "quits" / "terminal64.exe"
    quitter.parent.mkdir()
    quitter.write_text(
        "#!/bin/sh\necho >&2\necho '  cannot make the socket folder /x ' >&2\n"
        "echo 'a second line' >&2\nexit 3\n"
    )
    quitter.chmod(0o755)
    start = time.monotonic()
    assert zelkor5.initialize(str(quitter)) is False
    assert time.monotonic() - start < 5
    assert zelkor5.last_error() == (
        -10003,
        "IPC initialize failed, The terminal ended before serving its pipe [exit code 3]: "
        "cannot make the socket folder /x",
    )

    # The bundled terminal, started beside one that already holds its data
    # folder (a portable installation's folder is the executable's).
    inst = install(settings="IdleExit=120\n")
    assert inst.initialize(), zelkor5.last_error()
    holder = inst.pids()
    zelkor5.shutdown()
    second = os.path.join(inst.dir, "terminal64-copy.exe")
    shutil.copy2(inst.exe, second)
    start = time.monotonic()
    assert zelkor5.initialize(second, portable=True) is False
    assert time.monotonic() - start < 5
    code, message = zelkor5.last_error()
    assert code == -10003
    assert message.startswith(
        "IPC initialize failed, The terminal ended before serving its pipe [exit code 1]: "
    )
    assert message.endswith("is in use by another terminal (pid %d)" % holder[0]), message


def test_each_environment_acts_on_its_own_terminal(install, tmp_path, monkeypatch, rundir):
    # One installation in two environments of this user: each has its own
    # socket folder and data folder, so each its own terminal.
    inst = install(portable=False)
    other = (tempfile.mkdtemp(prefix="zk5t", dir="/tmp"), str(tmp_path / "roaming2"))
    envs = [(rundir, inst.roaming), other]

    def enter(i):
        monkeypatch.setenv("XDG_RUNTIME_DIR", envs[i][0])
        monkeypatch.setenv("XDG_DATA_HOME", envs[i][1])

    folder_id = peer.path_digest(inst.dir)[:16].hex().upper()
    config = os.path.join(other[1], "Brundel", "Terminal", folder_id, "config")
    os.makedirs(config)
    with open(os.path.join(config, "terminal.ini"), "w") as f:
        f.write("[Terminal]\nIdleExit=3\n")
    try:
        pids = []
        for i in (0, 1):
            enter(i)
            assert not zterminal.status(inst.exe).running
            assert zterminal.stop(inst.exe) is False
            pids.append(zterminal.start(inst.exe))
            assert zterminal.start(inst.exe) == pids[i]
        assert pids[0] != pids[1] and sorted(inst.pids()) == sorted(pids)
        for i in (0, 1):
            enter(i)
            st = zterminal.status(inst.exe)
            assert (st.running, st.pid) == (True, pids[i])
            assert st.data_path.startswith(envs[i][1] + os.sep)
            # The command too, in that environment.
            done = subprocess.run(
                [sys.executable, "-m", "zelkor5", "terminal", "status", "--path", inst.exe],
                capture_output=True,
                text=True,
                timeout=60,
                env=dict(os.environ),
            )
            assert done.stdout.splitlines()[0] == "running, pid %d" % pids[i], done

        # Stopping one leaves the other running.
        enter(0)
        assert zterminal.stop(inst.exe) is True
        assert inst.pids() == [pids[1]]
        assert zterminal.status(inst.exe).pid is None
        enter(1)
        assert zterminal.status(inst.exe).pid == pids[1]

        # A cleaned socket folder: the terminal is still this environment's
        # (it makes its socket again within a second), and initialize()
        # waits for it rather than failing with a second terminal.
        for name in os.listdir(other[0]):
            os.remove(os.path.join(other[0], name))
        assert zterminal.status(inst.exe).pid == pids[1]
        assert zelkor5.initialize(inst.exe), zelkor5.last_error()
        assert inst.pids() == [pids[1]]
        zelkor5.shutdown()
        assert zterminal.stop(inst.exe) is True and inst.pids() == []
        enter(0)
        assert zterminal.status(inst.exe).pid is None
    finally:
        inst.stop()
        shutil.rmtree(other[0], ignore_errors=True)


@pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("setpriv") is None, reason="runs a terminal as another user"
)
def test_another_users_terminal_is_never_reported_started_or_stopped(roaming):
    # The same executable, run by another user in that user's environment.
    base = tempfile.mkdtemp(prefix="zk5u", dir="/tmp")
    os.chmod(base, 0o755)
    exe = os.path.join(base, "inst", "terminal64.exe")
    os.makedirs(os.path.dirname(exe))
    shutil.copy2(zterminal.terminal_path(), exe)
    run, home = os.path.join(base, "r"), os.path.join(base, "h")
    for folder in (run, home):
        os.mkdir(folder, 0o700)
        os.chown(folder, 65534, 65534)
    other = subprocess.Popen(
        ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "-i"]
        + ["HOME=" + home, "XDG_RUNTIME_DIR=" + run, exe],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 30
        while not any(n.startswith("ZK5.Terminal.") for n in os.listdir(run)):
            assert other.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        assert not zterminal.status(exe).running
        assert zterminal.stop(exe) is False
        mine = zterminal.start(exe)
        assert mine != other.pid and zterminal.status(exe).pid == mine
        assert zterminal.stop(exe) is True
        assert other.poll() is None
    finally:
        zterminal.stop(exe)
        other.terminate()
        other.wait(30)
        shutil.rmtree(base, ignore_errors=True)
