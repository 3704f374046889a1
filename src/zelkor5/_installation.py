"""Where an installation of the terminal is reached, and which process serves it.

The terminal program tells where it serves its socket and keeps its data
folder in this environment (``terminal64.exe /socket-path /data-path
/lock-path``), computed by the code it serves with; it is asked once per
executable, environment and mode. The terminal that serves this environment
is found through what it holds: the process listening on that socket, or,
while it makes its removed socket again, the holder of the data folder's
lock that notes that socket and is still bound to it; never by its executable's path, so another
environment's or another user's terminal is never taken for it.
"""

import os
import socket
import struct
import subprocess
import threading
from typing import Dict, NamedTuple, Optional, Sequence, Tuple

from . import _core


class InstallationError(RuntimeError):
    """The terminal program could not tell where it serves."""


def terminal_path() -> str:
    """Return the full path of the bundled terminal64.exe.

    Raises FileNotFoundError when the package was installed without it.
    """
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "bin", "terminal64.exe")
    if not os.path.isfile(path):
        # An editable install keeps the built terminal beside the build.
        built = os.path.join(
            os.path.dirname(os.path.abspath(_core.__file__)), "bin", "terminal64.exe"
        )
        if os.path.isfile(built):
            return built
        raise FileNotFoundError("the bundled terminal is not installed: " + path)
    return path


class Places(NamedTuple):
    """Where the terminal at an executable serves in this environment: its
    socket, its data folder and the file whose lock it holds there."""

    socket: str
    data: str
    lock: str


# What the terminal reads to place its socket and data folder.
_ENVIRONMENT = ("XDG_RUNTIME_DIR", "XDG_DATA_HOME", "HOME")
_places: Dict[Tuple[object, ...], Places] = {}
_places_lock = threading.Lock()
_PLACES_KEPT = 64


def run(
    exe: str, portable: bool, args: Sequence[str], timeout: Optional[float] = None
) -> "subprocess.CompletedProcess[bytes]":
    """Runs the terminal program at `exe`, started portable or not, for one
    of its tool commands (`args`), its output kept; OSError and
    subprocess.TimeoutExpired pass."""
    return subprocess.run(
        [exe] + (["/portable"] if portable else []) + list(args),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout,
    )


def last_said(done: "subprocess.CompletedProcess[bytes]") -> Optional[str]:
    """The last line the terminal program wrote to its standard error, or
    None when it wrote nothing."""
    lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
    return lines[-1] if lines else None


def places(exe: str, portable: bool = False) -> Places:
    """The Places of the terminal at `exe` (a resolved path) started
    portable or not, as the terminal itself tells them. Raises
    InstallationError when it cannot tell (no terminal there, a socket
    folder that is not private)."""
    key = (exe, bool(portable), os.geteuid()) + tuple(os.environ.get(k) for k in _ENVIRONMENT)
    with _places_lock:
        known = _places.get(key)
    if known is not None:
        return known
    try:
        done = run(exe, portable, ["/socket-path", "/data-path", "/lock-path"], timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise InstallationError(
            "cannot ask the terminal at %s where it serves: %s" % (exe, e)
        ) from None
    lines = os.fsdecode(done.stdout).split("\n")
    if (
        done.returncode != 0
        or len(lines) != 4
        or lines[3]
        or not all(map(os.path.isabs, lines[:3]))
    ):
        said = last_said(done) or "exit status %d" % done.returncode
        raise InstallationError("the terminal at %s did not tell where it serves: %s" % (exe, said))
    found = Places(lines[0], lines[1], lines[2])
    with _places_lock:
        # A sweep asks about a new private installation for every run.
        while len(_places) >= _PLACES_KEPT:
            del _places[next(iter(_places))]
        _places[key] = found
    return found


def _listener(path: str) -> Optional[int]:
    """The process id of this user's process listening on the socket at
    `path`, or None."""
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.settimeout(5.0)
        probe.connect(path)
        creds = probe.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    except OSError:
        return None
    finally:
        probe.close()
    pid, uid, _ = struct.unpack("3i", creds)
    return pid if pid > 0 and uid == os.geteuid() else None


def _bound_to(pid: int, path: str) -> bool:
    """Whether process `pid` holds a listening socket bound to `path` (also
    one whose file was removed)."""
    inodes = set()
    try:
        with open("/proc/net/unix", "rb") as f:
            next(f)
            for line in f:
                fields = line.split(None, 7)
                # Num RefCount Protocol Flags Type St Inode Path; St 01 listens.
                if (
                    len(fields) == 8
                    and fields[5] == b"01"
                    and fields[7].rstrip(b"\n") == os.fsencode(path)
                ):
                    inodes.add("socket:[%s]" % fields[6].decode())
        if not inodes:
            return False
        fds = os.listdir("/proc/%d/fd" % pid)
    except (OSError, StopIteration):
        return False
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) in inodes:
                return True
        except OSError:
            pass
    return False


def serving(exe: str, portable: bool = False) -> Optional[int]:
    """The process id of the terminal that serves the installation at `exe`
    in this environment, or None."""
    where = places(exe, portable)
    pid = _listener(where.socket)
    if pid is not None:
        return pid
    # Its socket file removed, the terminal makes it again within a second:
    # the holder of the data folder's lock, which notes there its id and
    # the socket it serves, when it is still bound to this socket.
    try:
        with open(where.lock, "rb") as f:
            lines = f.read(8192).split(b"\n")
        holder = int(lines[0].strip() or b"0")
    except (OSError, ValueError):
        return None
    if len(lines) < 2 or os.fsdecode(lines[1].rstrip(b"\r")) != where.socket or holder <= 0:
        return None
    return holder if _bound_to(holder, where.socket) else None
