"""Scriptable stand-in for the trading terminal, for the Python tests.

The terminal runs in another process, as a real one does, so that a test
sees the module exactly as a user does (signals, threads and all). A
``Peer`` therefore starts this file as a child process that listens on the pipe (a Unix-domain stream socket) of a
given terminal path and answers each request with the next action of a script.
``make_terminal_exe`` writes a ``terminal64.exe`` that the module itself can
start; it serves a script on the pipe derived from its own path.

Every frame the server receives is appended to a log file before the reply
goes out, so a test that has its reply can already read the request.

Quick use::

    with Peer(exe_path, [hello(4000), ready(), reply(120, 1, u32(3))]) as peer:
        ...  # drive the module against exe_path
        assert peer.commands() == [4, 109, 120]
"""

import hashlib
import json
import os
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import weakref

from wire_commands import COMMANDS, RECORD_SIZES

__all__ = [
    # naming
    "canonical_path",
    "path_digest",
    "pipe_name_for",
    "pipe_path_for",
    "runtime_dir",
    "ensure_runtime_dir",
    # encoding and decoding
    "u8",
    "u32",
    "i32",
    "u64",
    "i64",
    "f64",
    "wstr",
    "wchar",
    "array",
    "request_bytes",
    "reply_bytes",
    "parse_request",
    "parse_reply",
    "ArgReader",
    "command_name",
    "request_args",
    "parse_args",
    # script actions
    "reply",
    "raw",
    "fail",
    "echo",
    "tail",
    "hangup_after",
    "delay",
    "slowly",
    "close",
    "hello",
    "ready",
    "handshake",
    # servers
    "Peer",
    "TerminalExe",
    "make_terminal_exe",
    "terminal_main",
    # the command table
    "CMD",
    "COMMANDS",
    "RECORD_SIZES",
]

PEER_FILE = os.path.abspath(__file__)
TESTS_DIR = os.path.dirname(PEER_FILE)

PIPE_PREFIX = "\\\\.\\pipe\\"
NAME_PREFIX = "ZK5.Terminal."
MAX_PATH_UNITS = 260
# sockaddr_un.sun_path holds 108 bytes including the terminator.
MAX_SOCKET_PATH = 107
# A request never comes near this; a bigger length field is a client bug, and
# waiting for that many bytes would hang the test instead of showing it.
MAX_REQUEST = 16 * 1024 * 1024
DEFAULT_BUILD = 4000

# The wire's command table (ids, argument kinds, reply shapes), generated from
# the C++ by scripts/gen_commands.py.
CMD = {name: entry[0] for name, entry in COMMANDS.items()}
_BY_ID = {entry[0]: name for name, entry in COMMANDS.items()}


# ---------------------------------------------------------------------------
# Pipe naming
# ---------------------------------------------------------------------------


def _units(text):
    """UTF-16LE bytes of text; lone surrogates pass through unchanged."""
    return text.encode("utf-16-le", "surrogatepass")


def canonical_path(path):
    """The path the client hashes: the resolved path of an existing file,
    else the path as given cut to 260 UTF-16 units."""
    path = os.fspath(path)
    if os.path.exists(path):
        real = os.path.realpath(path)
        if 1 <= len(_units(real)) // 2 <= MAX_PATH_UNITS:
            return real
    return _units(path)[: 2 * MAX_PATH_UNITS].decode("utf-16-le", "surrogatepass")


def _lower_units(text):
    """Simple (one unit to one unit) lower-casing of each UTF-16 unit."""
    if text.isascii():
        return _units(text.lower())
    out = bytearray()
    for (unit,) in struct.iter_unpack("<H", _units(text)):
        if not 0xD800 <= unit <= 0xDFFF:
            if unit == 0x130:
                # Full lower-casing gives two characters; the simple mapping is i.
                unit = 0x69
            else:
                low = chr(unit).lower()
                if len(low) == 1 and ord(low) <= 0xFFFF:
                    unit = ord(low)
        out += struct.pack("<H", unit)
    return bytes(out)


