"""Smoke test of an installed wheel (run by scripts/smoke_wheels.sh from a
fresh environment): the module imports, the bundled terminal starts, bars
come back and go into pandas, the terminal stops; a copy of the terminal
in a folder of its own (a portable installation) serves too."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pandas as pd

import zelkor5
from zelkor5 import terminal

assert "site-packages" in zelkor5.__file__, zelkor5.__file__
pid = terminal.start()
try:
    assert zelkor5.initialize(terminal.terminal_path()), zelkor5.last_error()
    bars = zelkor5.copy_rates_from_pos("EURUSD", zelkor5.TIMEFRAME_H1, 0, 48)
    assert bars is not None and len(bars) == 48, zelkor5.last_error()
    df = zelkor5.frame(bars)
    assert isinstance(df.index, pd.DatetimeIndex) and str(df.index.tz) == "UTC"
    assert list(df.columns[:4]) == ["open", "high", "low", "close"]
    zelkor5.shutdown()
finally:
    stopped = subprocess.run(
        [sys.executable, "-m", "zelkor5", "terminal", "stop"], capture_output=True, text=True
    )
assert stopped.returncode == 0 and stopped.stdout.strip() == "stopped", stopped
assert not terminal.status().running

# The terminal is one file: copied anywhere, with nothing beside it, it runs.
portable = tempfile.mkdtemp(prefix="zk5p")
copy = os.path.join(portable, "terminal64.exe")
shutil.copy2(terminal.terminal_path(), copy)
os.makedirs(os.path.join(portable, "config"))
with open(os.path.join(portable, "config", "terminal.ini"), "w") as f:
    f.write("[Terminal]\nIdleExit=5\n")
try:
    assert zelkor5.initialize(copy, portable=True), zelkor5.last_error()
    assert zelkor5.terminal_info().path == portable
    tick = zelkor5.symbol_info_tick("EURUSD")
    assert tick is not None and tick.bid > 0, zelkor5.last_error()
finally:
    zelkor5.shutdown()
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink("/proc/%s/exe" % entry) == copy:
                os.kill(int(entry), signal.SIGTERM)
        except OSError:
            pass
    time.sleep(0.2)
    shutil.rmtree(portable, ignore_errors=True)
print(
    "smoke: zelkor5 %s on Python %s: terminal pid %d, %d bars into pandas up to %s; "
    "a copied terminal serves"
    % (zelkor5.__version__, sys.version.split()[0], pid, len(df), df.index[-1])
)
