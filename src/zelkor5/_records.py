"""Pickling and copying of the record types.

The record types are static types of the extension whose names carry no
module, so pickle cannot find a record's class by name. Each record is
reduced instead to a call of `_rebuild` with its type's name and values,
which pickle, copy, multiprocessing and joblib all use.
"""

import copyreg
from typing import Any, Callable, Tuple

from . import _core

# The struct-sequence types the extension registers, by name.
RECORD_TYPES = {
    name: value
    for name, value in vars(_core).items()
    if isinstance(value, type) and issubclass(value, tuple)
}


def _rebuild(name: str, values: Tuple[Any, ...]) -> Any:
    return RECORD_TYPES[name](values)


def _reduce(record: Any) -> Tuple[Callable[..., Any], Tuple[str, Tuple[Any, ...]]]:
    return _rebuild, (type(record).__name__, tuple(record))


for _type in RECORD_TYPES.values():
    copyreg.pickle(_type, _reduce)