def path_digest(exe_path):
    """SHA-256 over the lower-cased canonical path's UTF-16LE units."""
    return hashlib.sha256(_lower_units(canonical_path(exe_path))).digest()


def pipe_name_for(exe_path):
    """Windows-style pipe name, 86 characters."""
    return PIPE_PREFIX + NAME_PREFIX + path_digest(exe_path).hex().upper()


def runtime_dir():
    """Folder of the terminal sockets: $XDG_RUNTIME_DIR, else /tmp/zk5-<uid>."""
    env = os.environ.get("XDG_RUNTIME_DIR")
    if env:
        return env
    return "/tmp/zk5-%d" % os.geteuid()


def ensure_runtime_dir(path):
    """Creates the socket folder with mode 0700 when it is missing. An
    existing folder is left as it is, so tests can check that the client
    refuses an unsafe one."""
    if not os.path.isdir(path):
        os.makedirs(path, mode=0o700, exist_ok=True)
        os.chmod(path, 0o700)
    return path


def pipe_path_for(exe_path, runtime_dir_path=None):
    """Socket path of the terminal at exe_path."""
    base = runtime_dir_path if runtime_dir_path is not None else runtime_dir()
    return os.path.join(base, NAME_PREFIX + path_digest(exe_path).hex().upper())


# ---------------------------------------------------------------------------
# Value encoding and frame parsing
# ---------------------------------------------------------------------------


def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def i32(v):
    return struct.pack("<i", v)


def u64(v):
    return struct.pack("<Q", v)


def i64(v):
    return struct.pack("<q", v)


def f64(v):
    return struct.pack("<d", v)


