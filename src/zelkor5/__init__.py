"""API Connector to Zelkor 5 Terminal"""
from . import _core
from ._core import *  # noqa: F401,F403  the functions and record types
from . import _records as _records  # noqa: F401  pickling and copying of the records
from .constants import *  # noqa: F401,F403  the enumerations and their flat names
from .frames import frame as frame  # noqa: F401  optional: needs pandas when called
from . import history as history  # noqa: F401  long ranges in pages
from . import replay as replay  # noqa: F401  a stepped replay's clock
from . import reporting as reporting  # noqa: F401  statistics of an account's deals
from .reporting import report as report  # noqa: F401  needs pandas and matplotlib when called
from . import sweeps as sweeps  # noqa: F401  many replays over a grid of parameters
from .sweeps import sweep as sweep  # noqa: F401  needs pandas when called
from .terminal import terminal_path as terminal_path  # noqa: F401  the bundled terminal

__doc__ = _core.__doc__
__version__ = "0.1.0"
