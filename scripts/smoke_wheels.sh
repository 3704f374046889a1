#!/usr/bin/env bash
# Installs each wheel of dist/wheelhouse/ for the given CPython versions
# (default 3.9 and 3.13) into a fresh environment, binaries only and with
# no compiler to be found, and runs scripts/smoke_wheel.py there.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYENV_ROOT=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
# Short paths: a socket path must fit in 107 bytes.
WORK=$(mktemp -d /tmp/zk5s.XXXX)
trap 'rm -rf "$WORK"' EXIT

for ver in "${@:-3.9 3.13}"; do
  for v in $ver; do
    tag=cp${v/./}
    wheel=$(ls "$ROOT"/dist/wheelhouse/zelkor5-*-$tag-$tag-manylinux*.whl)
    py=$(ls -d "$PYENV_ROOT"/versions/"$v".* | sort -V | tail -1)/bin/python
    "$py" -m venv "$WORK/$tag"
    if ! out=$(CC=false CXX=false "$WORK/$tag/bin/python" -m pip install -q --only-binary :all: \
                 "$wheel[pandas]" 2>&1); then
      echo "$out" | grep -v '^WARNING: Location' >&2
      exit 1
    fi
    # A private socket folder and data folder: nothing of the user's is touched.
    mkdir -m 700 "$WORK/r$tag" "$WORK/d$tag"
    (cd "$WORK" && XDG_RUNTIME_DIR="$WORK/r$tag" XDG_DATA_HOME="$WORK/d$tag" \
       "$WORK/$tag/bin/python" "$ROOT/scripts/smoke_wheel.py")
    echo "  from $(basename "$wheel")"
  done
done
