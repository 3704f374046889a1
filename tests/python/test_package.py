"""What the package adds around the module: the enumerations with their
flat names, the version, frame() on results it can build offline, and
imports between its modules that go one way."""

import ast
import csv
import glob
import importlib.metadata
import io
import os
import pickle
import pydoc
import re

import numpy as np
import pytest

import zelkor5
from zelkor5 import _core, constants

# The one definition of the status codes, in the native sources.
STATUS_HEADER = os.path.join("src", "common", "ipc", "status.h")


HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def test_every_enumeration_member_has_its_flat_name_here_and_at_the_top():
    flat = dict(constants._UNPREFIXED)
    for group, prefix in constants._GROUPS.items():
        assert getattr(zelkor5, group.__name__) is group
        for name, member in group.__members__.items():
            if not any(member is m for m in constants._UNPREFIXED.values()):
                flat[prefix + name] = member
    # The further names of the last_error() codes.
    flat.update(
        (n, v)
        for n, v in vars(constants).items()
        if n.startswith("RES_") and type(v) is constants.ErrorCode
    )
    for name, member in flat.items():
        assert getattr(constants, name) is member, name
        assert getattr(zelkor5, name) is member, name
    # No flat name outside an enumeration.
    names = {n for n in vars(constants) if re.fullmatch(r"[A-Z][A-Z0-9_]+", n)}
    assert names == set(flat)
    assert zelkor5.TIMEFRAME_H1 == 16385 and isinstance(zelkor5.TIMEFRAME_H1, int)


def test_every_name_scripts_use_has_its_value_in_one_enumeration_per_family():
    """api_constants.tsv: the names scripts written for this API expect at
    the top level, with their values and families."""
    with open(os.path.join(HERE, "api_constants.tsv"), newline="") as f:
        rows = list(
            csv.DictReader((line for line in f if not line.startswith("#")), delimiter="\t")
        )
    assert len(rows) == 241
    families = {}
    for row in rows:
        member = getattr(zelkor5, row["name"], None)
        assert member is not None, row["name"]
        assert getattr(constants, row["name"]) is member
        assert member == int(row["value"]), row["name"]
        assert type(member) in constants._GROUPS, row["name"]
        families.setdefault(row["group"], set()).add(type(member))
    assert all(len(kinds) == 1 for kinds in families.values()), families
    assert zelkor5.TradeRetcode(10035).name == "INVALID_ORDER"
    assert zelkor5.TRADE_RETCODE_NOT_SUPPORTED is zelkor5.TRADE_RETCODE_INVALID_ORDER
    assert zelkor5.RES_E_AUTH_FAILED is zelkor5.ERROR_AUTHORIZATION_FAILED
    assert zelkor5.SYMBOL_ORDERS_DAILY_EXCLUDING_STOPS is zelkor5.SYMBOL_ORDERS_DAILY_NO_STOPS


def test_constants_are_numbers_in_text_and_names_in_repr():
    h1, bits = zelkor5.TIMEFRAME_H1, zelkor5.TICK_FLAG_BID | zelkor5.TICK_FLAG_ASK
    row = io.StringIO()
    csv.writer(row).writerow([h1, bits, zelkor5.ORDER_TYPE_SELL])
    assert row.getvalue() == "16385,6,1\r\n"
    assert [str(h1), format(h1), "%s" % h1, f"{h1}", f"{h1:>6}", f"{h1:x}", "{}".format(bits)] == [
        "16385",
        "16385",
        "16385",
        "16385",
        " 16385",
        "4001",
        "6",
    ]
    assert repr(h1) == "<Timeframe.H1: 16385>"
    assert "DEAL_TYPE_BUY=%s" % zelkor5.DealType(0) == "DEAL_TYPE_BUY=0"
    assert repr(zelkor5.RES_S_OK) == "<ErrorCode.SUCCESS: 1>"


def test_status_codes_and_states_are_those_the_native_code_defines():
    """Each code of the native definition has its ErrorCode member (so
    ErrorCode(code) names any code last_error() gives), and no other."""
    with open(os.path.join(ROOT, STATUS_HEADER)) as f:
        header = f.read()

    def values(enum_name):
        body = re.search(r"enum %s\b[^{]*\{(.*?)\};" % enum_name, header, re.S).group(1)
        return {int(v) for v in re.findall(r"^\s*k\w+\s*=\s*(-?\d+),", body, re.M)}

    assert {int(m) for m in zelkor5.ErrorCode} == values("Status")
    assert {int(m) for m in zelkor5.TerminalState} == values("TerminalState")
    assert zelkor5.ErrorCode(-9) is zelkor5.ERROR_TERMINAL_BUSY


