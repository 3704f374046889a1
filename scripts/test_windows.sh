#!/usr/bin/env bash
# Cross-builds the native tests for 64-bit Windows with mingw-w64 and runs
# them under wine: os/, ipc/ and the client code, against a test terminal
# that serves real named pipes. Each run has a private wine prefix (shared
# with the caller's other wine tests when $ZK5_TEST_WINEPREFIX names one);
# every wine call has a time limit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build_windows.sh
BUILD=build/win64

export WINEDEBUG=-all WINEARCH=win64
# No runtime installers (their absence only matters to programs that use them).
export WINEDLLOVERRIDES="mscoree,mshtml="
# A prefix of the caller's ($ZK5_TEST_WINEPREFIX, set up here when new), or
# a private one removed afterwards.
WINEPREFIX=${ZK5_TEST_WINEPREFIX:-$(mktemp -d "${TMPDIR:-/tmp}/zk5-wine.XXXXXX")}
export WINEPREFIX
if [ -z "${ZK5_TEST_WINEPREFIX:-}" ]; then
  cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  }
  trap cleanup EXIT
fi

# Setting up a new prefix takes several seconds: done apart, so that the
# tests' own limit is for the tests. Then one server for every program.
# The registry files are written when the server ends: wait for that, or a
# server kept alive below would leave the prefix without them.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 180 wineboot -i >/dev/null 2>&1
  timeout 60 wineserver -w >/dev/null 2>&1 || true
fi
wineserver -p >/dev/null 2>&1 || true
timeout 300 wine "$BUILD/zk5_native_tests.exe" --gtest_brief=1
