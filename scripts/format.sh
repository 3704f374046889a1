#!/usr/bin/env bash
# The one formatter and linter of each language: clang-format for the C++
# (.clang-format), ruff for the Python (pyproject.toml).
#   scripts/format.sh          format everything in place, fix what ruff can
#   scripts/format.sh --check  change nothing; exit 1 when anything would change
set -euo pipefail
cd "$(dirname "$0")/.."
RUFF=${RUFF:-.venv/py39/bin/ruff}
mapfile -t cxx < <(git ls-files -- '*.cc' '*.h' '*.c')
if [ "${1:-}" = --check ]; then
  clang-format --dry-run -Werror "${cxx[@]}"
  "$RUFF" check --no-fix .
  "$RUFF" format --check .
else
  clang-format -i "${cxx[@]}"
  "$RUFF" check --fix .
  "$RUFF" format .
fi
