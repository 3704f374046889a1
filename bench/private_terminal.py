"""A private copy of the bundled terminal for a benchmark: its own
installation, data and socket folders under a temporary folder, stopped
and removed on leaving the block."""

import contextlib
import os
import shutil
import tempfile

import zelkor5
from zelkor5.terminal import stop, terminal_path


@contextlib.contextmanager
def private_terminal(settings="IdleExit=5\n"):
    """Yields the path of the terminal's executable; the module is
    initialized against it (portable)."""
    work = tempfile.mkdtemp(prefix="zk5b", dir="/tmp")
    exe = os.path.join(work, "inst", "terminal64.exe")
    try:
        run = os.path.join(work, "run")
        os.mkdir(run, 0o700)
        os.environ["XDG_RUNTIME_DIR"] = run
        os.environ["XDG_DATA_HOME"] = os.path.join(work, "data")
        os.makedirs(os.path.join(work, "inst", "config"))
        shutil.copy2(terminal_path(), exe)
        with open(os.path.join(work, "inst", "config", "terminal.ini"), "w") as f:
            f.write("[Terminal]\n" + settings)
        assert zelkor5.initialize(exe, portable=True), zelkor5.last_error()
        yield exe
    finally:
        zelkor5.shutdown()
        if os.path.exists(exe):
            stop(exe)
        shutil.rmtree(work, ignore_errors=True)
