#!/usr/bin/env bash
# Builds and runs every test: the native tests (plain, under
# AddressSanitizer + UndefinedBehaviorSanitizer, and cross-built for Windows
# and run under wine), every benchmark in bench/ at its small size, a
# bounded run of every fuzz harness, and the Python suite under CPython 3.9
# with NumPy 2.0 and 1.26 (one binary) and under CPython 3.11; then the type
# stub and examples under mypy, the documentation site built and checked in
# headless Chromium, and the 3.9 and 3.13 wheels built, repaired and
# smoke-tested from fresh environments.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

JOBS=${JOBS:-2}
echo "== formatting and lint: clang-format, ruff"
scripts/format.sh --check
echo "== CMake: every combination of the options generates"
for py in ON OFF; do for tests in ON OFF; do for term in ON OFF; do
  cmake -S . -B build/options -DZK5_PYTHON=$py -DZK5_TESTS=$tests -DZK5_TERMINAL=$term \
    -DPython_EXECUTABLE="$PWD/.venv/py39/bin/python" --no-warn-unused-cli >/dev/null
  rm -rf build/options
done; done; done
for term in ON OFF; do
  CC=clang CXX=clang++ cmake -S . -B build/options -DZK5_PYTHON=OFF -DZK5_FUZZ=ON -DZK5_TERMINAL=$term >/dev/null
  rm -rf build/options
done
native() {  # build-dir extra-cmake-args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DZK5_PYTHON=OFF -DZK5_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DZK5_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS" >/dev/null
  "$dir/zk5_native_tests" --gtest_brief=1
}
echo "== native tests"
native build/native
echo "== native tests under ASan/UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 native build/native-asan -DZK5_SANITIZE=ON
echo "== the terminal's request fuzzer (libFuzzer, ASan/UBSan), ${FUZZ_SECONDS:-30} s"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DZK5_PYTHON=OFF -DZK5_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK5_WERROR=ON >/dev/null
cmake --build build/fuzz -j"$JOBS" --target zk5_fuzz_requests >/dev/null
rm -rf build/fuzz/run && mkdir -p build/fuzz/run/corpus build/fuzz/run/tmp
if ! TMPDIR=$PWD/build/fuzz/run/tmp build/fuzz/zk5_fuzz_requests -max_total_time="${FUZZ_SECONDS:-30}" \
    -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/run/ \
    build/fuzz/run/corpus fuzz/corpus/requests 2>build/fuzz/run/log; then
  tail -40 build/fuzz/run/log
  exit 1
fi
grep -E "^(Done|stat::number_of_executed_units)" build/fuzz/run/log
# One wine prefix and one wineserver for every test under wine (starting
# them is slow): the Windows native tests, and the Python tests that drive
# the Windows build of the terminal (build/win64, made by test_windows.sh)
# under wine.
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
ZK5_TEST_WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/zk5-wine.XXXXXX")
export ZK5_TEST_WINEPREFIX
cleanup() {
  WINEPREFIX=$ZK5_TEST_WINEPREFIX timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$ZK5_TEST_WINEPREFIX"
}
trap cleanup EXIT
echo "== native tests for Windows, under wine"
scripts/test_windows.sh
echo "== every benchmark at its small size (figures not judged), those under wine included"
.venv/py39/bin/python bench/smoke.py
echo "== fuzzing: each harness ${FUZZ_SECONDS:=25} s"
FUZZ_SECONDS=$FUZZ_SECONDS scripts/fuzz.sh

echo "== the stand-in terminal's command table is the one the C++ declares"
.venv/py39/bin/python scripts/gen_commands.py --check

for venv in py39 py39-np1 py311; do
  echo "== Python tests: $venv ($(.venv/$venv/bin/python -c 'import sys, numpy; print(sys.version.split()[0], "numpy", numpy.__version__)'))"
  (cd tests/python && "../../.venv/$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
done
echo "== types: the stub against the built module, the package and examples under mypy --strict"
.venv/py39/bin/python scripts/gen_core_stub.py --check
.venv/py39/bin/python scripts/gen_facade_stubs.py --check
.venv/py39/bin/python -m mypy.stubtest zelkor5._core
.venv/py39/bin/python -m mypy --strict --cache-dir=/dev/null src/zelkor5 examples/
# A request with a misspelt key must not pass the type check.
if misspelt=$(.venv/py39/bin/python -m mypy --strict --cache-dir=/dev/null tests/types/misspelt_request.py); then
  echo "mypy accepted tests/types/misspelt_request.py"; exit 1
fi
grep -q 'Extra key "stoploss"' <<<"$misspelt" || { echo "$misspelt"; exit 1; }
echo "== the documentation site: built (warnings as errors), every page opened in headless Chromium"
scripts/docs.sh --check
echo "== wheels for CPython 3.9 and 3.13, each smoke-tested in a fresh environment"
scripts/build_wheels.sh 3.9 3.13 >/dev/null
scripts/smoke_wheels.sh 3.9 3.13
echo "== all tests passed"
