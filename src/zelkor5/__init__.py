"""API Connector to Zelkor 5 Terminal"""

import typing as _typing

from . import _core
from . import _records as _records  # noqa: F401  pickling and copying of the records
from . import history as history  # noqa: F401  long ranges in pages
from . import replay as replay  # noqa: F401  a stepped replay's clock
from . import reporting as reporting  # noqa: F401  statistics of an account's deals
from . import sweeps as sweeps  # noqa: F401  many replays over a grid of parameters
from ._core import *  # noqa: F401,F403  the functions and record types
from ._request import TradeRequestDict as TradeRequestDict
from ._request import with_request_keys as _with_request_keys
from .constants import *  # noqa: F401,F403  the enumerations and their flat names
from .frames import frame as frame  # noqa: F401  optional: needs pandas when called
from .reporting import report as report  # noqa: F401  needs pandas and matplotlib when called
from .sweeps import backtest as backtest  # noqa: F401  needs pandas when called
from .sweeps import sweep as sweep  # noqa: F401  needs pandas when called
from .terminal import terminal_path as terminal_path  # noqa: F401  the bundled terminal

# help() lists the request's keys; the module's own docstrings stay as they are.
order_check = _with_request_keys(_core.order_check)
order_send = _with_request_keys(_core.order_send)

if not _typing.TYPE_CHECKING:
    # The bar and tick functions, as the module's with a warning when a
    # result stops at the terminal's limit (typed by the module's stub).
    from ._capped import (  # noqa: F401
        copy_rates_from,
        copy_rates_from_pos,
        copy_rates_range,
        copy_ticks_from,
        copy_ticks_range,
    )

__doc__ = _core.__doc__
__version__ = "0.1.0"
__author__ = "The zelkor5 developers"
