#!/usr/bin/env bash
# Installs what the Windows cross build and its test run need: mingw-w64
# with the posix thread model (the win32 model lacks std::thread and
# std::mutex), wine to run the result, and GoogleTest's sources to build it
# with the cross compiler. Idempotent.
set -euo pipefail

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
dpkg -s wine64 >/dev/null 2>&1 || need+=(wine64)
command -v wine >/dev/null || need+=(wine)
[ -f /usr/src/googletest/googletest/CMakeLists.txt ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