def test_last_error_codes_have_names():
    assert _core.symbol_info(1) is None
    code, _ = zelkor5.last_error()
    assert zelkor5.ErrorCode(code) is zelkor5.ERROR_INVALID_PARAMS


def test_version_and_author():
    assert zelkor5.__version__ == importlib.metadata.version("zelkor5")
    assert zelkor5.__author__ and isinstance(zelkor5.__author__, str)


@pytest.mark.parametrize("name", ["order_check", "order_send"])
def test_help_lists_the_request_keys_and_the_module_function_is_unchanged(name):
    function = getattr(zelkor5, name)
    text = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert getattr(_core, name).__doc__.splitlines()[-1] in text
    for key, kind in zelkor5.TradeRequestDict.__annotations__.items():
        assert re.search(r"^ +%s +%s +\S" % (key, kind.__name__), text, re.M), key
    assert function.__wrapped__ is getattr(_core, name)
    assert getattr(_core, name).__doc__.startswith(name + "(request)\n\n")
    assert pickle.loads(pickle.dumps(function)) is function
    with pytest.warns(UserWarning, match="volume of type int") as caught:
        assert function({"volume": 1}) is None  # the module function's own checks
    assert caught[0].filename == __file__  # the caller's line, past the package's object
    assert zelkor5.last_error() == (-2, 'Invalid "volume" argument')


def test_frame_refuses_what_is_not_a_result():
    pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="last_error"):
        zelkor5.frame(None)
    with pytest.raises(TypeError):
        zelkor5.frame([1, 2])
    assert zelkor5.frame(()).empty
    plain = zelkor5.frame(np.zeros(2, dtype=[("a", "<i4")]))
    assert list(plain.columns) == ["a"]


def test_the_all_extra_is_every_extra_and_the_report_names_its_own(monkeypatch):
    meta = importlib.metadata.metadata("zelkor5")
    extras = set(meta.get_all("Provides-Extra"))
    assert {"pandas", "parquet", "progress", "report", "sweep", "all"} <= extras
    wanted: dict = {}
    for line in meta.get_all("Requires-Dist"):
        m = re.match(r"([\w\-\[\]]+)\W.*extra == \"(\w+)\"", line)
        if m:
            wanted.setdefault(m.group(2), set()).add(m.group(1).lower())
    assert set().union(*(wanted[e] for e in extras - {"all"})) == wanted["all"]
    assert {"matplotlib", "pandas"} <= wanted["report"]
    assert {"dask[distributed]", "pandas"} <= wanted["sweep"]
    # Without matplotlib the report says which extra to install.
    pd = pytest.importorskip("pandas")
    monkeypatch.setitem(__import__("sys").modules, "matplotlib.figure", None)
    stats = pd.Series(zelkor5.reporting.statistics([]))
    empty = zelkor5.reporting.equity_curve([], {}, {})
    bare = zelkor5.reporting.Report(stats, empty, zelkor5.reporting.trade_table([]), None, ())
    with pytest.raises(ImportError, match=re.escape('pip install "zelkor5[report]"')):
        bare._repr_html_()


def test_the_packages_modules_import_each_other_one_way_at_their_top():
    graph = {}
    for path in glob.glob(os.path.join(ROOT, "src", "zelkor5", "*.py")):
        name = os.path.basename(path)[:-3]
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        top = set(tree.body)
        graph[name] = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                named = [node.module] if node.module else [a.name for a in node.names]
                # Inside a function only where it is the module's optional part.
                assert node in top or name == "__init__", (name, named, node.lineno)
                graph[name].update(n.split(".")[0] for n in named)
    # No cycle among them (the package itself imports them all).
    done, path = set(), []

    def visit(name):
        assert name not in path, path + [name]
        if name in done:
            return
        path.append(name)
        for other in graph.get(name, ()):
            visit(other)
        path.pop()
        done.add(name)

    for name in graph:
        if name != "__init__":
            visit(name)
