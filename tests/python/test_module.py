"""The module frame: import, docstring, the initial error state."""

import inspect
import subprocess
import sys

from test_function_table import FUNCTIONS

import zelkor5
from zelkor5 import _core


def run_fresh(code):
    """Runs `code` in a new interpreter (the error state is process-wide)."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_last_error_before_any_call_is_zero_and_empty():
    assert run_fresh("import zelkor5; print(repr(zelkor5.last_error()))") == "(0, '')"


def test_module_docstring():
    assert _core.__doc__ == "API Connector to Zelkor 5 Terminal"
    assert zelkor5.__doc__ == "API Connector to Zelkor 5 Terminal"


# The package's bar and tick functions are the module's, wrapped to warn
# when a result stops at the terminal's limit.
WRAPPED = {
    "copy_rates_from",
    "copy_rates_from_pos",
    "copy_rates_range",
    "copy_ticks_from",
    "copy_ticks_range",
}


def test_package_reexports_the_core_functions():
    for name in dir(_core):
        if name.startswith("_"):
            continue
        ours, core = getattr(zelkor5, name), getattr(_core, name)
        if name in ("order_check", "order_send"):
            # The module's own, called through an object whose help() also
            # lists the request's keys.
            assert ours.__wrapped__ is core and ours.__name__ == name
        elif name in WRAPPED:
            assert ours.__wrapped__ is core and ours.__name__ == name
            assert ours.__doc__ == core.__doc__
            assert inspect.signature(ours) == inspect.signature(core)
        else:
            assert ours is core


def test_functions_are_in_table_order_ahead_of_the_types():
    # Table order of the functions that exist; the record types follow them.
    table = FUNCTIONS
    present = [n for n in vars(_core) if callable(getattr(_core, n)) and n in table]
    assert present == [n for n in table if n in present]


def test_last_error_docstring():
    assert _core.last_error.__doc__ == ("last_error()\n\nReturn last error code and description")


def test_import_fails_cleanly_when_numpy_cannot_be_imported():
    # A numpy that cannot be imported makes the module's import fail with
    # NumPy's own ImportError text.
    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "sys.modules['numpy.core'] = None\n"
        "sys.modules['numpy._core'] = None\n"
        "try:\n"
        "    import zelkor5._core\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    assert run_fresh(code).splitlines()[-1] == "numpy._core.multiarray failed to import"
