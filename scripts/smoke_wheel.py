"""Smoke test of an installed wheel (run by scripts/smoke_wheels.sh from a
fresh environment): the module imports, the bundled terminal starts, bars
come back and go into pandas, the terminal stops."""
import subprocess
import sys

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
    stopped = subprocess.run([sys.executable, "-m", "zelkor5", "terminal", "stop"],
                             capture_output=True, text=True)
assert stopped.returncode == 0 and stopped.stdout.strip() == "stopped", stopped
assert not terminal.status().running
print("smoke: zelkor5 %s on Python %s: terminal pid %d, %d bars into pandas up to %s"
      % (zelkor5.__version__, sys.version.split()[0], pid, len(df), df.index[-1]))
