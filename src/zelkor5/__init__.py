"""API Connector to Zelkor 5 Terminal"""
from . import _core
from ._core import *  # noqa: F401,F403  the functions and record types
from .terminal import terminal_path  # noqa: F401  the bundled terminal

__doc__ = _core.__doc__
