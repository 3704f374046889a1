"""Pages of the documentation site that are made when it is built.

- the home page: the README's sections for users (all but README_SKIP);
- the guides: docs/*.md, in GUIDES first, then any other;
- the API reference: the module's functions and record types from the stub
  (src/zelkor5/_core.pyi), the constants from zelkor5.constants, and one
  page per public module of the package (src/zelkor5/NAME.py or
  src/zelkor5/NAME/, NAME not starting with "_"), from its docstrings.

A new module gets its page by itself; MODULE_ORDER places it among the
others (modules not named there come after them, in alphabetical order),
and MODULE_SKIP leaves out modules that are no API (the command line).
"""

import ast
import importlib.util
import os
import re
from typing import Any, Dict, List, Tuple

from mkdocs.structure.files import File

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(ROOT, "src", "zelkor5")
STUB = os.path.join(PACKAGE, "_core.pyi")

GUIDES = [
    ("How the connection works", "connection.md"),
    ("The bundled terminal", "terminal.md"),
    ("Fuzzing", "fuzzing.md"),
]
README_SKIP = {"The two commands", "Documentation", "Windows", "Layout"}
MODULE_ORDER = [
    "history",
    "frames",
    "terminal",
    "errors",
    "strict",
    "stream",
    "aio",
    "replay",
    "report",
    "sweep",
]
# constants has its own page; cli and demo are the command line.
MODULE_SKIP = {"constants", "cli", "demo"}


def public_modules() -> List[str]:
    names = set()
    for entry in os.listdir(PACKAGE):
        path = os.path.join(PACKAGE, entry)
        if entry.endswith(".py"):
            name = entry[:-3]
        elif os.path.isfile(os.path.join(path, "__init__.py")):
            name = entry
        else:
            continue
        if not name.startswith("_") and name not in MODULE_SKIP:
            names.add(name)
    known = [n for n in MODULE_ORDER if n in names]
    return known + sorted(names - set(known))


def stub_names() -> Tuple[List[str], List[str]]:
    """The functions and the record types of the stub, in its order."""
    with open(STUB) as f:
        tree = ast.parse(f.read())
    functions = [n.name for n in tree.body if isinstance(n, ast.FunctionDef)]
    records = [n.name for n in tree.body if isinstance(n, ast.ClassDef)]
    return functions, records


def readme_page() -> str:
    with open(os.path.join(ROOT, "README.md")) as f:
        # The README links into docs/, which is the site's own folder.
        text = f.read().replace("](docs/", "](")
    parts = re.split(r"(?m)^## ", text)
    kept = [parts[0]]
    for part in parts[1:]:
        title = part.split("\n", 1)[0].strip()
        if title not in README_SKIP:
            kept.append("## " + part)
    return "".join(kept) + (
        "\n## Reference\n\n"
        "The [API reference](reference/functions.md) gives every function's parameters, "
        "units and failure values, the [record types](reference/records.md), the "
        "[constants](reference/constants.md) and the package's own modules.\n"
    )


def mkdocstrings_page(title: str, intro: str, target: str, options: Dict[str, Any]) -> str:
    lines = ["# " + title, "", intro, "", "::: " + target, "    options:"]
    for key, value in options.items():
        lines.append("      %s: %s" % (key, value))
    return "\n".join(lines) + "\n"


def functions_page() -> str:
    functions, _ = stub_names()
    lines = [
        "# Functions",
        "",
        "The module's functions, at the top level of the package (`zelkor5.initialize`, "
        "`zelkor5.copy_rates_range`, ...). Failures never raise: a function returns None "
        "(False for those returning `bool`) and `last_error()` tells the code and message; "
        "the one exception let through is your own interrupt (Ctrl-C). A date (`_Date`) is a "
        "`datetime` (a naive one is local time) or seconds since 1970 UTC, an `int` or a "
        "`float` (truncated). `inspect.signature()` and `help()` show each function's "
        "parameters with the module's own short docstring; the text here is the stub's "
        "(`zelkor5/_core.pyi`), which IDEs show too.",
        "",
    ]
    # One block per function: the module's own docstring is no part of the page.
    for name in functions:
        lines += [
            "::: zelkor5._core.%s" % name,
            "    options:",
            "      show_root_heading: true",
            "      show_root_full_path: false",
            "      heading_level: 2",
            "",
        ]
    return "\n".join(lines)


