#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, with ASan and UBSan) and runs each
# over its checked-in seeds (fuzz/corpus/NAME).
#   scripts/fuzz.sh              each harness for $FUZZ_SECONDS (default 25) s
#   scripts/fuzz.sh --runs N     each harness for N executions (the long run)
# FUZZ_ONLY="text group" runs only those; FUZZ_BUILD sets the build folder.
# New inputs the fuzzer finds go to a scratch folder, not into the seeds; a
# crash leaves its input in the build folder and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a HARNESSES <<< "${FUZZ_ONLY:-replies records group text}"
BUILD=${FUZZ_BUILD:-build/fuzz}
# Longest input of each: a reply of two of the largest records; one record;
# masks past the 255-unit pattern cut; texts well beyond the module's limits.
declare -A MAX_LEN=([replies]=8192 [records]=3300 [group]=320 [text]=512)
limit=("-max_total_time=${FUZZ_SECONDS:-25}")
if [ "${1:-}" = --runs ]; then limit=("-runs=$2"); fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DZK5_PYTHON=OFF -DZK5_TESTS=OFF -DZK5_FUZZ=ON -DZK5_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"${JOBS:-2}" --target "${HARNESSES[@]/#/fuzz_}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for h in "${HARNESSES[@]}"; do
  mkdir -p "$scratch/$h"
  log=$BUILD/fuzz_$h.log
  start=$SECONDS
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$BUILD/fuzz_$h" "${limit[@]}" "-max_len=${MAX_LEN[$h]}" -print_final_stats=1 \
      -artifact_prefix="$BUILD/" "$scratch/$h" "fuzz/corpus/$h" >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz_$h: FAILED (log: $log)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz_$h: $runs executions in $((SECONDS - start)) s, no crash, no sanitizer report"
done
