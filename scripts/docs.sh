#!/usr/bin/env bash
# Builds the documentation site into build/site/ from docs/*.md, the README
# and the package's docstrings and stub (mkdocs with mkdocstrings; pages
# made by docs/site/hooks.py). Warnings are errors; nothing is fetched while
# building. Installs its tools into a venv of its own, .venv/docs, at the
# versions pinned in docs/site/requirements.txt.
#   scripts/docs.sh          build
#   scripts/docs.sh --check  build, then open every page in headless
#                            Chromium (scripts/check_site.py)
set -euo pipefail
cd "$(dirname "$0")/.."

PYENV_ROOT=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
PY=$PYENV_ROOT/versions/3.11.7/bin/python
[ -x "$PY" ] || PY=$(command -v python3.11 || command -v python3)
VENV=.venv/docs
REQS=docs/site/requirements.txt
if ! cmp -s "$REQS" "$VENV/.zk5-reqs" || [ ! -x "$VENV/bin/mkdocs" ]; then
  [ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$REQS"
  cp "$REQS" "$VENV/.zk5-reqs"
fi

"$VENV/bin/mkdocs" build --strict --clean 2>&1 | { grep -v '^INFO' || true; }
[ "${PIPESTATUS[0]}" = 0 ] || { echo "docs: the build failed"; exit 1; }
echo "docs: build/site/ ($(find build/site -name '*.html' | wc -l) pages)"
if [ "${1:-}" = --check ]; then
  "$VENV/bin/python" scripts/check_site.py build/site
fi
