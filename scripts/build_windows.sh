#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into build/win64: the
# bundled terminal (build/win64/terminal64.exe, the same sources as on
# POSIX through os/win32), the relay to terminals under Wine
# (zk5relay.exe) and, unless ZK5_TESTS=OFF, the native tests. Installs what
# it needs first. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup_windows.sh

JOBS=${JOBS:-2}
BUILD=build/win64
# The terminal's account store: SQLite built for Windows (kept across runs).
SQLITE=build/win64-deps/sqlite
scripts/sqlite_windows.sh "$SQLITE"
cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DZK5_PYTHON=OFF \
  -DZK5_TESTS="${ZK5_TESTS:-ON}" -DCMAKE_BUILD_TYPE=Release -DZK5_WERROR=ON -Wno-deprecated \
  -DSQLite3_INCLUDE_DIR="$PWD/$SQLITE/include" -DSQLite3_LIBRARY="$PWD/$SQLITE/lib/libsqlite3.a" \
  "$@" >/dev/null
cmake --build "$BUILD" -j"$JOBS" >/dev/null
ls "$BUILD/terminal64.exe" "$BUILD/zk5relay.exe" >/dev/null