def _load(name: str) -> Any:
    """A module of the package by its file, without importing the package
    (whose native core the site's build does not have)."""
    found = importlib.util.spec_from_file_location(
        "zelkor5_%s_for_docs" % name, os.path.join(PACKAGE, name + ".py")
    )
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def records_page() -> str:
    """Each record type's fields from the tables the stub is generated from
    (src/zelkor5/_fields.py): name, Python type and unit."""
    with open(STUB) as f:
        tree = ast.parse(f.read())
    docs = {
        n.name: " ".join((ast.get_docstring(n) or "").split())
        for n in tree.body
        if isinstance(n, ast.ClassDef)
    }
    fields = _load("_fields")
    out = [
        "# Record types",
        "",
        "Results are named tuples of these types (struct sequences): fields by name or "
        "index, `_asdict()`, `_fields`; they pickle and copy. `zelkor5.frame()` turns a "
        "tuple of them into a pandas DataFrame (its time fields as UTC datetimes), and "
        "`kind=` gives an empty result its columns. Each table lists the fields in tuple "
        "order.",
        "",
    ]
    for name, columns in fields.FIELDS.items():
        units = fields.UNITS.get(name, {})
        out += [
            "## %s" % name,
            "",
            docs.get(name, ""),
            "",
            "| # | Field | Type | Unit or meaning |",
            "|---|---|---|---|",
        ]
        for i, (field, kind) in enumerate(columns):
            shown = "[%s](#%s)" % (kind, kind.lower()) if kind == "TradeRequest" else "`%s`" % kind
            out.append("| %d | `%s` | %s | %s |" % (i, field, shown, units.get(field, "")))
        out.append("")
    return "\n".join(out)


def _member_comments(source: str) -> Dict[Tuple[str, str], str]:
    """{(class, member): the comment at the end of its line}"""
    comments = {}
    cls = None
    for line in source.splitlines():
        m = re.match(r"class (\w+)\(", line)
        if m:
            cls = m.group(1)
            continue
        m = re.match(r"    (\w+) = [^#]*#\s*(.*)", line)
        if cls and m:
            comments[(cls, m.group(1))] = m.group(2).strip()
    return comments


def constants_page() -> str:
    path = os.path.join(PACKAGE, "constants.py")
    module = _load("constants")
    with open(path) as f:
        comments = _member_comments(f.read())
    out = ["# Constants", "", (module.__doc__ or "").strip(), ""]
    for enum_type, prefix in module._GROUPS.items():
        name = enum_type.__name__
        out += [
            "## %s" % name,
            "",
            (enum_type.__doc__ or "").strip(),
            "",
            "| Member | Flat name | Value | |",
            "|---|---|---|---|",
        ]
        for member in enum_type:
            out.append(
                "| `%s.%s` | `%s%s` | %d | %s |"
                % (
                    name,
                    member.name,
                    prefix,
                    member.name,
                    int(member),
                    comments.get((name, member.name), ""),
                )
            )
        out.append("")
    return "\n".join(out)


def module_page(name: str) -> str:
    return mkdocstrings_page(
        "zelkor5." + name,
        "",
        "zelkor5." + name,
        {"show_root_heading": "false", "show_root_toc_entry": "false"},
    )


def _pages() -> Dict[str, str]:
    pages = {
        "index.md": readme_page(),
        "reference/functions.md": functions_page(),
        "reference/records.md": records_page(),
        "reference/constants.md": constants_page(),
    }
    for name in public_modules():
        pages["reference/%s.md" % name] = module_page(name)
    return pages


def on_config(config: Any) -> Any:
    guides = [{title: page} for title, page in GUIDES]
    listed = {page for _, page in GUIDES}
    docs = os.path.join(ROOT, "docs")
    guides += [
        {os.path.splitext(p)[0]: p}
        for p in sorted(os.listdir(docs))
        if p.endswith(".md") and p not in listed
    ]
    reference = [
        {"Functions": "reference/functions.md"},
        {"Record types": "reference/records.md"},
        {"Constants": "reference/constants.md"},
    ]
    reference += [{"zelkor5." + n: "reference/%s.md" % n} for n in public_modules()]
    config["nav"] = [{"Home": "index.md"}, {"Guides": guides}, {"API reference": reference}]
    return config


def on_files(files: Any, config: Any) -> Any:
    for uri, content in _pages().items():
        files.append(File.generated(config, uri, content=content))
    return files