def wstr(text):
    """Protocol string: u32 count of UTF-16 units, then the units."""
    data = _units(text)
    return u32(len(data) // 2) + data


def wchar(text, units):
    """Fixed text field of `units` UTF-16 units, NUL padded. A text of
    exactly `units` units leaves no terminator (useful for edge cases)."""
    data = _units(text)
    if len(data) > 2 * units:
        raise ValueError("text of %d units does not fit wchar[%d]" % (len(data) // 2, units))
    return data + b"\0" * (2 * units - len(data))


def array(records, size=None):
    """Array payload: u32 count, then the records back to back."""
    records = [bytes(r) for r in records]
    if size is not None:
        for r in records:
            if len(r) != size:
                raise ValueError("record of %d bytes, expected %d" % (len(r), size))
    return u32(len(records)) + b"".join(records)


def request_bytes(cmd, args=b""):
    """A request frame as the client should send it."""
    body = u32(cmd) + bytes(args)
    return u32(len(body)) + body


def reply_bytes(cmd, status, payload=b""):
    """A well-formed reply frame."""
    body = u32(cmd) + i32(status) + bytes(payload)
    return u32(len(body)) + body


def parse_request(frame):
    """(command id, argument bytes) of one complete request frame."""
    frame = bytes(frame)
    if len(frame) < 8:
        raise ValueError("request frame of %d bytes" % len(frame))
    length, cmd = struct.unpack_from("<II", frame)
    if length != len(frame) - 4:
        raise ValueError("length field %d, frame carries %d bytes" % (length, len(frame) - 4))
    return cmd, frame[8:]


def parse_reply(frame):
    """(command id, status, payload) of one complete reply frame."""
    frame = bytes(frame)
    if len(frame) < 12:
        raise ValueError("reply frame of %d bytes" % len(frame))
    length, cmd, status = struct.unpack_from("<IIi", frame)
    if length != len(frame) - 4:
        raise ValueError("length field %d, frame carries %d bytes" % (length, len(frame) - 4))
    return cmd, status, frame[12:]


class ArgReader(object):
    """Sequential reader over request arguments (or a reply payload).

    >>> r = ArgReader(args); r.u32(), r.string(); r.done()
    """

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError(
                "need %d bytes at offset %d, only %d left"
                % (n, self.pos, len(self.data) - self.pos)
            )
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def _unpack(self, fmt):
        size = struct.calcsize(fmt)
        return struct.unpack(fmt, self.take(size))[0]

    def u8(self):
        return self._unpack("<B")

    def u32(self):
        return self._unpack("<I")

    def i32(self):
        return self._unpack("<i")

    def u64(self):
        return self._unpack("<Q")

    def i64(self):
        return self._unpack("<q")

    def f64(self):
        return self._unpack("<d")

    def string(self):
        n = self.u32()
        return self.take(2 * n).decode("utf-16-le", "surrogatepass")

    def record(self, size):
        return self.take(size)

    def rest(self):
        return self.take(len(self.data) - self.pos)

    def at_end(self):
        return self.pos == len(self.data)

    def done(self):
        """Raises unless every byte was read."""
        if not self.at_end():
            raise ValueError("%d bytes left unread" % (len(self.data) - self.pos))


_NUMBER_FORMATS = {"u8": "<B", "u32": "<I", "i32": "<i", "u64": "<Q", "i64": "<q", "f64": "<d"}


def command_name(cmd):
    """The table's name of a command id (or name); ValueError for neither."""
    if cmd in COMMANDS:
        return cmd
    if cmd in _BY_ID:
        return _BY_ID[cmd]
    raise ValueError("no command %r in the table" % (cmd,))


def request_args(cmd, *values):
    """The argument bytes of a request for `cmd` (id or name), by the kinds
    of its table entry: numbers, str for a text, bytes for a record."""
    name = command_name(cmd)
    kinds, record = COMMANDS[name][1], COMMANDS[name][3]
    if len(values) != len(kinds):
        raise ValueError("%s takes %d arguments, got %d" % (name, len(kinds), len(values)))
    out = b""
    for kind, value in zip(kinds, values):
        if kind == "text":
            out += wstr(value)
        elif kind == "record":
            if len(value) != RECORD_SIZES[record]:
                raise ValueError(
                    "%s: a %s is %d bytes, got %d"
                    % (name, record, RECORD_SIZES[record], len(value))
                )
            out += bytes(value)
        else:
            out += struct.pack(_NUMBER_FORMATS[kind], value)
    return out


def parse_args(cmd, args):
    """The arguments of a request for `cmd` (id or name) as its table entry
    lists them: ints and floats, str for a text, bytes for a record. Raises
    ValueError unless the bytes are exactly such arguments, as the terminal
    refuses them."""
    name = command_name(cmd)
    kinds, record = COMMANDS[name][1], COMMANDS[name][3]
    r = ArgReader(args)
    values = []
    for kind in kinds:
        if kind == "text":
            values.append(r.string())
        elif kind == "record":
            values.append(r.record(RECORD_SIZES[record]))
        else:
            values.append(r._unpack(_NUMBER_FORMATS[kind]))
    r.done()
    return values


# ---------------------------------------------------------------------------
# Script actions (plain dicts so that they travel as JSON)
# ---------------------------------------------------------------------------


def raw(data):
    """Send exactly these bytes as the answer."""
    return {"op": "send", "data": bytes(data).hex()}


def reply(cmd, status, payload=b""):
    """Well-formed reply with the correct length field."""
    return raw(reply_bytes(cmd, status, payload))


def fail(cmd, status):
    """Failure reply that ends after the status (length 8)."""
    return reply(cmd, status)


def echo(status, payload=b""):
    """Reply that echoes whatever command id the request carried."""
    return {"op": "echo", "status": int(status), "payload": bytes(payload).hex()}


def tail(nbytes, status=1):
    """Reply that echoes the command id and carries the last nbytes of the
    request as its payload: each reply then tells which request it answers."""
    return {"op": "tail", "n": int(nbytes), "status": int(status)}


def hangup_after(nbytes, action):
    """Send the first nbytes of a reply (an action from raw, reply, fail or
    echo, or plain bytes) and close the connection. nbytes=None sends all of
    it before closing."""
    if isinstance(action, (bytes, bytearray, memoryview)):
        action = raw(action)
    if action.get("op") not in ("send", "echo"):
        raise ValueError("hangup_after needs a reply action, got %r" % (action,))
    if nbytes is not None and nbytes < 0:
        raise ValueError("negative byte count")
    return {"op": "hangup", "n": nbytes, "action": action}


def delay(seconds, action):
    """Wait, then do the action."""
    return {"op": "delay", "seconds": float(seconds), "action": _check_action(action)}


def slowly(action, chunk, interval):
    """Send the reply of a reply action (raw, reply, fail, echo) in pieces
    of `chunk` bytes, one every `interval` seconds: a reply that keeps
    arriving but takes its time."""
    if action.get("op") not in ("send", "echo"):
        raise ValueError("slowly needs a reply action, got %r" % (action,))
    return {"op": "slowly", "chunk": int(chunk), "interval": float(interval), "action": action}


def close():
    """Close the connection without replying."""
    return {"op": "close"}


def hello(build=DEFAULT_BUILD):
    """Answer to HELLO carrying the terminal build."""
    return reply(CMD["HELLO"], 1, u32(build))


def ready(state=2):
    """Answer to TERMINAL_STATE; 2 is ready, 3 authorisation failed."""
    return reply(CMD["TERMINAL_STATE"], 1, u32(state))


def handshake(build=DEFAULT_BUILD):
    """What a plain initialize(path=...) consumes: HELLO, then one state poll."""
    return [hello(build), ready()]


def _check_action(action):
    if not isinstance(action, dict) or "op" not in action:
        raise ValueError("not a script action: %r" % (action,))
    op = action["op"]
    if op == "delay":
        _check_action(action["action"])
    elif op in ("hangup", "slowly"):
        if action["action"].get("op") not in ("send", "echo"):
            raise ValueError("bad %s action %r" % (op, action))
    elif op not in ("send", "echo", "tail", "close"):
        raise ValueError("unknown action %r" % (op,))
    return action


def _action_bytes(action, frame):
    if action["op"] == "send":
        return bytes.fromhex(action["data"])
    cmd = struct.unpack_from("<I", frame, 4)[0] if len(frame) >= 8 else 0
    if action["op"] == "tail":
        return reply_bytes(cmd, action["status"], frame[max(8, len(frame) - action["n"]) :])
    return reply_bytes(cmd, action["status"], bytes.fromhex(action["payload"]))


# ---------------------------------------------------------------------------
# Event log: records of kind (1 byte), u32 size, data, appended with one write
# each. A torn trailing record (writer killed mid-write) is ignored.
# ---------------------------------------------------------------------------

_KINDS = {
    b"C": "connect",  # a connection was accepted
    b"R": "request",  # one complete request frame
    b"P": "partial",  # the bytes of a request cut short (EOF or absurd length)
    b"E": "eof",  # the client hung up (or reset the connection)
    b"K": "close",  # the peer closed the connection as scripted
}


def _read_log(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    events = []
    pos = 0
    while pos + 5 <= len(data):
        kind = data[pos : pos + 1]
        (size,) = struct.unpack_from("<I", data, pos + 1)
        if pos + 5 + size > len(data):
            break
        events.append((_KINDS.get(kind, kind.decode("latin-1")), data[pos + 5 : pos + 5 + size]))
        pos += 5 + size
    return events


class _LogView(object):
    """Read access to a server's event log; `_log_path` is set by subclasses."""

    _log_path = None

    def events(self):
        """[(kind, bytes)] with kind in connect, request, partial, eof, close."""
        return _read_log(self._log_path) if self._log_path else []

    def requests(self):
        """Complete request frames received so far, length field included."""
        return [d for k, d in self.events() if k == "request"]

    def commands(self):
        """Command ids of the complete requests, in order."""
        return [parse_request(f)[0] for f in self.requests()]

    def calls(self):
        """(command name, arguments by parse_args) of the complete requests,
        in order."""
        return [
            (command_name(cmd), parse_args(cmd, args))
            for cmd, args in map(parse_request, self.requests())
        ]

    def received(self):
        """Every request byte received, complete or not, concatenated."""
        return b"".join(d for k, d in self.events() if k in ("request", "partial"))

    def connections(self):
        """Number of connections accepted so far."""
        return sum(1 for k, _ in self.events() if k == "connect")

    def count(self, kind):
        return sum(1 for k, _ in self.events() if k == kind)

    def wait_for(self, predicate, timeout=10.0):
        """Polls predicate(self) until it is true; returns its last value."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate(self)
            if value or time.monotonic() >= deadline:
                return value
            time.sleep(0.02)

    def wait_requests(self, n, timeout=10.0):
        """Waits until n complete requests arrived; returns the requests."""
        self.wait_for(lambda p: len(p.requests()) >= n, timeout)
        return self.requests()

    def wait_event(self, kind, count=1, timeout=10.0):
        """Waits until `count` events of `kind` were logged; True if so."""
        return bool(self.wait_for(lambda p: p.count(kind) >= count, timeout))


# ---------------------------------------------------------------------------
# The server (runs in the child process)
# ---------------------------------------------------------------------------


class _Stop(Exception):
    pass


class _Server(object):
    def __init__(
        self,
        socket_path,
        script,
        default,
        log_path,
        parent_pid=None,
        idle_timeout=None,
        exit_when_done=False,
    ):
        self.socket_path = socket_path
        self.script = [_check_action(a) for a in script]
        self.default = _check_action(default) if default else close()
        self.parent_pid = parent_pid
        self.idle_timeout = idle_timeout
        self.exit_when_done = exit_when_done
        self.index = 0
        self.listener = None
        self.inode = None
        self.log_fd = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)

    def log(self, kind, data=b""):
        # One write per record: the reader never sees half a record unless
        # the process dies inside the call.
        os.write(self.log_fd, kind + u32(len(data)) + data)

    def listen(self):
        ensure_runtime_dir(os.path.dirname(self.socket_path))
        if os.path.lexists(self.socket_path):
            if not stat.S_ISSOCK(os.lstat(self.socket_path).st_mode):
                raise RuntimeError("%s exists and is not a socket" % self.socket_path)
            os.unlink(self.socket_path)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(self.socket_path)
        s.listen(16)
        self.listener = s
        self.inode = os.stat(self.socket_path).st_ino

    def shutdown(self):
        if self.listener is not None:
            self.listener.close()
            self.listener = None
            _unlink_socket(self.socket_path, self.inode)

    def _check_stop(self):
        if self.parent_pid is not None and os.getppid() != self.parent_pid:
            raise _Stop()

    def run(self):
        idle_since = time.monotonic()
        try:
            while True:
                self._check_stop()
                if (
                    self.idle_timeout is not None
                    and time.monotonic() - idle_since > self.idle_timeout
                ):
                    return
                ready_list, _, _ = select.select([self.listener], [], [], 0.2)
                if not ready_list:
                    continue
                try:
                    conn, _ = self.listener.accept()
                except OSError:
                    continue
                conn.setblocking(True)
                self.log(b"C")
                try:
                    self._serve(conn)
                finally:
                    conn.close()
                idle_since = time.monotonic()
                if self.exit_when_done and self.index >= len(self.script):
                    return
        except _Stop:
            return

    def _recv(self, conn, n):
        """Up to n bytes; fewer only when the client hung up."""
        chunks = []
        got = 0
        while got < n:
            self._check_stop()
            readable, _, _ = select.select([conn], [], [], 0.2)
            if not readable:
                continue
            try:
                chunk = conn.recv(min(n - got, 1 << 20))
            except (ConnectionResetError, BrokenPipeError):
                chunk = b""
            if not chunk:
                break
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)

    def _serve(self, conn):
        while True:
            head = self._recv(conn, 4)
            if len(head) < 4:
                if head:
                    self.log(b"P", head)
                self.log(b"E")
                return
            (length,) = struct.unpack("<I", head)
            if length > MAX_REQUEST:
                self.log(b"P", head)
                self.log(b"K")
                return
            body = self._recv(conn, length)
            frame = head + body
            if len(body) < length:
                self.log(b"P", frame)
                self.log(b"E")
                return
            self.log(b"R", frame)
            if self.index < len(self.script):
                action = self.script[self.index]
            else:
                action = self.default
            self.index += 1
            try:
                keep = self._perform(action, conn, frame)
            except (BrokenPipeError, ConnectionResetError):
                self.log(b"E")
                return
            if not keep:
                self.log(b"K")
                return

    def _perform(self, action, conn, frame):
        op = action["op"]
        if op == "delay":
            time.sleep(action["seconds"])
            return self._perform(action["action"], conn, frame)
        if op == "close":
            return False
        if op == "slowly":
            data = _action_bytes(action["action"], frame)
            step = action["chunk"]
            for start in range(0, len(data), step):
                if start:
                    time.sleep(action["interval"])
                conn.sendall(data[start : start + step])
            return True
        if op == "hangup":
            data = _action_bytes(action["action"], frame)
            if action["n"] is not None:
                data = data[: action["n"]]
            conn.sendall(data)
            return False
        conn.sendall(_action_bytes(action, frame))
        return True


def _unlink_socket(path, inode):
    """Removes the socket unless someone else has bound the path since."""
    try:
        st = os.lstat(path)
    except OSError:
        return
    if stat.S_ISSOCK(st.st_mode) and (inode is None or st.st_ino == inode):
        try:
            os.unlink(path)
        except OSError:
            pass


def _raise_exit(signum, frame):
    raise SystemExit(0)


def _child_main(args):
    """Entry of a Peer's server process: peer.py --config FILE."""
    if len(args) != 2 or args[0] != "--config":
        sys.stderr.write("usage: peer.py --config FILE\n")
        return 2
    with open(args[1]) as f:
        cfg = json.load(f)
    signal.signal(signal.SIGTERM, _raise_exit)
    server = _Server(
        cfg["socket"],
        cfg["script"],
        cfg["default"],
        cfg["log"],
        parent_pid=cfg["parent_pid"],
        idle_timeout=cfg.get("idle_timeout"),
    )
    try:
        server.listen()
        sys.stdout.write("READY %d\n" % server.inode)
        sys.stdout.flush()
        server.run()
    finally:
        server.shutdown()
    return 0


# ---------------------------------------------------------------------------
# Peer: server process started by the test
# ---------------------------------------------------------------------------


class Peer(_LogView):
    """Serves a script on the pipe of exe_path from a child process.

    script: list of actions, one consumed per request, across connections.
    default: action for requests after the script ran out (default: close).
    runtime_dir_path: socket folder; default $XDG_RUNTIME_DIR or /tmp/zk5-<uid>
    as seen when start() runs.
    idle_timeout: seconds without any connection after which the server
    quits; None waits until stopped (it also quits when the test process dies).
    """

    def __init__(self, exe_path, script=(), default=None, runtime_dir_path=None, idle_timeout=None):
        self.exe_path = os.fspath(exe_path)
        self.script = [_check_action(a) for a in script]
        self.default = _check_action(default) if default is not None else close()
        self.runtime_dir_path = runtime_dir_path
        self.idle_timeout = idle_timeout
        self.socket_path = None
        self.pid = None
        self._proc = None
        self._inode = None
        self._tmp = None
        self._log_path = None

    def start(self, timeout=20.0):
        """Starts the server; returns once the socket is listening."""
        if self._proc is not None:
            raise RuntimeError("peer already started")
        base = self.runtime_dir_path if self.runtime_dir_path is not None else runtime_dir()
        path = pipe_path_for(self.exe_path, base)
        if len(os.fsencode(path)) > MAX_SOCKET_PATH:
            raise ValueError("socket path too long for AF_UNIX: %s" % path)
        ensure_runtime_dir(base)
        self.socket_path = path
        self._tmp = tempfile.mkdtemp(prefix="zk5-peer-")
        weakref.finalize(self, shutil.rmtree, self._tmp, True)
        self._log_path = os.path.join(self._tmp, "events.log")
        open(self._log_path, "wb").close()
        cfg_path = os.path.join(self._tmp, "config.json")
        with open(cfg_path, "w") as f:
            json.dump(
                {
                    "socket": path,
                    "script": self.script,
                    "default": self.default,
                    "log": self._log_path,
                    "parent_pid": os.getpid(),
                    "idle_timeout": self.idle_timeout,
                },
                f,
            )
        err_path = os.path.join(self._tmp, "stderr.txt")
        with open(err_path, "wb") as err:
            self._proc = subprocess.Popen(
                [sys.executable, PEER_FILE, "--config", cfg_path],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=err,
            )
        self.pid = self._proc.pid
        line = self._read_ready(timeout)
        if not line.startswith(b"READY "):
            self.stop()
            with open(err_path, "rb") as f:
                detail = f.read().decode("utf-8", "replace")
            raise RuntimeError("peer did not start listening on %s:\n%s" % (path, detail))
        self._inode = int(line.split()[1])
        return self

    def _read_ready(self, timeout):
        fd = self._proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        data = b""
        while b"\n" not in data:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            readable, _, _ = select.select([fd], [], [], left)
            if not readable:
                break
            chunk = os.read(fd, 256)
            if not chunk:
                break
            data += chunk
        return data.split(b"\n", 1)[0]

    def alive(self):
        return self._proc is not None and self._proc.poll() is None

    def stop(self):
        """Stops the server process and removes its socket. Logs stay readable."""
        proc, self._proc = self._proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc.stdout is not None:
            proc.stdout.close()
        if self.socket_path:
            _unlink_socket(self.socket_path, self._inode)

    def remaining(self):
        """Script actions not yet consumed."""
        return max(0, len(self.script) - len(self.requests()))

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


# ---------------------------------------------------------------------------
# A launchable terminal64.exe
# ---------------------------------------------------------------------------

_EXE_TEMPLATE = """#!{python}
# Stand-in terminal for the tests, written by peer.py (make_terminal_exe).
import sys
sys.dont_write_bytecode = True
sys.path.insert(0, {tests_dir!r})
import peer
sys.exit(peer.terminal_main(__file__, sys.argv))
"""


class TerminalExe(_LogView):
    """Handle on a terminal64.exe written by make_terminal_exe.

    Files next to it (PATH = the executable): PATH.json (its script), PATH.log
    (event log), PATH.argv (JSON list of its argv), PATH.pid, PATH.listening
    (exists while serving), PATH.exit (written when it ends), PATH.err (a
    traceback if it crashed).
    """

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.dir = os.path.dirname(self.path)
        self._log_path = self.path + ".log"

    def socket_path(self):
        """Socket the exe serves, for the current environment."""
        return pipe_path_for(self.path)

    def argv(self):
        """The argv it was started with (argv[0] is its path), or None."""
        try:
            with open(self.path + ".argv") as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def pid(self):
        try:
            with open(self.path + ".pid") as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def started(self):
        return self.argv() is not None

    def listening(self):
        return os.path.exists(self.path + ".listening")

    def exited(self):
        return os.path.exists(self.path + ".exit")

    def error(self):
        """Traceback text if the exe crashed, else None."""
        try:
            with open(self.path + ".err") as f:
                return f.read()
        except OSError:
            return None

    def running(self):
        pid = self.pid()
        if pid is None or self.exited():
            return False
        try:
            os.kill(pid, 0)
        except OSError:
            return False
        try:
            with open("/proc/%d/stat" % pid) as f:
                # A zombie has finished; it only waits for its parent.
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except (OSError, IndexError):
            return True

    def wait_started(self, timeout=20.0):
        return bool(self.wait_for(lambda t: t.started(), timeout))

    def wait_listening(self, timeout=20.0):
        return bool(self.wait_for(lambda t: t.listening(), timeout))

    def wait_exit(self, timeout=20.0):
        return bool(self.wait_for(lambda t: not t.running(), timeout))

    def kill(self):
        """Ends the process if it still runs and removes its socket."""
        pid = self.pid()
        if pid is not None and self.running():
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass
            if not self.wait_exit(5):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
                self.wait_exit(5)
        path = self.socket_path()
        if os.path.lexists(path) and not self.running():
            _unlink_socket(path, None)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        return False


def make_terminal_exe(
    dirpath,
    script=(),
    serve=True,
    delay=0.0,
    default=None,
    timeout=120.0,
    exit_when_done=True,
    name="terminal64.exe",
):
    """Writes an executable `name` in dirpath that, when started, serves
    `script` on the pipe derived from its own path.

    serve=False: it records its start and sleeps `timeout` seconds without
    ever listening. delay: seconds to wait before listening. It quits after
    `timeout` seconds without a connection, and (exit_when_done) when a
    connection ends with the script used up. Returns a TerminalExe.
    """
    dirpath = os.path.abspath(os.fspath(dirpath))
    os.makedirs(dirpath, exist_ok=True)
    path = os.path.join(dirpath, name)
    for suffix in (".log", ".argv", ".pid", ".listening", ".exit", ".err"):
        try:
            os.unlink(path + suffix)
        except FileNotFoundError:
            pass
    with open(path + ".json", "w") as f:
        json.dump(
            {
                "script": [_check_action(a) for a in script],
                "default": _check_action(default) if default is not None else close(),
                "serve": bool(serve),
                "delay": float(delay),
                "timeout": float(timeout),
                "exit_when_done": bool(exit_when_done),
            },
            f,
        )
    with open(path, "w") as f:
        f.write(_EXE_TEMPLATE.format(python=sys.executable, tests_dir=TESTS_DIR))
    os.chmod(path, 0o755)
    return TerminalExe(path)


def _write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def terminal_main(exe_file, argv):
    """Body of a generated terminal64.exe."""
    exe = os.path.abspath(exe_file)
    signal.signal(signal.SIGTERM, _raise_exit)
    server = None
    try:
        with open(exe + ".json") as f:
            cfg = json.load(f)
        # A second start of the same exe must not look finished already.
        for suffix in (".exit", ".err"):
            try:
                os.unlink(exe + suffix)
            except OSError:
                pass
        _write_atomic(exe + ".pid", str(os.getpid()))
        _write_atomic(exe + ".argv", json.dumps(list(argv)))
        if not cfg["serve"]:
            time.sleep(cfg["timeout"])
            return 0
        if cfg["delay"] > 0:
            time.sleep(cfg["delay"])
        server = _Server(
            pipe_path_for(exe),
            cfg["script"],
            cfg["default"],
            exe + ".log",
            idle_timeout=cfg["timeout"],
            exit_when_done=cfg["exit_when_done"],
        )
        server.listen()
        _write_atomic(exe + ".listening", server.socket_path)
        server.run()
        return 0
    except SystemExit:
        raise
    except BaseException:
        _write_atomic(exe + ".err", traceback.format_exc())
        return 1
    finally:
        if server is not None:
            server.shutdown()
        try:
            os.unlink(exe + ".listening")
        except OSError:
            pass
        try:
            _write_atomic(exe + ".exit", str(os.getpid()))
        except OSError:
            pass


if __name__ == "__main__":
    sys.exit(_child_main(sys.argv[1:]))
