#!/usr/bin/env bash
# Builds and runs every benchmark. Ratios measured in the same run are
# reported as counters whose names begin with "ratio".
#   scripts/bench.sh [BENCHMARK_OPTION...]
# The options are handed to every benchmark (Google Benchmark's, such as
# --benchmark_filter=REGEX); --help prints the usage and builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/bench.sh [BENCHMARK_OPTION...]"
  echo
  echo "Builds the regular build in build/ and runs every benchmark of bench/, handing"
  echo "each the options given (Google Benchmark's, such as --benchmark_filter=REGEX or"
  echo "--benchmark_format=json). Ratios measured in the same run are counters whose"
  echo "names begin with \"ratio\"."
}
for arg in "$@"; do
  if [ "$arg" = --help ] || [ "$arg" = -h ]; then
    usage
    exit 0
  fi
done

scripts/install-deps.sh
# CMAKE_BUILD_PARALLEL_LEVEL, when set, decides how many jobs build at once.
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}
scripts/configure.sh
cmake --build build -j "$jobs"
for bench in build/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
