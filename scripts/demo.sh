#!/usr/bin/env bash
# Sets up, then runs the demo session against the bundled terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
ZK5_SKIP_311=1 scripts/setup.sh
exec .venv/py39/bin/python examples/demo.py "$@"
