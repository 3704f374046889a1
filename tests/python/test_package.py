"""What the package adds around the module: the enumerations with their
flat names, the version, and frame() on results it can build offline."""

import importlib.metadata
import re

import numpy as np
import pytest

import zelkor5
from zelkor5 import _core, constants


def test_every_enumeration_member_has_its_flat_name_here_and_at_the_top():
    flat = {}
    for group, prefix in constants._GROUPS.items():
        assert getattr(zelkor5, group.__name__) is group
        for name, member in group.__members__.items():
            flat[prefix + name] = member
    for name, member in flat.items():
        assert getattr(constants, name) is member, name
        assert getattr(zelkor5, name) is member, name
    # No flat name outside an enumeration.
    names = {n for n in vars(constants) if re.fullmatch(r"[A-Z][A-Z0-9_]+", n)}
    assert names == set(flat)
    assert zelkor5.TIMEFRAME_H1 == 16385 and isinstance(zelkor5.TIMEFRAME_H1, int)


def test_last_error_codes_have_names():
    assert _core.symbol_info(1) is None
    code, _ = zelkor5.last_error()
    assert zelkor5.ErrorCode(code) is zelkor5.ERROR_INVALID_PARAMS


def test_version_is_the_installed_distributions():
    assert zelkor5.__version__ == importlib.metadata.version("zelkor5")


def test_frame_refuses_what_is_not_a_result():
    pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="last_error"):
        zelkor5.frame(None)
    with pytest.raises(TypeError):
        zelkor5.frame([1, 2])
    assert zelkor5.frame(()).empty
    plain = zelkor5.frame(np.zeros(2, dtype=[("a", "<i4")]))
    assert list(plain.columns) == ["a"]
