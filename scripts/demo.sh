#!/usr/bin/env bash
# Sets up, then runs the demo session against the bundled terminal and a
# moving-average strategy in a replay of imported price history.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --demo
.venv/py39/bin/python examples/demo.py "$@"
echo
exec .venv/py39/bin/python examples/replay_ma.py build/replay_ma.html
